// Connections, data sets, layers and levels through the C interface.
#include <bit>
#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "test_database.h"

namespace dembase::rasterdb::test {
namespace {

using LayerTest = RasterDbTest;
INSTANTIATE_TEST_SUITE_P(RasterDb, LayerTest, ::testing::ValuesIn(TestKinds()), KindName);

TEST_P(LayerTest, BadConnectsAndStaleHandlesAreRefused) {
  for (int32_t kind : {0, -1, 3}) EXPECT_EQ(DbConnect(kind, db_.file().c_str(), "", ""), 0u) << kind;
  EXPECT_EQ(DbConnect(GetParam(), nullptr, "", ""), 0u);
  const uint32_t closed = db_.Connect();
  DbDisconnect(closed);
  const uint32_t next = db_.Connect();
  EXPECT_NE(next, closed);  // a closed number is not handed out again at once
  DbDisconnect(next);
  DataLayerParam p = LayerParam(DEMBASE_TYPE_INT32);
  const DbConnectInfo info = db_.Info("terrain");
  for (uint32_t bad : {0u, closed, next, 0xFFFFFFFFu}) {
    EXPECT_EQ(DbOpenDataSet(bad, &info), 0) << bad;
    EXPECT_EQ(DbCreateLayer(bad, ds_, "x", &p, 0), 0) << bad;
    EXPECT_EQ(DbGetLayerParam(bad, 1, &p), 0) << bad;
    EXPECT_EQ(DbBeginWrite(bad, 1, 1), 0) << bad;
    DbCloseLayer(bad, ds_, 1);
    DbDisconnect(bad);
  }
}

TEST_P(LayerTest, LayerRecordIsKeptByteForByteUnderAUniqueName) {
  DataLayerParam p = LayerParam(DEMBASE_TYPE_FLOAT32);
  p.levelCount = 9;  // the database counts levels itself
  ASSERT_EQ(DbCreateLayer(conn_, ds_, "dem", &p, 42), 1);
  EXPECT_EQ(DbCreateLayer(conn_, ds_, "DEM", &p, 42), 0);
  const int32_t layer = DbOpenLayer(conn_, ds_, "dem");
  EXPECT_EQ(DbOpenLayer(conn_, ds_, "dem"), layer);  // a second open, same id
  DataLayerParam got{};
  ASSERT_EQ(DbGetLayerParam(conn_, layer, &got), 1);
  p.levelCount = 0;
  EXPECT_TRUE(SameBytes(got, p));
  p.maxValue = 1234.5;
  ASSERT_EQ(DbSetLayerParam(conn_, layer, &p), 1);
  ASSERT_EQ(DbGetLayerParam(conn_, layer, &got), 1);
  EXPECT_TRUE(SameBytes(got, p));
  p.dataType = DEMBASE_TYPE_INT32;  // the stored tiles were made for float cells
  EXPECT_EQ(DbSetLayerParam(conn_, layer, &p), 0);
  EXPECT_EQ(DbSetLayerParam(conn_, layer, nullptr), 0);

  // Opens are counted per connection.
  DbCloseLayer(conn_, ds_, layer);
  DbCloseLayer(conn_, ds_ + 1, layer);  // wrong data set: ignored
  EXPECT_EQ(DbGetLayerParam(conn_, layer, &p), 1);
  DbCloseLayer(conn_, ds_, layer);
  EXPECT_EQ(DbGetLayerParam(conn_, layer, &p), 0);
  const uint32_t other = db_.Connect();  // the layer exists, but is not open there
  EXPECT_EQ(DbGetLayerParam(other, layer, &p), 0);
  DbDisconnect(other);

  // Data sets are found by name ignoring case, and layer names are unique per data set.
  const DbConnectInfo same = db_.Info("TERRAIN"), coast = db_.Info("coast");
  EXPECT_EQ(DbOpenDataSet(conn_, &same), ds_);
  const int32_t coastDs = DbOpenDataSet(conn_, &coast);
  EXPECT_TRUE(coastDs >= 1 && coastDs != ds_);
  EXPECT_EQ(DbCreateLayer(conn_, coastDs, "dem", &p, 0), 1);
  DbConnectInfo unterminated = db_.Info("x");
  std::memset(unterminated.dataSet, 'a', sizeof(unterminated.dataSet));
  EXPECT_EQ(DbOpenDataSet(conn_, &unterminated), 0);
  EXPECT_EQ(DbOpenDataSet(conn_, nullptr), 0);
}

TEST_P(LayerTest, BadLayerArgumentsAreRefused) {
  const DataLayerParam good = LayerParam(DEMBASE_TYPE_INT32);
  DataLayerParam bad_type = good;
  bad_type.dataType = 5;
  const std::string long_name(256, 'n');
  const struct {
    const char* what;
    int32_t ds;
    const char* name;
    const DataLayerParam* param;
  } cases[] = {
      {"unopened data set", ds_ + 1000, "a", &good}, {"null name", ds_, nullptr, &good},
      {"empty name", ds_, "", &good},                {"name too long", ds_, long_name.c_str(), &good},
      {"null record", ds_, "a", nullptr},            {"data type 5", ds_, "a", &bad_type},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DbCreateLayer(conn_, c.ds, c.name, c.param, 0), 0) << c.what;
    EXPECT_EQ(DbOpenLayer(conn_, c.ds, c.name), 0) << c.what;
    EXPECT_EQ(DbDeleteLayer(conn_, c.ds, c.name), 0) << c.what;
  }
}

TEST_P(LayerTest, DeletingALayerTakesItsLevelsAndTiles) {
  const int32_t old_layer = MakeLayer("dem", 2, 2);
  TileIndexRec rec{};
  ASSERT_EQ(DbReadTileRec(conn_, old_layer, 1, 1, &rec), 1);
  const uint8_t bytes[4] = {1, 2, 3, 4};
  ASSERT_EQ(DbWriteTileData(conn_, old_layer, rec.offset, bytes, 4), 1);
  EXPECT_EQ(DbDeleteLayer(conn_, ds_, "DEM"), 1);
  EXPECT_EQ(DbDeleteLayer(conn_, ds_, "dem"), 0);
  EXPECT_EQ(DbOpenLayer(conn_, ds_, "dem"), 0);
  const int32_t new_layer = MakeLayer("dem");
  EXPECT_NE(new_layer, old_layer);  // ids are not reused
  PyramidLayerInfo info{};
  uint8_t back[4];
  EXPECT_EQ(DbGetLevelInfo(conn_, new_layer, 1, &info), 0);
  EXPECT_EQ(DbReadTileData(conn_, new_layer, rec.offset, 4, back), 0);
}

TEST_P(LayerTest, LevelsAreCreatedOnceAndCounted) {
  const int32_t layer = MakeLayer("dem");
  PyramidLayerInfo info = LevelInfo(3, 4);
  info.cellSizeX = 2.5;
  ASSERT_EQ(DbCreateLevel(conn_, layer, 1, &info), 1);
  EXPECT_EQ(DbCreateLevel(conn_, layer, 1, &info), -5);
  ASSERT_EQ(DbCreateLevel(conn_, layer, 2, &info), 1);
  DataLayerParam p{};
  ASSERT_EQ(DbGetLayerParam(conn_, layer, &p), 1);
  EXPECT_EQ(+p.levelCount, 2);
  p.levelCount = 0;  // a stale count from the caller does not overwrite the database's
  ASSERT_EQ(DbSetLayerParam(conn_, layer, &p), 1);
  ASSERT_EQ(DbGetLayerParam(conn_, layer, &p), 1);
  EXPECT_EQ(+p.levelCount, 2);

  PyramidLayerInfo got{};
  ASSERT_EQ(DbGetLevelInfo(conn_, layer, 2, &got), 1);
  EXPECT_TRUE(SameBytes(got, info));
  got.closedOnce = 1;
  ASSERT_EQ(DbSetLevelInfo(conn_, layer, 2, &got), 1);
  PyramidLayerInfo regrown = got;
  regrown.tilesDown = 5;  // the tile records exist for 3 x 4
  EXPECT_EQ(DbSetLevelInfo(conn_, layer, 2, &regrown), 0);
  ASSERT_EQ(DbGetLevelInfo(conn_, layer, 2, &info), 1);
  EXPECT_TRUE(SameBytes(got, info));

  ASSERT_EQ(DbDeleteLevel(conn_, layer, 1), 1);
  EXPECT_EQ(DbDeleteLevel(conn_, layer, 1), 0);
  EXPECT_EQ(DbGetLevelInfo(conn_, layer, 1, &got), 0);
  ASSERT_EQ(DbGetLayerParam(conn_, layer, &p), 1);
  EXPECT_EQ(+p.levelCount, 1);
}

TEST_P(LayerTest, NonsensicalLevelsAreRefused) {
  const int32_t layer = MakeLayer("dem");
  const struct {
    const char* what;
    int16_t level;
    void (*spoil)(PyramidLayerInfo&);
  } cases[] = {
      {"level 0", 0, [](PyramidLayerInfo&) {}},
      {"negative level", -3, [](PyramidLayerInfo&) {}},
      {"no tile rows", 1, [](PyramidLayerInfo& i) { i.tilesDown = 0; }},
      {"negative tile columns", 1, [](PyramidLayerInfo& i) { i.tilesAcross = -2; }},
      {"product overflows int32", 1, [](PyramidLayerInfo& i) { i.tilesDown = i.tilesAcross = 70000; }},
      {"more than 2^24 tiles", 1, [](PyramidLayerInfo& i) { i.tilesDown = 4097, i.tilesAcross = 4096; }},
      {"no cell rows", 1, [](PyramidLayerInfo& i) { i.rows = 0; }},
      {"zero tile edge", 1, [](PyramidLayerInfo& i) { i.tileCols = 0; }},
  };
  for (const auto& c : cases) {
    PyramidLayerInfo info = LevelInfo(2, 2);
    c.spoil(info);
    EXPECT_EQ(DbCreateLevel(conn_, layer, c.level, &info), 0) << c.what;
  }
  EXPECT_EQ(DbCreateLevel(conn_, layer, 1, nullptr), 0);
  const PyramidLayerInfo info = LevelInfo(1, 1);
  EXPECT_EQ(DbCreateLevel(conn_, layer + 1000, 1, &info), 0);
  EXPECT_EQ(DbCreateLevel(conn_, layer, 32767, &info), 1);
  DataLayerParam p{};
  ASSERT_EQ(DbGetLayerParam(conn_, layer, &p), 1);
  EXPECT_EQ(+p.levelCount, 1);  // nothing of the refused ones was kept
}

TEST_P(LayerTest, NewLevelRecordsAreEmptyWithUniqueKeys) {
  std::set<uint32_t> keys;
  for (uint16_t type : {DEMBASE_TYPE_INT32, DEMBASE_TYPE_FLOAT32}) {
    const uint32_t nullBits =
        type == DEMBASE_TYPE_INT32 ? std::bit_cast<uint32_t>(2100000000.0f) : DEMBASE_NULL_FLOAT32_BITS;
    const int32_t layer = MakeLayer(std::to_string(type).c_str(), 3, 5, type);
    const PyramidLayerInfo second = LevelInfo(2, 2);
    ASSERT_EQ(DbCreateLevel(conn_, layer, 2, &second), 1);
    for (int16_t level : {1, 2}) {
      std::vector<TileIndexRec> index(level == 1 ? 15 : 4);
      ASSERT_EQ(DbReadTileIndex(conn_, layer, level, index.data()), 1);
      for (const TileIndexRec& r : index) {
        EXPECT_TRUE(r.offset != 0 && keys.insert(+r.offset).second) << "key " << +r.offset;
        EXPECT_EQ(+r.packed + r.storedSize, 0u);
        EXPECT_EQ(std::bit_cast<uint32_t>(+r.tileMin), nullBits);
        EXPECT_EQ(std::bit_cast<uint32_t>(+r.tileMax), nullBits);
      }
    }
  }
}

TEST_P(LayerTest, BigLevelIsCreatedQuickly) {
  const int32_t layer = MakeLayer("big");
  const PyramidLayerInfo info = LevelInfo(512, 512);  // 262144 tiles
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(DbCreateLevel(conn_, layer, 1, &info), 1);
  // One transaction takes about a second; a commit per tile would take hours.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  std::vector<TileIndexRec> index(512 * 512);
  ASSERT_EQ(DbReadTileIndex(conn_, layer, 1, index.data()), 1);
  EXPECT_NE(+index.front().offset, +index.back().offset);
}

}  // namespace
}  // namespace dembase::rasterdb::test
