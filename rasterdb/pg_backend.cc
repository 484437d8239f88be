#include "pg_backend.h"

#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "pg_db.h"
#include "pg_schema.h"
#include "records.h"

// The stored record with the tile key written into its offset field, computed by the server.
#define RASTERDB_KEYED_REC(rec, key)                                                         \
  "set_byte(set_byte(set_byte(set_byte(" rec ", 0, (" key " & 255)::int), 1, ((" key " >> 8) & 255)::int), " \
  "2, ((" key " >> 16) & 255)::int), 3, ((" key " >> 24) & 255)::int)"

namespace dembase::rasterdb {
namespace {

using pg::Database;
using pg::Params;
using pg::Result;
using pg::Transaction;

constexpr int64_t kMaxId = std::numeric_limits<int32_t>::max();
// How long deleting a layer waits for openers to let go: a process that just died needs a
// moment before the server notices.
constexpr const char* kDeleteLockTimeout = "SET LOCAL lock_timeout = 1000";

int16_t ResultCode(bool ok) { return ok ? kOk : kRefused; }

int32_t Id(const Result& r) {
  if (!r.ok() || r.Rows() != 1) return 0;
  const int64_t id = r.Int(0, 0);
  return id >= 1 && id <= kMaxId ? static_cast<int32_t>(id) : 0;
}

// The readable copies of the layer record, then the record itself.
Params& AddLayerColumns(Params& params, const DataLayerParam& p, const LayerParamBytes& bytes) {
  return params.Int(p.dataType)
      .Int(p.levelCount)
      .Double(p.xMin)
      .Double(p.xMax)
      .Double(p.yMin)
      .Double(p.yMax)
      .Double(p.cellSizeX)
      .Double(p.cellSizeY)
      .Double(p.minValue)
      .Double(p.maxValue)
      .Bytes(bytes);
}

class PgBackend final : public Backend {
 public:
  explicit PgBackend(std::unique_ptr<Database> db) : db_(std::move(db)) {}

  int32_t OpenDataSet(std::string_view name) override {
    if (int32_t id = FindDataSet(name); id > 0) return id;
    Transaction txn(*db_, Transaction::Mode::kWrite);
    if (!txn.ok()) return 0;
    if (!db_->Run("INSERT INTO data_sets(name) VALUES ($1) ON CONFLICT DO NOTHING", Params().Text(name)).ok()) {
      return 0;
    }
    const int32_t id = FindDataSet(name);
    return id > 0 && txn.Commit() ? id : 0;
  }

  int16_t CreateLayer(int32_t dataSetId, std::string_view name, const DataLayerParam& param,
                      uint32_t dbExtra) override {
    Transaction txn(*db_, Transaction::Mode::kWrite);
    if (!txn.ok() || !DataSetExists(dataSetId)) return kRefused;
    DataLayerParam p = param;
    p.levelCount = 0;
    const LayerParamBytes bytes = EncodeLayerParam(p);
    Params params;
    params.Int(dataSetId).Text(name).Int(dbExtra);
    AddLayerColumns(params, p, bytes);
    // A taken name inserts nothing.
    const Result r = db_->Run(
        "INSERT INTO layers(data_set_id, name, db_extra, data_type, level_count, x_min, x_max, y_min,"
        " y_max, cell_size_x, cell_size_y, min_value, max_value, param)"
        " VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14)"
        " ON CONFLICT DO NOTHING RETURNING layer_id::int8",
        params);
    if (Id(r) == 0) return kRefused;
    return ResultCode(txn.Commit());
  }

  int32_t FindLayer(int32_t dataSetId, std::string_view name) override {
    return Id(db_->Run("SELECT layer_id::int8 FROM layers WHERE data_set_id = $1::int AND lower(name) = lower($2)",
                       Params().Int(dataSetId).Text(name)));
  }

  bool HoldLayer(int32_t layerId) override {
    const Result r = db_->Run("SELECT pg_try_advisory_lock_shared($1::int, $2::int)::int",
                              Params().Int(pg::kLockClass).Int(layerId));
    return r.ok() && r.Rows() == 1 && r.Int(0, 0) == 1;
  }

  void ReleaseLayer(int32_t layerId) override {
    (void)db_->Run("SELECT pg_advisory_unlock_shared($1::int, $2::int)", Params().Int(pg::kLockClass).Int(layerId));
  }

