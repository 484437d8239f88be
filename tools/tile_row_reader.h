// Reads a level that is not open, one tile row at a time, with the library's tile-data
// reads (no tile cache involved).
#ifndef DEMBASE_TOOLS_TILE_ROW_READER_H_
#define DEMBASE_TOOLS_TILE_ROW_READER_H_

#include <cstdint>

#include "tools/session.h"
#include "tools/status.h"
#include "tools/tile_strip.h"

namespace dembase::tool {

class TileRowReader {
 public:
  // REQUIRES: no level of the layer is open.
  TileRowReader(const Layer& layer, int16_t level, const PyramidLayerInfo& info)
      : layer_(layer), level_(level), info_(info) {}

  // Fills strip with tile row tr of the level.
  [[nodiscard]] Status Read(int32_t tr, TileStrip* strip) const;

  const PyramidLayerInfo& info() const { return info_; }

 private:
  const Layer& layer_;
  int16_t level_;
  PyramidLayerInfo info_;
};

}  // namespace dembase::tool

#endif  // DEMBASE_TOOLS_TILE_ROW_READER_H_
