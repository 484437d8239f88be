#include "cache/tile_geometry.h"

namespace dembase {

void GetTileSize(int16_t dataType, uint16_t* rows, uint16_t* cols) {
  if (dataType != 6 && dataType != 7) return;
  if (rows != nullptr) *rows = 256;
  if (cols != nullptr) *cols = 256;
}

int32_t IntLog2(int16_t v) {
  // Below 1 the halving would never reach 0 (the shift keeps the sign), so stop early.
  int32_t n = 0;
  for (int32_t x = v; x > 1; x >>= 1) ++n;
  return n;
}

}  // namespace dembase
