// Views of cells a layer holds in memory, for the per-cell calls.
//
// A per-cell call that went through the registry and two virtual calls cost several
// times the memory access it exists for, and kept a random-read loop from overlapping
// its cache misses. A layer publishes these views; the handle reads through them when
// the cell is in memory and takes the layer's full path otherwise. A view reads exactly
// what that path would read for a cell in memory, so callers see no difference.
//
// Invariant: the layer clears a view before the memory it points at goes (level close,
// sequence end, layer close), and keeps its store rule current; the cache nulls a
// TileRef's block when it takes it back.
#ifndef DEMBASE_CELLS_CELL_VIEWS_H_
#define DEMBASE_CELLS_CELL_VIEWS_H_

#include <cstdint>

#include "cache/tile_ref.h"
#include "cells/cell_address.h"
#include "cells/cell_value.h"
#include "cells/null_test.h"
#include "cells/store_rule.h"

namespace dembase {

// The value of a stored cell, and its null flag where isNull is not null.
inline double ReadStoredCell(CellType type, const uint8_t* block, int32_t r, int32_t c, uint8_t* isNull) {
  const uint32_t bits = LoadCellBits(block + CellByteOffset(r, c));
  if (isNull != nullptr) *isNull = IsNullCellBits(type, bits) ? 1 : 0;
  return CellBitsToDouble(type, bits);
}

// The open level: its number, grid, store rule and the cache place of each tile.
struct OpenLevelView {
  TileRef* refs = nullptr;  // one per tile; null while no level is open
  TileGrid grid;            // addressable whenever refs is set
  int16_t level = 0;
  CellType type = CellType::kInt32;
  BlendSettings blend;  // the layer's, for cell writes

  // Cell (row, col) of `at` when that is the open level and the cell's tile holds a
  // block: the value, with *isNull set (isNull may be null). nullopt when the full path
  // must answer.
  std::optional<double> Read(int16_t at, int32_t row, int32_t col, uint8_t* isNull) const {
    const std::optional<CellAddress> a = Address(at, row, col);
    if (!a) return std::nullopt;
    const uint8_t* block = refs[static_cast<uint32_t>(a->tile)].block;
    if (block == nullptr) return std::nullopt;
    return ReadStoredCell(type, block, a->r, a->c, isNull);
  }

  // Writes cell (row, col) of `at` when that is the open level, no other tile holds a
  // copy of the cell, and its tile holds a block with changes already: then the full
  // path would do just this. False when the full path must write the cell.
  bool Write(int16_t at, int32_t row, int32_t col, double value) const {
    const std::optional<CellAddress> a = Address(at, row, col);
    if (!a || a->r == 0 || a->c == 0) return false;  // a first row or column is a shared edge
    TileRef& ref = refs[static_cast<uint32_t>(a->tile)];
    if (ref.block == nullptr || ref.dirty == 0) return false;
    StoreIntoCell(type, blend, ref.block + CellByteOffset(a->r, a->c), value);
    ref.statsCurrent = 0;
    return true;
  }

 private:
  // AddressCell for the open level, cut down to what these paths need: the grid is known
  // to be addressable.
  std::optional<CellAddress> Address(int16_t at, int32_t row, int32_t col) const {
    if (refs == nullptr || at != level) return std::nullopt;
    // Unsigned: negative coordinates fail the bounds test, and the divisions are cheaper.
    const auto r = static_cast<uint32_t>(row);
    const auto c = static_cast<uint32_t>(col);
    if (r >= static_cast<uint32_t>(grid.rows) || c >= static_cast<uint32_t>(grid.cols)) return std::nullopt;
    const uint32_t tileRow = r / kTileStep;
    const uint32_t tileCol = c / kTileStep;
    CellAddress a;
    // Below TileCount(), which an addressable grid keeps within int32.
    a.tile = static_cast<int32_t>(tileRow * static_cast<uint32_t>(grid.tilesAcross) + tileCol);
    a.r = static_cast<int32_t>(r - tileRow * kTileStep);
    a.c = static_cast<int32_t>(c - tileCol * kTileStep);
    return a;
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
