// The raster database library's own contract, through its C interface: what a client of the
// layer calls would not notice (names, open counts, keys, refusals, transactions), and what
// only the SQLite backend has, the database file (foreign files refused unchanged, records
// readable by any client).
#include <sqlite3.h>

#include <bit>
#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "test_database.h"

namespace dembase::rasterdb::test {
namespace {

using LayerTest = RasterDbTest;
INSTANTIATE_TEST_SUITE_P(RasterDb, LayerTest, ::testing::ValuesIn(TestKinds()), KindName);

TEST_P(LayerTest, NamesOpenCountsAndLevelsFollowTheDatabasesRules) {
  DataLayerParam p = LayerParam(DEMBASE_TYPE_FLOAT32);
  p.levelCount = 9;  // the database counts levels itself
  ASSERT_EQ(DbCreateLayer(conn_, ds_, "dem", &p, 42), 1);
  EXPECT_EQ(DbCreateLayer(conn_, ds_, "DEM", &p, 42), 0);
  const int32_t layer = DbOpenLayer(conn_, ds_, "dem");
  EXPECT_EQ(DbOpenLayer(conn_, ds_, "dem"), layer);  // a second open, same id
  // The stored tiles were made for float cells.
  p.dataType = DEMBASE_TYPE_INT32;
  EXPECT_EQ(DbSetLayerParam(conn_, layer, &p), 0);
  EXPECT_EQ(DbSetLayerParam(conn_, layer, nullptr), 0);

  // Opens are counted per connection.
  DbCloseLayer(conn_, ds_, layer);
  DbCloseLayer(conn_, ds_ + 1, layer);  // wrong data set: ignored
  EXPECT_EQ(DbGetLayerParam(conn_, layer, &p), 1);
  EXPECT_EQ(+p.levelCount, 0);
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

  // Deleting a layer takes its tiles, and its id is not reused.
  const int32_t old_layer = MakeLayer("old", 2, 2);
  TileIndexRec rec{};
  ASSERT_EQ(DbReadTileRec(conn_, old_layer, 1, 1, &rec), 1);
  const uint8_t bytes[4] = {1, 2, 3, 4};
  ASSERT_EQ(DbWriteTileData(conn_, old_layer, rec.offset, bytes, 4), 1);
  EXPECT_EQ(DbDeleteLayer(conn_, ds_, "OLD"), 1);
  const int32_t fresh = MakeLayer("old");
  EXPECT_NE(fresh, old_layer);
  uint8_t back[4];
  EXPECT_EQ(DbReadTileData(conn_, fresh, rec.offset, 4, back), 0);

  // Levels are created once and counted by the database, whatever count a caller sends; new
  // tile records hold null ranges (float ones are pinned with the stored layout).
  PyramidLayerInfo info = LevelInfo(3, 4);
  ASSERT_EQ(DbCreateLevel(conn_, fresh, 1, &info), 1);
  EXPECT_EQ(DbCreateLevel(conn_, fresh, 1, &info), -5);
  ASSERT_EQ(DbCreateLevel(conn_, fresh, 2, &info), 1);
  ASSERT_EQ(DbGetLayerParam(conn_, fresh, &p), 1);
  p.levelCount = 0;
  ASSERT_EQ(DbSetLayerParam(conn_, fresh, &p), 1);
  ASSERT_EQ(DbGetLayerParam(conn_, fresh, &p), 1);
  EXPECT_EQ(+p.levelCount, 2);
  ASSERT_EQ(DbReadTileRec(conn_, fresh, 2, 12, &rec), 1);
  EXPECT_EQ(std::bit_cast<uint32_t>(+rec.tileMin), std::bit_cast<uint32_t>(2100000000.0f));
  EXPECT_EQ(std::bit_cast<uint32_t>(+rec.tileMax), std::bit_cast<uint32_t>(2100000000.0f));
  // A level's geometry is fixed by its tile records.
  info.closedOnce = 1;
  ASSERT_EQ(DbSetLevelInfo(conn_, fresh, 2, &info), 1);
  PyramidLayerInfo regrown = info;
  regrown.tilesDown = 5;
  EXPECT_EQ(DbSetLevelInfo(conn_, fresh, 2, &regrown), 0);
  ASSERT_EQ(DbGetLevelInfo(conn_, fresh, 2, &regrown), 1);
  EXPECT_EQ(std::memcmp(&regrown, &info, sizeof info), 0);

  // A big level is one transaction, about a second; a commit per tile would take hours.
  const PyramidLayerInfo big = LevelInfo(512, 512);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(DbCreateLevel(conn_, fresh, 3, &big), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  std::vector<TileIndexRec> index(512 * 512);
  EXPECT_EQ(DbReadTileIndex(conn_, fresh, 3, index.data()), 1);
}

TEST_P(LayerTest, BadHandlesArgumentsAndLevelsAreRefused) {
  for (int32_t kind : {0, 3}) EXPECT_EQ(DbConnect(kind, db_.file().c_str(), "", ""), 0u) << kind;
  EXPECT_EQ(DbConnect(GetParam(), nullptr, "", ""), 0u);
  const uint32_t closed = db_.Connect();
  DbDisconnect(closed);
  const uint32_t next = db_.Connect();
  EXPECT_NE(next, closed);  // a closed number is not handed out again at once
  DbDisconnect(next);
  // Every call finds its connection through one lookup.
  const DbConnectInfo terrain = db_.Info("terrain");
  for (uint32_t bad : {0u, closed, 0xFFFFFFFFu}) {
    EXPECT_EQ(DbOpenDataSet(bad, &terrain), 0) << bad;
    DbCloseLayer(bad, ds_, 1);
    DbDisconnect(bad);
  }

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
      {"unopened data set", ds_ + 1000, "a", &good},
      {"null name", ds_, nullptr, &good},
      {"empty name", ds_, "", &good},
      {"name too long", ds_, long_name.c_str(), &good},
      {"null record", ds_, "a", nullptr},
      {"data type 5", ds_, "a", &bad_type},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DbCreateLayer(conn_, c.ds, c.name, c.param, 0), 0) << c.what;
    EXPECT_EQ(DbOpenLayer(conn_, c.ds, c.name), 0) << c.what;
    EXPECT_EQ(DbDeleteLayer(conn_, c.ds, c.name), 0) << c.what;
  }

