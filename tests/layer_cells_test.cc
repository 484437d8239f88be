// Cell and tile calls end to end through the exports, for every cell type, compression and
// data set: what local_model_test's random mixes cannot reach (calls out of order or off the
// open level, rights of open layers, discards after statistics found a tile empty).
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/cell_calls.h"
#include "tests/support/layer_kind_fixture.h"

namespace dembase::testing {
namespace {

constexpr int32_t kRows = 600;  // 3 tiles down
constexpr int32_t kCols = 700;  // 3 tiles across

using LayerCellsTest = LayerKindTest;

TEST_P(LayerCellsTest, OnlyALayerNobodyHasOpenIsDeletedRenamedOrCopied) {
  CellCalls layer = Make("doomed", kRows, kCols);
  ASSERT_GE(layer.layer(), 1);
  ASSERT_EQ(layer.Set(3, 3, 7), 1);
  const std::string doomed = LayerName("doomed"), copied = LayerName("copied");
  EXPECT_EQ(_hxDeleteDataLayer(h_, ds(), doomed.c_str()), 0);
  EXPECT_EQ(_hxCopyDataLayer(h_, ds(), doomed.c_str(), copied.c_str()), 0);
  EXPECT_EQ(_hxRenameDataLayer(h_, ds(), doomed.c_str(), copied.c_str()), 0);
  EXPECT_EQ(layer.Get(3, 3).value, 7);
  ASSERT_EQ(_hxCloseDataLayer(h_, ds(), layer.layer()), 1);
  // A database has no rename or copy of its own; local ones, with their cells, are
  // ToolTest.LayersMoveAndCopyWithTheirCells's.
  if (kind().database()) {
    EXPECT_EQ(_hxCopyDataLayer(h_, ds(), doomed.c_str(), copied.c_str()), 0);
    EXPECT_EQ(_hxRenameDataLayer(h_, ds(), doomed.c_str(), copied.c_str()), 0);
  }
  EXPECT_EQ(_hxDeleteDataLayer(h_, ds(), doomed.c_str()), 1);
  EXPECT_EQ(_hxOpenDataLayer(h_, ds(), doomed.c_str(), 0), 0);
}

// Each step is one call and the answer it must give; the steps run in order on one layer.
// Which sequence an End or a per-cell call belongs to is decided above the layer and
// pinned by DemBaseAITest; these rows are what the layers add.
struct Step {
  const char* what;
  std::function<int16_t()> call;
  int16_t want;
};

TEST_P(LayerCellsTest, SequenceCallsOutOfOrderAreRefused) {
  const CellCalls layer = Make("order", kRows, kCols);
  ASSERT_GE(layer.layer(), 1);
  const CellCalls level2(h_, layer.layer(), 2, ds());
  DemBaseAI* h = h_;
  const int32_t id = layer.layer();
  double v = 0;
  uint8_t isNull = 0;
  const auto writeCell = [h](int32_t r, int32_t c, double x) {
    return [h, r, c, x] {
      _hxWriteCellOfTile(h, r, c, x);
      return int16_t{1};
    };
  };
  // The cell's value, or -1 for a null or refused read.
  const auto get = [](const CellCalls& calls, int32_t row, int32_t col) {
    return [&calls, row, col] {
      const CellRead got = calls.Get(row, col);
      return static_cast<int16_t>(got.isNull == 0 ? got.value : -1);
    };
  };
  const std::vector<Step> steps = {
      {"tile info into no record", [&] { return _hxGetOneTileInfo(h, ds(), id, 1, 0, 0, 0, nullptr); }, 0},
      {"read cell, no sequence", [&] { return _hxReadCellOfTile(h, 1, 1, &v, &isNull); }, 0},
      {"write cell, no sequence", writeCell(1, 1, 9), 1},
      {"begin write", [&] { return layer.BeginWrite(0, 0); }, 1},
      {"begin write of a tile outside the level", [&] { return layer.BeginWrite(3, 0); }, 0},
      {"write cell (2, 2)", writeCell(2, 2, 7), 1},
      {"read cell in a write sequence", [&] { return _hxReadCellOfTile(h, 2, 2, &v, &isNull); }, 0},
      {"begin read of a tile outside the level", [&] { return layer.BeginRead(0, 3); }, 0},
      {"begin read nested in a write sequence", [&] { return layer.BeginRead(1, 1); }, 0},
      {"end write", [h] { return _hxEndWriteTile(h, 1); }, 1},
      {"the refused begins left the sequence alone", get(layer, 2, 2), 7},
      {"no write outside a sequence", get(layer, 1, 1), -1},
      {"begin read", [&] { return layer.BeginRead(0, 0); }, 1},
      {"read cell (2, 2)", [&] { return _hxReadCellOfTile(h, 2, 2, &v, &isNull); }, 1},
      {"read cell past the tile", [&] { return _hxReadCellOfTile(h, 256, 2, &v, &isNull); }, 0},
      {"read cell before the tile", [&] { return _hxReadCellOfTile(h, 2, -1, &v, &isNull); }, 0},
      {"end read", [h] { return _hxEndReadTile(h); }, 1},
      {"begin write", [&] { return layer.BeginWrite(0, 0); }, 1},
      {"close level in the sequence", [&] { return _hxClosePyramidLayer(h, ds(), id); }, 1},
      {"open level again", [&] { return _hxOpenPyramidLayer(h, ds(), id, 1); }, 1},
      {"write cell after the level closed", writeCell(4, 4, 6), 1},
      {"end write after the level closed", [h] { return _hxEndWriteTile(h, 1); }, 0},
      {"the closed sequence wrote nothing", get(layer, 4, 4), -1},
      {"begin read", [&] { return layer.BeginRead(0, 0); }, 1},
      {"close level in the read sequence", [&] { return _hxClosePyramidLayer(h, ds(), id); }, 1},
      // A closed level's cells stay in the cache: no call may still answer from them.
      {"get cell, no level open", get(layer, 2, 2), -1},
      {"create level 2", [&] { return _hxCreatePyramidLayer(h, ds(), id, 2, 2.0, 2.0); }, 1},
      {"open level 2", [&] { return _hxOpenPyramidLayer(h, ds(), id, 2); }, 1},
      {"read cell after the level closed", [&] { return _hxReadCellOfTile(h, 2, 2, &v, &isNull); }, 0},
      {"set cell of level 1 while level 2 is open", [&] { return layer.Set(5, 5, 3); }, 0},
      {"level 1's cell is not level 2's", get(level2, 2, 2), -1},
      {"set cell of level 2", [&] { return level2.Set(5, 5, 3); }, 1},
      {"close level 2", [&] { return _hxClosePyramidLayer(h, ds(), id); }, 1},
      {"open level 1", [&] { return _hxOpenPyramidLayer(h, ds(), id, 1); }, 1},
      {"level 1 keeps its cell", get(layer, 2, 2), 7},
      {"level 2's cell is not level 1's", get(layer, 5, 5), -1},
  };
  for (const Step& s : steps) EXPECT_EQ(s.call(), s.want) << s.what;
}

// A discard goes back to the stored tile even when the changes it drops had nulled every
// cell and statistics recorded the tile as empty (that statistics never hide later writes,
// and discards in general, the model test checks in its operation mix). Each row stores 5
// at (3, 3), nulls it, has statistics made and discards tile (0, 0): the 5 must be back,
// in the cells and in the statistics, cached and stored.
TEST_P(LayerCellsTest, StatisticsNeverHideLaterWrites) {
  const struct {
    const char* name;
    std::function<bool(CellCalls&)> nullOut;
  } cases[] = {
      {"SetCell, recounted by BeginReadTile",
       [this](CellCalls& l) {
         return l.Set(3, 3, l.Null()) == 1 && l.BeginRead(0, 0) == 2 && _hxEndReadTile(h_) == 1;
       }},
      {"a kept sequence",
       [this](CellCalls& l) {
         const bool begun = l.BeginWrite(0, 0) == 1;
         _hxWriteCellOfTile(h_, 3, 3, l.Null());
         return begun && _hxEndWriteTile(h_, 1) == 1;
       }},
  };
  int n = 0;
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    const std::string stem = "stats" + std::to_string(n++);
    CellCalls layer = Make(stem, kRows, kCols);
    ASSERT_GE(layer.layer(), 1);
    ASSERT_EQ(layer.Set(3, 3, 5), 1);
    layer = AgainAs(layer, stem, kind().compress);
    ASSERT_GE(layer.layer(), 1);
    ASSERT_TRUE(k.nullOut(layer));
    ASSERT_EQ(layer.BeginWrite(0, 0), 1);
    ASSERT_EQ(_hxEndWriteTile(h_, 0), 1);
    for (const char* pass : {"cached", "stored"}) {
      SCOPED_TRACE(pass);
      const auto info = layer.TileInfo(0, 0);
      ASSERT_TRUE(info.has_value());
      EXPECT_EQ(info->minValue, 5);
      EXPECT_EQ(info->maxValue, 5);
      EXPECT_EQ(layer.Get(3, 3).value, 5);
      layer = AgainAs(layer, stem, kind().compress);
      ASSERT_GE(layer.layer(), 1);
    }
    const std::optional<ValueRange> range = layer.LayerRange();  // as recorded at a close
    ASSERT_TRUE(range.has_value());
    EXPECT_EQ(range->minValue, 5);
    EXPECT_EQ(range->maxValue, 5);
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, LayerCellsTest, ::testing::ValuesIn(AllLayerKinds()), KindName);

}  // namespace
}  // namespace dembase::testing
