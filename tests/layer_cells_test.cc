// Cell access and tile sequences on layers in local files and in raster databases, end to
// end through the exports, for every cell type and compression: how written values are
// stored and blended, what needs the open level, refusals outside the level, statistics
// that must follow later writes, discards, calls out of order and deletion. What random
// mixes of these calls store is checked against a model in local_model_test.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
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
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

using LayerCellsTest = LayerKindTest;

// How one written value is stored, with the default blend settings and with blending off.
struct ConversionCase {
  double written;
  std::optional<double> stored;  // nullopt: the exact null value
};

TEST_P(LayerCellsTest, WrittenValuesConvertToTheCellType) {
  const std::vector<ConversionCase> intCases = {
      {2.9, 2.0},
      {-2.9, -2.0},
      {-0.5, 0.0},
      {3e9, 2147483647.0},
      {-3e9, -2147483648.0},
      {kInf, 2147483647.0},
      {-kInf, -2147483648.0},
      {kNaN, std::nullopt},
      {2100000000.7, std::nullopt},
      {2099999999.9, 2099999999.0},
      {1e30, 2147483647.0},
  };
  const std::vector<ConversionCase> floatCases = {
      {0.1, static_cast<double>(0.1f)},
      {-123456.789, static_cast<double>(-123456.789f)},
      {1e17, static_cast<double>(1e17f)},
      {1e19, std::nullopt},
      {-1e19, std::nullopt},
      {kInf, std::nullopt},
      {kNaN, std::nullopt},
      {3e38, std::nullopt},
      {1.70141e38, std::nullopt},
  };
  const std::vector<ConversionCase>& cases = kind().is_float() ? floatCases : intCases;
  CellCalls layer = Make("convert", kRows, kCols);
  ASSERT_GE(layer.layer(), 1);
  // Row 0 by SetCell with blending, row 1 by SetCell without, rows 2 and 3 by a tile
  // sequence with and without blending; all in tile (0, 0).
  for (uint8_t blend : {1, 0}) {
    ASSERT_TRUE(layer.SetOper(kind().compress, blend));
    std::vector<TileWrite> writes;
    for (size_t i = 0; i < cases.size(); ++i) {
      const auto col = static_cast<int32_t>(i);
      ASSERT_EQ(layer.Set(blend ? 0 : 1, col, cases[i].written), 1);
      writes.push_back({blend ? 2 : 3, col, cases[i].written});
    }
    ASSERT_TRUE(layer.WriteTile(0, 0, writes));
  }
  for (int pass = 0; pass < 2; ++pass) {
    for (int32_t row = 0; row < 4; ++row) {
      for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(::testing::Message() << "row " << row << " written " << cases[i].written << " pass " << pass);
        const CellRead got = layer.Get(row, static_cast<int32_t>(i));
        EXPECT_EQ(got.isNull, cases[i].stored ? 0 : 1);
        EXPECT_EQ(got.value, cases[i].stored.value_or(NullValue()));
      }
    }
    layer = Again(layer, "convert");
    ASSERT_GE(layer.layer(), 1);
  }
}

// Blending with weights 0.25 (stored) and 0.75 (written).
struct BlendCase {
  std::optional<double> before;  // nullopt: never written
  double written;
  std::optional<double> wantInt, wantFloat;  // nullopt: the exact null value
};

