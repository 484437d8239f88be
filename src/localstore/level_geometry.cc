#include "localstore/level_geometry.h"

#include <cmath>
#include <limits>

namespace dembase {

std::optional<LevelGeometry> LevelGeometry::FromCells(int64_t rows, int64_t cols) {
  const std::optional<TileGrid> grid = TileGrid::FromCells(rows, cols);
  if (!grid) return std::nullopt;
  LevelGeometry g;
  g.grid = *grid;
  g.tileCount = grid->TileCount();
  g.dataFileCount = (g.tileCount + kTilesPerDataFile - 1) / kTilesPerDataFile;
  return g;
}

LevelHeaderPrefix LevelGeometry::NewHeader(double cellSizeX, double cellSizeY) const {
  LevelHeaderPrefix h;
  h.info.closedOnce = 0;
  h.info.cellSizeX = cellSizeX;
  h.info.cellSizeY = cellSizeY;
  h.info.rows = grid.rows;
  h.info.cols = grid.cols;
  h.info.tileRows = kTileEdge;
  h.info.tileCols = kTileEdge;
  h.info.tilesDown = grid.tilesDown;
  h.info.tilesAcross = grid.tilesAcross;
  h.dataFileCount = static_cast<int16_t>(dataFileCount);
  return h;
}

std::optional<int32_t> CountCells(double min, double max, double cellSize) {
  if (!std::isfinite(min) || !std::isfinite(max) || !std::isfinite(cellSize) || cellSize <= 0 || max < min) {
    return std::nullopt;
  }
  const double q = (max - min) / cellSize;
  // Bounds q before any conversion; beyond it the count cannot be an int32.
  if (!(q < static_cast<double>(std::numeric_limits<int32_t>::max()) - 1.0)) return std::nullopt;
  double whole = 0;
  const double fraction = std::modf(q, &whole);
  const double t = std::fabs(1.0 - fraction) < 1e-6 ? std::trunc(q + 0.5) : std::trunc(q);
  return static_cast<int32_t>(t) + 1;
}

std::optional<LevelGeometry> ValidateLevelHeader(const LevelHeaderPrefix& header, uint64_t fileSize) {
  const std::optional<TileGrid> grid = TileGrid::FromLevelInfo(header.info);
  if (!grid) return std::nullopt;
  std::optional<LevelGeometry> g = LevelGeometry::FromCells(grid->rows, grid->cols);
  if (!g || !g->WithinDataFileLimit() || header.dataFileCount != g->dataFileCount) return std::nullopt;
  if (g->HeaderFileSize() > fileSize) return std::nullopt;
  return g;
}

}  // namespace dembase
