// One tile's 256 x 256 cells as a caller of the whole-level write prepares them, and the
// cell rules a test needs to predict what the library stores: the null test and the
// merge of a written cell with a stored one. Written out here rather than taken from
// the library, so a fault in the library's own rules shows up as a mismatch.
#ifndef DEMBASE_TESTS_SUPPORT_CELL_BLOCK_H_
#define DEMBASE_TESTS_SUPPORT_CELL_BLOCK_H_

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "dembase/dembase.h"

namespace dembase::testing {

inline constexpr int32_t kEdge = 256;
inline constexpr int32_t kStep = 255;  // tiles overlap by one row and one column
inline constexpr int32_t kBlockBytes = kEdge * kEdge * 4;

inline double NullOf(uint16_t type) {
  return type == DEMBASE_TYPE_FLOAT32 ? static_cast<double>(std::bit_cast<float>(DEMBASE_NULL_FLOAT32_BITS))
                                      : static_cast<double>(DEMBASE_NULL_INT32);
}

inline bool IsNullOf(uint16_t type, double v) {
  if (type == DEMBASE_TYPE_FLOAT32) return std::isnan(v) || std::fabs(v) > 1e18 || std::fabs(v - NullOf(type)) < 1e-6;
  return v == NullOf(type);
}

// v as the layer's cell type stores it: rounded to float, or truncated toward zero.
inline double AsCell(uint16_t type, double v) {
  return type == DEMBASE_TYPE_FLOAT32 ? static_cast<double>(static_cast<float>(v)) : std::trunc(v);
}

// A stored cell after a merging write of `written` with weights oldW and newW.
inline double MergedCell(uint16_t type, float oldW, float newW, double stored, double written) {
  if (IsNullOf(type, written)) return stored;
  if (IsNullOf(type, stored)) return written;
  return AsCell(type, static_cast<double>(oldW) * stored + static_cast<double>(newW) * written);
}

class CellBlock {
 public:
  explicit CellBlock(uint16_t type) : type_(type), bits_(kEdge * kEdge) { Fill(NullOf(type)); }

  uint16_t type() const { return type_; }
  void Fill(double v) {
    for (int32_t i = 0; i < kEdge * kEdge; ++i) bits_[static_cast<size_t>(i)] = Bits(v);
  }
  void Set(int32_t r, int32_t c, double v) { bits_[Index(r, c)] = Bits(v); }
  double Get(int32_t r, int32_t c) const {
    const uint32_t b = bits_[Index(r, c)];
    return type_ == DEMBASE_TYPE_FLOAT32 ? static_cast<double>(std::bit_cast<float>(b))
                                         : static_cast<double>(std::bit_cast<int32_t>(b));
  }
  bool IsNull(int32_t r, int32_t c) const { return IsNullOf(type_, Get(r, c)); }
  bool AllNull() const {
    for (int32_t r = 0; r < kEdge; ++r) {
      for (int32_t c = 0; c < kEdge; ++c) {
        if (!IsNull(r, c)) return false;
      }
    }
    return true;
  }
  const void* data() const { return bits_.data(); }
  void* data() { return bits_.data(); }

  // size 262144 and the range of the non-null cells (0, 0 when there are none).
  OneTileInfo Info() const {
    bool any = false;
    float lo = 0, hi = 0;
    for (int32_t r = 0; r < kEdge; ++r) {
      for (int32_t c = 0; c < kEdge; ++c) {
        if (IsNull(r, c)) continue;
        const auto v = static_cast<float>(Get(r, c));
        lo = any ? std::min(lo, v) : v;
        hi = any ? std::max(hi, v) : v;
        any = true;
      }
    }
    return OneTileInfo{kBlockBytes, lo, hi};
  }

  // Every cell merged with `written` as a blending write stores it.
  void MergeFrom(const CellBlock& written, float oldW, float newW) {
    for (int32_t r = 0; r < kEdge; ++r) {
      for (int32_t c = 0; c < kEdge; ++c) Set(r, c, MergedCell(type_, oldW, newW, Get(r, c), written.Get(r, c)));
    }
  }

  friend bool operator==(const CellBlock& a, const CellBlock& b) { return a.type_ == b.type_ && a.bits_ == b.bits_; }

 private:
  static size_t Index(int32_t r, int32_t c) { return static_cast<size_t>(r) * kEdge + static_cast<size_t>(c); }
  uint32_t Bits(double v) const {
    return type_ == DEMBASE_TYPE_FLOAT32 ? std::bit_cast<uint32_t>(static_cast<float>(v))
                                         : std::bit_cast<uint32_t>(static_cast<int32_t>(v));
  }

  uint16_t type_;
  std::vector<uint32_t> bits_;
};

}  // namespace dembase::testing

#endif  // DEMBASE_TESTS_SUPPORT_CELL_BLOCK_H_
