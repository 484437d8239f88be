#include "sqlite_backend.h"

#include <cstring>
#include <limits>
#include <utility>

#include "layer_locks.h"
#include "records.h"
#include "sqlite_db.h"
#include "sqlite_schema.h"

namespace dembase::rasterdb {
namespace {

using sqlite::Database;
using sqlite::Query;
using sqlite::Transaction;

constexpr int64_t kMaxId = std::numeric_limits<int32_t>::max();

int16_t Result(bool ok) { return ok ? kOk : kRefused; }

// Binds the readable copies of the layer record to ?first .. ?first+9, then the record itself.
void BindLayerColumns(Query& q, int first, const DataLayerParam& p, const LayerParamBytes& bytes) {
  q.Bind(first, p.dataType)
      .Bind(first + 1, p.levelCount)
      .BindDouble(first + 2, p.xMin)
      .BindDouble(first + 3, p.xMax)
      .BindDouble(first + 4, p.yMin)
      .BindDouble(first + 5, p.yMax)
      .BindDouble(first + 6, p.cellSizeX)
      .BindDouble(first + 7, p.cellSizeY)
      .BindDouble(first + 8, p.minValue)
      .BindDouble(first + 9, p.maxValue)
      .BindBlob(first + 10, bytes);
}

class SqliteBackend final : public Backend {
 public:
  SqliteBackend(std::unique_ptr<Database> db, std::unique_ptr<LayerLocks> locks)
      : db_(std::move(db)), locks_(std::move(locks)) {}

  int32_t OpenDataSet(std::string_view name) override {
    if (int32_t id = FindDataSet(name); id > 0) return id;
    Transaction txn(*db_, Transaction::Mode::kWrite);
    if (!txn.ok()) return 0;
    Query insert(*db_, "INSERT INTO data_sets(name) VALUES (?1) ON CONFLICT DO NOTHING");
    if (!insert.BindText(1, name).Run()) return 0;
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
    Query insert(*db_,
                 "INSERT INTO layers(data_set_id, name, db_extra, data_type, level_count, x_min, x_max, y_min,"
                 " y_max, cell_size_x, cell_size_y, min_value, max_value, param)"
                 " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14) RETURNING layer_id");
    insert.Bind(1, dataSetId).BindText(2, name).Bind(3, dbExtra);
    BindLayerColumns(insert, 4, p, bytes);
    // A taken name fails the UNIQUE constraint here.
    if (insert.Step() != SQLITE_ROW) return kRefused;
    const int64_t id = insert.Int(0);
    if (insert.Step() != SQLITE_DONE || id < 1 || id > kMaxId) return kRefused;
    return Result(txn.Commit());
  }

  int32_t FindLayer(int32_t dataSetId, std::string_view name) override {
    Query q(*db_, "SELECT layer_id FROM layers WHERE data_set_id = ?1 AND name = ?2");
    if (q.Bind(1, dataSetId).BindText(2, name).Step() != SQLITE_ROW) return 0;
    const int64_t id = q.Int(0);
    return id >= 1 && id <= kMaxId ? static_cast<int32_t>(id) : 0;
  }

  bool HoldLayer(int32_t layerId) override { return locks_ == nullptr || locks_->Share(layerId); }
  void ReleaseLayer(int32_t layerId) override {
    if (locks_ != nullptr) locks_->Release(layerId);
  }

  int16_t DeleteLayer(int32_t dataSetId, int32_t layerId) override {
    // Without the lock file nobody's opens are known, so nothing is deleted.
    if (locks_ == nullptr || !locks_->TakeForDelete(layerId)) return kRefused;
    const int16_t r = DeleteLayerRows(dataSetId, layerId);
    locks_->Release(layerId);
    return r;
  }

