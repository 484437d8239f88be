// The POSIX File and the share-aware open behind Env::OpenFile. Internal to platform/.
#ifndef DEMBASE_PLATFORM_POSIX_FILE_H_
#define DEMBASE_PLATFORM_POSIX_FILE_H_

#include <memory>
#include <string>

#include "platform/env.h"

namespace dembase::platform {

class PosixFile final : public File {
 public:
  // Takes ownership of fd.
  PosixFile(int fd, bool can_read, bool can_write) : fd_(fd), can_read_(can_read), can_write_(can_write) {}
  ~PosixFile() override;

  [[nodiscard]] bool ReadAt(uint64_t offset, std::span<std::byte> out) override;
  [[nodiscard]] bool WriteAt(uint64_t offset, std::span<const std::byte> data) override;
  [[nodiscard]] bool Size(uint64_t* size) override;
  [[nodiscard]] bool Sync() override;
  void StartWriteback() override;

  int fd() const { return fd_; }

 private:
  int fd_;
  bool can_read_;
  bool can_write_;
};

// Opens a regular file at a system path ('/' separators) with the access, share mode
// and disposition of options; nullptr on failure or share conflict. A kCreateNew open
// that fails after creating the file removes it again.
std::unique_ptr<PosixFile> OpenPosixFile(const std::string& path, const OpenOptions& options);

}  // namespace dembase::platform

#endif  // DEMBASE_PLATFORM_POSIX_FILE_H_