TEST_P(LayerCellsTest, BlendingWeighsStoredAndWrittenValues) {
  const std::vector<BlendCase> cases = {
      {20, 10, 12, 12.5},
      {-20, -10, -12, -12.5},
      {100, 100.9, 100, static_cast<double>(static_cast<float>(0.75 * 100.9 + 0.25 * 100))},
      {std::nullopt, 10, 10, 10},                                          // nothing stored: the written value as it is
      {20, kNaN, std::nullopt, std::nullopt},                              // a null is stored exactly, never blended
      {20, 2100000000, std::nullopt, static_cast<double>(1575000005.0f)},  // null only on integer layers
  };
  CellCalls layer = Make("blend", kRows, kCols);
  ASSERT_GE(layer.layer(), 1);
  // Case i: SetCell on shared-edge cell (255, 20 + i) and on inner cell (265, 275 + i) of
  // a tile changed already (the handle's fast path), a tile sequence on in-tile cell
  // (5 + i, 5) of tile (2, 2). Stored values reach the disk before the blended writes.
  for (size_t i = 0; i < cases.size(); ++i) {
    if (!cases[i].before) continue;
    ASSERT_EQ(layer.Set(255, 20 + static_cast<int32_t>(i), *cases[i].before), 1);
    ASSERT_EQ(layer.Set(265, 275 + static_cast<int32_t>(i), *cases[i].before), 1);
    const TileWrite w{5 + static_cast<int32_t>(i), 5, *cases[i].before};
    ASSERT_TRUE(layer.WriteTile(2, 2, {&w, 1}));
  }
  layer = Again(layer, "blend");
  ASSERT_GE(layer.layer(), 1);
  ASSERT_TRUE(layer.SetOper(kind().compress, 1, 0.25f, 0.75f));
  ASSERT_EQ(layer.Set(400, 400, 1), 1);  // tile (1, 1) changed
  for (size_t i = 0; i < cases.size(); ++i) {
    ASSERT_EQ(layer.Set(255, 20 + static_cast<int32_t>(i), cases[i].written), 1);
    ASSERT_EQ(layer.Set(265, 275 + static_cast<int32_t>(i), cases[i].written), 1);
    const TileWrite w{5 + static_cast<int32_t>(i), 5, cases[i].written};
    ASSERT_TRUE(layer.WriteTile(2, 2, {&w, 1}));
  }
  for (int pass = 0; pass < 2; ++pass) {
    for (size_t i = 0; i < cases.size(); ++i) {
      SCOPED_TRACE(::testing::Message() << "case " << i << " pass " << pass);
      const std::optional<double> want = kind().is_float() ? cases[i].wantFloat : cases[i].wantInt;
      const auto col = 20 + static_cast<int32_t>(i);
      const std::vector<CellRead> reads = {layer.Get(255, col), layer.ReadTileCell(0, 0, 255, col).value_or(CellRead{}),
                                           layer.Get(2 * 255 + 5 + static_cast<int32_t>(i), 2 * 255 + 5),
                                           layer.Get(265, 275 + col - 20)};
      for (const CellRead& got : reads) {
        EXPECT_EQ(got.isNull, want ? 0 : 1);
        EXPECT_EQ(got.value, want.value_or(NullValue()));
      }
    }
    layer = Again(layer, "blend");
    ASSERT_GE(layer.layer(), 1);
  }

  // The settings belong to the open layer: a reopened layer has the defaults again
  // (the fixture's Again sets only compression), and with blending off a value is
  // stored as written whatever the weights.
  LayerOperParam p{};
  ASSERT_EQ(_hxGetLayerOperParam(h_, ds(), layer.layer(), &p), 1);
  const float oldWeight = p.oldWeight, newWeight = p.newWeight;  // unpacked copies
  EXPECT_EQ(p.blendValues, 1);
  EXPECT_EQ(oldWeight, 0.0f);
  EXPECT_EQ(newWeight, 1.0f);
  ASSERT_TRUE(layer.SetOper(kind().compress, 0, 0.25f, 0.75f));
  ASSERT_EQ(layer.Set(255, 20, 10), 1);
  EXPECT_EQ(layer.Get(255, 20).value, 10);
}

// Cells, tiles and tile positions outside the level are refused and change nothing.
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
  // In-tile positions below zero are dropped; past 255 they wrap within the tile.
  const TileWrite writes[] = {{-1, 3, 3}, {3, -1, 4}, {300, 5, 1}};
  ASSERT_TRUE(layer.WriteTile(0, 0, writes));
  // The last cell of the level is inside it; nothing else was written anywhere.
  EXPECT_EQ(layer.Set(kRows - 1, kCols - 1, 1), 1);
  layer = Again(layer, "outside");
  ASSERT_GE(layer.layer(), 1);
  EXPECT_EQ(layer.Get(44, 5).value, 1);
  for (int32_t tr = 0; tr < 3; ++tr) {
    for (int32_t tc = 0; tc < 3; ++tc) {
      const auto info = layer.TileInfo(tr, tc);
      ASSERT_TRUE(info.has_value());
      EXPECT_EQ(info->size, 262144);
      const bool written = (tr == 2 && tc == 2) || (tr == 0 && tc == 0);
      EXPECT_EQ(info->minimum, static_cast<float>(written ? 1 : NullValue())) << tr << "," << tc;
      EXPECT_EQ(layer.BeginRead(tr, tc), written ? 1 : 2) << tr << "," << tc;
      EXPECT_EQ(_hxEndReadTile(h_), 1);
    }
  }
  const auto cells00 = layer.ReadWholeTile(0, 0);
  ASSERT_TRUE(cells00.has_value());
  EXPECT_EQ(std::count_if(cells00->begin(), cells00->end(), [](const CellRead& c) { return c.isNull == 0; }), 1);
}

