// Shared-edge writes: the tiles that hold a copy of one level cell. A cell in the
// first row (column) of its tile is also the last row (column) of the tile above
// (to the left); a cell at in-tile (0, 0) is also the last corner of the tile above
// and to the left. A cell write updates every copy so that all of them agree.
#ifndef DEMBASE_CELLS_SHARED_EDGE_H_
#define DEMBASE_CELLS_SHARED_EDGE_H_

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "cells/cell_address.h"

namespace dembase {

// One copy of a level cell: tile number and in-tile position.
struct CellCopy {
  int32_t tile = 0;
  int32_t r = 0;
  int32_t c = 0;

  friend constexpr bool operator==(const CellCopy&, const CellCopy&) = default;
};

// Up to four copies; the first is always the owning tile's.
class CellCopies {
 public:
  std::span<const CellCopy> copies() const { return {copies_.data(), count_}; }
  size_t size() const { return count_; }
  const CellCopy& owner() const { return copies_[0]; }

  void Add(const CellCopy& copy) { copies_[count_++] = copy; }

 private:
  std::array<CellCopy, 4> copies_{};
  size_t count_ = 0;
};

// Every copy of level cell (row, col), owner first, then left, above, above-left.
// nullopt when the cell is outside the grid.
[[nodiscard]] std::optional<CellCopies> CopiesOfCell(const TileGrid& grid, int32_t row, int32_t col);

}  // namespace dembase

#endif  // DEMBASE_CELLS_SHARED_EDGE_H_
