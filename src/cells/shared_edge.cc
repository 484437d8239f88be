#include "cells/shared_edge.h"

namespace dembase {

std::optional<CellCopies> CopiesOfCell(const TileGrid& grid, int32_t row, int32_t col) {
  const std::optional<CellAddress> a = AddressCell(grid, row, col);
  if (!a) return std::nullopt;
  constexpr int32_t kLast = kTileEdge - 1;
  const bool left = a->c == 0 && a->tileCol >= 1;
  const bool above = a->r == 0 && a->tileRow >= 1;
  CellCopies copies;
  copies.Add({a->tile, a->r, a->c});
  if (left) copies.Add({a->tile - 1, a->r, kLast});
  if (above) copies.Add({a->tile - grid.tilesAcross, kLast, a->c});
  if (left && above) copies.Add({a->tile - grid.tilesAcross - 1, kLast, kLast});
  return copies;
}

}  // namespace dembase
