#include "localstore/tile_data_reader.h"

#include <new>

#include "cells/cell_address.h"
#include "cells/null_test.h"
#include "localstore/level_file_set.h"
#include "localstore/tile_payload.h"

namespace dembase {

int16_t TileDataReader::Begin(const std::string& layerDir, const PyramidLevelRec& rec, int32_t tileRow,
                              int32_t tileCol) {
  current_ = nullptr;
  LevelFileSet files;
  if (!files.Open(layerDir, rec, true)) return 0;
  const auto t = TileNumber(files.geometry().grid, tileRow, tileCol);
  TileIndexRec record;
  if (!t || !files.ReadRecord(*t, &record)) return 0;
  // Nothing stored (empty, or cells that were never written): only nulls.
  if (IsEmptyTileRec(record) || record.storedSize == 0) {
    ReadAhead(files, rec, *t);
    return 2;
  }
  if ((cells_.size() == 0 && !cells_.Allocate(kTileBlockBytes)) ||
      (scratch_.size() == 0 && !scratch_.Allocate(kPayloadScratchBytes))) {
    return 0;
  }
  const bool inflatedAhead =
      ahead_ && aheadLevel_ == rec.dataPath && ahead_->TakeInto(static_cast<uint32_t>(*t), record, &cells_);
  if (!inflatedAhead && !ReadPayload(files.data_file_of(*t), record, cells_.data(), scratch_.span())) return 0;
  current_ = cells_.data();
  ReadAhead(files, rec, *t);
  return 1;
}

void TileDataReader::ReadAhead(LevelFileSet& files, const PyramidLevelRec& rec, int32_t t) {
  if (scratch_.size() < kPayloadScratchBytes) return;
  if (!ahead_) ahead_.reset(new (std::nothrow) BackgroundInflater());
  if (!ahead_) return;
  if (aheadLevel_ != rec.dataPath) {
    ahead_->Drop();
    try {
      aheadLevel_ = rec.dataPath;
    } catch (const std::bad_alloc&) {
      return;  // reading ahead is only worth it when it costs nothing else
    }
  }
  for (int32_t next = t + 1; next <= t + BackgroundInflater::kTilesAhead && next < files.tile_count(); ++next) {
    TileIndexRec record;
    if (ahead_->Has(static_cast<uint32_t>(next)) || !files.ReadRecord(next, &record)) continue;
    if (!ahead_->StartFromFile(static_cast<uint32_t>(next), record, files.data_file_of(next), scratch_.span())) return;
  }
}

double TileDataReader::ReadCell(int32_t row, int32_t col, uint8_t* isNull) const {
  uint8_t ignored = 0;
  if (current_ == nullptr || !InTile(row, col)) {
    *(isNull != nullptr ? isNull : &ignored) = 1;
    return NullValue(type_);
  }
  return ReadStoredCell(type_, current_, row, col, isNull != nullptr ? isNull : &ignored);
}

}  // namespace dembase
