// Tile statistics: the smallest and largest non-null-like cell of a tile block, and
// whether the block holds only null-like cells (an empty tile, which is recorded but
// never stored). Runs on every tile write-back, so it is a tight loop over the block.
#ifndef DEMBASE_CELLS_TILE_STATS_H_
#define DEMBASE_CELLS_TILE_STATS_H_

#include <cstdint>
#include <span>

#include "cells/cell_address.h"
#include "cells/cell_value.h"

namespace dembase {

using TileBlock = std::span<const uint8_t, kTileBlockBytes>;
using MutableTileBlock = std::span<uint8_t, kTileBlockBytes>;

struct TileStats {
  bool empty = true;  // no cell is non-null-like
  float minimum = 0;  // the null value (as float) when empty
  float maximum = 0;
};

// Statistics of all 65536 cells, shared borders included.
[[nodiscard]] TileStats ComputeTileStats(CellType type, TileBlock block);

// Whether a caller's description of a prepared tile can be stored: size 0 (no data) or
// one whole block, and for a block a finite, ordered range (stored records take it as
// given, and a NaN or inverted range would become the level's range).
[[nodiscard]] inline bool IsStorableTileInfo(int32_t size, float minimum, float maximum) {
  if (size == 0) return true;
  return size == static_cast<int32_t>(kTileBlockBytes) && minimum <= maximum && minimum - minimum == 0.0f &&
         maximum - maximum == 0.0f;
}

// Sets every cell of the block to the null value: the block of a tile that has
// nothing stored.
void FillWithNull(CellType type, MutableTileBlock block);

}  // namespace dembase

#endif  // DEMBASE_CELLS_TILE_STATS_H_
