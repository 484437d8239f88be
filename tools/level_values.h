// The distinct values of an int32 level and how many cells hold each, counted in one pass
// over the level's tiles (tile-data reads, no tile cache). Cells that tiles share are
// counted once; null cells not at all.
#ifndef DEMBASE_TOOLS_LEVEL_VALUES_H_
#define DEMBASE_TOOLS_LEVEL_VALUES_H_

#include <cstdint>
#include <vector>

#include "tools/session.h"
#include "tools/status.h"
#include "vat/demvat.h"

namespace dembase::tool {

// The items in ascending order of value, classes 0. Refused when the level holds more than
// DEMVAT_MAX_ITEMS distinct values. REQUIRES: no level of the layer is open.
[[nodiscard]] StatusOr<std::vector<DemVatItem>> CountLevelValues(Layer& layer, int16_t level, bool quiet);

}  // namespace dembase::tool

#endif  // DEMBASE_TOOLS_LEVEL_VALUES_H_
