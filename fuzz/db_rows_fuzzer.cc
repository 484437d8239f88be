// The rows of a SQLite raster database as damage leaves them: the input rewrites fields of
// the sample layer's rows (the layer record and its columns, level records, tile records
// and payloads) with hostile values, or deletes rows, with the database's own checks of
// the columns turned off. The layer is then opened, read and written through the exports
// on a new handle: every call must answer a documented code, and nothing may crash.
#include <fuzzer/FuzzedDataProvider.h>
#include <sqlite3.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"

namespace {

using dembase::fuzz::Require;

struct Field {
  const char* table;
  const char* column;
  const char* row;  // a WHERE clause choosing one row by ?1
  int recordBytes;  // the length of a record column; 0 for the others
};

constexpr const char* kLayerRow = "layer_id = (SELECT min(layer_id) FROM layers) + ?1 % 2";
constexpr const char* kLevelRow = "level = 1 + ?1 % 3";
constexpr const char* kTileRow = "tile_key = (SELECT tile_key FROM tiles ORDER BY tile_key LIMIT 1 OFFSET ?1 % 16)";

constexpr std::array<Field, 19> kFields = {{
    {"layers", "param", kLayerRow, 71},
    {"layers", "data_type", kLayerRow, 0},
    {"layers", "level_count", kLayerRow, 0},
    {"layers", "db_extra", kLayerRow, 0},
    {"layers", "name", kLayerRow, 0},
    {"layers", "min_value", kLayerRow, 0},
    {"levels", "info", kLevelRow, 37},
    {"levels", "level", kLevelRow, 0},
    {"levels", "cell_rows", kLevelRow, 0},
    {"levels", "cell_cols", kLevelRow, 0},
    {"levels", "tiles_down", kLevelRow, 0},
    {"levels", "tiles_across", kLevelRow, 0},
    {"levels", "closed_once", kLevelRow, 0},
    {"levels", "first_tile_key", kLevelRow, 0},
    {"tiles", "rec", kTileRow, 17},
    {"tiles", "data", kTileRow, 0},
    {"tiles", "tile_number", kTileRow, 0},
    {"tiles", "level", kTileRow, 0},
    {"tiles", "tile_key", kTileRow, 0},
}};

constexpr std::array<int64_t, 14> kInts = {0,          1,          -1,         2,
                                           3,          255,        256,        4096,
                                           65536,      1 << 20,    2147483647, -2147483648LL,
                                           4294967296, std::numeric_limits<int64_t>::max()};

struct Sample {
  std::string dir;
  std::vector<uint8_t> db;  // the pristine database file
};

// A handle with data set "test" of the SQLite file at path open; the data set's id, or 0.
int32_t OpenTestDataSet(DemBaseAI* h, const std::string& path) {
  DbConnectInfo info{};
  std::snprintf(info.dataSet, sizeof info.dataSet, "%s", "test");
  info.connectKind = 1;
  std::snprintf(info.connectArg1, sizeof info.connectArg1, "%s", path.c_str());
  return _hxOpenDataSet(h, &info, 0.125f);
}

const Sample& TheSample() {
  static const Sample sample = [] {
    dembase::fuzz::UseSmallMemory();
    Sample s;
    s.dir = dembase::fuzz::ScratchDir();
    const std::string path = s.dir + "/pristine.db";
    DemBaseAI* h = _hxCreateDemBaseAI();
    Require(h != nullptr, "a handle is made");
    const int32_t ds = OpenTestDataSet(h, path);
    Require(ds >= 1 && dembase::fuzz::MakeSampleLayerIn(h, ds, "sample") &&
                dembase::fuzz::MakeSampleLayerIn(h, ds, "other", DEMBASE_TYPE_FLOAT32),
            "the sample layers are made");
    Require(_hxDeleteDemBaseAI(h) == 1, "the handle closes");
    s.db = dembase::fuzz::ReadWholeFile(path);
    Require(!s.db.empty(), "the database is read");
    return s;
  }();
  return sample;
}

// Binds a hostile value of the input's choosing to ?2.
void BindValue(FuzzedDataProvider& in, sqlite3* db, sqlite3_stmt* st, const Field& f, int64_t row) {
  switch (in.ConsumeIntegralInRange<int>(0, 5)) {
    case 0:
      (void)sqlite3_bind_int64(st, 2, kInts[in.ConsumeIntegralInRange<size_t>(0, kInts.size() - 1)]);
      break;
    case 1:
      (void)sqlite3_bind_int64(st, 2, in.ConsumeIntegral<int64_t>());
      break;
    case 2:
      (void)sqlite3_bind_double(st, 2, in.ConsumeFloatingPoint<double>());
      break;
    case 3:
      (void)sqlite3_bind_null(st, 2);
      break;
    case 4: {
      const std::string text = in.ConsumeRandomLengthString(64);
      (void)sqlite3_bind_text(st, 2, text.c_str(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
      break;
    }
    default: {
      // A record keeps its length with a few bytes changed; other blobs are the input's.
      std::vector<uint8_t> bytes;
      if (f.recordBytes > 0) {
        const std::string read = std::string("SELECT ") + f.column + " FROM " + f.table + " WHERE " + f.row;
        sqlite3_stmt* q = nullptr;
        if (sqlite3_prepare_v2(db, read.c_str(), -1, &q, nullptr) == SQLITE_OK) {
          (void)sqlite3_bind_int64(q, 1, row);
          if (sqlite3_step(q) == SQLITE_ROW) {
            const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(q, 0));
            bytes.assign(p, p + sqlite3_column_bytes(q, 0));
          }
        }
        (void)sqlite3_finalize(q);
        for (int n = in.ConsumeIntegralInRange<int>(1, 4); n > 0 && !bytes.empty(); --n) {
          bytes[in.ConsumeIntegralInRange<size_t>(0, bytes.size() - 1)] = in.ConsumeIntegral<uint8_t>();
        }
      } else {
        bytes = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 300000));
      }
      (void)sqlite3_bind_blob(st, 2, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
    }
  }
}

// Applies the input's edits to the database at path; SQLite refusing one is no finding.
void Damage(FuzzedDataProvider& in, const std::string& path) {
  sqlite3* db = nullptr;
  Require(sqlite3_open(path.c_str(), &db) == SQLITE_OK, "the copy opens");
  (void)sqlite3_exec(db, "PRAGMA ignore_check_constraints = ON", nullptr, nullptr, nullptr);
  for (int edits = in.ConsumeIntegralInRange<int>(1, 4); edits > 0 && in.remaining_bytes() > 0; --edits) {
    const Field& f = kFields[in.ConsumeIntegralInRange<size_t>(0, kFields.size() - 1)];
    const int64_t row = in.ConsumeIntegralInRange<int64_t>(0, 15);
    const bool remove = in.ConsumeIntegralInRange<int>(0, 9) == 0;
    const std::string sql = remove ? std::string("DELETE FROM ") + f.table + " WHERE " + f.row
                                   : std::string("UPDATE ") + f.table + " SET " + f.column + " = ?2 WHERE " + f.row;
    sqlite3_stmt* st = nullptr;
    Require(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK, "the edit prepares");
    (void)sqlite3_bind_int64(st, 1, row);
    if (!remove) BindValue(in, db, st, f, row);
    (void)sqlite3_step(st);
    (void)sqlite3_finalize(st);
  }
  Require(sqlite3_close(db) == SQLITE_OK, "the copy closes");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Sample& sample = TheSample();
  const std::string path = sample.dir + "/damaged.db";
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) (void)std::remove((path + suffix).c_str());
  Require(dembase::fuzz::WriteWholeFile(path, sample.db), "the copy is written");
  FuzzedDataProvider in(data, size);
  Damage(in, path);

  DemBaseAI* h = _hxCreateDemBaseAI();
  Require(h != nullptr, "a handle is made");
  const int32_t ds = OpenTestDataSet(h, path);
  Require(ds >= 0, "the data set open answers an id or 0");
  if (ds >= 1) {
    dembase::fuzz::ExerciseLayerIn(h, ds, "sample", true);
    dembase::fuzz::ExerciseLayerIn(h, ds, "other", false);
  }
  Require(_hxDeleteDemBaseAI(h) >= 0, "the handle deletes");
  return 0;
}
