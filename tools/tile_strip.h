// One tile row of a level as plain numbers, the unit in which the tool moves cells:
// rows tileRow * 255 .. tileRow * 255 + 255 of the level (clipped at its last row, so
// neighbouring strips share one row, as tiles do), every column, row-major. A null cell
// is NaN; other cells hold the layer's values exactly (int32 and float both fit a double).
#ifndef DEMBASE_TOOLS_TILE_STRIP_H_
#define DEMBASE_TOOLS_TILE_STRIP_H_

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "dembase/dembase.h"

namespace dembase::tool {

inline constexpr int32_t kTileEdge = 256;     // cells per tile side
inline constexpr int32_t kTileStep = 255;     // tiles overlap their neighbours by one cell
inline constexpr int32_t kTileCells = kTileEdge * kTileEdge;
inline constexpr double kNullCell = std::numeric_limits<double>::quiet_NaN();

inline bool IsNullCell(double v) { return std::isnan(v); }

// The layer's null test, as _hxIsNullValue answers it, for use per cell: a float cell is
// null beyond 1e18 in magnitude or within 1e-6 of the null value; an integer cell when it
// truncates to the null value. NaN, which no layer can hold, counts as null too.
inline bool NullLike(double v, bool floatCells) {
  if (std::isnan(v)) return true;
  if (floatCells) {
    const double null = std::bit_cast<float>(uint32_t{DEMBASE_NULL_FLOAT32_BITS});
    return std::fabs(v) > 1e18 || std::fabs(v - null) < 1e-6;
  }
  return std::trunc(v) == DEMBASE_NULL_INT32;
}

// Whether a value that is not null survives storing in a cell: a float cell must not
// round into the null range, an integer cell must be an int32 other than the null value.
inline bool Storable(double v, bool floatCells) {
  if (NullLike(v, floatCells)) return false;
  if (floatCells) return !NullLike(static_cast<float>(v), true);
  return v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max();
}

struct TileStrip {
  int32_t tileRow = 0;
  int32_t firstRow = 0;
  int32_t rows = 0;
  int32_t cols = 0;
  std::vector<double> cells;

  // Sizes the strip for tile row tr of a level of levelRows x levelCols cells, all null.
  void Reset(int32_t tr, int32_t levelRows, int32_t levelCols) {
    tileRow = tr;
    firstRow = tr * kTileStep;
    rows = std::min(kTileEdge, levelRows - firstRow);
    cols = levelCols;
    cells.assign(static_cast<size_t>(rows) * static_cast<size_t>(cols), kNullCell);
  }
  // REQUIRES: firstRow <= r < firstRow + rows (r is a level row).
  double* Row(int32_t r) { return cells.data() + static_cast<size_t>(r - firstRow) * static_cast<size_t>(cols); }
  const double* Row(int32_t r) const {
    return cells.data() + static_cast<size_t>(r - firstRow) * static_cast<size_t>(cols);
  }
};

// Tiles along one side of a level of n cells.
inline int32_t TilesFor(int32_t n) { return (n - 1) / kTileStep + 1; }

}  // namespace dembase::tool

#endif  // DEMBASE_TOOLS_TILE_STRIP_H_