  int16_t DeleteLayerRows(int32_t dataSetId, int32_t layerId) {
    Transaction txn(*db_, Transaction::Mode::kWrite);
    if (!txn.ok()) return kRefused;
    Query layer(*db_, "DELETE FROM layers WHERE layer_id = ?1 AND data_set_id = ?2");
    if (!layer.Bind(1, layerId).Bind(2, dataSetId).Run() || db_->Changes() != 1) return kRefused;
    Query tiles(*db_, "DELETE FROM tiles WHERE layer_id = ?1");
    Query levels(*db_, "DELETE FROM levels WHERE layer_id = ?1");
    if (!tiles.Bind(1, layerId).Run() || !levels.Bind(1, layerId).Run()) return kRefused;
    return Result(txn.Commit());
  }

  int16_t GetLayerParam(int32_t layerId, DataLayerParam* out) override {
    Query q(*db_, "SELECT param FROM layers WHERE layer_id = ?1");
    return Result(q.Bind(1, layerId).Step() == SQLITE_ROW && DecodeLayerParam(q.Blob(0), out));
  }

  int16_t SetLayerParam(int32_t layerId, const DataLayerParam& param) override {
    Transaction txn(*db_, Transaction::Mode::kWrite);
    if (!txn.ok()) return kRefused;
    DataLayerParam p = param;
    {
      Query q(*db_, "SELECT data_type, level_count FROM layers WHERE layer_id = ?1");
      if (q.Bind(1, layerId).Step() != SQLITE_ROW || q.Int(0) != p.dataType) return kRefused;
      p.levelCount = static_cast<int16_t>(q.Int(1));
    }
    if (!WriteLayerRecord(layerId, p)) return kRefused;
    return Result(txn.Commit());
  }

  int16_t CreateLevel(int32_t layerId, int16_t level, const PyramidLayerInfo& info) override {
    Transaction txn(*db_, Transaction::Mode::kWrite);
    if (!txn.ok()) return kRefused;
    int64_t data_type = 0;
    {
      Query q(*db_, "SELECT data_type FROM layers WHERE layer_id = ?1");
      if (q.Bind(1, layerId).Step() != SQLITE_ROW) return kRefused;
      data_type = q.Int(0);
    }
    {
      Query q(*db_, "SELECT 1 FROM levels WHERE layer_id = ?1 AND level = ?2");
      if (q.Bind(1, layerId).Bind(2, level).Step() != SQLITE_DONE) return kLevelExists;
    }
    const int64_t count = int64_t{info.tilesDown} * info.tilesAcross;
    if (count < 1 || count > kMaxTilesPerLevel) return kRefused;
    int64_t first_key = 0;
    {
      Query q(*db_, "SELECT value FROM meta WHERE name = 'next_tile_key'");
      if (q.Step() != SQLITE_ROW) return kRefused;
      first_key = q.Int(0);
    }
    // Keys are never reused, so a stale record held elsewhere cannot reach another tile's bytes.
    if (!TileKeysFit(first_key, count)) return kRefused;

    const LevelInfoBytes info_bytes = EncodeLevelInfo(info);
    Query insert_level(*db_,
                       "INSERT INTO levels(layer_id, level, cell_rows, cell_cols, tiles_down, tiles_across,"
                       " closed_once, first_tile_key, info) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)");
    insert_level.Bind(1, layerId)
        .Bind(2, level)
        .Bind(3, info.rows)
        .Bind(4, info.cols)
        .Bind(5, info.tilesDown)
        .Bind(6, info.tilesAcross)
        .Bind(7, info.closedOnce)
        .Bind(8, first_key)
        .BindBlob(9, info_bytes);
    if (!insert_level.Run()) return kRefused;

    TileRecBytes rec = EncodeTileRec(EmptyTileRec(static_cast<uint16_t>(data_type), 0));
    Query insert_tile(*db_,
                      "INSERT INTO tiles(tile_key, layer_id, level, tile_number, rec) VALUES (?1, ?2, ?3, ?4, ?5)");
    insert_tile.Bind(2, layerId).Bind(3, level).BindBlob(5, rec);
    for (int64_t i = 0; i < count; ++i) {
      PutTileKey(rec, static_cast<uint32_t>(first_key + i));
      if (!insert_tile.Bind(1, first_key + i).Bind(4, i + 1).Run()) return kRefused;
      insert_tile.Reset();
    }
    Query next_key(*db_, "UPDATE meta SET value = ?1 WHERE name = 'next_tile_key'");
    if (!next_key.Bind(1, first_key + count).Run() || !RecountLevels(layerId)) return kRefused;
    return Result(txn.Commit());
  }