  const int32_t layer = MakeLayer("dem");
  const struct {
    const char* what;
    int16_t level;
    void (*spoil)(PyramidLayerInfo&);
  } levels[] = {
      {"level 0", 0, [](PyramidLayerInfo&) {}},
      {"no tile rows", 1, [](PyramidLayerInfo& i) { i.tilesDown = 0; }},
      {"negative tile columns", 1, [](PyramidLayerInfo& i) { i.tilesAcross = -2; }},
      {"product overflows int32", 1, [](PyramidLayerInfo& i) { i.tilesDown = i.tilesAcross = 70000; }},
      {"more than 2^24 tiles", 1, [](PyramidLayerInfo& i) { i.tilesDown = 4097, i.tilesAcross = 4096; }},
      {"no cell rows", 1, [](PyramidLayerInfo& i) { i.rows = 0; }},
      {"zero tile edge", 1, [](PyramidLayerInfo& i) { i.tileCols = 0; }},
  };
  for (const auto& c : levels) {
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

// The key a caller sends in a record is never stored over the database's own.
TEST_P(TileTest, TileRecordsAndIndexesKeepTheDatabaseKey) {
  const TileIndexRec written = StoredRec(1234);
  ASSERT_EQ(DbWriteTileRec(conn_, layer_, 1, 4, &written), 1);
  TileIndexRec got{};
  ASSERT_EQ(DbReadTileRec(conn_, layer_, 1, 4, &got), 1);
  EXPECT_EQ(+got.offset, Key(4));
  const struct {
    const char* what;
    int32_t layer;
    int16_t level;
    int32_t tile;
  } refused[] = {{"tile 0", layer_, 1, 0},
                 {"tile past the level", layer_, 1, kTiles + 1},
                 {"level not created", layer_, 2, 1},
                 {"layer not open", layer_ + 1000, 1, 1}};
  for (const auto& c : refused) {
    EXPECT_EQ(DbReadTileRec(conn_, c.layer, c.level, c.tile, &got), 0) << c.what;
    EXPECT_EQ(DbWriteTileRec(conn_, c.layer, c.level, c.tile, &written), 0) << c.what;
  }
  EXPECT_EQ(DbReadTileRec(conn_, layer_, 1, 1, nullptr), 0);
  EXPECT_EQ(DbWriteTileRec(conn_, layer_, 1, 1, nullptr), 0);

  const std::vector<TileIndexRec> changed(kTiles, StoredRec(100));
  ASSERT_EQ(DbWriteTileIndex(conn_, layer_, 1, changed.data(), kTiles), 1);
  std::vector<TileIndexRec> all(kTiles);
  ASSERT_EQ(DbReadTileIndex(conn_, layer_, 1, all.data()), 1);
  for (std::size_t i = 0; i < all.size(); ++i) EXPECT_EQ(+all[i].offset, +index_[i].offset);
  // A count that does not match the level writes nothing.
  for (int32_t count : {kTiles - 1, kTiles + 1, -1}) {
    EXPECT_EQ(DbWriteTileIndex(conn_, layer_, 1, index_.data(), count), 0) << count;
  }
  EXPECT_EQ(DbWriteTileIndex(conn_, layer_, 1, nullptr, kTiles), 0);
  EXPECT_EQ(DbReadTileIndex(conn_, layer_, 1, nullptr), 0);
  EXPECT_EQ(StoredSize(conn_, 1), 100u);

  // The level grew elsewhere: our caller sized its buffer for the old geometry, and the
  // index read must not overrun it.
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

// Tile bytes are read only with their exact length, and only through their own layer.
TEST_P(TileTest, TileBytesAreReadBackWithTheirExactLength) {
  const std::vector<uint8_t> bytes(70000, 0x5A);
  const auto length = static_cast<uint32_t>(bytes.size());
  ASSERT_EQ(DbWriteTileData(conn_, layer_, Key(2), bytes.data(), length), 1);
  std::vector<uint8_t> back(bytes.size() + 1);
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
  ASSERT_EQ(DbReadTileData(conn_, layer_, Key(2), length, back.data()), 1);
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), back.begin()));  // untouched by the refusals
  ASSERT_EQ(DbWriteTileData(conn_, layer_, Key(2), nullptr, 0), 1);   // stores nothing
  EXPECT_EQ(DbReadTileData(conn_, layer_, Key(2), length, back.data()), 0);
}

// A batch commits as one transaction at its end; other writes commit at once.
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
  EXPECT_EQ(std::memcmp(back, bytes, sizeof bytes), 0);
  DbDisconnect(reader);

