#include "tools/tile_row_reader.h"

#include <algorithm>

namespace dembase::tool {

Status TileRowReader::Read(int32_t tr, TileStrip* strip) const {
  strip->Reset(tr, info_.rows, info_.cols);
  for (int32_t tc = 0; tc < info_.tilesAcross; ++tc) {
    const int16_t r = _hxBeginReadTileData(layer_.h(), layer_.ds(), layer_.id(), level_, 0, tr, tc);
    if (r == 2) {  // only nulls, which the strip already holds
      _hxEndReadTileData(layer_.h());
      continue;
    }
    if (r != 1) {
      return Status::Error(
          layer_.LevelText(level_, "tile " + std::to_string(tr) + "," + std::to_string(tc) + " cannot be read"));
    }
    const int32_t col0 = tc * kTileStep;
    const int32_t cols = std::min(kTileEdge, info_.cols - col0);
    for (int32_t row = 0; row < strip->rows; ++row) {
      double* dst = strip->Row(strip->firstRow + row) + col0;
      for (int32_t c = 0; c < cols; ++c) {
        double v = 0;
        uint8_t isNull = 0;
        _hxReadCellOfTileData(layer_.h(), row, c, &v, &isNull);
        dst[c] = isNull ? kNullCell : v;
      }
    }
    _hxEndReadTileData(layer_.h());
  }
  return {};
}

}  // namespace dembase::tool
