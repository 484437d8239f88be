#include "dbstore/db_layer.h"

#include <new>
#include <span>
#include <vector>

#include "cache/tile_codec.h"
#include "cells/cell_address.h"
#include "cells/cell_views.h"
#include "dbstore/db_level_store.h"
#include "dembase/rasterdb.h"
#include "localstore/level_geometry.h"
#include "localstore/prepared_tile.h"
#include "localstore/records.h"
#include "localstore/result_codes.h"
#include "localstore/tile_payload.h"

namespace dembase {

CDbLayer::~CDbLayer() {
  // A destructor must not throw: what a close that ran out of memory had not written is
  // lost, and the members still release the cache slots.
  try {
    (void)CloseEverything();
  } catch (...) {
  }
}

void CDbLayer::AttachConnection(uint32_t connection) {
  connection_ = connection;
  readAhead_ = DbConnectionKind(connection) == RASTERDB_KIND_SQLITE;
}

int32_t CDbLayer::OpenDataLayer(int32_t dataSetId, const char* name, uint32_t /*mode*/) {
  if (is_open() || name == nullptr || name[0] == '\0') return 0;
  const int32_t id = DbOpenLayer(connection_, dataSetId, name);
  if (id < 1) return 0;
  DataLayerParam param{};
  if (DbGetLayerParam(connection_, id, &param) < 1 ||
      (param.dataType != DEMBASE_TYPE_INT32 && param.dataType != DEMBASE_TYPE_FLOAT32)) {
    DbCloseLayer(connection_, dataSetId, id);
    return 0;
  }
  param_ = param;
  type_ = CellTypeOf(param.dataType);
  dataSetId_ = dataSetId;
  layerId_ = id;
  return id;
}

int16_t CDbLayer::CloseDataLayer(int32_t dataSetId, int32_t layerId) {
  if (!is_open() || dataSetId != dataSetId_ || layerId != layerId_) return 0;
  return CloseEverything() ? 1 : 0;
}

bool CDbLayer::CloseEverything() {
  if (!is_open()) return true;
  // Closing with a level open writes it back rather than leaving cache slots behind.
  bool ok = openLevel_ == 0 || ClosePyramidLayer(layerId_) == 1;
  ok = EndLevelWrite() && ok;
  EndReadTileData();
  DbCloseLayer(connection_, dataSetId_, layerId_);
  layerId_ = 0;
  return ok;
}

int16_t CDbLayer::GetDataLayerParam(int32_t layerId, DataLayerParam* out) {
  if (!is_open() || out == nullptr || layerId != layerId_) return 0;
  // Read every time: the range follows the last close of level 1.
  return DbGetLayerParam(connection_, layerId_, out) >= 1 ? 1 : 0;
}

// --- pyramid levels ---

int16_t CDbLayer::CreatePyramidLayer(int32_t layerId, int16_t level, double cellSizeX, double cellSizeY) {
  if (!is_open() || layerId != layerId_ || level < 1) return 0;
  // The same geometry as a local level of these cell sizes.
  const auto cols = CountCells(param_.xMin, param_.xMax, cellSizeX);
  const auto rows = CountCells(param_.yMin, param_.yMax, cellSizeY);
  if (!cols || !rows) return 0;
  const auto geometry = LevelGeometry::FromCells(*rows, *cols);
  if (!geometry || !geometry->grid.Addressable()) return 0;
  const PyramidLayerInfo info = geometry->NewHeader(cellSizeX, cellSizeY).info;
  const int16_t r = DbCreateLevel(connection_, layerId_, level, &info);
  return r == kLevelExists ? kLevelExists : (r >= 1 ? 1 : 0);
}

int16_t CDbLayer::DeletePyramidLayer(int32_t layerId, int16_t level) {
  if (!is_open() || layerId != layerId_ || level < 1) return kNoSuchLevel;
  // A level in use cannot go from under its users.
  if (level == openLevel_ || level == writerLevel_ || level == tileDataLevel_) return 0;
  return DbDeleteLevel(connection_, layerId_, level) >= 1 ? 1 : 0;
}

int16_t CDbLayer::GetPyramidLayerInfo(int32_t layerId, int16_t level, PyramidLayerInfo* out) {
  if (!is_open() || out == nullptr || layerId != layerId_ || level < 1) return 0;
  if (level_ && level == openLevel_) {
    *out = level_->info();
    return 1;
  }
  return DbGetLevelInfo(connection_, layerId_, level, out) >= 1 ? 1 : 0;
}

int16_t CDbLayer::OpenPyramidLayer(int32_t layerId, int16_t level) {
  if (!is_open() || layerId != layerId_ || level < 1) return 0;
  if (openLevel_ != 0 || tileDataLevel_ != 0 || level == writerLevel_) return 0;
  auto store = std::make_unique<DbLevelStore>(connection_, layerId_, level, type_);
  if (!store->Open()) return 0;
  return OpenLevelOn(std::move(store), level) ? 1 : 0;
}

int16_t CDbLayer::ClosePyramidLayer(int32_t /*layerId*/) {
  if (openLevel_ < 1) return 0;
  const bool first = openLevel_ == 1;
  const OpenLevel::CloseOutcome out = CloseLevel();
  bool ok = out.ok;
  if (first && ok) {
    // The layer's range follows level 1, once its tiles are committed; also when only the
    // range differs from stored tiles', as a writer stopped between the two commits leaves it.
    DataLayerParam param{};
    ok = DbGetLayerParam(connection_, layerId_, &param) >= 1;
    const bool stale =
        out.minValue <= out.maxValue && (param.minValue != out.minValue || param.maxValue != out.maxValue);
    if (ok && (out.indexChanged || stale)) {
      param.minValue = out.minValue;
      param.maxValue = out.maxValue;
      ok = DbSetLayerParam(connection_, layerId_, &param) >= 1;
    }
  }
  return ok ? 1 : 0;
}

// --- whole-level write ---

int16_t CDbLayer::BeginWritePyramidLayer(int16_t level) {
  if (!is_open() || writerLevel_ != 0 || level < 1 || level == openLevel_) return 0;
  PyramidLayerInfo info{};
  if (DbGetLevelInfo(connection_, layerId_, level, &info) < 1) return 0;
  // One transaction: a reader elsewhere sees the level before or after the write.
  if (DbBeginWrite(connection_, layerId_, level) < 1) return 0;
  writerLevel_ = level;
  writerFailed_ = false;
  writerTorn_ = false;
  return 1;
}

int16_t CDbLayer::WriteOneTile(int32_t /*reserved*/, int32_t tileIndex, OneTileInfo* info, const void* cells) {
  if (writerLevel_ == 0 || info == nullptr || tileIndex < 0 || tileIndex == INT32_MAX ||
      (info->size != 0 && cells == nullptr)) {
    return 0;
  }
  const auto fail = [this] {
    writerFailed_ = true;
    return int16_t{0};
  };
  const bool tornBefore = writerTorn_;
  TileIndexRec rec{};
  if (DbReadTileRec(connection_, layerId_, writerLevel_, tileIndex + 1, &rec) < 1) return fail();
  if (info->size != 0 && writerBuffer_.size() == 0 && !writerBuffer_.Allocate(kTileBlockBytes + kPayloadScratchBytes)) {
    return fail();
  }
  uint8_t* merge = writerBuffer_.data();
  const std::span<uint8_t> scratch = writerBuffer_.span().subspan(kTileBlockBytes);
  const auto outcome =
      ResolvePreparedTile(type_, *info, static_cast<const uint8_t*>(cells), rec.storedSize == 0, blend(), merge,
                          [&](uint8_t* block) { return ReadStoredTile(rec, block, scratch) == 1; });
  if (!outcome) return fail();
  const uint32_t key = rec.offset;
  switch (outcome->action) {
    case PreparedTileOutcome::Action::kKeepStored:
      return 1;
    case PreparedTileOutcome::Action::kStoreEmpty:
      rec = EmptyTileIndexRec(type_);
      break;
    case PreparedTileOutcome::Action::kStoreCells: {
      const EncodedPayload payload = EncodePayload(outcome->cells, compressTiles_ != 0, scratch);
      // Until the record follows, the batch holds bytes it does not describe; should the
      // record never come (a failure, memory running out), the batch must not commit.
      writerTorn_ = true;
      if (DbPutTileData(connection_, key, payload.data, payload.size) < 1) {
        writerTorn_ = tornBefore;  // a refused statement changed nothing
        return fail();
      }
      rec.packed = payload.packed;
      rec.storedSize = payload.size;
      rec.tileMin = outcome->minimum;
      rec.tileMax = outcome->maximum;
      break;
    }
  }
  rec.offset = key;
  if (DbPutTileRec(connection_, tileIndex + 1, &rec) < 1) return fail();
  writerTorn_ = tornBefore;
  return 1;
}

int16_t CDbLayer::EndWritePyramidLayer() {
  if (writerLevel_ == 0) return 0;
  return EndLevelWrite() ? 1 : 0;
}

bool CDbLayer::EndLevelWrite() {
  if (writerLevel_ == 0) return true;
  bool ok = !writerFailed_;
  // The level's closed mark and level 1's range join the batch: marked after the commit,
  // a writer killed in between would leave a level whose next open discards the tiles
  // just committed as never completed.
  PyramidLayerInfo info{};
  if (DbGetLevelInfo(connection_, layerId_, writerLevel_, &info) >= 1) {
    if (info.closedOnce == 0) {
      info.closedOnce = 1;
      ok = DbSetLevelInfo(connection_, layerId_, writerLevel_, &info) >= 1 && ok;
    }
    // Level 1's range is the layer's, as after a close of the level.
    if (writerLevel_ == 1) ok = StoreLevelOneRange(info) && ok;
  } else {
    ok = false;
  }
  // A write that failed anywhere commits what did reach the database, as long as each
  // tile's bytes and record went in together; a tile torn between them takes the whole
  // batch back.
  if (writerTorn_) {
    (void)DbAbortWrite(connection_);
    ok = false;
  } else {
    ok = DbEndWrite(connection_) >= 1 && ok;
  }
  writerBuffer_.Free();
  writerLevel_ = 0;
  writerTorn_ = false;
  return ok;
}

bool CDbLayer::StoreLevelOneRange(const PyramidLayerInfo& info) {
  const auto g = LevelGeometry::FromCells(info.rows, info.cols);
  if (!g || g->tileCount != int64_t{info.tilesDown} * info.tilesAcross) return false;
  std::vector<TileIndexRec> index(static_cast<size_t>(g->tileCount));
  DataLayerParam param{};
  if (DbReadTileIndex(connection_, layerId_, 1, index.data()) < 1 ||
      DbGetLayerParam(connection_, layerId_, &param) < 1) {
    return false;
  }
  const LevelRange range = RangeOfRecords(index);
  param.minValue = range.minValue;
  param.maxValue = range.maxValue;
  return DbSetLayerParam(connection_, layerId_, &param) >= 1;
}

// --- tile-data read ---

int16_t CDbLayer::ReadStoredTile(const TileIndexRec& rec, uint8_t* block, std::span<uint8_t> scratch) {
  if (rec.storedSize == 0) return 2;
  if (rec.packed == 0) {
    if (rec.storedSize != kTileBlockBytes) return 0;
    return DbReadTileData(connection_, layerId_, rec.offset, rec.storedSize, block) >= 1 ? 1 : 0;
  }
  if (rec.packed != 1 || rec.storedSize > scratch.size()) return 0;
  if (DbReadTileData(connection_, layerId_, rec.offset, rec.storedSize, scratch.data()) < 1) return 0;
  if (ahead_ && ahead_->CopyTo(rec.offset, rec, block, scratch.first(rec.storedSize))) return 1;
  return UncompressTile(scratch.data(), rec.storedSize, block, kTileBlockBytes) == 1 ? 1 : 0;
}

bool CDbLayer::HaveTileDataBuffer() {
  return tileDataBuffer_.size() != 0 || tileDataBuffer_.Allocate(kTileBlockBytes + kPayloadScratchBytes);
}

void CDbLayer::ReadAhead(int16_t level, const PyramidLayerInfo& info, int32_t t) {
  if (!readAhead_) return;
  if (!HaveTileDataBuffer()) return;
  if (!ahead_) ahead_.reset(new (std::nothrow) BackgroundInflater());
  if (!ahead_) return;
  const std::span<uint8_t> scratch = tileDataBuffer_.span().subspan(kTileBlockBytes);
  const int64_t count = int64_t{info.tilesDown} * info.tilesAcross;
  const int32_t last = t + BackgroundInflater::kTilesAhead;
  // In a pass in tile order only the tile entering the window is new: a record read is a
  // round trip to a server.
  int32_t next = t + 1;
  if (aheadLevel_ == level && aheadNext_ > next && aheadNext_ <= last + 1) next = aheadNext_;
  aheadLevel_ = 0;
  for (; next <= last && next < count; ++next) {
    TileIndexRec rec{};
    if (DbReadTileRec(connection_, layerId_, level, next + 1, &rec) < 1) return;
    if (rec.packed != 1 || rec.storedSize == 0 || rec.storedSize > scratch.size() || ahead_->Has(rec.offset)) continue;
    if (DbReadTileData(connection_, layerId_, rec.offset, rec.storedSize, scratch.data()) < 1) return;
    (void)ahead_->Start(rec.offset, rec, scratch.first(rec.storedSize));
  }
  aheadLevel_ = level;
  aheadNext_ = next;
}

int16_t CDbLayer::BeginReadTileData(int16_t level, int32_t /*reserved*/, int32_t tileRow, int32_t tileCol) {
  if (!is_open() || level_ || tileDataLevel_ != 0 || level < 1) return 0;
  PyramidLayerInfo info{};
  if (DbGetLevelInfo(connection_, layerId_, level, &info) < 1) return 0;
  if (tileRow < 0 || tileCol < 0 || tileRow >= info.tilesDown || tileCol >= info.tilesAcross) return 0;
  const int32_t t = tileRow * info.tilesAcross + tileCol;
  TileIndexRec rec{};
  if (DbReadTileRec(connection_, layerId_, level, t + 1, &rec) < 1) return 0;
  int16_t r = 2;
  if (rec.storedSize != 0) {
    if (!HaveTileDataBuffer()) return 0;
    r = ReadStoredTile(rec, tileDataBuffer_.data(), tileDataBuffer_.span().subspan(kTileBlockBytes));
    if (r < 1) return 0;
  }
  tileDataHasCells_ = r == 1;
  tileDataLevel_ = level;
  tileDataBlock_ = tileDataHasCells_ ? tileDataBuffer_.data() : nullptr;
  tileDataView_ = tileDataHasCells_ ? ActiveTileView{&tileDataBlock_, type_} : ActiveTileView{};
  ReadAhead(level, info, t);
  return r;
}

double CDbLayer::ReadCellOfTileData(int32_t row, int32_t col, uint8_t* isNull) {
  if (tileDataLevel_ == 0 || !tileDataHasCells_ || !InTile(row, col)) return NullCell(isNull);
  return ReadStoredCell(type_, tileDataBuffer_.data(), row, col, isNull);
}

int16_t CDbLayer::EndReadTileData() {
  tileDataView_ = {};
  tileDataBlock_ = nullptr;
  tileDataHasCells_ = false;
  tileDataLevel_ = 0;
  return 1;
}

}  // namespace dembase
