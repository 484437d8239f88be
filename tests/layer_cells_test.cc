// Cell access on layers in local files and in SQLite data sets, end to end through the
// exports, for integer and float layers with compressed and raw tiles: cells across
// several tiles and every copy of a shared cell, conversions, blending, tile statistics,
// the refusals (no open level, another level, cells outside the level), and deletion.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
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

// Every copy of a level cell, as (tile row, tile column, in-tile row, in-tile column).
struct Copy {
  int32_t tr, tc, r, c;
};
struct CopiesCase {
  int32_t row, col;
  std::vector<Copy> copies;  // the owner's first
};

TEST_P(LayerCellsTest, SetCellUpdatesEveryCopyOfASharedCell) {
  const std::vector<CopiesCase> cases = {
      {255, 255, {{1, 1, 0, 0}, {1, 0, 0, 255}, {0, 1, 255, 0}, {0, 0, 255, 255}}},
      {510, 510, {{2, 2, 0, 0}, {2, 1, 0, 255}, {1, 2, 255, 0}, {1, 1, 255, 255}}},
      {255, 10, {{1, 0, 0, 10}, {0, 0, 255, 10}}},
      {10, 510, {{0, 2, 10, 0}, {0, 1, 10, 255}}},
      {254, 254, {{0, 0, 254, 254}}},
      {0, 0, {{0, 0, 0, 0}}},
  };
  int n = 0;
  for (const CopiesCase& k : cases) {
    SCOPED_TRACE(::testing::Message() << "cell " << k.row << "," << k.col);
    const std::string stem = "copies" + std::to_string(n++);
    CellCalls layer = Make(stem, kRows, kCols);
    ASSERT_GE(layer.layer(), 1);
    ASSERT_EQ(layer.Set(k.row, k.col, 77.5), 1);
    const double want = kind().is_float() ? 77.5 : 77.0;
    for (int pass = 0; pass < 2; ++pass) {
      EXPECT_EQ(layer.Get(k.row, k.col).value, want);
      int tilesHolding = 0;
      for (int32_t tr = 0; tr < 3; ++tr) {
        for (int32_t tc = 0; tc < 3; ++tc) {
          const int16_t answer = layer.BeginRead(tr, tc);
          EXPECT_EQ(_hxEndReadTile(h_), 1);
          tilesHolding += answer == 1;
        }
      }
      EXPECT_EQ(tilesHolding, static_cast<int>(k.copies.size()));
      for (const Copy& c : k.copies) {
        const auto got = layer.ReadTileCell(c.tr, c.tc, c.r, c.c);
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(got->value, want) << "tile " << c.tr << "," << c.tc;
        EXPECT_EQ(got->isNull, 0);
      }
      layer = Again(layer, stem);
      ASSERT_GE(layer.layer(), 1);
    }
  }
  // Raw tiles are stored whole; the copies' tiles, all null but one cell, pack to little.
  // (A server's tiles take no room here.)
  uint64_t raw = 0;
  for (const CopiesCase& k : cases) raw += k.copies.size() * uint64_t{262144};
  const uint64_t stored = BytesUnder(dir_.path());
  EXPECT_TRUE(kind().store == Store::kPostgresql || (kind().compress ? stored < raw / 4 : stored >= raw)) << stored;
}

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
  // Case i: SetCell on shared-edge cell (255, 20 + i), a tile sequence on in-tile cell
  // (5 + i, 5) of tile (2, 2). Stored values reach the disk before the blended writes.
  for (size_t i = 0; i < cases.size(); ++i) {
    if (!cases[i].before) continue;
    ASSERT_EQ(layer.Set(255, 20 + static_cast<int32_t>(i), *cases[i].before), 1);
    const TileWrite w{5 + static_cast<int32_t>(i), 5, *cases[i].before};
    ASSERT_TRUE(layer.WriteTile(2, 2, {&w, 1}));
  }
  layer = Again(layer, "blend");
  ASSERT_GE(layer.layer(), 1);
  ASSERT_TRUE(layer.SetOper(kind().compress, 1, 0.25f, 0.75f));
  for (size_t i = 0; i < cases.size(); ++i) {
    ASSERT_EQ(layer.Set(255, 20 + static_cast<int32_t>(i), cases[i].written), 1);
    const TileWrite w{5 + static_cast<int32_t>(i), 5, cases[i].written};
    ASSERT_TRUE(layer.WriteTile(2, 2, {&w, 1}));
  }
  for (int pass = 0; pass < 2; ++pass) {
    for (size_t i = 0; i < cases.size(); ++i) {
      SCOPED_TRACE(::testing::Message() << "case " << i << " pass " << pass);
      const std::optional<double> want = kind().is_float() ? cases[i].wantFloat : cases[i].wantInt;
      const auto col = 20 + static_cast<int32_t>(i);
      const std::vector<CellRead> reads = {layer.Get(255, col), layer.ReadTileCell(0, 0, 255, col).value_or(CellRead{}),
                                           layer.Get(2 * 255 + 5 + static_cast<int32_t>(i), 2 * 255 + 5)};
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

// --- statistics and refusals ---

TEST_P(LayerCellsTest, OneTileInfoOfAnEmptyTileIsTheNullValue) {
  CellCalls layer = Make("info", kRows, kCols);
  ASSERT_GE(layer.layer(), 1);
  const auto info = layer.TileInfo(2, 2);
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->size, 262144);
  EXPECT_EQ(info->minimum, static_cast<float>(NullValue()));
  EXPECT_EQ(info->maximum, static_cast<float>(NullValue()));
  for (const auto& [tr, tc] : {std::pair{-1, 0}, {0, -1}, {3, 0}, {0, 3}, {INT32_MAX, INT32_MAX}}) {
    EXPECT_FALSE(layer.TileInfo(tr, tc).has_value()) << tr << "," << tc;
  }
  OneTileInfo out{};
  EXPECT_EQ(_hxGetOneTileInfo(h_, ds(), layer.layer(), 1, 0, 0, 0, nullptr), 0);
  EXPECT_EQ(_hxGetOneTileInfo(h_, ds(), layer.layer() + 1, 1, 0, 0, 0, &out), 0);
}

TEST_P(LayerCellsTest, CellsOutsideTheLevelAreRefused) {
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
  // The last cell of the level is inside it; nothing else was written anywhere.
  EXPECT_EQ(layer.Set(kRows - 1, kCols - 1, 1), 1);
  for (int32_t tr = 0; tr < 3; ++tr) {
    for (int32_t tc = 0; tc < 3; ++tc) {
      EXPECT_EQ(layer.BeginRead(tr, tc), tr == 2 && tc == 2 ? 1 : 2) << tr << "," << tc;
      EXPECT_EQ(_hxEndReadTile(h_), 1);
    }
  }
}

TEST_P(LayerCellsTest, CallsNeedTheOpenLevel) {
  CellCalls level1 = Make("levels", kRows, kCols);
  ASSERT_GE(level1.layer(), 1);
  const int32_t id = level1.layer();
  ASSERT_EQ(_hxCreatePyramidLayer(h_, ds(), id, 2, 2.0, 2.0), 1);
  ASSERT_EQ(level1.Set(0, 0, 1), 1);

  // Every call names a layer and a level; each of these names one that is not open.
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
  refusedEverywhere(CellCalls(h_, id, 3, ds()), "level 3, not created");
  refusedEverywhere(CellCalls(h_, id, -1, ds()), "level -1");
  refusedEverywhere(CellCalls(h_, id + 1, 1, ds()), "a layer that is not open");
  refusedEverywhere(CellCalls(h_, kLocal, 1, ds()), "a layer id no open layer has");
  ASSERT_EQ(_hxClosePyramidLayer(h_, ds(), id), 1);
  refusedEverywhere(level1, "level 1 after it closed");
  refusedEverywhere(CellCalls(h_, id, 0, ds()), "level 0 with no level open");

  ASSERT_EQ(_hxOpenPyramidLayer(h_, ds(), id, 2), 1);
  const CellCalls level2(h_, id, 2, ds());
  refusedEverywhere(level1, "level 1 while level 2 is open");
  EXPECT_EQ(level2.Set(1, 1, 9), 1);
  EXPECT_EQ(level2.Get(1, 1).value, 9);
  EXPECT_EQ(level2.Get(0, 0).isNull, 1);  // level 1's cell is not level 2's
  ASSERT_EQ(_hxClosePyramidLayer(h_, ds(), id), 1);
  ASSERT_EQ(_hxOpenPyramidLayer(h_, ds(), id, 1), 1);
  EXPECT_EQ(level1.Get(0, 0).value, 1);
  EXPECT_EQ(level1.Get(1, 1).isNull, 1);
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

INSTANTIATE_TEST_SUITE_P(Kinds, LayerCellsTest, ::testing::ValuesIn(AllLayerKinds()), KindName);

}  // namespace
}  // namespace dembase::testing