  int16_t DeleteLevel(int32_t layerId, int16_t level) override {
    Transaction txn(*db_, Transaction::Mode::kWrite);
    if (!txn.ok()) return kRefused;
    Query del_level(*db_, "DELETE FROM levels WHERE layer_id = ?1 AND level = ?2");
    if (!del_level.Bind(1, layerId).Bind(2, level).Run() || db_->Changes() != 1) return kRefused;
    Query del_tiles(*db_, "DELETE FROM tiles WHERE layer_id = ?1 AND level = ?2");
    if (!del_tiles.Bind(1, layerId).Bind(2, level).Run() || !RecountLevels(layerId)) return kRefused;
    return Result(txn.Commit());
  }

  int16_t GetLevelInfo(int32_t layerId, int16_t level, PyramidLayerInfo* out) override {
    Query q(*db_, "SELECT info FROM levels WHERE layer_id = ?1 AND level = ?2");
    return Result(q.Bind(1, layerId).Bind(2, level).Step() == SQLITE_ROW && DecodeLevelInfo(q.Blob(0), out));
  }

  int16_t SetLevelInfo(int32_t layerId, int16_t level, const PyramidLayerInfo& info) override {
    const LevelInfoBytes bytes = EncodeLevelInfo(info);
    Query q(*db_,
            "UPDATE levels SET cell_rows = ?3, cell_cols = ?4, closed_once = ?5, info = ?6"
            " WHERE layer_id = ?1 AND level = ?2 AND tiles_down = ?7 AND tiles_across = ?8");
    q.Bind(1, layerId)
        .Bind(2, level)
        .Bind(3, info.rows)
        .Bind(4, info.cols)
        .Bind(5, info.closedOnce)
        .BindBlob(6, bytes)
        .Bind(7, info.tilesDown)
        .Bind(8, info.tilesAcross);
    return Result(q.Run() && db_->Changes() == 1);
  }

  int16_t ReadTileIndex(int32_t layerId, int16_t level, std::span<TileIndexRec> out) override {
    Transaction txn(*db_, Transaction::Mode::kRead);  // one snapshot for the level and its tiles
    int64_t first_key = 0;
    if (!txn.ok() || !LevelKeys(layerId, level, out.size(), &first_key)) return kRefused;
    Query q(*db_, "SELECT tile_number, tile_key, rec FROM tiles WHERE layer_id = ?1 AND level = ?2"
                  " ORDER BY tile_number");
    q.Bind(1, layerId).Bind(2, level);
    std::size_t n = 0;
    int rc;
    while ((rc = q.Step()) == SQLITE_ROW) {
      const int64_t key = q.Int(1);
      if (n >= out.size() || q.Int(0) != static_cast<int64_t>(n) + 1 || key < 1 || key > kMaxTileKey) {
        return kRefused;
      }
      TileIndexRec rec;
      if (!DecodeTileRec(q.Blob(2), &rec)) return kRefused;
      rec.offset = static_cast<uint32_t>(key);
      out[n++] = rec;
    }
    return Result(rc == SQLITE_DONE && n == out.size() && txn.Commit());
  }

