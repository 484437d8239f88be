// A thin RAII layer over one SQLite connection: the connection itself, its prepared statements
// (made once, kept for the connection's life), one use of a statement, and a transaction scope.
// Only constant SQL text is ever prepared or executed; every value goes in as a bound parameter.
// Not thread-safe: the owner serialises calls.
#ifndef DEMBASE_RASTERDB_SQLITE_DB_H_
#define DEMBASE_RASTERDB_SQLITE_DB_H_

#include <sqlite3.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

namespace dembase::rasterdb::sqlite {

// How long a call waits for another connection's write lock before it is refused.
inline constexpr int kBusyTimeoutMs = 5000;

class Database {
 public:
  // Opens (creating when missing) the file read-write; null when SQLite cannot open it.
  [[nodiscard]] static std::unique_ptr<Database> Open(const std::string& path);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // Runs constant SQL that binds nothing.
  [[nodiscard]] bool Exec(const char* sql);
  // The statement for this SQL text, prepared on first use; null when it cannot be prepared.
  // REQUIRES: sql is a string literal (its address is the cache key).
  [[nodiscard]] sqlite3_stmt* Statement(const char* sql);
  [[nodiscard]] bool InTransaction() const { return sqlite3_get_autocommit(db_) == 0; }
  [[nodiscard]] int64_t Changes() const { return sqlite3_changes64(db_); }

 private:
  explicit Database(sqlite3* db);
  sqlite3* db_;
  pid_t owner_;  // a forked child must not close (and so roll back) the parent's connection
  std::unordered_map<const char*, sqlite3_stmt*> statements_;
};

// One execution of a prepared statement; resets it and clears its bindings when it ends, so no
// statement keeps a read snapshot open. Bound text and blobs must outlive the Query.
class Query {
 public:
  Query(Database& db, const char* sql) : stmt_(db.Statement(sql)), ok_(stmt_ != nullptr) {}
  ~Query();
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;

  Query& Bind(int index, int64_t value);
  Query& BindDouble(int index, double value);
  Query& BindText(int index, std::string_view text);
  // An empty span binds NULL.
  Query& BindBlob(int index, std::span<const uint8_t> bytes);

  // SQLITE_ROW, SQLITE_DONE or an error code (also when preparing or binding failed).
  [[nodiscard]] int Step();
  // Runs a statement that returns no row; true on SQLITE_DONE.
  [[nodiscard]] bool Run() { return Step() == SQLITE_DONE; }
  // Makes the statement ready to run again with the same bindings.
  void Reset() {
    if (stmt_ != nullptr) sqlite3_reset(stmt_);
  }

  [[nodiscard]] int64_t Int(int column) const { return sqlite3_column_int64(stmt_, column); }
  [[nodiscard]] bool IsNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
  // Valid until the next Step or the end of the Query.
  [[nodiscard]] std::span<const uint8_t> Blob(int column) const;

 private:
  sqlite3_stmt* stmt_;
  bool ok_;
};

// Makes a group of statements atomic: BEGIN (IMMEDIATE when it will write) in autocommit mode,
// a savepoint inside a transaction that is already running (a batch), so that the group then
// commits or rolls back with it. Rolls back unless Commit succeeded.
class Transaction {
 public:
  enum class Mode { kRead, kWrite };
  Transaction(Database& db, Mode mode);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  [[nodiscard]] bool ok() const { return state_ == State::kOpen; }
  [[nodiscard]] bool Commit();

 private:
  enum class State { kFailed, kOpen, kDone };
  Database& db_;
  bool nested_;
  State state_ = State::kFailed;
};

}  // namespace dembase::rasterdb::sqlite

#endif  // DEMBASE_RASTERDB_SQLITE_DB_H_
