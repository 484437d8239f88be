#include "cells/store_rule.h"

#include <bit>
#include <limits>

#include <gtest/gtest.h>

#include "cells/null_test.h"

namespace dembase {
namespace {

constexpr float kNullF = kNullFloat32;
constexpr int32_t kNullI = kNullInt32;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr int32_t kMax = std::numeric_limits<int32_t>::max(), kMin = std::numeric_limits<int32_t>::min();
constexpr BlendSettings kDefault{}, kHalf{true, 0.5f, 0.5f}, kReplace{false, 0.5f, 0.5f};
constexpr BlendSettings kInfWeight{true, std::numeric_limits<float>::infinity(), 1.0f};

TEST(StoreRule, FloatCells) {
  const struct {
    BlendSettings blend;
    float stored;
    double v;
    float want;
  } cases[] = {
      {kDefault, 20.0f, 10.0, 10.0f}, {kDefault, kNullF, 10.0, 10.0f}, {kHalf, 20.0f, 10.0, 15.0f},
      {kHalf, kNullF, 10.0, 10.0f},
      {kHalf, 1e19f, 10.0, 10.0f},      // a null-like stored cell counts as null
      {kReplace, 20.0f, 10.0, 10.0f},
      {kReplace, 20.0f, 5e18, kNullF},  // null-like becomes exactly the null value
      {kReplace, 20.0f, kNaN, kNullF},
      {kHalf, 20.0f, 1.5e18, kNullF},   // a null-like value is not blended into a stored height
      {kHalf, 20.0f, kNaN, kNullF},     {kDefault, 20.0f, static_cast<double>(kNullF), kNullF},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(std::bit_cast<uint32_t>(StoreFloatCell(c.blend, c.stored, c.v)), std::bit_cast<uint32_t>(c.want))
        << c.stored << " <- " << c.v;
  }
  // Null-like as a double, but it rounds to a float just below 1e18.
  const double v = 1e18 + 1e9;
  ASSERT_TRUE(IsNullLikeFloat(v));
  ASSERT_FALSE(IsNullLikeFloat(static_cast<float>(v)));
  EXPECT_EQ(StoreFloatCell(kReplace, 0.0f, v, NullTestAt::kRounded), static_cast<float>(v));
  EXPECT_EQ(StoreFloatCell(kReplace, 0.0f, v, NullTestAt::kUnrounded), kNullF);
}

TEST(StoreRule, IntCells) {
  const struct {
    BlendSettings blend;
    int32_t stored;
    double v;
    int32_t want;
  } cases[] = {
      {kDefault, 20, 10.0, 10},       {kDefault, 20, 2.9, 2},         {kDefault, 20, -2.9, -2},
      {kHalf, 20, 10.0, 15},          {kHalf, kNullI, 10.0, 10},      {kHalf, 3, 4.0, 3},  // 3.5 truncated
      {kReplace, 20, 10.7, 10},       {kReplace, kNullI, 10.7, 10},   {kDefault, 20, 2100000000.5, kNullI},
      {kHalf, 20, 2100000000.0, kNullI},  // null is not blended into a height
      {kHalf, 20, kNaN, kNullI},      {kDefault, 0, 1e300, kMax},     {kDefault, 0, -1e300, kMin},
      {kInfWeight, 5, 1.0, kMax},
  };
  for (const auto& c : cases) EXPECT_EQ(StoreIntCell(c.blend, c.stored, c.v), c.want) << c.stored << " <- " << c.v;
}

TEST(StoreRule, InPlaceOnBlockBytes) {
  uint8_t cell[4];
  StoreCellBits(cell, std::bit_cast<uint32_t>(20.0f));
  StoreIntoCell(CellType::kFloat32, kHalf, cell, 10.0);
  EXPECT_EQ(LoadCellValue(CellType::kFloat32, cell), 15.0);
  EXPECT_EQ(cell[0], 0x00);  // 15.0f is 0x41700000, little-endian
  EXPECT_EQ(cell[3], 0x41);
  StoreCellBits(cell, NullCellBits(CellType::kInt32));
  StoreIntoCell(CellType::kInt32, kHalf, cell, -7.9);
  EXPECT_EQ(LoadCellValue(CellType::kInt32, cell), -7.0);
}

}  // namespace
}  // namespace dembase
