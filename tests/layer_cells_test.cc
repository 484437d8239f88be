// Cell access and tile sequences end to end through the exports, for every cell type,
// compression and data set: what needs the open level, refusals outside the level,
// statistics and discards, calls out of order and deletion. What random mixes of writes and
// reads store (conversions and blending included) is checked against a model in local_model_test.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/cell_calls.h"
#include "tests/support/layer_kind_fixture.h"

namespace dembase::testing {
namespace {

constexpr int32_t kRows = 600;  // 3 tiles down
constexpr int32_t kCols = 700;  // 3 tiles across

using LayerCellsTest = LayerKindTest;

// Cells and tiles outside the level are refused and change nothing. Which addresses are
// outside, and how in-tile positions wrap, is pinned by the cell address unit tests.
TEST_P(LayerCellsTest, WhatIsOutsideTheLevelIsRefused) {
  CellCalls layer = Make("outside", kRows, kCols);
  ASSERT_GE(layer.layer(), 1);
  const std::pair<int32_t, int32_t> cells[] = {{-1, 0},        {0, -1},        {kRows, 0},
                                               {0, kCols},     {kRows, kCols}, {INT32_MAX, INT32_MAX},
                                               {INT32_MIN, 0}, {0, INT32_MIN}, {-255, -255}};
  for (const auto& [row, col] : cells) {
    EXPECT_EQ(layer.Set(row, col, 1), 0) << row << "," << col;
    const CellRead got = layer.Get(row, col);
    EXPECT_EQ(got.isNull, 1) << row << "," << col;
    EXPECT_EQ(got.value, NullValue()) << row << "," << col;
  }
  for (const auto& [tr, tc] : {std::pair{-1, 0}, {0, -1}, {3, 0}, {0, 3}, {INT32_MAX, INT32_MAX}}) {
    EXPECT_FALSE(layer.TileInfo(tr, tc).has_value()) << tr << "," << tc;
    EXPECT_EQ(layer.BeginRead(tr, tc), 0) << tr << "," << tc;
    EXPECT_EQ(layer.BeginWrite(tr, tc), 0) << tr << "," << tc;
  }
  OneTileInfo out{};
  EXPECT_EQ(_hxGetOneTileInfo(h_, ds(), layer.layer(), 1, 0, 0, 0, nullptr), 0);
  EXPECT_EQ(_hxGetOneTileInfo(h_, ds(), layer.layer() + 1, 1, 0, 0, 0, &out), 0);
  // The last cell of the level is inside it; nothing else was written anywhere.
  EXPECT_EQ(layer.Set(kRows - 1, kCols - 1, 1), 1);
  layer = Again(layer, "outside");
  ASSERT_GE(layer.layer(), 1);
  for (int32_t t = 0; t < 9; ++t) {
    EXPECT_EQ(layer.BeginRead(t / 3, t % 3), t == 8 ? 1 : 2) << t;
    EXPECT_EQ(_hxEndReadTile(h_), 1);
  }
  EXPECT_EQ(layer.Get(kRows - 1, kCols - 1).value, 1);
}

TEST_P(LayerCellsTest, CallsNeedTheOpenLevel) {
  CellCalls level1 = Make("levels", kRows, kCols);
  ASSERT_GE(level1.layer(), 1);
  const int32_t id = level1.layer();
  for (int16_t level : {2, 3}) ASSERT_EQ(_hxCreatePyramidLayer(h_, ds(), id, level, level, level), 1);
  ASSERT_EQ(level1.Set(0, 0, 1), 1);

  // Every call names a layer and a level; each of these names one that is not open. A
  // level's cells stay in the cache after it closes: no call may still answer from them.
  // The level check itself is pinned by DemBaseAITest.LevelCheckGuardsEveryCellAndTileCall.
  const auto refusedEverywhere = [&](const CellCalls& calls, const std::string& what) {
    SCOPED_TRACE(what);
    EXPECT_EQ(calls.Set(0, 0, 5), 0);
    uint8_t isNull = 9;
    EXPECT_EQ(_hxGetCell(h_, ds(), calls.layer(), calls.level(), 0, 0, 0, &isNull), 0.0);
    EXPECT_EQ(isNull, 9);
    EXPECT_FALSE(calls.TileInfo(0, 0).has_value());
    EXPECT_EQ(calls.BeginWrite(0, 0), 0);
    EXPECT_EQ(calls.BeginRead(0, 0), 0);
    EXPECT_EQ(_hxEndWriteTile(h_, 1), 0);
    EXPECT_EQ(_hxEndReadTile(h_), 0);
  };
  refusedEverywhere(CellCalls(h_, id, 0, ds()), "level 0");
  refusedEverywhere(CellCalls(h_, id, 2, ds()), "level 2, created but not open");
  refusedEverywhere(CellCalls(h_, id + 1, 1, ds()), "a layer that is not open");
  ASSERT_EQ(_hxClosePyramidLayer(h_, ds(), id), 1);
  refusedEverywhere(level1, "level 1 after it closed");

  ASSERT_EQ(_hxOpenPyramidLayer(h_, ds(), id, 3), 1);
  const CellCalls level3(h_, id, 3, ds());
  refusedEverywhere(level1, "level 1 while level 3 is open");
  EXPECT_EQ(level3.Set(1, 1, 9), 1);
  EXPECT_EQ(level3.Get(1, 1).value, 9);
  EXPECT_EQ(level3.Get(0, 0).isNull, 1);  // level 1's cell is not level 3's
  if (!kind().database()) {
    // Deleting level 2 of local files renumbers the open level 3 as 2.
    ASSERT_EQ(_hxDeletePyramidLayer(h_, ds(), id, 2), 1);
    refusedEverywhere(level3, "the open level by its old number");
    EXPECT_EQ(CellCalls(h_, id, 2, ds()).Get(1, 1).value, 9);
  }
  ASSERT_EQ(_hxClosePyramidLayer(h_, ds(), id), 1);
  ASSERT_EQ(_hxOpenPyramidLayer(h_, ds(), id, 1), 1);
  EXPECT_EQ(level1.Get(0, 0).value, 1);
  EXPECT_EQ(level1.Get(1, 1).isNull, 1);
  ASSERT_EQ(_hxCloseDataLayer(h_, ds(), id), 1);
  refusedEverywhere(level1, "a closed layer");
}

TEST_P(LayerCellsTest, OnlyALayerNobodyHasOpenIsDeletedRenamedOrCopied) {
  CellCalls layer = Make("doomed", kRows, kCols);
  ASSERT_GE(layer.layer(), 1);
  ASSERT_EQ(layer.Set(3, 3, 7), 1);
  const std::string doomed = LayerName("doomed"), copied = LayerName("copied"), moved = LayerName("moved");
  EXPECT_EQ(_hxDeleteDataLayer(h_, ds(), doomed.c_str()), 0);
  EXPECT_EQ(_hxCopyDataLayer(h_, ds(), doomed.c_str(), copied.c_str()), 0);
  EXPECT_EQ(_hxRenameDataLayer(h_, ds(), doomed.c_str(), moved.c_str()), 0);
  EXPECT_EQ(layer.Get(3, 3).value, 7);
  ASSERT_EQ(_hxCloseDataLayer(h_, ds(), layer.layer()), 1);

  // A database has no rename or copy of its own.
  const int16_t moves = kind().database() ? 0 : 1;
  EXPECT_EQ(_hxCopyDataLayer(h_, ds(), doomed.c_str(), copied.c_str()), moves);
  EXPECT_EQ(_hxRenameDataLayer(h_, ds(), copied.c_str(), moved.c_str()), moves);
  if (moves == 1) {
    CellCalls copy = Open("moved");
    ASSERT_GE(copy.layer(), 1);
    EXPECT_EQ(copy.Get(3, 3).value, 7);
    EXPECT_EQ(_hxCloseDataLayer(h_, ds(), copy.layer()), 1);
    EXPECT_EQ(_hxDeleteDataLayer(h_, ds(), moved.c_str()), 1);
  }
  EXPECT_EQ(_hxDeleteDataLayer(h_, ds(), doomed.c_str()), 1);
  EXPECT_EQ(_hxOpenDataLayer(h_, ds(), doomed.c_str(), 0), 0);
  EXPECT_EQ(_hxDeleteDataLayer(h_, ds(), doomed.c_str()), 0);
}

// Each step is one call and the answer it must give; the steps run in order on one layer.
struct Step {
  const char* what;
  std::function<int16_t()> call;
  int16_t want;
};

TEST_P(LayerCellsTest, SequenceCallsOutOfOrderAreRefused) {
  CellCalls layer = Make("order", kRows, kCols);
  ASSERT_GE(layer.layer(), 1);
  DemBaseAI* h = h_;
  double v = 0;
  uint8_t isNull = 0;
  const auto writeCell = [h](int32_t r, int32_t c, double x) {
    return [h, r, c, x] {
      _hxWriteCellOfTile(h, r, c, x);
      return int16_t{1};
    };
  };
  const auto get = [&layer](int32_t row, int32_t col) {
    return [&layer, row, col] {
      const CellRead got = layer.Get(row, col);
      return static_cast<int16_t>(got.isNull == 0 ? got.value : -1);
    };
  };
  const std::vector<Step> steps = {
      {"end write, no sequence", [h] { return _hxEndWriteTile(h, 1); }, 0},
      {"end read, no sequence", [h] { return _hxEndReadTile(h); }, 0},
      {"read cell, no sequence", [&] { return _hxReadCellOfTile(h, 1, 1, &v, &isNull); }, 0},
      {"write cell, no sequence", writeCell(1, 1, 9), 1},
      {"begin write", [&] { return layer.BeginWrite(0, 0); }, 1},
      {"begin write of a tile outside the level", [&] { return layer.BeginWrite(3, 0); }, 0},
      {"write cell (2, 2)", writeCell(2, 2, 7), 1},
      {"end read in a write sequence", [h] { return _hxEndReadTile(h); }, 0},
      {"read cell in a write sequence", [&] { return _hxReadCellOfTile(h, 2, 2, &v, &isNull); }, 0},
      {"begin read of a tile outside the level", [&] { return layer.BeginRead(0, 3); }, 0},
      {"begin read nested in a write sequence", [&] { return layer.BeginRead(1, 1); }, 0},
      {"end write", [h] { return _hxEndWriteTile(h, 1); }, 1},
      {"end write again", [h] { return _hxEndWriteTile(h, 1); }, 0},
      {"the refused begins left the sequence alone", get(2, 2), 7},
      {"no write outside a sequence", get(1, 1), -1},
      {"begin read", [&] { return layer.BeginRead(0, 0); }, 1},
      {"read cell (2, 2)", [&] { return _hxReadCellOfTile(h, 2, 2, &v, &isNull); }, 1},
      {"read cell past the tile", [&] { return _hxReadCellOfTile(h, 256, 2, &v, &isNull); }, 0},
      {"read cell before the tile", [&] { return _hxReadCellOfTile(h, 2, -1, &v, &isNull); }, 0},
      {"write cell in a read sequence", writeCell(3, 3, 8), 1},
      {"end write in a read sequence", [h] { return _hxEndWriteTile(h, 1); }, 0},
      {"end read", [h] { return _hxEndReadTile(h); }, 1},
      {"end read again", [h] { return _hxEndReadTile(h); }, 0},
      {"no write in a read sequence", get(3, 3), -1},
      {"begin write", [&] { return layer.BeginWrite(0, 0); }, 1},
      {"close level in the sequence", [&] { return _hxClosePyramidLayer(h, ds(), layer.layer()); }, 1},
      {"open level again", [&] { return _hxOpenPyramidLayer(h, ds(), layer.layer(), 1); }, 1},
      {"write cell after the level closed", writeCell(4, 4, 6), 1},
      {"end write after the level closed", [h] { return _hxEndWriteTile(h, 1); }, 0},
      {"the closed sequence wrote nothing", get(4, 4), -1},
      {"the closed sequence kept what it wrote", get(2, 2), 7},
      {"begin read", [&] { return layer.BeginRead(0, 0); }, 1},
      {"close level in the read sequence", [&] { return _hxClosePyramidLayer(h, ds(), layer.layer()); }, 1},
      {"open level again", [&] { return _hxOpenPyramidLayer(h, ds(), layer.layer(), 1); }, 1},
      {"read cell after the level closed", [&] { return _hxReadCellOfTile(h, 2, 2, &v, &isNull); }, 0},
      {"end read after the level closed", [h] { return _hxEndReadTile(h); }, 0},
  };
  for (const Step& s : steps) EXPECT_EQ(s.call(), s.want) << s.what;
}

// Statistics made while a tile is cached must not outlive later writes into the tile, and
// a discard goes back to the stored tile even when the changes it drops had nulled every
// cell and statistics recorded the tile as empty. Each row leaves tile (0, 0) cached with
// statistics made, then writes or discards; the cells wanted must be stored and counted.
TEST_P(LayerCellsTest, StatisticsNeverHideLaterWrites) {
  const std::vector<TileWrite> written = {{4, 4, 100}, {2, 2, -50}};
  const auto bySetCell = [](CellCalls& l) { return l.Set(4, 4, 100) == 1 && l.Set(2, 2, -50) == 1; };
  const auto discard = [](CellCalls& l) { return l.WriteTile(0, 0, {}, 0); };
  // 5 at (3, 3) on the disk, with the layer open again.
  const auto storedFive = [this](CellCalls& l, const std::string& stem) {
    if (l.Set(3, 3, 5) != 1) return false;
    l = Again(l, stem);
    return l.layer() >= 1;
  };
  const auto recount = [this](CellCalls& l) { return l.BeginRead(0, 0) == 2 && _hxEndReadTile(h_) == 1; };
  struct Case {
    const char* name;
    std::function<bool(CellCalls&, const std::string& stem)> before;
    std::function<bool(CellCalls&)> later;
    std::vector<TileWrite> want;  // level cells of tile (0, 0)
  };
  const Case cases[] = {
      {"an empty tile kept at End", [](CellCalls& l, const std::string&) { return l.WriteTile(0, 0, {}, 1); },
       bySetCell, written},
      {"a cell written and nulled, recounted by BeginReadTile",
       [&](CellCalls& l, const std::string&) {
         return l.Set(3, 3, 1) == 1 && l.Set(3, 3, l.Null()) == 1 && recount(l);
       },
       bySetCell, written},
      {"a tile written and kept",
       [](CellCalls& l, const std::string&) {
         const TileWrite w{3, 3, 5};
         return l.WriteTile(0, 0, {&w, 1}, 1);
       },
       bySetCell, written},
      // Keep 0 on a tile that was clean at Begin keeps the cells.
      {"a discard that went back to a stored tile, then a clean-tile sequence",
       [&](CellCalls& l, const std::string& stem) {
         return storedFive(l, stem) && l.Set(3, 3, 6) == 1 && l.WriteTile(0, 0, {}, 1) && l.WriteTile(0, 0, {}, 0);
       },
       [&](CellCalls& l) { return l.WriteTile(0, 0, written, 0); },
       {{4, 4, 100}, {2, 2, -50}, {3, 3, 5}}},
      {"a discard after SetCell nulled the stored tile and BeginReadTile recounted it",
       [&](CellCalls& l, const std::string& stem) {
         return storedFive(l, stem) && l.Set(3, 3, l.Null()) == 1 && recount(l);
       },
       discard,
       {{3, 3, 5}}},
      {"a discard after a kept sequence nulled the stored tile",
       [&](CellCalls& l, const std::string& stem) {
         const TileWrite w{3, 3, l.Null()};
         return storedFive(l, stem) && l.WriteTile(0, 0, {&w, 1}, 1);
       },
       discard,
       {{3, 3, 5}}},
  };
  int n = 0;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    const std::string stem = "stats" + std::to_string(n++);
    CellCalls layer = Make(stem, kRows, kCols);
    ASSERT_GE(layer.layer(), 1);
    ASSERT_TRUE(k.before(layer, stem));
    ASSERT_TRUE(k.later(layer));
    double lo = 1e300, hi = -1e300;
    for (const TileWrite& w : k.want) {
      lo = std::min(lo, w.value);
      hi = std::max(hi, w.value);
    }
    // Tile statistics follow the cells before anything reaches the disk, and after.
    for (int pass = 0; pass < 2; ++pass) {
      SCOPED_TRACE(pass == 0 ? "cached" : "stored");
      const auto info = layer.TileInfo(0, 0);
      ASSERT_TRUE(info.has_value());
      EXPECT_EQ(info->minimum, static_cast<float>(lo));
      EXPECT_EQ(info->maximum, static_cast<float>(hi));
      for (const TileWrite& w : k.want) EXPECT_EQ(layer.Get(w.r, w.c).value, w.value) << w.r << "," << w.c;
      if (pass == 1) break;
      ASSERT_EQ(_hxClosePyramidLayer(h_, ds(), layer.layer()), 1);
      const std::optional<ValueRange> range = layer.LayerRange();
      ASSERT_TRUE(range.has_value());
      EXPECT_EQ(range->minValue, lo);
      EXPECT_EQ(range->maxValue, hi);
      ASSERT_EQ(_hxCloseDataLayer(h_, ds(), layer.layer()), 1);
      layer = Open(stem);
      ASSERT_GE(layer.layer(), 1);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, LayerCellsTest, ::testing::ValuesIn(AllLayerKinds()), KindName);

}  // namespace
}  // namespace dembase::testing
