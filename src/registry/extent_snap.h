// How a new layer's extent becomes a whole number of cells.
#ifndef DEMBASE_REGISTRY_EXTENT_SNAP_H_
#define DEMBASE_REGISTRY_EXTENT_SNAP_H_

#include <cstdint>
#include <optional>

namespace dembase {

// The whole number of cells of size cellSize in extent. roundUp completes a partial cell
// (except that a quotient below 1 counts as 0); a quotient that falls short of a whole
// number by less than 1e-6 counts as that number. nullopt when the quotient is not a
// finite number of cells that fits an int32 (zero or negative cell size, NaN, overflow).
std::optional<int32_t> TileExtentCount(double extent, double cellSize, bool roundUp);

}  // namespace dembase

#endif  // DEMBASE_REGISTRY_EXTENT_SNAP_H_
