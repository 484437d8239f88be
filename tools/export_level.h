// Writes one level of a layer to a GeoTIFF: tiled 256 x 256, DEFLATE-compressed, Int32
// or Float32 as the layer, with the level's geotransform (geo_mapping.h), the layer's
// null value as nodata and the layer's reference system when it has one. The file
// appears complete or not at all: it is written beside dst and renamed over it.
#ifndef DEMBASE_TOOLS_EXPORT_LEVEL_H_
#define DEMBASE_TOOLS_EXPORT_LEVEL_H_

#include <cstdint>
#include <string>

#include "tools/session.h"
#include "tools/status.h"

namespace dembase::tool {

// REQUIRES: no level of the layer is open.
[[nodiscard]] Status ExportLevel(Layer& layer, int16_t level, const std::string& dst, const std::string& crsWkt,
                                 bool quiet);

}  // namespace dembase::tool

#endif  // DEMBASE_TOOLS_EXPORT_LEVEL_H_