  int16_t DeleteLayer(int32_t dataSetId, int32_t layerId) override {
    if (!TakeForDelete(layerId)) return kRefused;
    const int16_t r = DeleteLayerRows(dataSetId, layerId);
    (void)db_->Run("SELECT pg_advisory_unlock($1::int, $2::int)", Params().Int(pg::kLockClass).Int(layerId));
    return r;
  }

  int16_t GetLayerParam(int32_t layerId, DataLayerParam* out) override {
    const Result r = db_->Run("SELECT param FROM layers WHERE layer_id = $1::int", Params().Int(layerId));
    return ResultCode(r.ok() && r.Rows() == 1 && DecodeLayerParam(r.Bytes(0, 0), out));
  }

  int16_t SetLayerParam(int32_t layerId, const DataLayerParam& param) override {
    Transaction txn(*db_, Transaction::Mode::kWrite);
    if (!txn.ok()) return kRefused;
    const Result r = db_->Run("SELECT data_type, level_count FROM layers WHERE layer_id = $1::int FOR UPDATE",
                              Params().Int(layerId));
    if (!r.ok() || r.Rows() != 1 || r.Int(0, 0) != param.dataType) return kRefused;
    DataLayerParam p = param;
    p.levelCount = static_cast<int16_t>(r.Int(0, 1));
    return ResultCode(WriteLayerRecord(layerId, p) && txn.Commit());
  }

  int16_t CreateLevel(int32_t layerId, int16_t level, const PyramidLayerInfo& info) override {
    Transaction txn(*db_, Transaction::Mode::kWrite);
    if (!txn.ok()) return kRefused;
    // The row lock orders this with other sessions' level changes, which recount levels.
    const Result layer =
        db_->Run("SELECT data_type FROM layers WHERE layer_id = $1::int FOR UPDATE", Params().Int(layerId));
    if (!layer.ok() || layer.Rows() != 1) return kRefused;
    if (LevelExists(layerId, level)) return kLevelExists;
    const int64_t count = int64_t{info.tilesDown} * info.tilesAcross;
    if (count < 1 || count > kMaxTilesPerLevel) return kRefused;
    // Keys are never reused, so a stale record held elsewhere cannot reach another tile's bytes.
    const Result keys = db_->Run(
        "UPDATE meta SET value = value + $1::int8 WHERE name = 'next_tile_key' RETURNING value - $1::int8",
        Params().Int(count));
    if (!keys.ok() || keys.Rows() != 1) return kRefused;
    const int64_t first_key = keys.Int(0, 0);
    if (!TileKeysFit(first_key, count)) return kRefused;

    if (const int16_t r = InsertLevel(layerId, level, info, first_key); r != kOk) return r;
    const TileRecBytes rec = EncodeTileRec(EmptyTileRec(static_cast<uint16_t>(layer.Int(0, 0)), 0));
    const Result tiles = db_->Run(
        "INSERT INTO tiles(tile_key, layer_id, level, tile_number, rec)"
        " SELECT $1::int8 + n - 1, $2::int, $3::int2, n, " RASTERDB_KEYED_REC("$4::bytea", "($1::int8 + n - 1)")
        " FROM generate_series(1::int8, $5::int8) AS n",
        Params().Int(first_key).Int(layerId).Int(level).Bytes(rec).Int(count));
    if (tiles.Changes() != count || !RecountLevels(layerId)) return kRefused;
    return ResultCode(txn.Commit());
  }

  int16_t DeleteLevel(int32_t layerId, int16_t level) override {
    Transaction txn(*db_, Transaction::Mode::kWrite);
    if (!txn.ok() || !LockLayerRow(layerId)) return kRefused;
    const Params key = std::move(Params().Int(layerId).Int(level));
    if (!db_->Run("DELETE FROM tiles WHERE layer_id = $1::int AND level = $2::int2", key).ok()) return kRefused;
    if (db_->Run("DELETE FROM levels WHERE layer_id = $1::int AND level = $2::int2", key).Changes() != 1) {
      return kRefused;
    }
    return ResultCode(RecountLevels(layerId) && txn.Commit());
  }

