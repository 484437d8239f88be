// What a layer holds, gathered through the library (tiles from each level's records)
// and, for the local store, the bytes of its files. Used by `info` and the demo.
#ifndef DEMBASE_TOOLS_LAYER_FACTS_H_
#define DEMBASE_TOOLS_LAYER_FACTS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "dembase/dembase.h"
#include "tools/layer_name.h"
#include "tools/status.h"

namespace dembase::tool {

struct LevelFacts {
  int16_t level = 0;
  PyramidLayerInfo info{};
  int64_t tilesStored = 0;
  int64_t tilesEmpty = 0;
  uint64_t bytes = 0;  // files of the level's directory
};

struct LayerFacts {
  DataLayerParam param{};
  double null = 0;
  std::string crsWkt;  // "" when unknown
  std::vector<LevelFacts> levels;
  uint64_t bytes = 0;  // every file of the layer; 0 for a database layer

  // minValue > maxValue: the layer holds no cell yet.
  bool hasValues() const { return param.minValue <= param.maxValue; }
};

// Opens the layer (it must not be open elsewhere), reads it and closes it.
[[nodiscard]] StatusOr<LayerFacts> GatherLayerFacts(const LayerRef& ref);

}  // namespace dembase::tool

#endif  // DEMBASE_TOOLS_LAYER_FACTS_H_
