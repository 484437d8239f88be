#include "cells/null_test.h"

#include <bit>
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace dembase {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr CellType kF = CellType::kFloat32, kI = CellType::kInt32;

TEST(NullTest, NullLikeValuesPerCellType) {
  EXPECT_EQ(CellTypeOf(7), kF);
  EXPECT_EQ(CellTypeOf(6), kI);
  EXPECT_EQ(CellTypeOf(5), kI);
  const struct {
    CellType type;
    double v;
    bool null;
  } cases[] = {
      {kF, 1e19, true},         {kF, -1e19, true},         {kF, 1.0000001e18, true},    {kF, NullValue(kF), true},
      {kF, kInf, true},         {kF, -kInf, true},         {kF, kNaN, true},            {kF, 1e18, false},
      {kF, -1e18, false},       {kF, 0.0, false},          {kF, -5.0, false},           {kF, 3.4e38 / 1e30, false},
      {kI, 2100000000.0, true}, {kI, 2100000000.9, true},  {kI, -2100000000.9, false},  {kI, 2099999999.0, false},
      {kI, 2100000001.0, false}, {kI, 0.0, false},         {kI, kNaN, true},            {kI, kInf, false},
      {kI, -kInf, false},       {kI, 1e10, false},         {kI, -1e10, false},          {kI, 2147483648.0, false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsNullLike(c.type, c.v), c.null) << int(c.type) << " " << c.v;
  // Stored cells: the exact null bits, and NaN, are null.
  EXPECT_TRUE(IsNullCellBits(kI, 0x7D2B7500u));
  EXPECT_FALSE(IsNullCellBits(kI, 0x7D2B7501u));
  EXPECT_TRUE(IsNullCellBits(kF, 0x7EFFFFEEu));
  EXPECT_TRUE(IsNullCellBits(kF, 0x7FC00000u));
  EXPECT_FALSE(IsNullCellBits(kF, std::bit_cast<uint32_t>(12.5f)));
}

TEST(NullTest, TruncationAndRoundingAreDefinedEverywhere) {
  constexpr int32_t kMax = std::numeric_limits<int32_t>::max(), kMin = std::numeric_limits<int32_t>::min();
  const struct {
    double v;
    int32_t want;
  } cases[] = {{2.9, 2},           {-2.9, -2},           {2147483647.9, kMax},  {2147483648.0, kMax},
               {-2147483648.9, kMin}, {-2147483649.0, kMin}, {kInf, kMax},       {-kInf, kMin},
               {1e300, kMax},      {kNaN, kNullInt32}};
  for (const auto& c : cases) EXPECT_EQ(TruncateToInt32(c.v), c.want) << c.v;

  constexpr float kFInf = std::numeric_limits<float>::infinity(), kFMax = std::numeric_limits<float>::max();
  EXPECT_EQ(RoundToFloat(1.5), 1.5f);
  EXPECT_EQ(RoundToFloat(1e300), kFInf);
  EXPECT_EQ(RoundToFloat(-1e300), -kFInf);
  EXPECT_TRUE(std::isnan(RoundToFloat(kNaN)));
  // Just below the rounding midpoint above FLT_MAX still rounds to FLT_MAX.
  EXPECT_EQ(RoundToFloat(std::nextafter(kFloatOverflowBound, 0.0)), kFMax);
  EXPECT_EQ(RoundToFloat(kFloatOverflowBound), kFInf);
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

}  // namespace
}  // namespace dembase
