// Checks that DemTiles cuts the DEM exactly as MakeDemGrid does: every tile, tile info and
// block bit for bit, at sides that end a tile or block exactly, one cell past it, and in
// between. The scaling lines of compare_bench rely on it to write the same data as the
// table's base size. Exits non-zero on the first difference.
#include <cstdio>
#include <cstring>
#include <vector>

#include "bench/dem_grid.h"

namespace dembase::bench {
namespace {

bool SameInfo(const OneTileInfo& a, const OneTileInfo& b) {
  return a.size == b.size && std::memcmp(&a.minimum, &b.minimum, sizeof a.minimum) == 0 &&
         std::memcmp(&a.maximum, &b.maximum, sizeof a.maximum) == 0;
}

bool Check(int32_t side, uint32_t seed) {
  const DemGrid grid = MakeDemGrid(side, seed);
  const DemTiles dem(side, seed);
  if (dem.tilesAlong() != grid.tilesAlong || dem.blocksAlong() != grid.blocksAlong ||
      dem.TileCount() != grid.tiles.size() || dem.BlockCount() != grid.blocks.size()) {
    std::fprintf(stderr, "side %d seed %u: tile or block count differs\n", side, seed);
    return false;
  }
  std::vector<float> cut(kTileCells);
  for (size_t t = 0; t < dem.TileCount(); ++t) {
    const OneTileInfo info = dem.Tile(t, cut.data());
    if (std::memcmp(cut.data(), grid.tiles[t].data(), kTileBytes) != 0 || !SameInfo(info, grid.tileInfos[t])) {
      std::fprintf(stderr, "side %d seed %u: store tile %zu differs\n", side, seed, t);
      return false;
    }
  }
  for (size_t b = 0; b < dem.BlockCount(); ++b) {
    dem.Block(b, cut.data());
    if (std::memcmp(cut.data(), grid.blocks[b].data(), kTileBytes) != 0) {
      std::fprintf(stderr, "side %d seed %u: block %zu differs\n", side, seed, b);
      return false;
    }
  }
  return true;
}

}  // namespace
}  // namespace dembase::bench

int main() {
  // 256 ends one tile; 511 ends two tiles of step 255 and 512 two blocks; 766 ends three
  // tiles; 257, 513 and 767 leave one cell in the next tile or block; 2049 is the smallest
  // side compare_bench runs, with holes and sea on several tiles.
  const struct {
    int32_t side;
    uint32_t seed;
  } cases[] = {{256, 7}, {257, 7}, {300, 3}, {511, 7}, {512, 7}, {513, 7}, {766, 7}, {767, 11}, {2049, 7}};
  int failed = 0;
  for (const auto& c : cases) failed += dembase::bench::Check(c.side, c.seed) ? 0 : 1;
  std::printf("%zu cuts checked, %d differ\n", sizeof cases / sizeof cases[0], failed);
  return failed == 0 ? 0 : 1;
}
