// Tile records, whole tile indexes, tile bytes and write batches through the C interface.
#include <chrono>
#include <functional>
#include <vector>

#include "test_database.h"

namespace dembase::rasterdb::test {
namespace {

constexpr int32_t kTiles = 2 * 3;

class TileTest : public RasterDbTest {
 protected:
  void SetUp() override {
    RasterDbTest::SetUp();
    layer_ = MakeLayer("dem", 2, 3);
    ASSERT_GE(layer_, 1);
    index_.resize(kTiles);
    ASSERT_EQ(DbReadTileIndex(conn_, layer_, 1, index_.data()), 1);
  }
  uint32_t Key(int32_t tileNumber) const { return index_[static_cast<std::size_t>(tileNumber - 1)].offset; }
  static TileIndexRec StoredRec(uint32_t size) { return {0xDEADBEEF, 1, size, -4.0f, 99.0f}; }
  // A second connection with the layer open.
  uint32_t Reader() const {
    const uint32_t reader = db_.Connect();
    return DbOpenLayer(reader, db_.OpenDataSet(reader), "dem") == layer_ ? reader : 0;
  }
  uint32_t StoredSize(uint32_t conn, int32_t tile) const {
    TileIndexRec rec{};
    return DbReadTileRec(conn, layer_, 1, tile, &rec) == 1 ? rec.storedSize : 0xFFFFFFFF;
  }

