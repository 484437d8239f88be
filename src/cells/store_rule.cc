#include "cells/store_rule.h"

#include <bit>

#include "cells/null_test.h"

namespace dembase {

float StoreFloatCell(const BlendSettings& blend, float stored, double v, NullTestAt at) {
  if (blend.blendValues) {
    if (IsNullLikeFloat(v)) return kNullFloat32;
    if (IsNullLikeFloat(stored)) return RoundToFloat(v);
    return RoundToFloat(static_cast<double>(blend.newWeight) * v +
                        static_cast<double>(blend.oldWeight) * static_cast<double>(stored));
  }
  if (at == NullTestAt::kUnrounded) return IsNullLikeFloat(v) ? kNullFloat32 : RoundToFloat(v);
  const float f = RoundToFloat(v);
  return IsNullLikeFloat(f) ? kNullFloat32 : f;
}

int32_t StoreIntCell(const BlendSettings& blend, int32_t stored, double v) {
  if (blend.blendValues && stored != kNullInt32 && !IsNullLikeInt(v)) {
    return TruncateToInt32(static_cast<double>(blend.oldWeight) * static_cast<double>(stored) +
                           static_cast<double>(blend.newWeight) * v);
  }
  return TruncateToInt32(v);
}

uint32_t ApplyStoreRule(CellType type, const BlendSettings& blend, uint32_t storedBits, double v, NullTestAt at) {
  if (type == CellType::kFloat32) {
    return std::bit_cast<uint32_t>(StoreFloatCell(blend, std::bit_cast<float>(storedBits), v, at));
  }
  return std::bit_cast<uint32_t>(StoreIntCell(blend, std::bit_cast<int32_t>(storedBits), v));
}

}  // namespace dembase