  int16_t GetLevelInfo(int32_t layerId, int16_t level, PyramidLayerInfo* out) override {
    const Result r = db_->Run("SELECT info FROM levels WHERE layer_id = $1::int AND level = $2::int2",
                              Params().Int(layerId).Int(level));
    return ResultCode(r.ok() && r.Rows() == 1 && DecodeLevelInfo(r.Bytes(0, 0), out));
  }

  int16_t SetLevelInfo(int32_t layerId, int16_t level, const PyramidLayerInfo& info) override {
    const LevelInfoBytes bytes = EncodeLevelInfo(info);
    const Result r = db_->Run(
        "UPDATE levels SET cell_rows = $3::int8, cell_cols = $4::int8, closed_once = $5::int8, info = $6::bytea"
        " WHERE layer_id = $1::int AND level = $2::int2 AND tiles_down = $7::int8 AND tiles_across = $8::int8",
        Params()
            .Int(layerId)
            .Int(level)
            .Int(info.rows)
            .Int(info.cols)
            .Int(info.closedOnce)
            .Bytes(bytes)
            .Int(info.tilesDown)
            .Int(info.tilesAcross));
    return ResultCode(r.Changes() == 1);
  }

  int16_t ReadTileIndex(int32_t layerId, int16_t level, std::span<TileIndexRec> out) override {
    Transaction txn(*db_, Transaction::Mode::kRead);  // one snapshot for the level and its tiles
    if (!txn.ok() || LevelFirstKey(layerId, level, out.size()) < 1) return kRefused;
    const Result r = db_->Run(
        "SELECT tile_number, tile_key, rec FROM tiles WHERE layer_id = $1::int AND level = $2::int2"
        " ORDER BY tile_number",
        Params().Int(layerId).Int(level));
    if (!r.ok() || static_cast<std::size_t>(r.Rows()) != out.size()) return kRefused;
    for (int i = 0; i < r.Rows(); ++i) {
      const int64_t key = r.Int(i, 1);
      TileIndexRec rec;
      if (r.Int(i, 0) != i + 1 || key < 1 || key > kMaxTileKey || !DecodeTileRec(r.Bytes(i, 2), &rec)) {
        return kRefused;
      }
      rec.offset = static_cast<uint32_t>(key);
      out[static_cast<std::size_t>(i)] = rec;
    }
    return ResultCode(txn.Commit());
  }

  int16_t WriteTileIndex(int32_t layerId, int16_t level, std::span<const TileIndexRec> index) override {
    Transaction txn(*db_, Transaction::Mode::kWrite);
    const int64_t first_key = txn.ok() ? LevelFirstKey(layerId, level, index.size()) : 0;
    if (first_key < 1) return kRefused;
    // The whole index goes in one parameter; each row takes its 17 bytes.
    std::vector<uint8_t> all(index.size() * kTileRecSize);
    for (std::size_t i = 0; i < index.size(); ++i) {
      const TileRecBytes rec = EncodeTileRec(index[i]);
      std::memcpy(all.data() + i * kTileRecSize, rec.data(), kTileRecSize);
    }
    const auto count = static_cast<int64_t>(index.size());
    const Result r = db_->Run(
        "UPDATE tiles SET rec = " RASTERDB_KEYED_REC("substring($1::bytea FROM ((tile_number - 1) * 17 + 1)::int FOR 17)",
                                                     "tile_key")
        " WHERE layer_id = $2::int AND level = $3::int2 AND tile_number BETWEEN 1 AND $4::int8"
        " AND tile_key = $5::int8 + tile_number - 1",
        Params().Bytes(all).Int(layerId).Int(level).Int(count).Int(first_key));
    return ResultCode(r.Changes() == count && txn.Commit());
  }

  int16_t ReadTileRec(int32_t layerId, int16_t level, int32_t tileNumber, TileIndexRec* out) override {
    const Result r = db_->Run(
        "SELECT tile_key, rec FROM tiles WHERE layer_id = $1::int AND level = $2::int2 AND tile_number = $3::int8",
        Params().Int(layerId).Int(level).Int(tileNumber));
    if (!r.ok() || r.Rows() != 1) return kRefused;
    const int64_t key = r.Int(0, 0);
    TileIndexRec rec;
    if (key < 1 || key > kMaxTileKey || !DecodeTileRec(r.Bytes(0, 1), &rec)) return kRefused;
    rec.offset = static_cast<uint32_t>(key);
    *out = rec;
    return kOk;
  }

