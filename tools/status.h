// Outcome of a tool operation: success, or one line that names the file and the cause.
// The tool reports failures through these values; main prints the line and exits.
#ifndef DEMBASE_TOOLS_STATUS_H_
#define DEMBASE_TOOLS_STATUS_H_

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace dembase::tool {

class [[nodiscard]] Status {
 public:
  Status() = default;
  static Status Error(std::string message) { return Status(std::move(message)); }

  bool ok() const { return !message_.has_value(); }
  // REQUIRES: !ok().
  const std::string& message() const { return *message_; }

 private:
  explicit Status(std::string message) : message_(std::move(message)) {}
  std::optional<std::string> message_;
};

// "what: cause", the form of every error line.
inline Status Error(const std::string& what, const std::string& cause) { return Status::Error(what + ": " + cause); }

// A value, or the Status that explains why there is none.
template <typename T>
class [[nodiscard]] StatusOr {
 public:
  StatusOr(T value) : v_(std::move(value)) {}  // NOLINT: implicit, like a return value
  StatusOr(Status status) : v_(std::move(status)) {}  // NOLINT; REQUIRES: !status.ok()

  bool ok() const { return std::holds_alternative<T>(v_); }
  // REQUIRES: !ok().
  Status status() const { return std::get<Status>(v_); }
  // REQUIRES: ok().
  T& value() { return std::get<T>(v_); }
  const T& value() const { return std::get<T>(v_); }
  T* operator->() { return &value(); }
  T& operator*() { return value(); }

 private:
  std::variant<T, Status> v_;
};

}  // namespace dembase::tool

#endif  // DEMBASE_TOOLS_STATUS_H_
