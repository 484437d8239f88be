// Test support: the PostgreSQL server tests run against (scripts/pg_server.sh run names it in
// DEMBASE_PG_CONNINFO) and a database of its own on it for each test. Shared by the raster
// database suites and the end-to-end suites of database layers.
#ifndef DEMBASE_RASTERDB_TEST_PG_SERVER_H_
#define DEMBASE_RASTERDB_TEST_PG_SERVER_H_

#include <libpq-fe.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <string>

namespace dembase::rasterdb::test {

// The server of the PostgreSQL kind; empty when none.
inline std::string PgServer() {
  const char* conninfo = getenv("DEMBASE_PG_CONNINFO");
  return conninfo == nullptr ? std::string() : std::string(conninfo);
}

// Runs one statement on the test server's maintenance database; false on any failure.
inline bool PgAdmin(const std::string& sql) {
  PGconn* conn = PQconnectdb(PgServer().c_str());
  bool ok = false;
  if (PQstatus(conn) == CONNECTION_OK) {
    PGresult* r = PQexec(conn, sql.c_str());
    ok = PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK;
    PQclear(r);
  }
  PQfinish(conn);
  return ok;
}

// A database of its own on the test server, dropped with whoever still uses it.
class PgDatabase {
 public:
  explicit PgDatabase(bool wanted) {
    static std::atomic<int> serial{0};
    name_ = "rasterdb_test_" + std::to_string(getpid()) + "_" + std::to_string(serial++);
    if (!wanted || !PgAdmin("CREATE DATABASE " + name_)) name_.clear();
  }
  ~PgDatabase() {
    if (!name_.empty() && owner_ == getpid()) (void)PgAdmin("DROP DATABASE " + name_ + " WITH (FORCE)");
  }
  PgDatabase(const PgDatabase&) = delete;
  PgDatabase& operator=(const PgDatabase&) = delete;
  // Ends every server session on the database, as a server that goes away would; false without a server.
  bool EndSessions() const {
    return !name_.empty() &&
           PgAdmin("SELECT pg_terminate_backend(pid, 5000) FROM pg_stat_activity WHERE datname = '" + name_ + "'");
  }
  // The connection string of the database; one no server accepts when it could not be made.
  std::string conninfo() const { return PgServer() + " dbname=" + (name_.empty() ? "rasterdb_test_missing" : name_); }

 private:
  std::string name_;
  pid_t owner_ = getpid();
};

}  // namespace dembase::rasterdb::test

#endif  // DEMBASE_RASTERDB_TEST_PG_SERVER_H_