  int16_t WriteTileRec(int32_t layerId, int16_t level, int32_t tileNumber, const TileIndexRec& rec) override {
    const TileRecBytes bytes = EncodeTileRec(rec);
    const Result r = db_->Run(
        "UPDATE tiles SET rec = " RASTERDB_KEYED_REC("$1::bytea", "tile_key")
        " WHERE layer_id = $2::int AND level = $3::int2 AND tile_number = $4::int8",
        Params().Bytes(bytes).Int(layerId).Int(level).Int(tileNumber));
    return ResultCode(r.Changes() == 1);
  }

  int16_t ReadTileData(int32_t layerId, uint32_t tileKey, std::span<uint8_t> out) override {
    const Result r = db_->Run("SELECT data FROM tiles WHERE tile_key = $1::int8 AND layer_id = $2::int",
                              Params().Int(tileKey).Int(layerId));
    if (!r.ok() || r.Rows() != 1) return kRefused;
    const std::span<const uint8_t> stored = r.Bytes(0, 0);
    if (stored.size() != out.size()) return kRefused;
    if (!stored.empty()) std::memcpy(out.data(), stored.data(), stored.size());
    return kOk;
  }

  int16_t WriteTileData(int32_t layerId, int16_t level, uint32_t tileKey, std::span<const uint8_t> bytes) override {
    const Result r = db_->Run(
        "UPDATE tiles SET data = $1::bytea WHERE tile_key = $2::int8 AND layer_id = $3::int"
        " AND ($4::int = 0 OR level = $4::int)",
        Params().Bytes(bytes).Int(tileKey).Int(layerId).Int(level));
    return ResultCode(r.Changes() == 1);
  }

  int16_t BeginBatch(int32_t layerId, int16_t level) override {
    if (db_->InTransaction() || !db_->Exec("BEGIN")) return kRefused;
    if (!LevelExists(layerId, level)) {
      (void)db_->Exec("ROLLBACK");
      return kRefused;
    }
    return kOk;
  }

  bool BatchAlive() override { return db_->TransactionAlive(); }

  int16_t CommitBatch() override {
    if (!db_->InTransaction()) return kRefused;
    // COMMIT of a failed transaction answers ROLLBACK without an error.
    if (db_->TransactionAlive() && db_->Exec("COMMIT") && !db_->InTransaction()) return kOk;
    RollbackBatch();
    return kRefused;
  }

  void RollbackBatch() override {
    if (db_->InTransaction()) (void)db_->Exec("ROLLBACK");
  }

 private:
  int32_t FindDataSet(std::string_view name) {
    return Id(db_->Run("SELECT data_set_id::int8 FROM data_sets WHERE lower(name) = lower($1)", Params().Text(name)));
  }

  bool DataSetExists(int32_t dataSetId) {
    const Result r = db_->Run("SELECT 1::int8 FROM data_sets WHERE data_set_id = $1::int", Params().Int(dataSetId));
    return r.ok() && r.Rows() == 1;
  }

  bool LevelExists(int32_t layerId, int16_t level) {
    const Result r = db_->Run("SELECT 1::int8 FROM levels WHERE layer_id = $1::int AND level = $2::int2",
                              Params().Int(layerId).Int(level));
    return r.ok() && r.Rows() == 1;
  }

  bool LockLayerRow(int32_t layerId) {
    const Result r = db_->Run("SELECT 1::int8 FROM layers WHERE layer_id = $1::int FOR UPDATE", Params().Int(layerId));
    return r.ok() && r.Rows() == 1;
  }

  // kLevelExists when another session made the level meanwhile.
  int16_t InsertLevel(int32_t layerId, int16_t level, const PyramidLayerInfo& info, int64_t first_key) {
    const LevelInfoBytes bytes = EncodeLevelInfo(info);
    const Result r = db_->Run(
        "INSERT INTO levels(layer_id, level, cell_rows, cell_cols, tiles_down, tiles_across, closed_once,"
        " first_tile_key, info) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9) ON CONFLICT DO NOTHING",
        Params()
            .Int(layerId)
            .Int(level)
            .Int(info.rows)
            .Int(info.cols)
            .Int(info.tilesDown)
            .Int(info.tilesAcross)
            .Int(info.closedOnce)
            .Int(first_key)
            .Bytes(bytes));
    if (!r.ok()) return kRefused;
    return r.Changes() == 1 ? kOk : kLevelExists;
  }

