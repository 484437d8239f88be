#include "localstore/level_writer.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "cells/null_test.h"
#include "cells/tile_stats.h"
#include "localstore/prepared_tile.h"
#include "localstore/tile_payload.h"

namespace dembase {

bool LevelWriter::Begin(const std::string& layerDir, const PyramidLevelRec& rec) {
  if (!files_.OpenForAppends(layerDir, rec, &appendAt_) || !files_.ReadIndex(&index_)) {
    files_.Close();
    return false;
  }
  CanonicalizeEmptyRecords(index_, type_);
  running_ = true;
  return true;
}

int16_t LevelWriter::WriteOneTile(int32_t t, const OneTileInfo& info, const uint8_t* cells, const BlendSettings& blend,
                                  bool compress) {
  if (!running_ || t < 0 || t >= files_.tile_count() || (info.size != 0 && cells == nullptr)) return 0;
  TileIndexRec rec = index_[static_cast<size_t>(t)];
  if (info.size != 0 && buffer_.size() == 0 && !buffer_.Allocate(kTileBlockBytes + kPayloadScratchBytes)) {
    return Fail();
  }
  uint8_t* merge = buffer_.data();
  const std::span<uint8_t> scratch = buffer_.span().subspan(kTileBlockBytes);
  const auto outcome = ResolvePreparedTile(type_, info, cells, IsEmptyTileRec(rec), blend, merge, [&](uint8_t* block) {
    if (rec.storedSize != 0) return ReadPayload(files_.data_file_of(t), rec, block, scratch);
    FillWithNull(type_, MutableTileBlock(block, kTileBlockBytes));
    return true;
  });
  if (!outcome) return Fail();
  switch (outcome->action) {
    case PreparedTileOutcome::Action::kKeepStored:
      return 1;
    case PreparedTileOutcome::Action::kStoreEmpty:
      index_[static_cast<size_t>(t)] = EmptyTileIndexRec(type_);
      return 1;
    case PreparedTileOutcome::Action::kStoreCells:
      break;
  }
  rec.tileMin = outcome->minimum;
  rec.tileMax = outcome->maximum;
  return Store(t, outcome->cells, compress, rec) ? 1 : 0;
}

bool LevelWriter::Store(int32_t t, const uint8_t* block, bool compress, TileIndexRec rec) {
  const EncodedPayload payload = EncodePayload(block, compress, buffer_.span().subspan(kTileBlockBytes));
  const size_t f = static_cast<size_t>(DataFileOfTile(t));
  // Every payload is appended: a stored tile is never rewritten in place here.
  const uint64_t offset = appendAt_[f];
  platform::File* file = files_.data_file_of(t);
  if (file == nullptr || offset + payload.size > std::numeric_limits<uint32_t>::max() ||
      !file->WriteAt(offset, std::as_bytes(std::span<const uint8_t>(payload.data, payload.size)))) {
    failed_ = true;
    return false;
  }
  appendAt_[f] = offset + payload.size;
  pacer_.Wrote(*file, payload.size);
  rec.offset = static_cast<uint32_t>(offset);
  rec.packed = payload.packed;
  rec.storedSize = payload.size;
  index_[static_cast<size_t>(t)] = rec;
  return true;
}

bool LevelWriter::End(ValueRange* range) {
  if (!running_) return false;
  running_ = false;
  // The tables are written even after a failure: a record that failed kept its old
  // value, and the payloads that succeeded are worth keeping.
  bool ok = !failed_;
  const bool written = files_.WriteTables(appendAt_, index_);
  if (!written || !files_.MarkClosedOnce()) ok = false;
  // Records that may not have reached the file leave the old range.
  if (range != nullptr && written) {
    const LevelRange level = RangeOfRecords(index_);
    range->minValue = level.minValue;
    range->maxValue = level.maxValue;
    range->known = true;
  }
  files_.Close();
  buffer_.Free();
  index_ = {};
  return ok;
}

}  // namespace dembase