  const int32_t other_layer = MakeLayer("other", 1, 1);
  const PyramidLayerInfo two = LevelInfo(1, 1);
  ASSERT_EQ(DbCreateLevel(conn_, layer_, 2, &two), 1);
  TileIndexRec level2{};
  ASSERT_EQ(DbReadTileRec(conn_, layer_, 2, 1, &level2), 1);
  const struct {
    const char* what;
    std::function<int32_t()> call;
  } outside[] =
      {
          {"put rec, no batch", [&] { return DbPutTileRec(conn_, 1, &rec); }},
          {"put data, no batch", [&] { return DbPutTileData(conn_, Key(1), bytes, 1); }},
          {"end, no batch", [&] { return DbEndWrite(conn_); }},
          {"level 3", [&] { return DbBeginWrite(conn_, layer_, 3); }},
          {"level 0", [&] { return DbBeginWrite(conn_, layer_, 0); }},
          {"layer not open", [&] { return DbBeginWrite(conn_, layer_ + 1000, 1); }},
      },
    inside[] = {
        {"one batch per connection", [&] { return DbBeginWrite(conn_, other_layer, 1); }},
        {"tile 0", [&] { return DbPutTileRec(conn_, 0, &rec); }},
        {"tile past the level", [&] { return DbPutTileRec(conn_, kTiles + 1, &rec); }},
        {"null record", [&] { return DbPutTileRec(conn_, 1, nullptr); }},
        {"key of another level", [&] { return DbPutTileData(conn_, level2.offset, bytes, 1); }},
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

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Another program's view of the file: runs SQL and gives the first column of the first row.
std::string QueryBlob(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  sqlite3_stmt* stmt = nullptr;
  std::string bytes;
  if (sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
      sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW &&
      sqlite3_column_bytes(stmt, 0) > 0) {
    bytes.assign(static_cast<const char*>(sqlite3_column_blob(stmt, 0)),
                 static_cast<std::size_t>(sqlite3_column_bytes(stmt, 0)));
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return bytes;
}

uint32_t U32At(const std::string& b, std::size_t at) {
  uint32_t v = 0;
  for (std::size_t i = 0; i < 4 && at + i < b.size(); ++i) v |= uint32_t{static_cast<uint8_t>(b[at + i])} << (8 * i);
  return v;
}

uint32_t Connect(const std::string& path) { return DbConnect(RASTERDB_KIND_SQLITE, path.c_str(), "", ""); }

TEST(RasterDbSqliteFileTest, ForeignFilesAreRefusedAndLeftAlone) {
  const struct {
    const char* what;
    const char* sql;  // null: a text file
  } cases[] = {
      {"not SQLite", nullptr},
      {"another application", "PRAGMA application_id = 7; CREATE TABLE t(x);"},
      {"newer schema", "PRAGMA application_id = 1145392466; PRAGMA user_version = 2; CREATE TABLE t(x);"},
      {"someone's tables", "CREATE TABLE tiles(x);"},
  };
  for (const auto& c : cases) {
    TestDatabase db(RASTERDB_KIND_SQLITE);
    if (c.sql == nullptr) {
      std::ofstream(db.file(), std::ios::binary) << std::string(4096, 'z');
    } else {
      sqlite3* raw = nullptr;
      ASSERT_EQ(sqlite3_open(db.file().c_str(), &raw), SQLITE_OK);
      ASSERT_EQ(sqlite3_exec(raw, c.sql, nullptr, nullptr, nullptr), SQLITE_OK) << c.what;
      ASSERT_EQ(sqlite3_close(raw), SQLITE_OK);
    }
    const std::string before = ReadFile(db.file());
    EXPECT_EQ(db.Connect(), 0u) << c.what;
    EXPECT_EQ(ReadFile(db.file()), before) << c.what;
  }
  platform::TestTempDir dir;
  for (const std::string& path : {dir.Join("no/such/dir/raster.db"), dir.path(), std::string(5000, 'p')}) {
    EXPECT_EQ(Connect(path), 0u) << path.substr(0, 40);
  }
  const std::string empty = dir.Join("empty.db");
  std::ofstream(empty, std::ios::binary).close();
  for (int i = 0; i < 2; ++i) {  // an empty file is taken, then recognised
    const uint32_t conn = Connect(empty);
    EXPECT_NE(conn, 0u);
    DbDisconnect(conn);
  }
}

TEST(RasterDbSqliteFileTest, StoredRecordsFollowTheDocumentedLayout) {
  TestDatabase db(RASTERDB_KIND_SQLITE);
  const uint32_t conn = db.Connect();
  const int32_t layer = MakeLayer(conn, db.OpenDataSet(conn), "dem", 2, 3, DEMBASE_TYPE_FLOAT32);
  TileIndexRec rec{};
  ASSERT_EQ(DbReadTileRec(conn, layer, 1, 6, &rec), 1);
  DbDisconnect(conn);

  const std::string param = QueryBlob(db.file(), "SELECT param FROM layers WHERE name = 'dem' AND db_extra = 7");
  ASSERT_EQ(param.size(), 71u);
  EXPECT_EQ(U32At(param, 0) & 0xFFFFFF, 0x0007A5u);  // reserved0, dataType
  EXPECT_EQ(U32At(param, 7), 0x40590000u);           // xMin = 100.0, high word
  EXPECT_EQ(U32At(param, 51), 0x0001BEEFu);          // reserved1, levelCount
  const std::string level_info = QueryBlob(db.file(), "SELECT info FROM levels WHERE tiles_across = 3");
  EXPECT_EQ(U32At(level_info, 25), 0x01000100u);  // tileRows, tileCols
  const std::string tile =
      QueryBlob(db.file(), "SELECT rec FROM tiles WHERE tile_number = 6 AND tile_key = " + std::to_string(rec.offset));
  ASSERT_EQ(tile.size(), 17u);
  EXPECT_EQ(U32At(tile, 0), +rec.offset);
  EXPECT_EQ(U32At(tile, 5), 0u);  // storedSize
  EXPECT_EQ(U32At(tile, 9), DEMBASE_NULL_FLOAT32_BITS);
}

}  // namespace
}  // namespace dembase::rasterdb::test
