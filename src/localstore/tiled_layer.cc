// Cell and tile access on the open level, for every layer kind.
//
// A tile of a running sequence keeps a dirty mark from its Begin, so the cache writes it
// back rather than dropping it if it must lend the block to another tile mid-sequence;
// every per-cell call then fetches the tile again instead of trusting an old block.
//
// Every cell write also marks the tile's statistics stale: statistics made earlier (at
// EndWriteTile with keep, or by BeginReadTile) would otherwise be taken as current at
// write-back, and a tile they had found empty would not be written at all.
#include "cells/null_test.h"
#include "cells/shared_edge.h"
#include "localstore/tiled_layer.h"

namespace dembase {
namespace {

void MarkCellWritten(TileRef& ref) {
  ref.dirty = 1;
  ref.statsCurrent = 0;
}

}  // namespace

double CTiledLayer::NullCell(uint8_t* isNull) const {
  if (isNull != nullptr) *isNull = 1;
  return NullValue(type_);
}

double CTiledLayer::ReadCell(int32_t t, int32_t r, int32_t c, uint8_t* isNull) {
  if (!level_->FetchTile(t, false) || level_->block(t) == nullptr) return NullCell(isNull);
  uint8_t ignored = 0;
  return ReadStoredCell(type_, level_->block(t), r, c, isNull != nullptr ? isNull : &ignored);
}

int16_t CTiledLayer::GetOneTileInfo(int32_t /*reserved*/, int32_t tileRow, int32_t tileCol, OneTileInfo* out) {
  if (!level_ || out == nullptr) return 0;
  const auto t = TileNumber(level_->grid(), tileRow, tileCol);
  if (!t || !level_->LoadRecordOf(*t)) return 0;
  const TileIndexRec& rec = level_->CurrentRecord(*t);
  out->size = static_cast<int32_t>(kTileBlockBytes);
  out->minimum = rec.tileMin;
  out->maximum = rec.tileMax;
  return 1;
}

int16_t CTiledLayer::SetCell(int32_t /*reserved*/, int32_t row, int32_t col, double value) {
  if (!level_) return 0;
  const auto copies = CopiesOfCell(level_->grid(), row, col);
  if (!copies) return 0;
  const int32_t owner = copies->owner().tile;
  if (!level_->LoadRecordOf(owner)) return 0;
  // Nothing to do: a null written into an empty tile that would keep the null anyway.
  if (level_->IsEmpty(owner) && !level_->ref(owner).dirty && blendValues_ != 0 && IsNullLike(type_, value)) return 1;

  // Each copy is fetched and written before the next fetch, which may evict it.
  bool ok = true;
  for (const CellCopy& copy : copies->copies()) {
    if (!level_->FetchTile(copy.tile, true)) {
      ok = false;
      continue;
    }
    StoreIntoCell(type_, blend(), level_->block(copy.tile) + CellByteOffset(copy.r, copy.c), value);
    MarkCellWritten(level_->ref(copy.tile));
  }
  return ok ? 1 : 0;
}

double CTiledLayer::GetCell(int32_t /*reserved*/, int32_t row, int32_t col, uint8_t* isNull) {
  if (!level_) return NullCell(isNull);
  const auto a = AddressCell(level_->grid(), row, col);
  if (!a || !level_->LoadRecordOf(a->tile)) return NullCell(isNull);
  if (level_->IsEmpty(a->tile) && level_->ref(a->tile).block == nullptr) return NullCell(isNull);
  return ReadCell(a->tile, a->r, a->c, isNull);
}

int16_t CTiledLayer::BeginWriteTile(int32_t /*reserved*/, int32_t tileRow, int32_t tileCol) {
  readTileView_ = {};
  if (!level_) return 0;
  const auto t = TileNumber(level_->grid(), tileRow, tileCol);
  if (!t) return 0;
  const bool wasDirty = level_->ref(*t).dirty != 0;
  if (!level_->FetchTile(*t, true)) return 0;
  // A tile that was empty comes back dirty from the fetch: it too counts as changed.
  activeWasDirty_ = wasDirty || level_->ref(*t).dirty != 0;
  level_->ref(*t).dirty = 1;
  activeTile_ = *t;
  activeFailed_ = false;
  return 1;
}

void CTiledLayer::WriteCellOfTile(int32_t row, int32_t col, double value) {
  if (!level_ || activeTile_ < 0) return;
  const auto p = WrapToTile(row, col);
  if (!p) return;
  if (!level_->FetchTile(activeTile_, true)) {
    activeFailed_ = true;
    return;
  }
  StoreIntoCell(type_, blend(), level_->block(activeTile_) + CellByteOffset(p->r, p->c), value,
                NullTestAt::kUnrounded);
  MarkCellWritten(level_->ref(activeTile_));
}

int16_t CTiledLayer::EndWriteTile(uint8_t keep) {
  if (!level_ || activeTile_ < 0) return 0;
  const int32_t t = activeTile_;
  activeTile_ = -1;
  if (keep != 0) level_->ComputeTileStats(t);
  // Changes made before the sequence are dropped with it only when keep is 0; a tile
  // that was clean at Begin is always kept.
  if (activeWasDirty_ && keep == 0) {
    level_->DropTile(t);
    // The record may still hold statistics of the dropped cells (made at an earlier End
    // or BeginReadTile): make them again from what is stored. A tile with nothing
    // stored reads as nulls and becomes empty again, and, like every empty tile, holds
    // no block, so its next sequence counts as a change too.
    if (!level_->IsEmpty(t) && level_->FetchTile(t, false)) {
      level_->ComputeTileStats(t);
      if (level_->IsEmpty(t)) level_->DropTile(t);
    }
  }
  return activeFailed_ ? 0 : 1;
}

int16_t CTiledLayer::BeginReadTile(int32_t /*reserved*/, int32_t tileRow, int32_t tileCol) {
  readTileView_ = {};
  if (!level_) return 0;
  const auto t = TileNumber(level_->grid(), tileRow, tileCol);
  if (!t || !level_->LoadRecordOf(*t)) return 0;
  if (IsEmptyTileRec(level_->CurrentRecord(*t))) {
    activeTile_ = *t;
    return 2;
  }
  if (!level_->FetchTile(*t, false)) return 0;
  activeTile_ = *t;
  readTileView_ = ActiveTileView{&level_->ref(*t).block, type_};
  level_->ReadAhead(*t);
  return 1;
}

int16_t CTiledLayer::EndReadTile() {
  readTileView_ = {};
  if (activeTile_ < 0) return 0;
  activeTile_ = -1;
  return 1;
}

double CTiledLayer::ReadCellOfTile(int32_t row, int32_t col, uint8_t* isNull) {
  if (!level_ || activeTile_ < 0 || !InTile(row, col)) return NullCell(isNull);
  if (level_->IsEmpty(activeTile_) && level_->ref(activeTile_).block == nullptr) return NullCell(isNull);
  return ReadCell(activeTile_, row, col, isNull);
}

void CTiledLayer::SetLayerOperParam(const LayerOperParam* p) {
  if (p == nullptr) return;
  compressTiles_ = p->compressTiles;
  blendValues_ = p->blendValues;
  oldWeight_ = p->oldWeight;
  newWeight_ = p->newWeight;
  openLevelView_.blend = blend();
  if (level_) level_->set_compress(compressTiles_ != 0);
}

void CTiledLayer::GetLayerOperParam(LayerOperParam* out) {
  if (out == nullptr) return;
  out->compressTiles = compressTiles_;
  out->blendValues = blendValues_;
  out->oldWeight = oldWeight_;
  out->newWeight = newWeight_;
}

double CTiledLayer::GetNullValue() { return NullValue(type_); }

int32_t CTiledLayer::IsNullValue(double value) { return IsNullLike(type_, value) ? 1 : 0; }

bool CTiledLayer::OpenLevelOn(std::unique_ptr<LevelStore> store, int16_t level) {
  auto opened = std::make_unique<OpenLevel>(this, cache(), type_);
  if (!opened->Open(std::move(store))) return false;
  opened->set_compress(compressTiles_ != 0);
  level_ = std::move(opened);
  openLevel_ = level;
  activeTile_ = -1;
  if (level_->grid().Addressable()) {
    openLevelView_ = OpenLevelView{level_->refs(), level_->grid(), level, type_, blend()};
  }
  return true;
}

OpenLevel::CloseOutcome CTiledLayer::CloseLevel() {
  openLevelView_ = {};
  readTileView_ = {};
  const OpenLevel::CloseOutcome out = level_->Close(openLevel_ == 1);
  level_.reset();
  openLevel_ = 0;
  activeTile_ = -1;
  return out;
}

void CTiledLayer::LevelDeleted(int16_t level) {
  // Levels above move down one number, the open one included.
  if (openLevel_ > level) --openLevel_;
  if (writerLevel_ > level) --writerLevel_;
  if (tileDataLevel_ > level) --tileDataLevel_;
  openLevelView_.level = openLevel_;
}

void CTiledLayer::WriteBackTile(uint32_t tag) {
  if (level_ && tag < static_cast<uint32_t>(level_->tile_count())) level_->WriteBack(static_cast<int32_t>(tag));
}

}  // namespace dembase
