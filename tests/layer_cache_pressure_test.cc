// Layers whose working set is far larger than their data set's tile cache (64 blocks
// here), in local files and in a database: tiles of several layers evict each other's
// dirty tiles and no write may be lost. Eviction within one layer (shared-edge copies,
// statistics, tile sequences) is in the evicting runs of local_model_test.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/cell_calls.h"
#include "tests/support/layer_kind_fixture.h"
#include "tests/support/local_store_fixture.h"

namespace dembase::testing {
namespace {

constexpr int32_t kTiles5 = 5 * 255;  // cells along an axis of 5 tiles

// In-tile positions written on every visit of a tile; the first four lie on shared edges
// (copies in up to three neighbours), the others inside the tile.
constexpr std::pair<int32_t, int32_t> kVisitCells[] = {{0, 0}, {0, 131}, {77, 0}, {254, 254}, {128, 128}, {17, 200}};

// Run for the data set of each kind; the layers take every cell type and compression.
using LayerCachePressureTest = LayerKindTest;

TEST_P(LayerCachePressureTest, LayersEvictingEachOthersDirtyTilesLoseNoWrite) {
  std::vector<LayerKind> kinds;
  std::vector<CellCalls> layers;
  for (const LayerKind& k : AllLayerKinds()) {
    if (k.database()) continue;
    kinds.push_back(k);
    layers.push_back(MakeAs(k.name(), k.type, k.compress, kTiles5, kTiles5));
    ASSERT_GE(layers.back().layer(), 1);
  }
  // 4 layers x 25 tiles visited in turn: each pass makes the cache evict every tile.
  std::map<std::tuple<size_t, int32_t, int32_t>, double> written;
  for (int pass = 0; pass < 2; ++pass) {  // the second rewrites tiles already stored
    for (int32_t t = 0; t < 25; ++t) {
      for (size_t l = 0; l < layers.size(); ++l) {
        for (const auto& [r, c] : kVisitCells) {
          const int32_t row = t / 5 * 255 + r, col = t % 5 * 255 + c;
          const double v = static_cast<double>(l) * 100000 + pass * 10000 + t * 100 + r % 10 * 10 + c % 10;
          ASSERT_EQ(layers[l].Set(row, col, v), 1);
          written[{l, row, col}] = v;
        }
      }
    }
    // Reading everything back makes every tile come back from the disk once more.
    for (const auto& [key, v] : written) {
      const auto& [l, row, col] = key;
      ASSERT_EQ(layers[l].Get(row, col).value, v) << "pass " << pass << " layer " << l << " at " << row << "," << col;
    }
  }

  for (size_t l = 0; l < layers.size(); ++l) {
    layers[l] = AgainAs(layers[l], kinds[l].name(), kinds[l].compress);
    ASSERT_GE(layers[l].layer(), 1);
  }
  for (const auto& [key, v] : written) {
    const auto& [l, row, col] = key;
    ASSERT_EQ(layers[l].Get(row, col).value, v) << "layer " << l << " at " << row << "," << col;
  }
  for (const CellCalls& layer : layers) EXPECT_EQ(_hxCloseDataLayer(h_, ds(), layer.layer()), 1);
}

// A writer that dies with tiles written back but its level never closed leaves a layer
// that opens, with every tile as it was before or as the writer made it.
TEST_P(LayerCachePressureTest, AWriterKilledWithItsLevelOpenLeavesEachTileOldOrNew) {
  CellCalls layer = MakeAs("killed", DEMBASE_TYPE_INT32, 1, 9 * 255, 9 * 255);  // 81 tiles: more than the cache holds
  ASSERT_GE(layer.layer(), 1);
  const auto cell = [](int32_t t, int32_t k) {
    return std::pair{t / 9 * 255 + 9 + k * 100, t % 9 * 255 + 9 + k * 100};
  };
  for (int32_t t = 0; t < 81; ++t) {
    for (int32_t k = 0; k < 2; ++k) ASSERT_EQ(layer.Set(cell(t, k).first, cell(t, k).second, 1), 1);
  }
  ASSERT_EQ(_hxCloseDataLayer(h_, ds(), layer.layer()), 1);

  // The child has a handle and a connection of its own; 81 tiles through 64 blocks make
  // it write back, and it exits with the level still open.
  const pid_t pid = fork();
  if (pid == 0) {
    DemBaseAI* mine = _hxCreateDemBaseAI();
    const int32_t ds = mine != nullptr ? OpenDataSetOf(mine) : 0;
    const int32_t id = ds >= 1 ? _hxOpenDataLayer(mine, ds, LayerName("killed").c_str(), 0) : 0;
    int status = id >= 1 && _hxOpenPyramidLayer(mine, ds, id, 1) == 1 ? 0 : 1;
    for (int32_t t = 0; t < 81 && status == 0; ++t) {
      for (int32_t k = 0; k < 2; ++k) {
        if (_hxSetCell(mine, ds, id, 1, 0, cell(t, k).first, cell(t, k).second, 2) != 1) status = 1;
      }
    }
    _exit(status);
  }
  int status = -1;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  const CellCalls again = Open("killed");
  ASSERT_GE(again.layer(), 1);
  for (int32_t t = 0; t < 81; ++t) {
    const double a = again.Get(cell(t, 0).first, cell(t, 0).second).value;
    const double b = again.Get(cell(t, 1).first, cell(t, 1).second).value;
    EXPECT_TRUE(a == b && (a == 1 || a == 2)) << "tile " << t << ": " << a << " " << b;
  }
  EXPECT_EQ(_hxCloseDataLayer(h_, ds(), again.layer()), 1);
}

INSTANTIATE_TEST_SUITE_P(DataSets, LayerCachePressureTest, ::testing::ValuesIn(OneKindPerStore()),
                         [](const auto& info) { return info.param.store_name(); });

}  // namespace
}  // namespace dembase::testing
