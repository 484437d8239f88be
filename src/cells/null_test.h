// The null value of each cell type and the null-like test: the one rule that decides
// IsNullValue answers, the isNull flag of cell reads, tile statistics, empty-tile
// detection and the store rule, for both layer kinds.
//
// A value is null-like
//   - on a float layer: when it is NaN, when its magnitude exceeds 1e18, or when it
//     lies within 1e-6 of the null value (compared in double precision);
//   - on an integer layer: when TruncateToInt32 of it equals the null value. That is
//     plain truncation toward zero inside the int32 range; NaN is null-like (it
//     converts to the null value); infinities and values beyond the int32 range are
//     not (they saturate to INT32_MIN / INT32_MAX, which are ordinary values).
// NaN counts as null on both types because it has no height and would otherwise slip
// past every min/max comparison.
#ifndef DEMBASE_CELLS_NULL_TEST_H_
#define DEMBASE_CELLS_NULL_TEST_H_

#include <bit>
#include <cstdint>

#include "cells/cell_value.h"

namespace dembase {

// Any value of larger magnitude is null-like; the same bound everywhere.
inline constexpr double kNullMagnitude = 1e18;
// Values closer than this to the float null value are null-like.
inline constexpr double kNullTolerance = 1e-6;

constexpr double NullValue(CellType type) {
  return type == CellType::kFloat32 ? static_cast<double>(kNullFloat32) : static_cast<double>(kNullInt32);
}

// The 4-byte pattern of the null cell.
constexpr uint32_t NullCellBits(CellType type) {
  return type == CellType::kFloat32 ? kNullFloat32Bits : std::bit_cast<uint32_t>(kNullInt32);
}

// |v| by clearing the sign bit: no branch, and usable in constant expressions.
constexpr double Magnitude(double v) {
  return std::bit_cast<double>(std::bit_cast<uint64_t>(v) & ~(uint64_t{1} << 63));
}

// Without branches: a cell read that waits on memory must not stall behind a guess
// about its value.
constexpr bool IsNullLikeFloat(double v) {
  return static_cast<bool>(static_cast<int>(v != v) | static_cast<int>(Magnitude(v) > kNullMagnitude) |
                           static_cast<int>(Magnitude(v - static_cast<double>(kNullFloat32)) < kNullTolerance));
}

constexpr bool IsNullLikeInt(double v) { return TruncateToInt32(v) == kNullInt32; }

constexpr bool IsNullLike(CellType type, double v) {
  return type == CellType::kFloat32 ? IsNullLikeFloat(v) : IsNullLikeInt(v);
}

// The largest float that is not null-like. For a finite float f, f is null-like
// exactly when |f| exceeds it (the null value itself lies far beyond 1e18), which
// lets stored floats be tested without widening them.
constexpr float MaxNonNullFloat() {
  float f = static_cast<float>(kNullMagnitude);
  if (static_cast<double>(f) > kNullMagnitude) f = std::bit_cast<float>(std::bit_cast<uint32_t>(f) - 1);
  return f;
}

// IsNullLikeFloat of a stored float, on its bits: with the sign cleared, the bits of NaN,
// the infinities and every float beyond MaxNonNullFloat() order above its bits. No
// widening and no branch, for the per-cell reads and tile statistics.
constexpr bool IsNullFloatBits(uint32_t bits) {
  return (bits & 0x7FFFFFFFu) > std::bit_cast<uint32_t>(MaxNonNullFloat());
}

// The test applied to a stored cell.
constexpr bool IsNullCellBits(CellType type, uint32_t bits) {
  return type == CellType::kFloat32 ? IsNullFloatBits(bits) : bits == NullCellBits(CellType::kInt32);
}

}  // namespace dembase

#endif  // DEMBASE_CELLS_NULL_TEST_H_
