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
  const std::string tile = QueryBlob(
      db.file(), "SELECT rec FROM tiles WHERE tile_number = 6 AND tile_key = " + std::to_string(rec.offset));
  ASSERT_EQ(tile.size(), 17u);
  EXPECT_EQ(U32At(tile, 0), +rec.offset);
  EXPECT_EQ(U32At(tile, 5), 0u);  // storedSize
  EXPECT_EQ(U32At(tile, 9), DEMBASE_NULL_FLOAT32_BITS);
}

}  // namespace
}  // namespace dembase::rasterdb::test