  int32_t layer_ = 0;
  std::vector<TileIndexRec> index_;
};
INSTANTIATE_TEST_SUITE_P(RasterDb, TileTest, ::testing::ValuesIn(TestKinds()), KindName);

TEST_P(TileTest, TileRecordsAndIndexesKeepTheDatabaseKey) {
  const TileIndexRec written = StoredRec(1234);
  ASSERT_EQ(DbWriteTileRec(conn_, layer_, 1, 4, &written), 1);
  TileIndexRec got{};
  ASSERT_EQ(DbReadTileRec(conn_, layer_, 1, 4, &got), 1);
  TileIndexRec expected = written;
  expected.offset = Key(4);
  EXPECT_TRUE(SameBytes(got, expected));
  const struct {
    const char* what;
    int32_t layer;
    int16_t level;
    int32_t tile;
  } refused[] = {{"tile 0", layer_, 1, 0},           {"tile past the level", layer_, 1, kTiles + 1},
                 {"level not created", layer_, 2, 1}, {"layer not open", layer_ + 1000, 1, 1}};
  for (const auto& c : refused) {
    EXPECT_EQ(DbReadTileRec(conn_, c.layer, c.level, c.tile, &got), 0) << c.what;
    EXPECT_EQ(DbWriteTileRec(conn_, c.layer, c.level, c.tile, &written), 0) << c.what;
  }
  EXPECT_EQ(DbReadTileRec(conn_, layer_, 1, 1, nullptr), 0);
  EXPECT_EQ(DbWriteTileRec(conn_, layer_, 1, 1, nullptr), 0);

  std::vector<TileIndexRec> changed(kTiles + 1);
  for (std::size_t i = 0; i < changed.size(); ++i) changed[i] = StoredRec(static_cast<uint32_t>(100 + i));
  ASSERT_EQ(DbWriteTileIndex(conn_, layer_, 1, changed.data(), kTiles), 1);
  std::vector<TileIndexRec> all(kTiles);
  ASSERT_EQ(DbReadTileIndex(conn_, layer_, 1, all.data()), 1);
  for (std::size_t i = 0; i < all.size(); ++i) {
    EXPECT_EQ(+all[i].offset, +index_[i].offset);
    EXPECT_EQ(+all[i].storedSize, 100u + i);
  }
  // A count that does not match the level writes nothing.
  for (int32_t count : {kTiles - 1, kTiles + 1, 0, -1}) {
    EXPECT_EQ(DbWriteTileIndex(conn_, layer_, 1, index_.data(), count), 0) << count;
  }
  EXPECT_EQ(DbWriteTileIndex(conn_, layer_, 1, nullptr, kTiles), 0);
  EXPECT_EQ(DbReadTileIndex(conn_, layer_, 1, nullptr), 0);
  EXPECT_EQ(StoredSize(conn_, 1), 100u);
}

TEST_P(TileTest, IndexReadIsRefusedWhenTheLevelGrewElsewhere) {
  // Our caller sized its buffer for the old geometry; it must not be overrun.
  const uint32_t other = Reader();
  ASSERT_EQ(DbDeleteLevel(other, layer_, 1), 1);
  const PyramidLayerInfo bigger = LevelInfo(7, 3);
  ASSERT_EQ(DbCreateLevel(other, layer_, 1, &bigger), 1);
  DbDisconnect(other);
  EXPECT_EQ(DbReadTileIndex(conn_, layer_, 1, index_.data()), 0);
  PyramidLayerInfo now{};
  ASSERT_EQ(DbGetLevelInfo(conn_, layer_, 1, &now), 1);
  index_.resize(7 * 3);
  EXPECT_EQ(DbReadTileIndex(conn_, layer_, 1, index_.data()), 1);
}

TEST_P(TileTest, TileBytesAreReadBackWithTheirExactLength) {
  std::vector<uint8_t> bytes(70000);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 31);
  const auto length = static_cast<uint32_t>(bytes.size());
  ASSERT_EQ(DbWriteTileData(conn_, layer_, Key(2), bytes.data(), length), 1);
  std::vector<uint8_t> back(bytes.size() + 1);
  ASSERT_EQ(DbReadTileData(conn_, layer_, Key(2), length, back.data()), 1);
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), back.begin()));

  const int32_t other_layer = MakeLayer("other", 1, 1);
  std::vector<uint8_t> huge((4u << 20) + 1);
  const struct {
    const char* what;
    int32_t layer;
    uint32_t key, length;
    uint8_t* buffer;
  } refused[] = {{"shorter", layer_, Key(2), length - 1, back.data()},
                 {"longer", layer_, Key(2), length + 1, back.data()},
                 {"key of another layer", other_layer, Key(2), length, back.data()},
                 {"unknown key", layer_, 0xFFFFFFF0u, length, back.data()},
                 {"null buffer", layer_, Key(2), length, nullptr},
                 {"too long", layer_, Key(2), static_cast<uint32_t>(huge.size()), huge.data()},
                 {"nothing stored", layer_, Key(3), 16, back.data()}};
  for (const auto& c : refused) {
    EXPECT_EQ(DbReadTileData(conn_, c.layer, c.key, c.length, c.buffer), 0) << c.what;
    if (c.length != length) continue;  // the others would be valid writes
    EXPECT_EQ(DbWriteTileData(conn_, c.layer, c.key, c.buffer, c.length), 0) << c.what;
  }
  EXPECT_EQ(DbReadTileData(conn_, layer_, Key(3), 0, nullptr), 1);  // nothing stored, nothing asked
  ASSERT_EQ(DbReadTileData(conn_, layer_, Key(2), length, back.data()), 1);  // untouched
  ASSERT_EQ(DbWriteTileData(conn_, layer_, Key(2), nullptr, 0), 1);  // stores nothing
  EXPECT_EQ(DbReadTileData(conn_, layer_, Key(2), length, back.data()), 0);
}

TEST_P(TileTest, BatchIsOneTransactionAndOtherWritesCommitAtOnce) {
  const uint32_t reader = Reader();
  const uint8_t bytes[5] = {9, 8, 7, 6, 5};
  const TileIndexRec rec = StoredRec(5);
  uint8_t back[5];
  ASSERT_EQ(DbWriteTileData(conn_, layer_, Key(6), bytes, 5), 1);
  ASSERT_EQ(DbWriteTileRec(conn_, layer_, 1, 6, &rec), 1);
  EXPECT_EQ(StoredSize(reader, 6), 5u);
  EXPECT_EQ(DbReadTileData(reader, layer_, Key(6), 5, back), 1);

  ASSERT_EQ(DbBeginWrite(conn_, layer_, 1), 1);
  ASSERT_EQ(DbPutTileData(conn_, Key(3), bytes, 5), 1);
  ASSERT_EQ(DbPutTileRec(conn_, 3, &rec), 1);
  EXPECT_EQ(StoredSize(reader, 3), 0u);  // not yet committed
  EXPECT_EQ(DbReadTileData(reader, layer_, Key(3), 5, back), 0);
  ASSERT_EQ(DbEndWrite(conn_), 1);
  EXPECT_EQ(StoredSize(reader, 3), 5u);
  ASSERT_EQ(DbReadTileData(reader, layer_, Key(3), 5, back), 1);
  EXPECT_TRUE(SameBytes(back, bytes));
  DbDisconnect(reader);
}