TEST_P(LayerCellsTest, CallsNeedTheOpenLevel) {
  CellCalls level1 = Make("levels", kRows, kCols);
  ASSERT_GE(level1.layer(), 1);
  const int32_t id = level1.layer();
  for (int16_t level : {2, 3}) ASSERT_EQ(_hxCreatePyramidLayer(h_, ds(), id, level, level, level), 1);
  ASSERT_EQ(level1.Set(0, 0, 1), 1);

  // Every call names a layer and a level; each of these names one that is not open. A
  // level's cells stay in the cache after it closes: no call may still answer from them.
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
  refusedEverywhere(CellCalls(h_, id, 4, ds()), "level 4, not created");
  refusedEverywhere(CellCalls(h_, id, -1, ds()), "level -1");
  refusedEverywhere(CellCalls(h_, id + 1, 1, ds()), "a layer that is not open");
  refusedEverywhere(CellCalls(h_, kLocal, 1, ds()), "a layer id no open layer has");
  ASSERT_EQ(_hxClosePyramidLayer(h_, ds(), id), 1);
  refusedEverywhere(level1, "level 1 after it closed");
  refusedEverywhere(CellCalls(h_, id, 0, ds()), "level 0 with no level open");

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

// A discard goes back to the stored tile even when the changes it drops had nulled every
// cell and statistics were made from them (which record the tile as empty).
TEST_P(LayerCellsTest, DiscardAfterAllNullStatisticsGoesBackToTheStoredTile) {
  const std::function<bool(CellCalls&)> recounts[] = {
      [this](CellCalls& l) { return l.Set(3, 3, l.Null()) == 1 && l.BeginRead(0, 0) == 2 && _hxEndReadTile(h_) == 1; },
      [](CellCalls& l) {
        const TileWrite w{3, 3, l.Null()};
        return l.WriteTile(0, 0, {&w, 1}, 1);
      },
  };
  int n = 0;
  for (const auto& recount : recounts) {
    const std::string stem = "nulled" + std::to_string(n);
    SCOPED_TRACE(n++);
    CellCalls layer = Make(stem, kRows, kCols);
    ASSERT_GE(layer.layer(), 1);
    ASSERT_EQ(layer.Set(3, 3, 5), 1);
    layer = Again(layer, stem);
    ASSERT_GE(layer.layer(), 1);
    ASSERT_TRUE(recount(layer));
    ASSERT_TRUE(layer.WriteTile(0, 0, {}, 0));
    EXPECT_EQ(layer.Get(3, 3).value, 5);
    layer = Again(layer, stem);
    ASSERT_GE(layer.layer(), 1);
    EXPECT_EQ(layer.Get(3, 3).value, 5);
  }
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
      return static_cast<int16_t>(layer.Get(row, col).isNull == 0 ? layer.Get(row, col).value : -1);
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

// Statistics made while a tile is cached must not outlive later writes into the tile:
// each case leaves tile (0, 0) cached with statistics made, then changes cells, and the
// changes must be stored and counted.
TEST_P(LayerCellsTest, StatisticsNeverHideLaterWrites) {
  const auto bySetCell = [](CellCalls& l) { return l.Set(4, 4, 100) == 1 && l.Set(2, 2, -50) == 1; };
  // Keep 0 on a tile that was clean at Begin keeps the cells.
  const auto byCleanTileSequence = [](CellCalls& l) {
    const TileWrite w[] = {{4, 4, 100}, {2, 2, -50}};
    return l.WriteTile(0, 0, w, 0);
  };
  struct Case {
    const char* name;
    std::function<bool(CellCalls&, const std::string& stem)> before;
    std::function<bool(CellCalls&)> later;
  };
  const Case cases[] = {
      {"an empty tile kept at End", [](CellCalls& l, const std::string&) { return l.WriteTile(0, 0, {}, 1); },
       bySetCell},
      {"a cell written and nulled, recounted by BeginReadTile",
       [this](CellCalls& l, const std::string&) {
         return l.Set(3, 3, 1) == 1 && l.Set(3, 3, l.Null()) == 1 && l.BeginRead(0, 0) == 2 && _hxEndReadTile(h_) == 1;
       },
       bySetCell},
      {"a tile written and kept",
       [](CellCalls& l, const std::string&) {
         const TileWrite w{3, 3, 5};
         return l.WriteTile(0, 0, {&w, 1}, 1);
       },
       bySetCell},
      {"a discard that went back to a stored tile, then a clean-tile sequence",
       [this](CellCalls& l, const std::string& stem) {
         if (l.Set(3, 3, 5) != 1) return false;
         l = Again(l, stem);
         return l.layer() >= 1 && l.Set(3, 3, 6) == 1 && l.WriteTile(0, 0, {}, 1) && l.WriteTile(0, 0, {}, 0);
       },
       byCleanTileSequence},
  };
  int n = 0;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    const std::string stem = "stats" + std::to_string(n++);
    CellCalls layer = Make(stem, kRows, kCols);
    ASSERT_GE(layer.layer(), 1);
    ASSERT_TRUE(k.before(layer, stem));
    ASSERT_TRUE(k.later(layer));
    // Tile statistics follow the cells before anything reaches the disk.
    const auto current = layer.TileInfo(0, 0);
    ASSERT_TRUE(current.has_value());
    EXPECT_EQ(current->minimum, -50.0f);
    EXPECT_EQ(current->maximum, 100.0f);
    const ValueRange p = RangeAfterLevelClose(layer);
    EXPECT_EQ(p.minValue, -50);
    EXPECT_EQ(p.maxValue, 100);
    ASSERT_EQ(_hxOpenPyramidLayer(h_, ds(), layer.layer(), 1), 1);
    EXPECT_EQ(layer.Get(4, 4).value, 100);
    EXPECT_EQ(layer.Get(2, 2).value, -50);
    const auto info = layer.TileInfo(0, 0);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->minimum, -50.0f);
    EXPECT_EQ(info->maximum, 100.0f);
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, LayerCellsTest, ::testing::ValuesIn(AllLayerKinds()), KindName);

}  // namespace
}  // namespace dembase::testing
