// The DEM every workload uses: a square grid of float heights from the synthetic terrain
// (long waves, ridges, centimetre noise, a sea and round holes without data), cut two
// ways: into the store's 256 x 256 tiles that overlap by one cell (step 255), and into
// the 256 x 256 blocks of a tiled GeoTIFF (step 256). Both cuts are prepared once, so
// the write workloads time writing, not generating.
#ifndef DEMBASE_BENCH_DEM_GRID_H_
#define DEMBASE_BENCH_DEM_GRID_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "dembase/dembase.h"

namespace dembase::bench {

inline constexpr int32_t kTileEdge = 256;
inline constexpr size_t kTileCells = size_t{kTileEdge} * kTileEdge;
inline constexpr size_t kTileBytes = kTileCells * sizeof(float);
inline constexpr double kMiB = 1024.0 * 1024.0;

float NullHeight();  // the store's float null, also the GeoTIFF's nodata value

struct DemGrid {
  int32_t side = 0;          // cells along each edge
  std::vector<float> cells;  // row-major, side * side

  // The store's cut: tilesAlong^2 tiles, row-major, cells past the grid's edge null.
  int32_t tilesAlong = 0;
  std::vector<std::vector<float>> tiles;
  std::vector<OneTileInfo> tileInfos;

  // The GeoTIFF's cut: blocksAlong^2 blocks, row-major, cells past the edge null.
  int32_t blocksAlong = 0;
  std::vector<std::vector<float>> blocks;

  float At(int32_t row, int32_t col) const {
    return cells[static_cast<size_t>(row) * static_cast<size_t>(side) + static_cast<size_t>(col)];
  }
  double TileMiB() const { return static_cast<double>(tiles.size() * kTileBytes) / kMiB; }
  double BlockMiB() const { return static_cast<double>(blocks.size() * kTileBytes) / kMiB; }
};

DemGrid MakeDemGrid(int32_t side, uint32_t seed);

}  // namespace dembase::bench

#endif  // DEMBASE_BENCH_DEM_GRID_H_
