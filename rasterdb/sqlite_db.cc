#include "sqlite_db.h"

#include <unistd.h>

#include <limits>
#include <new>

namespace dembase::rasterdb::sqlite {

std::unique_ptr<Database> Database::Open(const std::string& path) {
  sqlite3* db = nullptr;
  // NOMUTEX: the connection's owner serialises calls. No URI names: the path is a file name.
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE;
  if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
    sqlite3_close(db);  // SQLite hands out a handle even when opening fails
    return nullptr;
  }
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  std::unique_ptr<Database> database(new (std::nothrow) Database(db));
  if (database == nullptr) sqlite3_close(db);
  return database;
}

Database::Database(sqlite3* db) : db_(db), owner_(getpid()) {}

Database::~Database() {
  if (getpid() != owner_) return;  // inherited through fork: left to the parent
  for (auto& [sql, stmt] : statements_) sqlite3_finalize(stmt);
  // Closing a connection inside a transaction rolls that transaction back.
  sqlite3_close(db_);
}

bool Database::Exec(const char* sql) {
  // A forked child reaches here only from exit-time destructors; its ROLLBACK must not run.
  if (getpid() != owner_) return false;
  return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

sqlite3_stmt* Database::Statement(const char* sql) {
  // The slot is made before the statement: a statement the map could not take would stay
  // unfinalized, and the connection could then never close.
  const auto it = statements_.try_emplace(sql, nullptr).first;
  if (it->second != nullptr) return it->second;
  if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &it->second, nullptr) != SQLITE_OK) {
    sqlite3_finalize(it->second);
    statements_.erase(it);
    return nullptr;
  }
  return it->second;
}

Query::~Query() {
  if (stmt_ == nullptr) return;
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

Query& Query::Bind(int index, int64_t value) {
  if (ok_) ok_ = sqlite3_bind_int64(stmt_, index, value) == SQLITE_OK;
  return *this;
}

Query& Query::BindDouble(int index, double value) {
  if (ok_) ok_ = sqlite3_bind_double(stmt_, index, value) == SQLITE_OK;
  return *this;
}

Query& Query::BindText(int index, std::string_view text) {
  if (ok_ && text.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) ok_ = false;
  if (ok_) {
    ok_ = sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_STATIC) == SQLITE_OK;
  }
  return *this;
}

Query& Query::BindBlob(int index, std::span<const uint8_t> bytes) {
  if (ok_ && bytes.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) ok_ = false;
  if (!ok_) return *this;
  if (bytes.empty()) {
    ok_ = sqlite3_bind_null(stmt_, index) == SQLITE_OK;
  } else {
    ok_ = sqlite3_bind_blob(stmt_, index, bytes.data(), static_cast<int>(bytes.size()), SQLITE_STATIC) == SQLITE_OK;
  }
  return *this;
}

int Query::Step() { return ok_ ? sqlite3_step(stmt_) : SQLITE_ERROR; }

std::span<const uint8_t> Query::Blob(int column) const {
  const void* data = sqlite3_column_blob(stmt_, column);
  const int size = sqlite3_column_bytes(stmt_, column);
  if (data == nullptr || size <= 0) return {};
  return {static_cast<const uint8_t*>(data), static_cast<std::size_t>(size)};
}

Transaction::Transaction(Database& db, Mode mode) : db_(db), nested_(db.InTransaction()) {
  const char* begin = nested_ ? "SAVEPOINT op" : (mode == Mode::kWrite ? "BEGIN IMMEDIATE" : "BEGIN");
  if (db_.Exec(begin)) state_ = State::kOpen;
}

bool Transaction::Commit() {
  if (state_ != State::kOpen) return false;
  if (!db_.Exec(nested_ ? "RELEASE op" : "COMMIT")) return false;  // the destructor rolls back
  state_ = State::kDone;
  return true;
}

Transaction::~Transaction() {
  if (state_ != State::kOpen) return;
  // Failures here mean the engine already rolled back; nothing is left to undo.
  if (nested_) {
    (void)db_.Exec("ROLLBACK TO op");
    (void)db_.Exec("RELEASE op");
  } else {
    (void)db_.Exec("ROLLBACK");
  }
}

}  // namespace dembase::rasterdb::sqlite