  // The level's first tile key when the level exists with exactly `count` tiles, else 0.
  int64_t LevelFirstKey(int32_t layerId, int16_t level, std::size_t count) {
    const Result r = db_->Run(
        "SELECT tiles_down * tiles_across, first_tile_key FROM levels WHERE layer_id = $1::int AND level = $2::int2",
        Params().Int(layerId).Int(level));
    if (!r.ok() || r.Rows() != 1 || r.Int(0, 0) != static_cast<int64_t>(count)) return 0;
    return r.Int(0, 1);
  }

  // Waits briefly for other sessions' shared holds; this session's own never stand in the way.
  bool TakeForDelete(int32_t layerId) {
    Transaction txn(*db_, Transaction::Mode::kWrite);
    if (!txn.ok() || !db_->Exec(kDeleteLockTimeout)) return false;
    if (!db_->Run("SELECT pg_advisory_lock($1::int, $2::int)", Params().Int(pg::kLockClass).Int(layerId)).ok()) {
      return false;
    }
    // Inside a batch the setting would last until it ends.
    if (txn.nested() && !db_->Exec("SET LOCAL lock_timeout = 5000")) return false;
    if (txn.Commit()) return true;
    (void)db_->Run("SELECT pg_advisory_unlock($1::int, $2::int)", Params().Int(pg::kLockClass).Int(layerId));
    return false;
  }

  int16_t DeleteLayerRows(int32_t dataSetId, int32_t layerId) {
    Transaction txn(*db_, Transaction::Mode::kWrite);
    if (!txn.ok()) return kRefused;
    const Result layer = db_->Run("SELECT 1::int8 FROM layers WHERE layer_id = $1::int AND data_set_id = $2::int"
                                  " FOR UPDATE",
                                  Params().Int(layerId).Int(dataSetId));
    if (!layer.ok() || layer.Rows() != 1) return kRefused;
    const Params id = std::move(Params().Int(layerId));
    if (!db_->Run("DELETE FROM tiles WHERE layer_id = $1::int", id).ok() ||
        !db_->Run("DELETE FROM levels WHERE layer_id = $1::int", id).ok() ||
        db_->Run("DELETE FROM layers WHERE layer_id = $1::int", id).Changes() != 1) {
      return kRefused;
    }
    return ResultCode(txn.Commit());
  }

  bool WriteLayerRecord(int32_t layerId, const DataLayerParam& p) {
    const LayerParamBytes bytes = EncodeLayerParam(p);
    Params params;
    params.Int(layerId);
    AddLayerColumns(params, p, bytes);
    const Result r = db_->Run(
        "UPDATE layers SET data_type = $2, level_count = $3, x_min = $4, x_max = $5, y_min = $6, y_max = $7,"
        " cell_size_x = $8, cell_size_y = $9, min_value = $10, max_value = $11, param = $12"
        " WHERE layer_id = $1::int",
        params);
    return r.Changes() == 1;
  }

  // levelCount of the layer record follows the levels that exist.
  bool RecountLevels(int32_t layerId) {
    DataLayerParam p;
    if (GetLayerParam(layerId, &p) != kOk) return false;
    const Result r = db_->Run("SELECT count(*) FROM levels WHERE layer_id = $1::int", Params().Int(layerId));
    if (!r.ok() || r.Rows() != 1) return false;
    p.levelCount = static_cast<int16_t>(r.Int(0, 0));
    return WriteLayerRecord(layerId, p);
  }

  std::unique_ptr<Database> db_;
};

}  // namespace

std::unique_ptr<Backend> OpenPgBackend(const std::string& conninfo, const std::string& user,
                                       const std::string& password) {
  std::unique_ptr<Database> db = Database::Open(conninfo, user, password);
  if (db == nullptr || !pg::PrepareSchema(*db)) return nullptr;
  return std::make_unique<PgBackend>(std::move(db));
}

}  // namespace dembase::rasterdb
