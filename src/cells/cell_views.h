// Read-only views of cells a layer holds in memory, for the per-cell read calls.
//
// A per-cell call that went through the registry and two virtual calls cost several
// times the memory access it exists for, and kept a random-read loop from overlapping
// its cache misses. A layer publishes these views; the handle reads through them when
// the cell is in memory and takes the layer's full path otherwise. A view reads exactly
// what that path would read for a cell in memory, so callers see no difference.
//
// Invariant: the layer clears a view before the memory it points at goes (level close,
// sequence end, layer close); the cache nulls a TileRef's block when it takes it back.
#ifndef DEMBASE_CELLS_CELL_VIEWS_H_
#define DEMBASE_CELLS_CELL_VIEWS_H_

#include <cstdint>

#include "cache/tile_ref.h"
#include "cells/cell_address.h"
#include "cells/cell_value.h"
#include "cells/null_test.h"

namespace dembase {

// The value of a stored cell, and its null flag where isNull is not null.
inline double ReadStoredCell(CellType type, const uint8_t* block, int32_t r, int32_t c, uint8_t* isNull) {
  const double v = LoadCellValue(type, block + CellByteOffset(r, c));
  if (isNull != nullptr) *isNull = IsNullLike(type, v) ? 1 : 0;
  return v;
}

// The open level: its number, grid and the cache place of each tile.
struct OpenLevelView {
  const TileRef* refs = nullptr;  // one per tile; null while no level is open
  TileGrid grid;                  // addressable whenever refs is set
  int16_t level = 0;
  CellType type = CellType::kInt32;

  // Cell (row, col) of `at` when that is the open level and the cell's tile holds a
  // block: the value, with *isNull set (isNull may be null). nullopt when the full path
  // must answer.
  std::optional<double> Read(int16_t at, int32_t row, int32_t col, uint8_t* isNull) const {
    if (refs == nullptr || at != level) return std::nullopt;
    // Unsigned: negative coordinates fail the bounds test, and the divisions are cheaper.
    const auto r = static_cast<uint32_t>(row);
    const auto c = static_cast<uint32_t>(col);
    if (r >= static_cast<uint32_t>(grid.rows) || c >= static_cast<uint32_t>(grid.cols)) return std::nullopt;
    const uint32_t tileRow = r / kTileStep;
    const uint32_t tileCol = c / kTileStep;
    // Below TileCount(), which an addressable grid keeps within int32.
    const size_t tile = size_t{tileRow} * static_cast<uint32_t>(grid.tilesAcross) + tileCol;
    const uint8_t* block = refs[tile].block;
    if (block == nullptr) return std::nullopt;
    return ReadStoredCell(type, block, static_cast<int32_t>(r - tileRow * kTileStep),
                          static_cast<int32_t>(c - tileCol * kTileStep), isNull);
  }
};

// The tile a running read sequence hands out.
struct ActiveTileView {
  const uint8_t* const* block = nullptr;  // where the tile's block pointer lives; null: no view
  CellType type = CellType::kInt32;

  std::optional<double> Read(int32_t r, int32_t c, uint8_t* isNull) const {
    if (block == nullptr || *block == nullptr || !InTile(r, c)) return std::nullopt;
    return ReadStoredCell(type, *block, r, c, isNull);
  }
};

}  // namespace dembase

#endif  // DEMBASE_CELLS_CELL_VIEWS_H_
