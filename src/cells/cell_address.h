// Cell addressing of a pyramid level: which tile holds a level cell, where inside the
// tile it lies, and where that is inside the tile's block. Used by both layer kinds.
//
// Tiles are 256 x 256 cells placed with a step of 255, so neighbouring tiles share one
// row or column: level cell (row, col) belongs to tile (row / 255, col / 255) at
// in-tile (row % 255, col % 255), and in-tile row (column) 255 repeats row (column) 0
// of the tile below (to the right). Tiles are numbered row-major from 0.
//
// Every function refuses what it cannot address (negative or out-of-level
// coordinates, an inconsistent grid) instead of computing an address from it.
#ifndef DEMBASE_CELLS_CELL_ADDRESS_H_
#define DEMBASE_CELLS_CELL_ADDRESS_H_

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>

#include "cache/tile_ref.h"
#include "dembase/dembase.h"

namespace dembase {

inline constexpr int32_t kTileEdge = 256;             // cells per tile side
inline constexpr int32_t kTileStep = kTileEdge - 1;   // tiles overlap by one cell
inline constexpr int32_t kTileCells = kTileEdge * kTileEdge;
inline constexpr size_t kCellBytes = 4;
inline constexpr size_t kTileBlockBytes = static_cast<size_t>(kTileCells) * kCellBytes;
static_assert(kTileBlockBytes == static_cast<size_t>(CACHE_BLOCK_SIZE), "a tile fills one cache block");

// Tiles needed along an axis of `cells` cells (cells >= 1).
constexpr int64_t TilesAlong(int64_t cells) { return (cells - 1) / kTileStep + 1; }

// The cell and tile counts of one level.
struct TileGrid {
  int32_t rows = 0;
  int32_t cols = 0;
  int32_t tilesDown = 0;
  int32_t tilesAcross = 0;

  // nullopt unless 1 <= rows, cols <= INT32_MAX.
  static constexpr std::optional<TileGrid> FromCells(int64_t rows, int64_t cols) {
    constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
    if (rows < 1 || cols < 1 || rows > kMax || cols > kMax) return std::nullopt;
    return TileGrid{static_cast<int32_t>(rows), static_cast<int32_t>(cols), static_cast<int32_t>(TilesAlong(rows)),
                    static_cast<int32_t>(TilesAlong(cols))};
  }

  // nullopt unless the level's record is one this system makes: 256 x 256 tiles and
  // tile counts that follow from the cell counts.
  static constexpr std::optional<TileGrid> FromLevelInfo(const PyramidLayerInfo& info) {
    if (info.tileRows != kTileEdge || info.tileCols != kTileEdge) return std::nullopt;
    std::optional<TileGrid> grid = FromCells(info.rows, info.cols);
    if (!grid || grid->tilesDown != info.tilesDown || grid->tilesAcross != info.tilesAcross) return std::nullopt;
    return grid;
  }

  constexpr int64_t TileCount() const { return int64_t{tilesDown} * tilesAcross; }

  // Whether every tile number fits an int32 (a grid made otherwise is not addressed).
  constexpr bool Addressable() const {
    return rows >= 1 && cols >= 1 && tilesDown >= 1 && tilesAcross >= 1 &&
           TileCount() <= std::numeric_limits<int32_t>::max();
  }
};

// Where one level cell lives.
struct CellAddress {
  int32_t tileRow = 0;
  int32_t tileCol = 0;
  int32_t tile = 0;  // tileRow * tilesAcross + tileCol
  int32_t r = 0;     // in-tile row, 0 .. 254
  int32_t c = 0;     // in-tile column, 0 .. 254

  friend constexpr bool operator==(const CellAddress&, const CellAddress&) = default;
};

// Tile number of (tileRow, tileCol); nullopt outside the grid.
constexpr std::optional<int32_t> TileNumber(const TileGrid& grid, int32_t tileRow, int32_t tileCol) {
  if (!grid.Addressable() || tileRow < 0 || tileCol < 0 || tileRow >= grid.tilesDown || tileCol >= grid.tilesAcross) {
    return std::nullopt;
  }
  return static_cast<int32_t>(int64_t{tileRow} * grid.tilesAcross + tileCol);
}

// nullopt unless 0 <= row < rows and 0 <= col < cols.
constexpr std::optional<CellAddress> AddressCell(const TileGrid& grid, int32_t row, int32_t col) {
  if (row < 0 || col < 0 || row >= grid.rows || col >= grid.cols) return std::nullopt;
  CellAddress a;
  a.tileRow = row / kTileStep;
  a.tileCol = col / kTileStep;
  std::optional<int32_t> tile = TileNumber(grid, a.tileRow, a.tileCol);
  if (!tile) return std::nullopt;
  a.tile = *tile;
  a.r = row % kTileStep;
  a.c = col % kTileStep;
  return a;
}

// Whether (r, c) lies inside a tile.
constexpr bool InTile(int32_t r, int32_t c) { return r >= 0 && c >= 0 && r < kTileEdge && c < kTileEdge; }

struct InTilePosition {
  int32_t r = 0;
  int32_t c = 0;
};

// A tile-sequence write position: taken modulo the tile edge, so (300, 5) is (44, 5).
// Negative positions are refused rather than wrapped to a negative remainder.
constexpr std::optional<InTilePosition> WrapToTile(int32_t row, int32_t col) {
  if (row < 0 || col < 0) return std::nullopt;
  return InTilePosition{row % kTileEdge, col % kTileEdge};
}

// Byte offset of in-tile (r, c) in a block: row-major, 256 cells of 4 bytes per row.
// REQUIRES: InTile(r, c).
constexpr size_t CellByteOffset(int32_t r, int32_t c) {
  return (static_cast<size_t>(r) * kTileEdge + static_cast<size_t>(c)) * kCellBytes;
}

}  // namespace dembase

#endif  // DEMBASE_CELLS_CELL_ADDRESS_H_
