// How a double becomes a 4-byte cell and how a cell is read back, for both cell
// types. Used by both layer kinds; pure functions, callable from any thread.
//
// Every conversion is defined for every input (NaN, infinities, values beyond the
// cell type's range): a value handed in by a caller can never reach undefined
// behaviour here.
//
// Cells are 4 bytes, little-endian, in a tile block laid out as it is stored on disk.
#ifndef DEMBASE_CELLS_CELL_VALUE_H_
#define DEMBASE_CELLS_CELL_VALUE_H_

#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>

#include "dembase/dembase.h"

namespace dembase {

enum class CellType : uint8_t { kInt32, kFloat32 };

// Data type 7 holds floats; every other data type is read as 32-bit integers.
constexpr CellType CellTypeOf(uint16_t dataType) {
  return dataType == DEMBASE_TYPE_FLOAT32 ? CellType::kFloat32 : CellType::kInt32;
}

inline constexpr int32_t kNullInt32 = DEMBASE_NULL_INT32;
inline constexpr uint32_t kNullFloat32Bits = DEMBASE_NULL_FLOAT32_BITS;
inline constexpr float kNullFloat32 = std::bit_cast<float>(kNullFloat32Bits);

// Truncation toward zero that saturates instead of overflowing. NaN has no integer
// value and becomes the null value; values beyond the int32 range clamp to INT32_MIN
// or INT32_MAX. Neither bound is the null value, so clamping never makes a value null.
constexpr int32_t TruncateToInt32(double v) {
  if (v != v) return kNullInt32;
  if (v >= 2147483648.0) return std::numeric_limits<int32_t>::max();
  if (v <= -2147483649.0) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}

// FLT_MAX plus half its ulp: a double of this magnitude or more rounds to infinity.
inline constexpr double kFloatOverflowBound = 0x1.ffffffp127;

// Round-to-nearest conversion, with the out-of-range cases (undefined for a plain
// cast) spelled out as IEEE 754 defines them.
constexpr float RoundToFloat(double v) {
  if (v < kFloatOverflowBound && v > -kFloatOverflowBound) return static_cast<float>(v);
  if (v != v) return std::numeric_limits<float>::quiet_NaN();
  return v > 0 ? std::numeric_limits<float>::infinity() : -std::numeric_limits<float>::infinity();
}

// REQUIRES: p points at 4 readable (writable) bytes.
inline uint32_t LoadCellBits(const uint8_t* p) {
  if constexpr (std::endian::native == std::endian::little) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
  } else {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
  }
}

inline void StoreCellBits(uint8_t* p, uint32_t bits) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(p, &bits, sizeof bits);
  } else {
    p[0] = static_cast<uint8_t>(bits);
    p[1] = static_cast<uint8_t>(bits >> 8);
    p[2] = static_cast<uint8_t>(bits >> 16);
    p[3] = static_cast<uint8_t>(bits >> 24);
  }
}

// The cell's value widened to double (exact for both types).
constexpr double CellBitsToDouble(CellType type, uint32_t bits) {
  return type == CellType::kFloat32 ? static_cast<double>(std::bit_cast<float>(bits))
                                    : static_cast<double>(std::bit_cast<int32_t>(bits));
}

inline double LoadCellValue(CellType type, const uint8_t* p) { return CellBitsToDouble(type, LoadCellBits(p)); }

}  // namespace dembase

#endif  // DEMBASE_CELLS_CELL_VALUE_H_
