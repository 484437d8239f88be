#include "cells/tile_stats.h"

#include <bit>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "cells/null_test.h"

namespace dembase {
namespace {

struct Cell {
  int32_t r, c;
  uint32_t bits;
};
uint32_t F(float v) { return std::bit_cast<uint32_t>(v); }
uint32_t I(int32_t v) { return std::bit_cast<uint32_t>(v); }
constexpr float kIntMin = static_cast<float>(std::numeric_limits<int32_t>::min());
constexpr float kIntMax = static_cast<float>(std::numeric_limits<int32_t>::max());
constexpr float kNaNf = std::numeric_limits<float>::quiet_NaN(), kInff = std::numeric_limits<float>::infinity();

TEST(TileStatsTest, NullLikeCellsAreIgnoredAndSignsOrder) {
  const struct {
    const char* what;
    CellType type;
    std::vector<Cell> cells;  // on a null-filled tile
    bool empty;
    float min, max;
  } cases[] = {
      {"null float", CellType::kFloat32, {}, true, kNullFloat32, kNullFloat32},
      {"null int", CellType::kInt32, {}, true, 2100000000.0f, 2100000000.0f},
      {"only null-like", CellType::kFloat32, {{0, 0, F(1e19f)}, {0, 1, F(-1e30f)}, {0, 2, F(kNaNf)}, {0, 3, F(-kInff)}},
       true, kNullFloat32, kNullFloat32},
      {"float, border cells count",
       CellType::kFloat32,
       {{0, 0, F(1e19f)}, {10, 20, F(-3.5f)}, {255, 255, F(812.25f)}, {100, 0, F(-0.0f)}, {7, 7, F(MaxNonNullFloat())}},
       false, -3.5f, MaxNonNullFloat()},
      {"negative floats", CellType::kFloat32, {{1, 1, F(-1000.0f)}, {1, 2, F(-0.5f)}, {1, 3, F(-2000.0f)}}, false,
       -2000.0f, -0.5f},
      {"int ignores only the null value", CellType::kInt32,
       {{0, 0, I(kNullInt32 - 1)}, {3, 4, I(std::numeric_limits<int32_t>::min())}, {255, 0, I(17)}}, false, kIntMin,
       static_cast<float>(kNullInt32 - 1)},
      {"single value", CellType::kInt32, {{128, 128, I(std::numeric_limits<int32_t>::max())}}, false, kIntMax, kIntMax},
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
