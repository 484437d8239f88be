// Test support: a fresh, empty database of the kind under test, reached through DbConnect only.
// Suites are parameterised by connect kind; a new backend adds its kind to TestKinds() and a way
// to make an empty database here.
#ifndef DEMBASE_RASTERDB_TEST_DATABASE_H_
#define DEMBASE_RASTERDB_TEST_DATABASE_H_

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "dembase/rasterdb.h"

namespace dembase::rasterdb::test {

// The server of the PostgreSQL kind (scripts/pg_server.sh run exports it); empty when none.
inline std::string PgServer() {
  const char* conninfo = getenv("DEMBASE_PG_CONNINFO");
  return conninfo == nullptr ? std::string() : std::string(conninfo);
}

inline std::vector<int32_t> TestKinds() {
  if (PgServer().empty()) return {RASTERDB_KIND_SQLITE};
  return {RASTERDB_KIND_SQLITE, RASTERDB_KIND_POSTGRESQL};
}
inline std::string KindName(const ::testing::TestParamInfo<int32_t>& info) {
  if (info.param == RASTERDB_KIND_SQLITE) return "SQLite";
  return info.param == RASTERDB_KIND_POSTGRESQL ? "PostgreSQL" : "Kind" + std::to_string(info.param);
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
    if (!wanted) return;
    static std::atomic<int> serial{0};
    name_ = "rasterdb_test_" + std::to_string(getpid()) + "_" + std::to_string(serial++);
    if (!PgAdmin("CREATE DATABASE " + name_)) name_.clear();
  }
  ~PgDatabase() {
    if (!name_.empty() && owner_ == getpid()) (void)PgAdmin("DROP DATABASE " + name_ + " WITH (FORCE)");
  }
  PgDatabase(const PgDatabase&) = delete;
  PgDatabase& operator=(const PgDatabase&) = delete;
  // Ends every server session on the database, as a server that goes away would; false when
  // there is no server.
  bool EndSessions() const {
    return !name_.empty() && PgAdmin("SELECT pg_terminate_backend(pid, 5000) FROM pg_stat_activity WHERE datname = '" +
                                     name_ + "'");
  }
  // The connection string of the database; one no server accepts when it could not be made.
  std::string conninfo() const { return PgServer() + " dbname=" + (name_.empty() ? "rasterdb_test_missing" : name_); }

 private:
  std::string name_;
  pid_t owner_ = getpid();
};

// A directory made with mkdtemp under /tmp, removed with its contents.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/rasterdb_test_XXXXXX";
    if (mkdtemp(pattern) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

class TestDatabase {
 public:
  explicit TestDatabase(int32_t kind)
      : kind_(kind),
        server_(kind == RASTERDB_KIND_POSTGRESQL),
        file_(kind == RASTERDB_KIND_POSTGRESQL ? server_.conninfo() : dir_.path() + "/raster.db") {}
  uint32_t Connect() const { return DbConnect(kind_, file_.c_str(), "", ""); }
  DbConnectInfo Info(const char* dataSet) const {
    DbConnectInfo info{};
    std::strncpy(info.dataSet, dataSet, sizeof(info.dataSet) - 1);
    info.connectKind = kind_;
    std::strncpy(info.connectArg1, file_.c_str(), sizeof(info.connectArg1) - 1);
    return info;
  }
  const std::string& file() const { return file_; }
  bool EndSessions() const { return server_.EndSessions(); }

 private:
  int32_t kind_;
  TempDir dir_;
  PgDatabase server_;
  std::string file_;
};

inline DataLayerParam LayerParam(uint16_t dataType) {
  return {0xA5, dataType, 100.0, 610.0, -20.5, 489.5, 1.0, 1.0, 0xBEEF, 0, -3.5, 8848.0};
}

inline PyramidLayerInfo LevelInfo(int32_t tilesDown, int32_t tilesAcross) {
  return {0, 1.0, 1.0, tilesDown * 255 + 1, tilesAcross * 255 + 1, 256, 256, tilesDown, tilesAcross};
}

inline bool SameBytes(const void* a, const void* b, std::size_t n) { return std::memcmp(a, b, n) == 0; }

// A connection with the data set "terrain" open.
class RasterDbTest : public ::testing::TestWithParam<int32_t> {
 protected:
  void SetUp() override {
    conn_ = db_.Connect();
    ASSERT_NE(conn_, 0u);
    ds_ = OpenDataSet(conn_);
    ASSERT_GE(ds_, 1);
  }
  void TearDown() override { DbDisconnect(conn_); }

  int32_t OpenDataSet(uint32_t conn) const {
    const DbConnectInfo info = db_.Info("terrain");
    return DbOpenDataSet(conn, &info);
  }
  // Creates and opens a layer, with one level when tilesDown > 0; 0 on failure.
  int32_t MakeLayer(const char* name, int32_t tilesDown = 0, int32_t tilesAcross = 0,
                    uint16_t dataType = DEMBASE_TYPE_INT32) {
    const DataLayerParam p = LayerParam(dataType);
    if (DbCreateLayer(conn_, ds_, name, &p, 7) < 1) return 0;
    const int32_t layer = DbOpenLayer(conn_, ds_, name);
    const PyramidLayerInfo info = LevelInfo(tilesDown, tilesAcross);
    return tilesDown == 0 || DbCreateLevel(conn_, layer, 1, &info) == 1 ? layer : 0;
  }

  TestDatabase db_{GetParam()};
  uint32_t conn_ = 0;
  int32_t ds_ = 0;
};

}  // namespace dembase::rasterdb::test

#endif  // DEMBASE_RASTERDB_TEST_DATABASE_H_
