#include "bench/dem_grid.h"

#include <algorithm>
#include <cstring>

#include "tests/support/terrain.h"

namespace dembase::bench {

float NullHeight() {
  const uint32_t bits = DEMBASE_NULL_FLOAT32_BITS;
  float v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

namespace {

// The height of a cell, or the null: both cuts take their cells from here.
float CellOf(const dembase::testing::Terrain& terrain, int32_t row, int32_t col) {
  return terrain.IsNull(row, col) ? NullHeight() : terrain.Height(row, col);
}

// Cells (row0 + r, col0 + c) of a side x side DEM straight from the terrain, null past
// its edge: the cell MakeDemGrid stores, computed by the same expression.
void CutTerrain(const dembase::testing::Terrain& terrain, int32_t side, int32_t row0, int32_t col0, float* out) {
  const float null = NullHeight();
  const int32_t rows = std::min(kTileEdge, side - row0);
  const int32_t cols = std::min(kTileEdge, side - col0);
  for (int32_t r = 0; r < kTileEdge; ++r) {
    float* line = out + static_cast<size_t>(r) * kTileEdge;
    int32_t c = 0;
    for (; r < rows && c < cols; ++c) {
      line[c] = CellOf(terrain, row0 + r, col0 + c);
    }
    std::fill(line + c, line + kTileEdge, null);
  }
}

// Cells (row0 + r, col0 + c) of the grid, null past its edge.
std::vector<float> Cut(const DemGrid& g, int32_t row0, int32_t col0) {
  std::vector<float> out(kTileCells, NullHeight());
  const int32_t rows = std::min(kTileEdge, g.side - row0);
  const int32_t cols = std::min(kTileEdge, g.side - col0);
  for (int32_t r = 0; r < rows; ++r) {
    std::memcpy(&out[static_cast<size_t>(r) * kTileEdge],
                &g.cells[static_cast<size_t>(row0 + r) * static_cast<size_t>(g.side) + static_cast<size_t>(col0)],
                static_cast<size_t>(cols) * sizeof(float));
  }
  return out;
}

OneTileInfo InfoOf(const float* tile) {
  const float null = NullHeight();
  OneTileInfo info{static_cast<int32_t>(kTileBytes), 3.4e38f, -3.4e38f};
  bool any = false;
  for (size_t i = 0; i < kTileCells; ++i) {
    const float v = tile[i];
    if (v == null) continue;
    info.minimum = std::min(float{info.minimum}, v);
    info.maximum = std::max(float{info.maximum}, v);
    any = true;
  }
  if (!any) info.size = 0;
  return info;
}

}  // namespace

DemGrid MakeDemGrid(int32_t side, uint32_t seed) {
  DemGrid g;
  g.side = side;
  const dembase::testing::Terrain terrain(side, side, seed);
  g.cells.resize(static_cast<size_t>(side) * static_cast<size_t>(side));
  for (int32_t r = 0; r < side; ++r) {
    for (int32_t c = 0; c < side; ++c) {
      g.cells[static_cast<size_t>(r) * static_cast<size_t>(side) + static_cast<size_t>(c)] = CellOf(terrain, r, c);
    }
  }
  g.tilesAlong = (side - 1) / (kTileEdge - 1) + 1;
  for (int32_t tr = 0; tr < g.tilesAlong; ++tr) {
    for (int32_t tc = 0; tc < g.tilesAlong; ++tc) {
      g.tiles.push_back(Cut(g, tr * (kTileEdge - 1), tc * (kTileEdge - 1)));
      g.tileInfos.push_back(InfoOf(g.tiles.back().data()));
    }
  }
  g.blocksAlong = (side + kTileEdge - 1) / kTileEdge;
  for (int32_t br = 0; br < g.blocksAlong; ++br) {
    for (int32_t bc = 0; bc < g.blocksAlong; ++bc) g.blocks.push_back(Cut(g, br * kTileEdge, bc * kTileEdge));
  }
  return g;
}

DemTiles::DemTiles(int32_t side, uint32_t seed)
    : side_(side),
      tilesAlong_((side - 1) / (kTileEdge - 1) + 1),
      blocksAlong_((side + kTileEdge - 1) / kTileEdge),
      terrain_(std::make_unique<const dembase::testing::Terrain>(side, side, seed)) {}

DemTiles::~DemTiles() = default;

OneTileInfo DemTiles::Tile(size_t t, float* out) const {
  const auto along = static_cast<size_t>(tilesAlong_);
  CutTerrain(*terrain_, side_, static_cast<int32_t>(t / along) * (kTileEdge - 1),
             static_cast<int32_t>(t % along) * (kTileEdge - 1), out);
  return InfoOf(out);
}

void DemTiles::Block(size_t b, float* out) const {
  const auto along = static_cast<size_t>(blocksAlong_);
  CutTerrain(*terrain_, side_, static_cast<int32_t>(b / along) * kTileEdge, static_cast<int32_t>(b % along) * kTileEdge,
             out);
}

}  // namespace dembase::bench
