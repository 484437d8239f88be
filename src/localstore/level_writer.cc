#include "localstore/level_writer.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "cells/null_test.h"
#include "cells/tile_stats.h"
#include "localstore/tile_payload.h"

namespace dembase {

bool LevelWriter::Begin(const std::string& layerDir, const PyramidLevelRec& rec) {
  std::vector<uint32_t> ends;
  if (!files_.Open(layerDir, rec, true) || !files_.ReadDataFileEnds(&ends) || !files_.AppendPositions(ends, &appendAt_)) {
    files_.Close();
    return false;
  }
  running_ = true;
  return true;
}

int16_t LevelWriter::WriteOneTile(int32_t t, const OneTileInfo& info, const uint8_t* cells, const BlendSettings& blend,
                                  bool compress) {
  TileIndexRec rec;
  if (!running_ || t < 0 || t >= files_.tile_count() || (info.size != 0 && cells == nullptr)) return 0;
  if (!files_.ReadRecord(t, &rec)) return Fail();
  const bool storedEmpty = rec.offset == kEmptyTileOffset;

  if (info.size == 0) {
    // A tile without data changes nothing when merging; replacing, it empties the tile.
    if (storedEmpty || blend.blendValues) return 1;
    return files_.WriteRecord(t, EmptyTileIndexRec(type_)) ? 1 : Fail();
  }
  if (buffer_.size() == 0 && !buffer_.Allocate(kTileBlockBytes + kPayloadScratchBytes)) return Fail();
  uint8_t* merge = buffer_.data();
  const std::span<uint8_t> scratch = buffer_.span().subspan(kTileBlockBytes);

  if (storedEmpty || !blend.blendValues) {
    // The caller's statistics are taken as given.
    rec.tileMin = info.minimum;
    rec.tileMax = info.maximum;
    return Store(t, cells, compress, rec) ? 1 : 0;
  }

  // Merging: the stored cells first, then the caller's over them.
  if (rec.storedSize == 0) {
    FillWithNull(type_, MutableTileBlock(merge, kTileBlockBytes));
  } else if (!ReadPayload(files_.data_file_of(t), rec, merge, scratch)) {
    return Fail();
  }
  Merge(cells, blend, merge);
  // The range covers the stored cells that were kept as well as the merged ones.
  const TileStats stats = ComputeTileStats(type_, TileBlock(merge, kTileBlockBytes));
  if (stats.empty) {
    return files_.WriteRecord(t, EmptyTileIndexRec(type_)) ? 1 : Fail();
  }
  rec.tileMin = stats.minimum;
  rec.tileMax = stats.maximum;
  return Store(t, merge, compress, rec) ? 1 : 0;
}

void LevelWriter::Merge(const uint8_t* cells, const BlendSettings& blend, uint8_t* merge) const {
  for (size_t i = 0; i < kTileBlockBytes; i += kCellBytes) {
    const uint32_t n = LoadCellBits(cells + i);
    if (IsNullCellBits(type_, n)) continue;
    StoreIntoCell(type_, blend, merge + i, LoadCellValue(type_, cells + i));
  }
}

bool LevelWriter::Store(int32_t t, const uint8_t* block, bool compress, TileIndexRec rec) {
  const EncodedPayload payload = EncodePayload(block, compress, buffer_.span().subspan(kTileBlockBytes));
  const size_t f = static_cast<size_t>(DataFileOfTile(t));
  // Every payload is appended: a stored tile is never rewritten in place here.
  const uint64_t offset = appendAt_[f];
  if (offset + payload.size > std::numeric_limits<uint32_t>::max() ||
      !files_.data_file_of(t).WriteAt(offset, std::as_bytes(std::span<const uint8_t>(payload.data, payload.size)))) {
    failed_ = true;
    return false;
  }
  appendAt_[f] = offset + payload.size;
  pacer_.Wrote(files_.data_file_of(t), payload.size);
  rec.offset = static_cast<uint32_t>(offset);
  rec.packed = payload.packed;
  rec.storedSize = payload.size;
  // The record follows its payload, so it never points at bytes not written.
  if (!files_.WriteRecord(t, rec)) {
    failed_ = true;
    return false;
  }
  return true;
}

bool LevelWriter::End(ValueRange* range) {
  if (!running_) return false;
  running_ = false;
  bool ok = !failed_;
  if (!files_.WriteTables(appendAt_, {}) || !files_.MarkClosedOnce()) ok = false;
  if (range != nullptr) {
    std::vector<TileIndexRec> index;
    if (files_.ReadIndex(&index)) {
      for (const TileIndexRec& rec : index) {
        if (rec.offset == kEmptyTileOffset) continue;
        range->minValue = std::min(range->minValue, static_cast<double>(rec.tileMin));
        range->maxValue = std::max(range->maxValue, static_cast<double>(rec.tileMax));
      }
      range->known = true;
    } else {
      ok = false;
    }
  }
  files_.Close();
  buffer_.Free();
  return ok;
}

}  // namespace dembase
