#include "dbstore/db_level_store.h"

#include <algorithm>

#include "cells/cell_address.h"
#include "dembase/rasterdb.h"
#include "localstore/records.h"

namespace dembase {

DbLevelStore::~DbLevelStore() {
  // Only a close that did not get to Finish leaves a batch: what it holds may be a tile's
  // bytes without their record, so none of it is kept.
  if (batch_) (void)DbAbortWrite(connection_);
}

bool DbLevelStore::Open() {
  if (DbGetLevelInfo(connection_, layerId_, level_, &info_) < 1) return false;
  const auto g = LevelGeometry::FromCells(info_.rows, info_.cols);
  // The records and the cache blocks assume this library's tiles.
  if (!g || !g->grid.Addressable() || info_.tileRows != kTileEdge || info_.tileCols != kTileEdge ||
      info_.tilesDown != g->grid.tilesDown || info_.tilesAcross != g->grid.tilesAcross) {
    return false;
  }
  geometry_ = *g;
  return LoadTable();
}

bool DbLevelStore::LoadRecords(int32_t first, std::span<TileIndexRec> out) {
  const auto at = static_cast<size_t>(first);
  if (first < 0 || at > records_.size() || out.size() > records_.size() - at) return false;
  std::copy_n(records_.begin() + static_cast<ptrdiff_t>(at), out.size(), out.begin());
  return true;
}

bool DbLevelStore::LoadTable() {
  std::vector<TileIndexRec> stored(static_cast<size_t>(geometry_.tileCount));
  if (DbReadTileIndex(connection_, layerId_, level_, stored.data()) < 1) return false;
  if (info_.closedOnce == 0) {
    // Whatever a level that was never closed holds was never complete.
    for (TileIndexRec& rec : stored) {
      const uint32_t key = rec.offset;
      rec = EmptyTileIndexRec(type_);
      rec.offset = key;
    }
    if (DbWriteTileIndex(connection_, layerId_, level_, stored.data(), static_cast<int32_t>(stored.size())) < 1) {
      return false;
    }
  }
  keys_.resize(stored.size());
  records_.resize(stored.size());
  for (size_t t = 0; t < stored.size(); ++t) {
    keys_[t] = stored[t].offset;
    TileIndexRec rec = stored[t];
    if (rec.storedSize == 0) {
      rec = EmptyTileIndexRec(type_);
    } else {
      rec.offset = 0;  // stored: the form needs only storedSize > 0
    }
    records_[t] = rec;
  }
  return true;
}

TileIndexRec DbLevelStore::ToStored(int32_t t, const TileIndexRec& rec) const {
  TileIndexRec out = IsEmptyTileRec(rec) ? EmptyTileIndexRec(type_) : rec;
  out.offset = keys_[static_cast<size_t>(t)];
  return out;
}

void DbLevelStore::BeginBatch() {
  if (!batch_) batch_ = DbBeginWrite(connection_, layerId_, level_) > 0;
}

std::optional<std::span<const uint8_t>> DbLevelStore::ReadBytes(int32_t t, const TileIndexRec& rec,
                                                                std::span<uint8_t> scratch) {
  if (rec.storedSize == 0 || rec.storedSize > scratch.size()) return std::nullopt;
  const auto bytes = scratch.first(rec.storedSize);
  if (DbReadTileData(connection_, layerId_, keys_[static_cast<size_t>(t)], rec.storedSize, bytes.data()) < 1) {
    return std::nullopt;
  }
  return bytes;
}

bool DbLevelStore::StoreBytes(int32_t t, TileIndexRec* rec, const EncodedPayload& payload) {
  BeginBatch();
  const uint32_t key = keys_[static_cast<size_t>(t)];
  const int16_t r = batch_ ? DbPutTileData(connection_, key, payload.data, payload.size)
                           : DbWriteTileData(connection_, layerId_, key, payload.data, payload.size);
  if (r < 1) return false;
  rec->offset = 0;
  rec->storedSize = payload.size;
  rec->packed = payload.packed;
  return true;
}

bool DbLevelStore::RecordChanged(int32_t t, const TileIndexRec& rec) {
  BeginBatch();
  const TileIndexRec stored = ToStored(t, rec);
  const int16_t r = batch_ ? DbPutTileRec(connection_, t + 1, &stored)
                           : DbWriteTileRec(connection_, layerId_, level_, t + 1, &stored);
  return r >= 1;
}

bool DbLevelStore::Finish(std::span<const TileIndexRec> /*index*/, bool /*indexChanged*/) {
  // Records went to the database tile by tile; the batch makes them one change, with the
  // level's closed mark in it (see CDbLayer::EndLevelWrite).
  bool ok = true;
  if (info_.closedOnce == 0) {
    info_.closedOnce = 1;
    ok = DbSetLevelInfo(connection_, layerId_, level_, &info_) >= 1;
  }
  if (batch_) {
    ok = DbEndWrite(connection_) >= 1 && ok;
    batch_ = false;
  }
  return ok;
}

}  // namespace dembase
