// The store rule: what a written double leaves in one 4-byte cell, given what the
// cell held and the layer's blend settings. Both layer kinds use it for every cell
// write (single cells, tile sequences, shared-edge copies).
//
//   blend on:  stored null-like -> v; otherwise oldWeight * stored + newWeight * v,
//              computed in double, then rounded to float / truncated toward zero.
//   blend off: v; on a float layer a null-like v becomes exactly the null value.
//   both:      a null-like v is never blended with a stored value: the cell receives
//              the exact null value. (With the default weights 0 and 1 this is what
//              blending gives anyway; with other weights a blend of the null value and
//              a height would produce a plausible but meaningless height.)
//
// Integer cells take v through TruncateToInt32, float cells through RoundToFloat, so
// the rule is defined for every input, NaN and infinities included.
#ifndef DEMBASE_CELLS_STORE_RULE_H_
#define DEMBASE_CELLS_STORE_RULE_H_

#include <cstdint>

#include "cells/cell_value.h"
#include "dembase/dembase.h"

namespace dembase {

// A layer's LayerOperParam without compressTiles. Defaults: blend with weights 0 and 1,
// which stores every value as written.
struct BlendSettings {
  bool blendValues = true;
  float oldWeight = 0.0f;
  float newWeight = 1.0f;
};

// Where the float null test of an unblended write looks: at v rounded to float (cell
// writes) or at v itself (writes inside a tile sequence). The two differ only for
// values within rounding distance of the 1e18 bound.
enum class NullTestAt : uint8_t { kRounded, kUnrounded };

[[nodiscard]] float StoreFloatCell(const BlendSettings& blend, float stored, double v,
                                   NullTestAt at = NullTestAt::kRounded);
[[nodiscard]] int32_t StoreIntCell(const BlendSettings& blend, int32_t stored, double v);

// The bit pattern the cell holds after the write.
[[nodiscard]] uint32_t ApplyStoreRule(CellType type, const BlendSettings& blend, uint32_t storedBits, double v,
                                      NullTestAt at = NullTestAt::kRounded);

// Applies the rule to the cell at p in place.
// REQUIRES: p points at the 4 bytes of one cell of a tile block.
inline void StoreIntoCell(CellType type, const BlendSettings& blend, uint8_t* p, double v,
                          NullTestAt at = NullTestAt::kRounded) {
  StoreCellBits(p, ApplyStoreRule(type, blend, LoadCellBits(p), v, at));
}

}  // namespace dembase

#endif  // DEMBASE_CELLS_STORE_RULE_H_
