// What only the SQLite backend has: the database file. Foreign files are refused without being
// changed, and the stored records can be read by any SQLite client at their documented offsets.
#include <sqlite3.h>

#include <fstream>
#include <iterator>
#include <string>

#include "test_database.h"

namespace dembase::rasterdb::test {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Another program's view of the file: runs SQL and gives the first column of the first row.
std::string QueryBlob(const std::string& path, const char* sql) {
  sqlite3* db = nullptr;
  sqlite3_stmt* stmt = nullptr;
  std::string bytes;
  if (sqlite3_open(path.c_str(), &db) == SQLITE_OK && sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK &&
      sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_bytes(stmt, 0) > 0) {
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

TEST(RasterDbSqliteFileTest, ForeignFilesAreRefusedAndLeftAlone) {
  struct Case {
    const char* what;
    const char* sql;  // null: a text file
  };
  const Case cases[] = {
      {"not SQLite", nullptr},
      {"another application", "PRAGMA application_id = 7; CREATE TABLE t(x);"},
      {"newer schema", "PRAGMA application_id = 1145392466; PRAGMA user_version = 2; CREATE TABLE t(x);"},
      {"someone's tables", "CREATE TABLE tiles(x);"},
  };
  for (const Case& c : cases) {
    TestDatabase db(RASTERDB_KIND_SQLITE);
    if (c.sql == nullptr) {
      std::ofstream(db.file(), std::ios::binary) << std::string(4096, 'z');
    } else {
      sqlite3* raw = nullptr;
      ASSERT_EQ(sqlite3_open(db.file().c_str(), &raw), SQLITE_OK);
      ASSERT_EQ(sqlite3_exec(raw, c.sql, nullptr, nullptr, nullptr), SQLITE_OK) << c.what;
      sqlite3_close(raw);
    }
    const std::string before = ReadFile(db.file());
    EXPECT_EQ(db.Connect(), 0u) << c.what;
    EXPECT_EQ(ReadFile(db.file()), before) << c.what;
  }
}

TEST(RasterDbSqliteFileTest, PathsAreCheckedAndAnEmptyFileIsTaken) {
  TempDir dir;
  const std::string missing_dir = dir.path() + "/no/such/dir/raster.db";
  for (const std::string& path : {missing_dir, dir.path(), std::string(5000, 'p')}) {
    EXPECT_EQ(DbConnect(RASTERDB_KIND_SQLITE, path.c_str(), "", ""), 0u) << path.substr(0, 40);
  }
  const std::string empty = dir.path() + "/empty.db";
  std::ofstream(empty, std::ios::binary).close();
  for (int i = 0; i < 2; ++i) {  // taken, then recognised
    const uint32_t conn = DbConnect(RASTERDB_KIND_SQLITE, empty.c_str(), "", "");
    EXPECT_NE(conn, 0u);
    DbDisconnect(conn);
  }
}

TEST(RasterDbSqliteFileTest, StoredRecordsFollowTheDocumentedLayout) {
  TestDatabase db(RASTERDB_KIND_SQLITE);
  const uint32_t conn = db.Connect();
  const DbConnectInfo info = db.Info("terrain");
  const int32_t ds = DbOpenDataSet(conn, &info);
  const DataLayerParam p = LayerParam(DEMBASE_TYPE_FLOAT32);
  ASSERT_EQ(DbCreateLayer(conn, ds, "dem", &p, 77), 1);
  const int32_t layer = DbOpenLayer(conn, ds, "dem");
  const PyramidLayerInfo level = LevelInfo(2, 3);
  ASSERT_EQ(DbCreateLevel(conn, layer, 1, &level), 1);
  TileIndexRec rec{};
  ASSERT_EQ(DbReadTileRec(conn, layer, 1, 6, &rec), 1);
  DbDisconnect(conn);

  const std::string param = QueryBlob(db.file(), "SELECT param FROM layers WHERE name = 'dem' AND db_extra = 77");
  ASSERT_EQ(param.size(), 71u);
  EXPECT_EQ(U32At(param, 0) & 0xFFFFFF, 0x0007A5u);  // reserved0, dataType
  EXPECT_EQ(U32At(param, 7), 0x40590000u);           // xMin = 100.0, high word
  EXPECT_EQ(U32At(param, 51), 0x0001BEEFu);          // reserved1, levelCount
  const std::string level_info = QueryBlob(db.file(), "SELECT info FROM levels WHERE tiles_across = 3");
  EXPECT_EQ(U32At(level_info, 25), 0x01000100u);     // tileRows, tileCols
  const std::string key = "SELECT rec FROM tiles WHERE tile_number = 6 AND tile_key = " + std::to_string(rec.offset);
  const std::string tile = QueryBlob(db.file(), key.c_str());
  ASSERT_EQ(tile.size(), 17u);
  EXPECT_EQ(U32At(tile, 0), +rec.offset);
  EXPECT_EQ(U32At(tile, 5), 0u);                     // storedSize
  EXPECT_EQ(U32At(tile, 9), DEMBASE_NULL_FLOAT32_BITS);
}

}  // namespace
}  // namespace dembase::rasterdb::test
