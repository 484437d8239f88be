// A thin RAII layer over one libpq connection: the connection (with its timeouts), statements
// prepared once per session and run with bound parameters, one result, and a transaction scope.
// Only constant SQL text is prepared or executed; every value goes in as a parameter, numbers
// as text, bytes as binary. Results come back binary. Not thread-safe: the owner serialises calls.
#ifndef DEMBASE_RASTERDB_PG_DB_H_
#define DEMBASE_RASTERDB_PG_DB_H_

#include <libpq-fe.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace dembase::rasterdb::pg {

// How long a statement may wait for another session's row or advisory lock before it fails.
inline constexpr int kLockTimeoutMs = 5000;
// Bounds one statement on a server that stalls; a server that goes away fails at once.
inline constexpr int kStatementTimeoutMs = 120000;

// The values of one statement, in $1, $2, ... order.
class Params {
 public:
  Params& Int(int64_t value);
  Params& Double(double value);
  Params& Text(std::string_view text);
  // An empty span binds NULL.
  Params& Bytes(std::span<const uint8_t> bytes);

 private:
  friend class Database;
  struct Value {
    std::string text;
    std::span<const uint8_t> bytes;
    bool binary = false;
  };
  std::vector<Value> values_;
};

class Result {
 public:
  explicit Result(PGresult* r) : r_(r) {}
  [[nodiscard]] bool ok() const;
  [[nodiscard]] int Rows() const { return r_ == nullptr ? 0 : PQntuples(r_.get()); }
  // Rows an INSERT, UPDATE or DELETE touched.
  [[nodiscard]] int64_t Changes() const;
  // A smallint, integer or bigint column; 0 for NULL.
  [[nodiscard]] int64_t Int(int row, int column) const;
  // Valid while the Result lives; empty for NULL.
  [[nodiscard]] std::span<const uint8_t> Bytes(int row, int column) const;

 private:
  struct Clear {
    void operator()(PGresult* r) const { PQclear(r); }
  };
  std::unique_ptr<PGresult, Clear> r_;
};

class Database {
 public:
  // Null when the server cannot be reached or refuses the login.
  [[nodiscard]] static std::unique_ptr<Database> Open(const std::string& conninfo, const std::string& user,
                                                      const std::string& password);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // Runs constant SQL that binds nothing.
  [[nodiscard]] bool Exec(const char* sql);
  // Runs the statement, prepared on first use. REQUIRES: sql is a string literal (its address
  // is the cache key).
  [[nodiscard]] Result Run(const char* sql, const Params& params);
  [[nodiscard]] bool InTransaction() const;
  // In a transaction that can still commit.
  [[nodiscard]] bool TransactionAlive() const;

 private:
  explicit Database(PGconn* conn);
  // False in a forked child (it shares the parent's socket) or once the server is gone.
  [[nodiscard]] bool Usable() const;
  PGconn* conn_;
  pid_t owner_;
  std::unordered_map<const char*, std::string> statements_;  // empty name: not prepared yet
  uint64_t statements_named_ = 0;
};

// Makes a group of statements atomic: BEGIN outside a transaction (REPEATABLE READ for a
// read, so it sees one snapshot), a savepoint inside one (a batch), so that the group then
// commits or rolls back with it. Rolls back unless Commit succeeded.
class Transaction {
 public:
  enum class Mode { kRead, kWrite };
  Transaction(Database& db, Mode mode);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  [[nodiscard]] bool ok() const { return state_ == State::kOpen; }
  [[nodiscard]] bool nested() const { return nested_; }
  [[nodiscard]] bool Commit();

 private:
  enum class State { kFailed, kOpen, kDone };
  Database& db_;
  bool nested_;
  State state_ = State::kFailed;
};

}  // namespace dembase::rasterdb::pg

#endif  // DEMBASE_RASTERDB_PG_DB_H_
