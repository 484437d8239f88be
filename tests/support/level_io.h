// Whole-level writes and tile-data reads through the exports, one tile at a time.
#ifndef DEMBASE_TESTS_SUPPORT_LEVEL_IO_H_
#define DEMBASE_TESTS_SUPPORT_LEVEL_IO_H_

#include <cstdint>

#include "dembase/dembase.h"
#include "tests/support/cell_block.h"

namespace dembase::testing {

inline int16_t SetOperParam(DemBaseAI* h, int32_t id, bool compress, bool blend, float oldW = 0.0f, float newW = 1.0f,
                            int32_t ds = LOCAL_DATASET_ID) {
  const LayerOperParam p{static_cast<uint8_t>(compress), static_cast<uint8_t>(blend), oldW, newW};
  return _hxSetLayerOperParam(h, ds, id, &p);
}

// Writes tile t of the running whole-level write with the range the cells have.
inline int16_t WriteTile(DemBaseAI* h, int32_t t, const CellBlock& cells) {
  OneTileInfo info = cells.Info();
  return _hxWriteOneTile(h, 0, t, &info, cells.data());
}

// Writes tile t as a tile without data (info size 0).
inline int16_t WriteNoDataTile(DemBaseAI* h, int32_t t, const CellBlock& cells) {
  OneTileInfo info{0, 0, 0};
  return _hxWriteOneTile(h, 0, t, &info, cells.data());
}

// Reads one tile of a level that is not open: the Begin result (1 cells, 2 only nulls,
// 0 refused). out receives every cell read (all null for 2); the sequence is ended.
inline int16_t ReadTileData(DemBaseAI* h, int32_t id, int16_t level, int32_t tileRow, int32_t tileCol, CellBlock* out,
                            int32_t ds = LOCAL_DATASET_ID) {
  const int16_t r = _hxBeginReadTileData(h, ds, id, level, 0, tileRow, tileCol);
  if (r < 1) return r;
  for (int32_t row = 0; row < kEdge; ++row) {
    for (int32_t col = 0; col < kEdge; ++col) {
      double v = 0;
      uint8_t isNull = 9;
      if (_hxReadCellOfTileData(h, row, col, &v, &isNull) != 1 || isNull != (IsNullOf(out->type(), v) ? 1 : 0)) {
        (void)_hxEndReadTileData(h);
        return 0;
      }
      out->Set(row, col, v);
    }
  }
  return _hxEndReadTileData(h) == 1 ? r : 0;
}

}  // namespace dembase::testing

#endif  // DEMBASE_TESTS_SUPPORT_LEVEL_IO_H_