  int16_t WriteTileIndex(int32_t layerId, int16_t level, std::span<const TileIndexRec> index) override {
    Transaction txn(*db_, Transaction::Mode::kWrite);
    int64_t first_key = 0;
    if (!txn.ok() || !LevelKeys(layerId, level, index.size(), &first_key)) return kRefused;
    Query update(*db_,
                 "UPDATE tiles SET rec = ?1 WHERE tile_key = ?2 AND layer_id = ?3 AND level = ?4 AND tile_number = ?5");
    TileRecBytes rec;
    update.BindBlob(1, rec).Bind(3, layerId).Bind(4, level);
    for (std::size_t i = 0; i < index.size(); ++i) {
      const int64_t key = first_key + static_cast<int64_t>(i);
      rec = EncodeTileRec(index[i]);
      PutTileKey(rec, static_cast<uint32_t>(key));
      if (!update.Bind(2, key).Bind(5, static_cast<int64_t>(i) + 1).Run() || db_->Changes() != 1) {
        return kRefused;
      }
      update.Reset();
    }
    return Result(txn.Commit());
  }

  int16_t ReadTileRec(int32_t layerId, int16_t level, int32_t tileNumber, TileIndexRec* out) override {
    Query q(*db_, "SELECT tile_key, rec FROM tiles WHERE layer_id = ?1 AND level = ?2 AND tile_number = ?3");
    if (q.Bind(1, layerId).Bind(2, level).Bind(3, tileNumber).Step() != SQLITE_ROW) return kRefused;
    const int64_t key = q.Int(0);
    TileIndexRec rec;
    if (key < 1 || key > kMaxTileKey || !DecodeTileRec(q.Blob(1), &rec)) return kRefused;
    rec.offset = static_cast<uint32_t>(key);
    *out = rec;
    return kOk;
  }

  int16_t WriteTileRec(int32_t layerId, int16_t level, int32_t tileNumber, const TileIndexRec& rec) override {
    int64_t first_key = 0;
    {
      Query q(*db_, "SELECT first_tile_key FROM levels WHERE layer_id = ?1 AND level = ?2");
      if (q.Bind(1, layerId).Bind(2, level).Step() != SQLITE_ROW) return kRefused;
      first_key = q.Int(0);
    }
    // A damaged row may hold any key: checked before the sum, which could overflow.
    if (!TileKeysFit(first_key, 1)) return kRefused;
    const int64_t key = first_key + tileNumber - 1;
    if (key < 1 || key > kMaxTileKey) return kRefused;
    TileRecBytes bytes = EncodeTileRec(rec);
    PutTileKey(bytes, static_cast<uint32_t>(key));
    // The full key/layer/level/number match refuses a level recreated since the read above.
    Query q(*db_,
            "UPDATE tiles SET rec = ?1 WHERE tile_key = ?2 AND layer_id = ?3 AND level = ?4 AND tile_number = ?5");
    q.BindBlob(1, bytes).Bind(2, key).Bind(3, layerId).Bind(4, level).Bind(5, tileNumber);
    return Result(q.Run() && db_->Changes() == 1);
  }

  int16_t ReadTileData(int32_t layerId, uint32_t tileKey, std::span<uint8_t> out) override {
    Query q(*db_, "SELECT data FROM tiles WHERE tile_key = ?1 AND layer_id = ?2");
    if (q.Bind(1, tileKey).Bind(2, layerId).Step() != SQLITE_ROW) return kRefused;
    const std::span<const uint8_t> stored = q.Blob(0);
    if (stored.size() != out.size()) return kRefused;
    if (!stored.empty()) std::memcpy(out.data(), stored.data(), stored.size());
    return kOk;
  }

  int16_t WriteTileData(int32_t layerId, int16_t level, uint32_t tileKey, std::span<const uint8_t> bytes) override {
    Query q(*db_,
            "UPDATE tiles SET data = ?1 WHERE tile_key = ?2 AND layer_id = ?3 AND (?4 = 0 OR level = ?4)");
    q.BindBlob(1, bytes).Bind(2, tileKey).Bind(3, layerId).Bind(4, level);
    return Result(q.Run() && db_->Changes() == 1);
  }

