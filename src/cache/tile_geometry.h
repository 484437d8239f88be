// Tile dimensions of a data type and the shift counts derived from them.
#ifndef DEMBASE_CACHE_TILE_GEOMETRY_H_
#define DEMBASE_CACHE_TILE_GEOMETRY_H_

#include <cstdint>

namespace dembase {

// Data types 6 (int32 cells) and 7 (float cells) have 256 x 256 tiles; for any other
// type the outputs are left as they were. Null outputs are skipped.
void GetTileSize(int16_t dataType, uint16_t* rows, uint16_t* cols);

// floor(log2(v)) for v >= 1 (0 for 1, 7 for 255, 8 for 256); 0 for v < 1.
[[nodiscard]] int32_t IntLog2(int16_t v);

}  // namespace dembase

#endif  // DEMBASE_CACHE_TILE_GEOMETRY_H_
