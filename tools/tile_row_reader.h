// Reads a level that is not open, one tile row at a time, with the library's tile-data
// reads (no tile cache involved).
#ifndef DEMBASE_TOOLS_TILE_ROW_READER_H_
#define DEMBASE_TOOLS_TILE_ROW_READER_H_

#include <cstdint>
#include <vector>

#include "tools/session.h"
#include "tools/status.h"
#include "tools/tile_strip.h"

namespace dembase::tool {

class TileRowReader {
 public:
  // REQUIRES: no level of the layer is open.
  TileRowReader(const Layer& layer, int16_t level, const PyramidLayerInfo& info)
      : layer_(layer), level_(level), info_(info) {}

  // A reader that also refuses a tile read as all null while its record claims values
  // (its bytes are lost): it notes which tiles claim values, opening the level for that.
  // REQUIRES: no level of the layer is open.
  [[nodiscard]] static StatusOr<TileRowReader> Checked(Layer& layer, int16_t level);

  // Fills strip with tile row tr of the level.
  [[nodiscard]] Status Read(int32_t tr, TileStrip* strip) const;
  // Begins and ends the read of every tile, without copying cells: whether Read would
  // succeed everywhere.
  [[nodiscard]] Status CheckAll() const;

  const PyramidLayerInfo& info() const { return info_; }

 private:
  // Begins reading tile tr,tc: 1, or 2 (only nulls, the read already ended), or an error.
  [[nodiscard]] StatusOr<int16_t> Begin(int32_t tr, int32_t tc) const;
  Status Unreadable(int32_t tr, int32_t tc, const std::string& why) const;
  bool ClaimsValues(int32_t tr, int32_t tc) const;

  const Layer& layer_;
  int16_t level_;
  PyramidLayerInfo info_;
  std::vector<bool> claimsValues_;  // per tile, row-major; empty when not known
};

}  // namespace dembase::tool

#endif  // DEMBASE_TOOLS_TILE_ROW_READER_H_
