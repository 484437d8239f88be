#include "cells/tile_stats.h"

#include <bit>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "cells/null_test.h"

namespace dembase {
namespace {

class TileStatsTest : public ::testing::Test {
 protected:
  void Fill(CellType type) { FillWithNull(type, MutableTileBlock(block_.data(), kTileBlockBytes)); }
  void SetFloat(int32_t r, int32_t c, float v) { StoreCellBits(&block_[CellByteOffset(r, c)], std::bit_cast<uint32_t>(v)); }
  void SetInt(int32_t r, int32_t c, int32_t v) { StoreCellBits(&block_[CellByteOffset(r, c)], std::bit_cast<uint32_t>(v)); }
  TileStats Stats(CellType type) { return ComputeTileStats(type, TileBlock(block_.data(), kTileBlockBytes)); }

  std::vector<uint8_t> block_ = std::vector<uint8_t>(kTileBlockBytes);
};

TEST_F(TileStatsTest, NullFilledTilesAreEmptyAndReportTheNullValue) {
  Fill(CellType::kFloat32);
  EXPECT_EQ(LoadCellBits(&block_[CellByteOffset(255, 255)]), kNullFloat32Bits);
  TileStats s = Stats(CellType::kFloat32);
  EXPECT_TRUE(s.empty);
  EXPECT_EQ(s.minimum, kNullFloat32);
  EXPECT_EQ(s.maximum, kNullFloat32);

  Fill(CellType::kInt32);
  s = Stats(CellType::kInt32);
  EXPECT_TRUE(s.empty);
  EXPECT_EQ(s.minimum, 2100000000.0f);
  EXPECT_EQ(s.maximum, 2100000000.0f);
}

TEST_F(TileStatsTest, FloatIgnoresNullLikeCells) {
  Fill(CellType::kFloat32);
  // Only null-like cells: still empty.
  SetFloat(0, 0, 1e19f);
  SetFloat(0, 1, -1e30f);
  SetFloat(0, 2, std::numeric_limits<float>::quiet_NaN());
  SetFloat(0, 3, -std::numeric_limits<float>::infinity());
  EXPECT_TRUE(Stats(CellType::kFloat32).empty);

  SetFloat(10, 20, -3.5f);
  SetFloat(255, 255, 812.25f);  // shared border cells count too
  SetFloat(100, 0, -0.0f);
  SetFloat(7, 7, MaxNonNullFloat());
  const TileStats s = Stats(CellType::kFloat32);
  EXPECT_FALSE(s.empty);
  EXPECT_EQ(s.minimum, -3.5f);
  EXPECT_EQ(s.maximum, MaxNonNullFloat());
}

TEST_F(TileStatsTest, FloatSignsOrderCorrectly) {
  Fill(CellType::kFloat32);
  SetFloat(1, 1, -1000.0f);
  SetFloat(1, 2, -0.5f);
  SetFloat(1, 3, -2000.0f);
  const TileStats s = Stats(CellType::kFloat32);
  EXPECT_EQ(s.minimum, -2000.0f);
  EXPECT_EQ(s.maximum, -0.5f);
}

TEST_F(TileStatsTest, IntIgnoresOnlyTheNullValue) {
  Fill(CellType::kInt32);
  SetInt(0, 0, kNullInt32 - 1);
  SetInt(3, 4, std::numeric_limits<int32_t>::min());
  SetInt(255, 0, 17);
  const TileStats s = Stats(CellType::kInt32);
  EXPECT_FALSE(s.empty);
  EXPECT_EQ(s.minimum, static_cast<float>(std::numeric_limits<int32_t>::min()));
  EXPECT_EQ(s.maximum, static_cast<float>(kNullInt32 - 1));
}

TEST_F(TileStatsTest, SingleValueTile) {
  Fill(CellType::kInt32);
  SetInt(128, 128, std::numeric_limits<int32_t>::max());
  const TileStats s = Stats(CellType::kInt32);
  EXPECT_FALSE(s.empty);
  EXPECT_EQ(s.minimum, static_cast<float>(std::numeric_limits<int32_t>::max()));
  EXPECT_EQ(s.maximum, s.minimum);
}

}  // namespace
}  // namespace dembase
