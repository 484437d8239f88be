#include "pg_db.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace dembase::rasterdb::pg {
namespace {

void IgnoreNotice(void* /*arg*/, const char* /*message*/) {}

// Keep in step with kLockTimeoutMs and kStatementTimeoutMs.
constexpr const char* kSessionSettings =
    "SET lock_timeout = 5000; SET statement_timeout = 120000; SET client_min_messages = warning";
static_assert(kLockTimeoutMs == 5000 && kStatementTimeoutMs == 120000, "kSessionSettings sets both");

}  // namespace

Params& Params::Int(int64_t value) {
  values_.push_back({std::to_string(value), {}, false});
  return *this;
}

Params& Params::Double(double value) {
  std::string text;
  if (std::isnan(value)) {
    text = "NaN";
  } else if (std::isinf(value)) {
    text = value > 0 ? "Infinity" : "-Infinity";
  } else {
    char buf[32];
    const int n = std::snprintf(buf, sizeof(buf), "%.17g", value);
    text.assign(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
  }
  values_.push_back({std::move(text), {}, false});
  return *this;
}

Params& Params::Text(std::string_view text) {
  values_.push_back({std::string(text), {}, false});
  return *this;
}

Params& Params::Bytes(std::span<const uint8_t> bytes) {
  values_.push_back({{}, bytes, true});
  return *this;
}

bool Result::ok() const {
  if (r_ == nullptr) return false;
  const ExecStatusType s = PQresultStatus(r_.get());
  return s == PGRES_TUPLES_OK || s == PGRES_COMMAND_OK;
}

int64_t Result::Changes() const {
  if (!ok()) return -1;
  const char* n = PQcmdTuples(r_.get());
  return n[0] == '\0' ? 0 : std::strtoll(n, nullptr, 10);
}

int64_t Result::Int(int row, int column) const {
  if (r_ == nullptr || row >= Rows() || column >= PQnfields(r_.get()) || PQgetisnull(r_.get(), row, column)) return 0;
  const auto* p = reinterpret_cast<const uint8_t*>(PQgetvalue(r_.get(), row, column));
  const int n = PQgetlength(r_.get(), row, column);
  if (n != 2 && n != 4 && n != 8) return 0;
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = (v << 8) | p[i];
  const int shift = 64 - 8 * n;  // sign-extend the big-endian value
  return static_cast<int64_t>(v << shift) >> shift;
}

std::span<const uint8_t> Result::Bytes(int row, int column) const {
  if (r_ == nullptr || row >= Rows() || column >= PQnfields(r_.get()) || PQgetisnull(r_.get(), row, column)) return {};
  const auto* p = reinterpret_cast<const uint8_t*>(PQgetvalue(r_.get(), row, column));
  return {p, static_cast<std::size_t>(PQgetlength(r_.get(), row, column))};
}

std::unique_ptr<Database> Database::Open(const std::string& conninfo, const std::string& user,
                                         const std::string& password) {
  // Defaults first: the caller's connection string overrides them, and user and password
  // given apart override it.
  std::vector<const char*> keys = {"connect_timeout", "keepalives", "keepalives_idle", "keepalives_interval",
                                   "keepalives_count", "tcp_user_timeout", "dbname"};
  std::vector<const char*> values = {"10", "1", "30", "10", "3", "60000", conninfo.c_str()};
  if (!user.empty()) {
    keys.push_back("user");
    values.push_back(user.c_str());
  }
  if (!password.empty()) {
    keys.push_back("password");
    values.push_back(password.c_str());
  }
  keys.push_back(nullptr);
  values.push_back(nullptr);
  PGconn* conn = PQconnectdbParams(keys.data(), values.data(), 1);
  if (conn == nullptr) return nullptr;
  std::unique_ptr<Database> db(new Database(conn));
  PQsetNoticeProcessor(conn, IgnoreNotice, nullptr);
  if (PQstatus(conn) != CONNECTION_OK || !db->Exec(kSessionSettings)) return nullptr;
  return db;
}

Database::Database(PGconn* conn) : conn_(conn), owner_(getpid()) {}

Database::~Database() {
  // A forked child must not end the parent's session; it leaves the connection alone.
  if (getpid() == owner_) PQfinish(conn_);
}

bool Database::Usable() const { return getpid() == owner_ && PQstatus(conn_) == CONNECTION_OK; }

bool Database::Exec(const char* sql) {
  if (!Usable()) return false;
  return Result(PQexec(conn_, sql)).ok();
}

Result Database::Run(const char* sql, const Params& params) {
  if (!Usable()) return Result(nullptr);
  // The slot is made before the statement: one prepared on the server that the map could
  // not take would hold its name for the rest of the session.
  const auto it = statements_.try_emplace(sql).first;
  if (it->second.empty()) {
    std::string name = "rasterdb_" + std::to_string(++statements_named_);
    if (!Result(PQprepare(conn_, name.c_str(), sql, 0, nullptr)).ok()) {
      statements_.erase(it);
      return Result(nullptr);
    }
    it->second = std::move(name);
  }
  const std::size_t n = params.values_.size();
  std::vector<const char*> values(n);
  std::vector<int> lengths(n), formats(n);
  for (std::size_t i = 0; i < n; ++i) {
    const Params::Value& v = params.values_[i];
    if (v.binary) {
      values[i] = v.bytes.empty() ? nullptr : reinterpret_cast<const char*>(v.bytes.data());
      lengths[i] = static_cast<int>(v.bytes.size());
      formats[i] = 1;
    } else {
      values[i] = v.text.c_str();
    }
  }
  return Result(PQexecPrepared(conn_, it->second.c_str(), static_cast<int>(n), values.data(), lengths.data(),
                               formats.data(), 1));
}

bool Database::InTransaction() const {
  const PGTransactionStatusType s = PQtransactionStatus(conn_);
  return s == PQTRANS_INTRANS || s == PQTRANS_INERROR;
}

bool Database::TransactionAlive() const { return Usable() && PQtransactionStatus(conn_) == PQTRANS_INTRANS; }

Transaction::Transaction(Database& db, Mode mode) : db_(db), nested_(db.InTransaction()) {
  const char* begin = nested_ ? "SAVEPOINT rasterdb"
                      : mode == Mode::kRead ? "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY"
                                            : "BEGIN";
  if (db_.Exec(begin)) state_ = State::kOpen;
}

Transaction::~Transaction() {
  if (state_ != State::kOpen) return;
  if (nested_) {
    (void)db_.Exec("ROLLBACK TO SAVEPOINT rasterdb");
    (void)db_.Exec("RELEASE SAVEPOINT rasterdb");
  } else {
    (void)db_.Exec("ROLLBACK");
  }
}

bool Transaction::Commit() {
  if (state_ != State::kOpen || !db_.TransactionAlive()) return false;
  // COMMIT of a failed transaction answers ROLLBACK without an error: hence the check above.
  if (!db_.Exec(nested_ ? "RELEASE SAVEPOINT rasterdb" : "COMMIT")) return false;
  state_ = State::kDone;
  return true;
}

}  // namespace dembase::rasterdb::pg
