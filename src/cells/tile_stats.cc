#include "cells/tile_stats.h"

#include <algorithm>
#include <bit>
#include <limits>

#include "cells/null_test.h"

namespace dembase {
namespace {

constexpr int32_t kInt32Max = std::numeric_limits<int32_t>::max();
constexpr int32_t kInt32Min = std::numeric_limits<int32_t>::min();

// The loops below keep to masks, integer min/max and sums: that is the form the
// compiler vectorizes (conditional selects inside a min reduction defeat it).

// Maps a float's bits to an int32 that orders like the float (for non-NaN values).
// The map is its own inverse.
constexpr int32_t OrderedKey(int32_t bits) { return bits ^ ((bits >> 31) & kInt32Max); }

struct Reduction {
  int32_t lo = kInt32Max;
  int32_t hi = kInt32Min;
  int32_t counted = 0;
};

// keep(v) says whether a cell counts; key(v) is what is compared.
template <typename Keep, typename Key>
Reduction Reduce(TileBlock block, Keep keep, Key key) {
  Reduction red;
  for (int32_t i = 0; i < kTileCells; ++i) {
    const int32_t v = static_cast<int32_t>(LoadCellBits(block.data() + static_cast<size_t>(i) * kCellBytes));
    const int32_t mask = -static_cast<int32_t>(keep(v));
    const int32_t k = key(v);
    red.lo = std::min(red.lo, (k & mask) | (kInt32Max & ~mask));
    red.hi = std::max(red.hi, (k & mask) | (kInt32Min & ~mask));
    red.counted -= mask;
  }
  return red;
}

TileStats FloatStats(TileBlock block) {
  const Reduction red = Reduce(
      block, [](int32_t v) { return !IsNullFloatBits(static_cast<uint32_t>(v)); }, OrderedKey);
  if (red.counted == 0) return TileStats{true, kNullFloat32, kNullFloat32};
  return TileStats{false, std::bit_cast<float>(OrderedKey(red.lo)), std::bit_cast<float>(OrderedKey(red.hi))};
}

TileStats IntStats(TileBlock block) {
  const Reduction red = Reduce(
      block, [](int32_t v) { return v != kNullInt32; }, [](int32_t v) { return v; });
  constexpr float kNull = static_cast<float>(kNullInt32);
  if (red.counted == 0) return TileStats{true, kNull, kNull};
  return TileStats{false, static_cast<float>(red.lo), static_cast<float>(red.hi)};
}

}  // namespace

TileStats ComputeTileStats(CellType type, TileBlock block) {
  return type == CellType::kFloat32 ? FloatStats(block) : IntStats(block);
}

void FillWithNull(CellType type, MutableTileBlock block) {
  const uint32_t bits = NullCellBits(type);
  for (int32_t i = 0; i < kTileCells; ++i) StoreCellBits(block.data() + static_cast<size_t>(i) * kCellBytes, bits);
}

}  // namespace dembase
