#include "localstore/tile_data_reader.h"

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
  if (record.offset == kEmptyTileOffset || record.storedSize == 0) return 2;
  if ((cells_.size() == 0 && !cells_.Allocate(kTileBlockBytes)) ||
      (scratch_.size() == 0 && !scratch_.Allocate(kPayloadScratchBytes))) {
    return 0;
  }
  if (!ReadPayload(files.data_file_of(*t), record, cells_.data(), scratch_.span())) return 0;
  current_ = cells_.data();
  return 1;
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
