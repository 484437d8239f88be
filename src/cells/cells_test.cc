// The cell rules: null-like values, the store rule, cell addresses and shared edges, tile statistics.
// Ordinary truncation, saturation, float rounding and weighted blends run through the model test's
// value mix; here the boundaries and what the model never writes.
#include <bit>
#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "cells/cell_address.h"
#include "cells/null_test.h"
#include "cells/shared_edge.h"
#include "cells/store_rule.h"
#include "cells/tile_stats.h"

namespace dembase {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr float kNaNf = std::numeric_limits<float>::quiet_NaN(), kInff = std::numeric_limits<float>::infinity();
constexpr int32_t kMax = std::numeric_limits<int32_t>::max(), kMin = std::numeric_limits<int32_t>::min();
constexpr CellType kF = CellType::kFloat32, kI = CellType::kInt32;
constexpr float kNullF = kNullFloat32;
constexpr int32_t kNullI = kNullInt32;

uint32_t F(float v) { return std::bit_cast<uint32_t>(v); }
uint32_t I(int32_t v) { return std::bit_cast<uint32_t>(v); }

TEST(NullTest, NullLikeValuesTruncationAndRounding) {
  EXPECT_EQ(CellTypeOf(6), kI);
  const struct {
    CellType type;
    double v;
    bool null;
  } cases[] = {
      {kF, 1.0000001e18, true}, {kF, -1e19, true},         {kF, kInf, true},          {kF, kNaN, true},
      {kF, 1e18, false},        {kF, -1e18, false},        {kI, 2100000000.0, true},  {kI, 2100000000.9, true},
      {kI, kNaN, true},         {kI, 2099999999.0, false}, {kI, 2100000001.0, false}, {kI, -2100000000.9, false},
      {kI, kInf, false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsNullLike(c.type, c.v), c.null) << int(c.type) << " " << c.v;
  // Stored cells: the exact null bits, and NaN, are null.
  EXPECT_TRUE(IsNullCellBits(kI, 0x7D2B7500u));
  EXPECT_FALSE(IsNullCellBits(kI, 0x7D2B7501u));
  EXPECT_TRUE(IsNullCellBits(kF, 0x7EFFFFEEu));
  EXPECT_TRUE(IsNullCellBits(kF, 0x7FC00000u));
  EXPECT_FALSE(IsNullCellBits(kF, F(12.5f)));
  // Stored floats are tested on their bits (cell reads, tile statistics): the answer must
  // be the double test's, at MaxNonNullFloat() and the float above it and across the range.
  const float limit = MaxNonNullFloat(), above = std::nextafter(limit, kInff);
  EXPECT_FALSE(IsNullLikeFloat(limit));
  EXPECT_TRUE(IsNullLikeFloat(above));
  for (uint64_t b = 0; b <= 0xFFFFFFFFu; b += 0x10001) {
    for (const uint32_t bits : {static_cast<uint32_t>(b), F(limit), F(above), F(-limit), F(-above)}) {
      ASSERT_EQ(IsNullFloatBits(bits), IsNullLikeFloat(std::bit_cast<float>(bits))) << std::hex << bits;
    }
  }

  // Saturating, not undefined: the layer tests write no infinities.
  const std::pair<double, int32_t> truncations[] = {{2147483647.9, kMax},  {2147483648.0, kMax},  {kInf, kMax},
                                                    {-2147483648.9, kMin}, {-2147483649.0, kMin}, {-kInf, kMin},
                                                    {kNaN, kNullInt32}};
  for (const auto& [v, want] : truncations) {
    EXPECT_EQ(TruncateToInt32(v), want) << v;
  }
  // Just below the rounding midpoint above FLT_MAX still rounds to FLT_MAX.
  EXPECT_EQ(RoundToFloat(std::nextafter(kFloatOverflowBound, 0.0)), std::numeric_limits<float>::max());
  EXPECT_EQ(RoundToFloat(kFloatOverflowBound), kInff);
  EXPECT_EQ(RoundToFloat(-1e300), -kInff);
  EXPECT_TRUE(std::isnan(RoundToFloat(kNaN)));
}

constexpr BlendSettings kDefault{}, kHalf{true, 0.5f, 0.5f}, kReplace{false, 0.5f, 0.5f};
constexpr BlendSettings kInfWeight{true, std::numeric_limits<float>::infinity(), 1.0f};

// Applied in place on block bytes, so the little-endian cell layout is checked too.
TEST(StoreRule, WhatAWriteLeavesInACell) {
  const struct {
    CellType type;
    BlendSettings blend;
    uint32_t stored;
    double v;
    uint32_t want;
  } cases[] = {
      {kF, kHalf, F(20.0f), 10.0, F(15.0f)},
      {kF, kHalf, F(1e19f), 10.0, F(10.0f)},      // a null-like stored cell counts as null
      {kF, kHalf, F(20.0f), 1.5e18, F(kNullF)},   // a null-like value is not blended into a height
      {kF, kReplace, F(20.0f), 5e18, F(kNullF)},  // null-like becomes exactly the null value
      {kF, kDefault, F(20.0f), static_cast<double>(kNullF), F(kNullF)},
      {kI, kHalf, I(3), 4.0, I(3)},  // 3.5 truncated
      {kI, kHalf, I(kNullI), -7.9, I(-7)},
      {kI, kHalf, I(20), 2100000000.0, I(kNullI)},
      {kI, kInfWeight, I(5), 1.0, I(kMax)},
  };
  for (const auto& c : cases) {
    uint8_t cell[4];
    StoreCellBits(cell, c.stored);
    StoreIntoCell(c.type, c.blend, cell, c.v);
    EXPECT_EQ(LoadCellBits(cell), c.want) << int(c.type) << ": " << c.stored << " <- " << c.v;
    EXPECT_EQ(cell[0], c.want & 0xFF);
  }
  // Null-like as a double, but it rounds to a float just below 1e18.
  const double v = 1e18 + 1e9;
  ASSERT_TRUE(IsNullLikeFloat(v));
  ASSERT_FALSE(IsNullLikeFloat(static_cast<float>(v)));
  EXPECT_EQ(StoreFloatCell(kReplace, 0.0f, v, NullTestAt::kRounded), static_cast<float>(v));
  EXPECT_EQ(StoreFloatCell(kReplace, 0.0f, v, NullTestAt::kUnrounded), kNullF);
}

TEST(CellAddress, GridsAndAddresses) {
  // Grids refused by size or by a level header's fields: the level geometry tests.
  ASSERT_TRUE(TileGrid::FromCells(2147483647, 2147483647));
  EXPECT_FALSE(TileGrid::FromCells(2147483647, 2147483647)->Addressable());

  const TileGrid grid = *TileGrid::FromCells(1000, 600);  // 4 x 3 tiles
  const struct {
    int32_t row, col;
    std::optional<CellAddress> want;
  } cases[] = {
      {254, 254, CellAddress{0, 0, 0, 254, 254}},
      {255, 0, CellAddress{1, 0, 3, 0, 0}},
      {999, 599, CellAddress{3, 2, 11, 234, 89}},
      {-1, 0, {}},
      {1000, 0, {}},
      {0, 600, {}},
      {INT32_MIN, INT32_MIN, {}},
  };
  for (const auto& c : cases) EXPECT_EQ(AddressCell(grid, c.row, c.col), c.want) << c.row << "," << c.col;
  EXPECT_EQ(TileNumber(grid, 3, 2), 11);
  EXPECT_FALSE(TileNumber(grid, 4, 0));
  EXPECT_FALSE(TileNumber(grid, 0, -1));
  // A tile sequence's cell positions wrap into the tile.
  ASSERT_TRUE(WrapToTile(300, 5));
  EXPECT_EQ(WrapToTile(300, 5)->r, 44);
  EXPECT_EQ(WrapToTile(300, 5)->c, 5);
  EXPECT_FALSE(WrapToTile(-1, 5));
  EXPECT_FALSE(WrapToTile(5, -256));
}

// Writing every cell through its copies leaves every shared position equal to the cell it
// repeats; the table pins the order, owner first.
TEST(SharedEdge, CopiesOfCell) {
  const TileGrid grid = *TileGrid::FromCells(600, 600);  // 3 x 3 tiles
  const struct {
    int32_t row, col;
    std::vector<CellCopy> want;
  } cases[] = {
      {0, 255, {{1, 0, 0}, {0, 0, 255}}},                                // first row: left only
      {255, 254, {{3, 0, 254}, {0, 255, 254}}},                          // top edge
      {510, 510, {{8, 0, 0}, {7, 0, 255}, {5, 255, 0}, {4, 255, 255}}},  // corner: all four
  };
  for (const auto& c : cases) {
    const std::optional<CellCopies> copies = CopiesOfCell(grid, c.row, c.col);
    ASSERT_TRUE(copies);
    EXPECT_EQ(std::vector<CellCopy>(copies->copies().begin(), copies->copies().end()), c.want) << c.row << "," << c.col;
  }
  EXPECT_FALSE(CopiesOfCell(grid, -1, 0));
  EXPECT_FALSE(CopiesOfCell(grid, 600, 0));
  std::vector<std::vector<int>> tiles(9, std::vector<int>(kTileCells, -1));
  for (int32_t row = 0; row < grid.rows; ++row) {
    for (int32_t col = 0; col < grid.cols; ++col) {
      const std::optional<CellCopies> copies = CopiesOfCell(grid, row, col);
      for (const CellCopy& copy : copies->copies()) {
        tiles[copy.tile][copy.r * kTileEdge + copy.c] = row * grid.cols + col;
      }
    }
  }
  for (int32_t t = 0; t < 9; ++t) {
    for (int32_t i = 0; i < kTileCells; ++i) {
      const int32_t row = t / 3 * kTileStep + i / kTileEdge, col = t % 3 * kTileStep + i % kTileEdge;
      if (row < grid.rows && col < grid.cols) {
        ASSERT_EQ(tiles[t][i], row * grid.cols + col) << t << " at " << i;
      }
    }
  }
}

TEST(TileStatsTest, NullLikeCellsAreIgnoredAndSignsOrder) {
  struct Cell {
    int32_t r, c;
    uint32_t bits;
  };
  const struct {
    const char* what;
    CellType type;
    std::vector<Cell> cells;  // on a null-filled tile
    bool empty;
    float min, max;
  } cases[] = {
      {"null int", kI, {}, true, 2100000000.0f, 2100000000.0f},
      {"only null-like", kF, {{0, 0, F(1e19f)}, {0, 2, F(kNaNf)}, {0, 3, F(-kInff)}}, true, kNullF, kNullF},
      {"float, border cells count",
       kF,
       {{0, 0, F(1e19f)}, {10, 20, F(-3.5f)}, {255, 255, F(812.25f)}, {100, 0, F(-0.0f)}, {7, 7, F(MaxNonNullFloat())}},
       false,
       -3.5f,
       MaxNonNullFloat()},
      {"negative floats", kF, {{1, 1, F(-1000.0f)}, {1, 2, F(-0.5f)}, {1, 3, F(-2000.0f)}}, false, -2000.0f, -0.5f},
      {"int ignores only the null value",
       kI,
       {{0, 0, I(kNullI - 1)}, {3, 4, I(kMin)}, {255, 0, I(17)}},
       false,
       static_cast<float>(kMin),
       static_cast<float>(kNullI - 1)},
  };
  std::vector<uint8_t> block(kTileBlockBytes);
  for (const auto& c : cases) {
    FillWithNull(c.type, MutableTileBlock(block.data(), kTileBlockBytes));
    EXPECT_EQ(LoadCellBits(&block[CellByteOffset(255, 255)]), NullCellBits(c.type)) << c.what;
    for (const Cell& cell : c.cells) StoreCellBits(&block[CellByteOffset(cell.r, cell.c)], cell.bits);
    const TileStats s = ComputeTileStats(c.type, TileBlock(block.data(), kTileBlockBytes));
    EXPECT_EQ(s.empty, c.empty) << c.what;
    EXPECT_EQ(s.minimum, c.min) << c.what;
    EXPECT_EQ(s.maximum, c.max) << c.what;
  }
}

}  // namespace
}  // namespace dembase
