// The DEM every workload uses: a square grid of float heights from the synthetic terrain
// (long waves, ridges, centimetre noise, a sea and round holes without data), cut two
// ways: into the store's 256 x 256 tiles that overlap by one cell (step 255), and into
// the 256 x 256 blocks of a tiled GeoTIFF (step 256). Both cuts are prepared once, so
// the write workloads time writing, not generating.
#ifndef DEMBASE_BENCH_DEM_GRID_H_
#define DEMBASE_BENCH_DEM_GRID_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "dembase/dembase.h"

namespace dembase::testing {
class Terrain;
}  // namespace dembase::testing

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

// The same DEM cut on demand, one tile or block at a time, for sides whose grid and cuts
// would not fit in memory: only the terrain's tables are held (a few floats per row and
// column). Every tile, block and tile info equals MakeDemGrid's for the same side and seed.
class DemTiles {
 public:
  DemTiles(int32_t side, uint32_t seed);
  ~DemTiles();
  DemTiles(const DemTiles&) = delete;
  DemTiles& operator=(const DemTiles&) = delete;

  int32_t side() const { return side_; }
  int32_t tilesAlong() const { return tilesAlong_; }
  int32_t blocksAlong() const { return blocksAlong_; }
  size_t TileCount() const { return static_cast<size_t>(tilesAlong_) * static_cast<size_t>(tilesAlong_); }
  size_t BlockCount() const { return static_cast<size_t>(blocksAlong_) * static_cast<size_t>(blocksAlong_); }
  uint64_t TileBytes() const { return TileCount() * kTileBytes; }
  uint64_t BlockBytes() const { return BlockCount() * kTileBytes; }

  // Store tile t (row-major) into out[kTileCells]; answers its info.
  OneTileInfo Tile(size_t t, float* out) const;
  // GeoTIFF block b (row-major) into out[kTileCells].
  void Block(size_t b, float* out) const;

 private:
  int32_t side_;
  int32_t tilesAlong_;
  int32_t blocksAlong_;
  std::unique_ptr<const testing::Terrain> terrain_;
};

}  // namespace dembase::bench

#endif  // DEMBASE_BENCH_DEM_GRID_H_
