// A test run once per layer kind (cell type x compression x data set): layers are made in the
// kind's data set (the local store, an SQLite raster database in the test's directory, or a
// database of the test's own on the PostgreSQL test server) and reopened with the kind's
// compression set, since that setting is per open layer and never stored. Tests only.
#ifndef DEMBASE_TESTS_SUPPORT_LAYER_KIND_FIXTURE_H_
#define DEMBASE_TESTS_SUPPORT_LAYER_KIND_FIXTURE_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "rasterdb/test_pg_server.h"
#include "tests/support/cell_calls.h"
#include "tests/support/local_store_fixture.h"

namespace dembase::testing {

// Opens, through h, the local store or data set "test" of the raster database at where (an
// SQLite file or a PostgreSQL connection string); the data set's id, or 0.
inline int32_t OpenTestDataSet(DemBaseAI* h, Store store, const std::string& where) {
  if (store == Store::kFiles) return _hxOpenDataSet(h, nullptr, 0.125f);
  DbConnectInfo info{};
  std::strcpy(info.dataSet, "test");
  info.connectKind = store == Store::kSqlite ? 1 : 2;
  if (where.size() >= sizeof info.connectArg1) return 0;
  std::strcpy(info.connectArg1, where.c_str());
  return _hxOpenDataSet(h, &info, 0.125f);
}
inline int32_t OpenTestDataSet(DemBaseAI* h, bool sqlite, const std::string& dbPath) {
  return OpenTestDataSet(h, sqlite ? Store::kSqlite : Store::kFiles, dbPath);
}

class LayerKindTest : public LocalStoreTest, public ::testing::WithParamInterface<LayerKind> {
 protected:
  void SetUp() override {
    LocalStoreTest::SetUp();
    ds_ = OpenDataSetOf(h_);
    ASSERT_GE(ds_, 1);
  }

  // Opens the kind's data set through handle h (the test's or another process's); its id, or 0.
  int32_t OpenDataSetOf(DemBaseAI* h) const {
    if (!kind().database() && h == h_) return kLocal;  // opened by the base fixture
    return OpenTestDataSet(h, kind().store,
                           kind().store == Store::kPostgresql ? server_.conninfo() : Path("layers.db"));
  }

  const LayerKind& kind() const { return GetParam(); }
  int32_t ds() const { return ds_; }
  // The name a layer called stem has in the kind's data set.
  std::string LayerName(const std::string& stem) const { return kind().database() ? stem : Path(stem + ".dem"); }

  // Layer stem with level 1 open. Layer id 0 in the result when something failed.
  CellCalls Make(const std::string& stem, int32_t rows, int32_t cols) {
    return MakeAs(stem, kind().type, kind().compress, rows, cols);
  }
  // The same with another cell type and compression, in the kind's data set.
  CellCalls MakeAs(const std::string& stem, uint16_t type, uint8_t compress, int32_t rows, int32_t cols) {
    DataLayerParam p = LayerParam(type, rows, cols);
    if (_hxCreateDataLayer(h_, ds_, LayerName(stem).c_str(), &p, 0, 0) != 1) return CellCalls(h_, 0, 1, ds_);
    return OpenWithLevel(stem, compress);
  }
  // Opens a closed layer with its level 1.
  CellCalls Open(const std::string& stem) { return OpenWithLevel(stem, kind().compress); }
  // Closes level and layer and opens both again.
  CellCalls AgainAs(const CellCalls& calls, const std::string& stem, uint8_t compress) {
    if (_hxClosePyramidLayer(h_, ds_, calls.layer()) != 1 || _hxCloseDataLayer(h_, ds_, calls.layer()) != 1) {
      return CellCalls(h_, 0, 1, ds_);
    }
    return OpenWithLevel(stem, compress);
  }

 private:
  CellCalls OpenWithLevel(const std::string& stem, uint8_t compress) {
    const CellCalls calls(h_, _hxOpenDataLayer(h_, ds_, LayerName(stem).c_str(), 0), 1, ds_);
    const bool ok =
        calls.layer() >= 1 && _hxOpenPyramidLayer(h_, ds_, calls.layer(), 1) == 1 && calls.SetOper(compress);
    return ok ? calls : CellCalls(h_, 0, 1, ds_);
  }

  // A fresh database on the test server for each PostgreSQL test, dropped after it.
  rasterdb::test::PgDatabase server_{GetParam().store == Store::kPostgresql};
  int32_t ds_ = kLocal;
};

inline std::string KindName(const ::testing::TestParamInfo<LayerKind>& info) { return info.param.name(); }

}  // namespace dembase::testing

#endif  // DEMBASE_TESTS_SUPPORT_LAYER_KIND_FIXTURE_H_
