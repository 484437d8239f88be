#include "cells/null_test.h"

#include <bit>
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace dembase {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Case {
  double v;
  bool null;
};

TEST(NullTest, NullValues) {
  EXPECT_EQ(std::bit_cast<uint32_t>(static_cast<float>(NullValue(CellType::kFloat32))), 0x7EFFFFEEu);
  EXPECT_FLOAT_EQ(static_cast<float>(NullValue(CellType::kFloat32)), 1.7014100e+38f);
  EXPECT_EQ(NullValue(CellType::kInt32), 2100000000.0);
  EXPECT_EQ(NullCellBits(CellType::kInt32), 0x7D2B7500u);
  EXPECT_EQ(CellTypeOf(7), CellType::kFloat32);
  EXPECT_EQ(CellTypeOf(6), CellType::kInt32);
  EXPECT_EQ(CellTypeOf(5), CellType::kInt32);
}

TEST(NullTest, FloatLayer) {
  const Case cases[] = {
      {1e19, true},   {-1e19, true}, {1.0000001e18, true}, {NullValue(CellType::kFloat32), true},
      {kInf, true},   {-kInf, true}, {kNaN, true},         {1e18, false},
      {-1e18, false}, {0.0, false},  {-5.0, false},        {3.4e38 / 1e30, false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsNullLike(CellType::kFloat32, c.v), c.null) << c.v;
}

TEST(NullTest, IntLayer) {
  const Case cases[] = {
      {2100000000.0, true},  {2100000000.9, true}, {-2100000000.9, false}, {2099999999.0, false},
      {2100000001.0, false}, {0.0, false},         {kNaN, true},           {kInf, false},
      {-kInf, false},        {1e10, false},        {-1e10, false},         {2147483648.0, false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsNullLike(CellType::kInt32, c.v), c.null) << c.v;
}

TEST(NullTest, TruncationIsDefinedEverywhere) {
  struct {
    double v;
    int32_t want;
  } cases[] = {
      {2.9, 2},
      {-2.9, -2},
      {2147483647.9, std::numeric_limits<int32_t>::max()},
      {2147483648.0, std::numeric_limits<int32_t>::max()},
      {-2147483648.9, std::numeric_limits<int32_t>::min()},
      {-2147483649.0, std::numeric_limits<int32_t>::min()},
      {kInf, std::numeric_limits<int32_t>::max()},
      {-kInf, std::numeric_limits<int32_t>::min()},
      {1e300, std::numeric_limits<int32_t>::max()},
      {kNaN, kNullInt32},
  };
  for (const auto& c : cases) EXPECT_EQ(TruncateToInt32(c.v), c.want) << c.v;
}

TEST(NullTest, RoundToFloatIsDefinedEverywhere) {
  EXPECT_EQ(RoundToFloat(1.5), 1.5f);
  EXPECT_EQ(RoundToFloat(1e300), std::numeric_limits<float>::infinity());
  EXPECT_EQ(RoundToFloat(-1e300), -std::numeric_limits<float>::infinity());
  EXPECT_TRUE(std::isnan(RoundToFloat(kNaN)));
  // Just below the rounding midpoint above FLT_MAX still rounds to FLT_MAX.
  EXPECT_EQ(RoundToFloat(std::nextafter(kFloatOverflowBound, 0.0)), std::numeric_limits<float>::max());
  EXPECT_EQ(RoundToFloat(kFloatOverflowBound), std::numeric_limits<float>::infinity());
}

// Tile statistics test floats by comparing with MaxNonNullFloat(); it must agree with
// the double test on both sides of the bound.
TEST(NullTest, MaxNonNullFloatAgreesWithTheDoubleTest) {
  const float limit = MaxNonNullFloat();
  const float above = std::nextafter(limit, std::numeric_limits<float>::infinity());
  EXPECT_FALSE(IsNullLikeFloat(limit));
  EXPECT_FALSE(IsNullLikeFloat(-limit));
  EXPECT_TRUE(IsNullLikeFloat(above));
  EXPECT_TRUE(IsNullLikeFloat(-above));
}

TEST(NullTest, StoredCells) {
  EXPECT_TRUE(IsNullCellBits(CellType::kInt32, 0x7D2B7500u));
  EXPECT_FALSE(IsNullCellBits(CellType::kInt32, 0x7D2B7501u));
  EXPECT_TRUE(IsNullCellBits(CellType::kFloat32, 0x7EFFFFEEu));
  EXPECT_TRUE(IsNullCellBits(CellType::kFloat32, 0x7FC00000u));  // NaN
  EXPECT_FALSE(IsNullCellBits(CellType::kFloat32, std::bit_cast<uint32_t>(12.5f)));
}

}  // namespace
}  // namespace dembase