  int16_t BeginBatch(int32_t layerId, int16_t level) override {
    // IMMEDIATE takes the write lock now, so no write of the batch can fail later for want of it.
    // The statement is prepared first: nothing between BEGIN and the answer may throw.
    Query q(*db_, "SELECT 1 FROM levels WHERE layer_id = ?1 AND level = ?2");
    if (db_->InTransaction() || !db_->Exec("BEGIN IMMEDIATE")) return kRefused;
    if (q.Bind(1, layerId).Bind(2, level).Step() != SQLITE_ROW) {
      (void)db_->Exec("ROLLBACK");
      return kRefused;
    }
    return kOk;
  }

  bool BatchAlive() override { return db_->InTransaction(); }

  int16_t CommitBatch() override {
    if (!db_->InTransaction()) return kRefused;
    if (db_->Exec("COMMIT")) return kOk;
    (void)db_->Exec("ROLLBACK");
    return kRefused;
  }

  void RollbackBatch() override {
    if (db_->InTransaction()) (void)db_->Exec("ROLLBACK");
  }

 private:
  int32_t FindDataSet(std::string_view name) {
    Query q(*db_, "SELECT data_set_id FROM data_sets WHERE name = ?1");
    if (q.BindText(1, name).Step() != SQLITE_ROW) return 0;
    const int64_t id = q.Int(0);
    return id >= 1 && id <= kMaxId ? static_cast<int32_t>(id) : 0;
  }

  bool DataSetExists(int32_t dataSetId) {
    Query q(*db_, "SELECT 1 FROM data_sets WHERE data_set_id = ?1");
    return q.Bind(1, dataSetId).Step() == SQLITE_ROW;
  }

  // The level's first tile key, when the level exists and has exactly `count` tiles whose
  // keys all fit.
  bool LevelKeys(int32_t layerId, int16_t level, std::size_t count, int64_t* first_key) {
    Query q(*db_, "SELECT tiles_down * tiles_across, first_tile_key FROM levels WHERE layer_id = ?1 AND level = ?2");
    if (q.Bind(1, layerId).Bind(2, level).Step() != SQLITE_ROW) return false;
    if (q.Int(0) != static_cast<int64_t>(count)) return false;
    *first_key = q.Int(1);
    return TileKeysFit(*first_key, static_cast<int64_t>(count));
  }

  bool WriteLayerRecord(int32_t layerId, const DataLayerParam& p) {
    const LayerParamBytes bytes = EncodeLayerParam(p);
    Query q(*db_,
            "UPDATE layers SET data_type = ?2, level_count = ?3, x_min = ?4, x_max = ?5, y_min = ?6, y_max = ?7,"
            " cell_size_x = ?8, cell_size_y = ?9, min_value = ?10, max_value = ?11, param = ?12"
            " WHERE layer_id = ?1");
    q.Bind(1, layerId);
    BindLayerColumns(q, 2, p, bytes);
    return q.Run() && db_->Changes() == 1;
  }

  // levelCount of the layer record follows the levels that exist.
  bool RecountLevels(int32_t layerId) {
    DataLayerParam p;
    if (GetLayerParam(layerId, &p) != kOk) return false;
    Query q(*db_, "SELECT count(*) FROM levels WHERE layer_id = ?1");
    if (q.Bind(1, layerId).Step() != SQLITE_ROW) return false;
    p.levelCount = static_cast<int16_t>(q.Int(0));
    return WriteLayerRecord(layerId, p);
  }

  std::unique_ptr<Database> db_;
  std::unique_ptr<LayerLocks> locks_;  // null for a database without a lock file
};

}  // namespace

std::unique_ptr<Backend> OpenSqliteBackend(const std::string& path) {
  std::unique_ptr<Database> db = Database::Open(path);
  if (db == nullptr || !sqlite::PrepareSchema(*db)) return nullptr;
  return std::make_unique<SqliteBackend>(std::move(db), LayerLocks::Open(path));
}

}  // namespace dembase::rasterdb
