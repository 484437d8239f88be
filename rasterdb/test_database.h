// Test support: a fresh, empty database of each connect kind, reached through DbConnect only.
#ifndef DEMBASE_RASTERDB_TEST_DATABASE_H_
#define DEMBASE_RASTERDB_TEST_DATABASE_H_

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dembase/rasterdb.h"
#include "rasterdb/test_pg_server.h"
#include "src/platform/test_temp_dir.h"

namespace dembase::rasterdb::test {

inline std::vector<int32_t> TestKinds() {
  if (PgServer().empty()) return {RASTERDB_KIND_SQLITE};
  return {RASTERDB_KIND_SQLITE, RASTERDB_KIND_POSTGRESQL};
}
inline std::string KindName(const ::testing::TestParamInfo<int32_t>& info) {
  return info.param == RASTERDB_KIND_SQLITE ? "SQLite" : "PostgreSQL";
}

class TestDatabase {
 public:
  explicit TestDatabase(int32_t kind)
      : kind_(kind),
        server_(kind == RASTERDB_KIND_POSTGRESQL),
        file_(kind == RASTERDB_KIND_POSTGRESQL ? server_.conninfo() : dir_.Join("raster.db")) {}
  uint32_t Connect() const { return DbConnect(kind_, file_.c_str(), "", ""); }
  DbConnectInfo Info(const char* dataSet) const {
    DbConnectInfo info{};
    std::strncpy(info.dataSet, dataSet, sizeof(info.dataSet) - 1);
    info.connectKind = kind_;
    std::strncpy(info.connectArg1, file_.c_str(), sizeof(info.connectArg1) - 1);
    return info;
  }
  // Opens data set "terrain" in conn; 0 on failure.
  int32_t OpenDataSet(uint32_t conn) const {
    const DbConnectInfo info = Info("terrain");
    return DbOpenDataSet(conn, &info);
  }
  const std::string& file() const { return file_; }
  bool EndSessions() const { return server_.EndSessions(); }

 private:
  int32_t kind_;
  platform::TestTempDir dir_;
  PgDatabase server_;
  std::string file_;
};

inline DataLayerParam LayerParam(uint16_t dataType) {
  return {0xA5, dataType, 100.0, 610.0, -20.5, 489.5, 1.0, 1.0, 0xBEEF, 0, -3.5, 8848.0};
}

inline PyramidLayerInfo LevelInfo(int32_t tilesDown, int32_t tilesAcross) {
  return {0, 1.0, 1.0, tilesDown * 255 + 1, tilesAcross * 255 + 1, 256, 256, tilesDown, tilesAcross};
}

// Creates and opens a layer in data set ds, with one level when tilesDown > 0; 0 on failure.
inline int32_t MakeLayer(uint32_t conn, int32_t ds, const char* name, int32_t tilesDown = 0, int32_t tilesAcross = 0,
                         uint16_t dataType = DEMBASE_TYPE_INT32) {
  const DataLayerParam p = LayerParam(dataType);
  if (DbCreateLayer(conn, ds, name, &p, 7) < 1) return 0;
  const int32_t layer = DbOpenLayer(conn, ds, name);
  const PyramidLayerInfo info = LevelInfo(tilesDown, tilesAcross);
  return tilesDown == 0 || DbCreateLevel(conn, layer, 1, &info) == 1 ? layer : 0;
}

// A connection with the data set "terrain" open.
class RasterDbTest : public ::testing::TestWithParam<int32_t> {
 protected:
  void SetUp() override {
    conn_ = db_.Connect();
    ASSERT_NE(conn_, 0u);
    ds_ = db_.OpenDataSet(conn_);
    ASSERT_GE(ds_, 1);
  }
  void TearDown() override { DbDisconnect(conn_); }
  int32_t MakeLayer(const char* name, int32_t tilesDown = 0, int32_t tilesAcross = 0,
                    uint16_t dataType = DEMBASE_TYPE_INT32) {
    return test::MakeLayer(conn_, ds_, name, tilesDown, tilesAcross, dataType);
  }

  TestDatabase db_{GetParam()};
  uint32_t conn_ = 0;
  int32_t ds_ = 0;
};

}  // namespace dembase::rasterdb::test

#endif  // DEMBASE_RASTERDB_TEST_DATABASE_H_
