// Moving tiles between a level's data files and the tile cache: fetch, inflate,
// statistics, compress, and the placement of payloads (in place when they fit in the
// same form, else appended at the file's real end).
#include <new>

#include "cache/tile_codec.h"
#include "cells/null_test.h"
#include "cells/tile_stats.h"
#include "localstore/open_level.h"
#include "localstore/tile_payload.h"

namespace dembase {

void OpenLevel::ReleaseSlot(int32_t t) {
  TileRef& r = ref(t);
  if (r.cached()) cache_->Release(r.slot);
  r.Reset();
}

void OpenLevel::DropTile(int32_t t) {
  ref(t).dirty = 0;
  ReleaseSlot(t);
  // The dropped changes had emptied the record of a stored tile: the stored cells are
  // the tile again. written_ holds that record already, so going back needs no memory.
  TileIndexRec& rec = index_[static_cast<size_t>(t)];
  if (IsEmptyTileRec(rec) && !IsEmptyTileRec(written_[static_cast<size_t>(t)])) rec = written_[static_cast<size_t>(t)];
}

bool OpenLevel::FetchTile(int32_t t, bool forWrite) {
  TileRef& r = ref(t);
  if (r.block != nullptr) return true;
  if (!LoadRecordOf(t)) return false;
  TileIndexRec& rec = index_[static_cast<size_t>(t)];
  if (IsEmptyTileRec(rec)) {
    if (!forWrite) return true;  // callers read an empty tile from its record alone
    rec.storedSize = 0;
    r.dirty = 1;
  }
  if (!cache_->Acquire(owner_, &r, static_cast<uint32_t>(t))) return false;
  const MutableTileBlock cells(r.block, kTileBlockBytes);
  if (r.dirty) {
    FillWithNull(type_, cells);
    return true;
  }
  if (!ReadTileBlock(t)) {
    ReleaseSlot(t);
    return false;
  }
  return true;
}

void OpenLevel::ReadAhead(int32_t t) {
  if (!ahead_) ahead_.reset(new (std::nothrow) BackgroundInflater());
  if (!ahead_) return;
  for (int32_t next = t + 1; next <= t + BackgroundInflater::kTilesAhead && next < tile_count(); ++next) {
    if (ref(next).block != nullptr || !LoadRecordOf(next)) continue;  // in the cache, or no record
    const TileIndexRec& rec = index_[static_cast<size_t>(next)];
    if (rec.packed != 1 || rec.storedSize == 0 || ahead_->Has(static_cast<uint32_t>(next))) continue;
    const auto bytes = store_->ReadBytes(next, rec, packBuffer_.span());
    if (!bytes || !ahead_->Start(static_cast<uint32_t>(next), rec, *bytes)) return;
  }
}

bool OpenLevel::ReadTileBlock(int32_t t) {
  const TileIndexRec& rec = index_[static_cast<size_t>(t)];
  uint8_t* cells = ref(t).block;
  // A pending tile whose cells were discarded has nothing stored: it reads as null.
  if (rec.storedSize == 0) {
    FillWithNull(type_, MutableTileBlock(cells, kTileBlockBytes));
    return true;
  }
  if (ahead_ && ahead_->CopyTo(static_cast<uint32_t>(t), rec, cells)) return true;
  if (rec.packed == 0) {
    // A raw block is read straight into the cache block.
    return rec.storedSize == kTileBlockBytes &&
           store_->ReadBytes(t, rec, std::span<uint8_t>(cells, kTileBlockBytes)).has_value();
  }
  const auto bytes = rec.packed == 1 ? store_->ReadBytes(t, rec, packBuffer_.span()) : std::nullopt;
  return bytes && UncompressTile(bytes->data(), static_cast<uint32_t>(bytes->size()), cells, kTileBlockBytes) == 1;
}

void OpenLevel::ComputeTileStats(int32_t t) {
  TileRef& r = ref(t);
  if (r.block == nullptr) return;
  TileIndexRec& rec = index_[static_cast<size_t>(t)];
  const TileStats stats = dembase::ComputeTileStats(type_, TileBlock(r.block, kTileBlockBytes));
  if (stats.empty) {
    rec = EmptyTileIndexRec(type_);
  } else {
    if (rec.storedSize == 0) rec.offset = 0;  // pending: cells but no payload yet
    rec.tileMin = stats.minimum;
    rec.tileMax = stats.maximum;
  }
  r.statsCurrent = 1;
}

bool OpenLevel::WriteTileBlock(int32_t t) {
  TileRef& r = ref(t);
  if (r.block == nullptr) return false;
  if (!r.statsCurrent) ComputeTileStats(t);
  return IsEmpty(t) ? RecordEmptied(t) : PlacePayload(t, EncodePayload(r.block, compress_, packBuffer_.span()));
}

bool OpenLevel::RecordEmptied(int32_t t) {
  if (!store_->RecordChanged(t, index_[static_cast<size_t>(t)])) {
    failed_ = true;
    return false;
  }
  written_[static_cast<size_t>(t)] = index_[static_cast<size_t>(t)];
  return true;
}

bool OpenLevel::PlacePayload(int32_t t, const EncodedPayload& payload) {
  TileIndexRec& rec = index_[static_cast<size_t>(t)];
  // On failure written_ keeps the former payload with its own record.
  if (!store_->StoreBytes(t, &rec, payload) || !store_->RecordChanged(t, rec)) {
    failed_ = true;
    return false;
  }
  written_[static_cast<size_t>(t)] = rec;
  indexDirty_ = true;
  return true;
}

void OpenLevel::WriteBack(int32_t t) {
  indexDirty_ = true;
  (void)WriteTileBlock(t);  // a failure is remembered in failed_ and reported at close
  ref(t).dirty = 0;
}

}  // namespace dembase
