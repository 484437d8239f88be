#include "localstore/tile_data_reader.h"

#include "cells/cell_address.h"
#include "cells/null_test.h"
#include "localstore/level_file_set.h"
#include "localstore/tile_payload.h"

namespace dembase {

int16_t TileDataReader::Begin(const std::string& layerDir, const PyramidLevelRec& rec, int32_t tileRow,
                              int32_t tileCol) {
  cells_.Free();
  LevelFileSet files;
  if (!files.Open(layerDir, rec, true)) return 0;
  const auto t = TileNumber(files.geometry().grid, tileRow, tileCol);
  TileIndexRec record;
  if (!t || !files.ReadRecord(*t, &record)) return 0;
  // Nothing stored (empty, or cells that were never written): only nulls.
  if (record.offset == kEmptyTileOffset || record.storedSize == 0) return 2;
  HeapBuffer scratch;
  if (!cells_.Allocate(kTileBlockBytes) || !scratch.Allocate(kPayloadScratchBytes) ||
      !ReadPayload(files.data_file_of(*t), record, cells_.data(), scratch.span())) {
    cells_.Free();
    return 0;
  }
  return 1;
}

double TileDataReader::ReadCell(int32_t row, int32_t col, uint8_t* isNull) const {
  if (cells_.size() == 0 || !InTile(row, col)) {
    if (isNull != nullptr) *isNull = 1;
    return NullValue(type_);
  }
  const double v = LoadCellValue(type_, cells_.data() + CellByteOffset(row, col));
  if (isNull != nullptr) *isNull = IsNullLike(type_, v) ? 1 : 0;
  return v;
}

}  // namespace dembase