TEST_P(TileTest, BatchRefusals) {
  const int32_t other_layer = MakeLayer("other", 1, 1);
  const PyramidLayerInfo two = LevelInfo(1, 1);
  ASSERT_EQ(DbCreateLevel(conn_, layer_, 2, &two), 1);
  TileIndexRec level2{};
  ASSERT_EQ(DbReadTileRec(conn_, layer_, 2, 1, &level2), 1);
  const TileIndexRec rec = StoredRec(1);
  const uint8_t byte = 1;
  const struct {
    const char* what;
    std::function<int32_t()> call;
  } outside[] = {
      {"put rec, no batch", [&] { return DbPutTileRec(conn_, 1, &rec); }},
      {"put data, no batch", [&] { return DbPutTileData(conn_, Key(1), &byte, 1); }},
      {"end, no batch", [&] { return DbEndWrite(conn_); }},
      {"level 3", [&] { return DbBeginWrite(conn_, layer_, 3); }},
      {"level 0", [&] { return DbBeginWrite(conn_, layer_, 0); }},
      {"layer not open", [&] { return DbBeginWrite(conn_, layer_ + 1000, 1); }},
  }, inside[] = {
      {"one batch per connection", [&] { return DbBeginWrite(conn_, other_layer, 1); }},
      {"tile 0", [&] { return DbPutTileRec(conn_, 0, &rec); }},
      {"tile past the level", [&] { return DbPutTileRec(conn_, kTiles + 1, &rec); }},
      {"null record", [&] { return DbPutTileRec(conn_, 1, nullptr); }},
      {"key of another level", [&] { return DbPutTileData(conn_, level2.offset, &byte, 1); }},
      {"the batch's own level", [&] { return DbDeleteLevel(conn_, layer_, 1); }},
      {"the batch's own layer", [&] { return DbDeleteLayer(conn_, ds_, "dem"); }},
  };
  for (const auto& c : outside) EXPECT_EQ(c.call(), 0) << c.what;
  ASSERT_EQ(DbBeginWrite(conn_, layer_, 1), 1);
  for (const auto& c : inside) EXPECT_EQ(c.call(), 0) << c.what;
  EXPECT_EQ(DbEndWrite(conn_), 1);
  EXPECT_EQ(DbEndWrite(conn_), 0);
}

TEST_P(TileTest, UnendedBatchIsRolledBack) {
  const uint8_t bytes[3] = {1, 2, 3};
  const TileIndexRec rec = StoredRec(3);
  TileIndexRec rec_back{};
  const struct {
    const char* what;
    std::function<void()> end;
    bool needs_server = false;
  } cases[] = {
      {"disconnect", [this] { DbDisconnect(conn_); }},
      {"close layer", [this] { DbCloseLayer(conn_, ds_, layer_); }},
      {"close data set", [this] { DbCloseDataSet(conn_, ds_); }},
      {"server session lost",
       [&] {
         ASSERT_TRUE(db_.EndSessions());
         EXPECT_EQ(DbPutTileData(conn_, Key(2), bytes, 3), 0);
         EXPECT_EQ(DbReadTileRec(conn_, layer_, 1, 1, &rec_back), 0);
       },
       true},
  };
  for (const auto& c : cases) {
    if (c.needs_server && GetParam() != RASTERDB_KIND_POSTGRESQL) continue;
    ASSERT_EQ(DbBeginWrite(conn_, layer_, 1), 1) << c.what;
    ASSERT_EQ(DbPutTileData(conn_, Key(1), bytes, 3), 1);
    ASSERT_EQ(DbPutTileRec(conn_, 1, &rec), 1);
    const auto start = std::chrono::steady_clock::now();
    c.end();
    EXPECT_EQ(DbEndWrite(conn_), 0) << c.what;  // nothing left to commit
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << c.what;
    DbDisconnect(conn_);
    conn_ = Reader();  // the data set keeps its id, and is open once
    EXPECT_EQ(StoredSize(conn_, 1), 0u) << c.what;
    uint8_t back[3];
    EXPECT_EQ(DbReadTileData(conn_, layer_, Key(1), 3, back), 0) << c.what;
  }
}

}  // namespace
}  // namespace dembase::rasterdb::test
