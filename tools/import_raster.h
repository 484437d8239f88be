// Makes a new layer from a raster: creates it with the raster's geometry (see
// geo_mapping.h), writes level 1 whole, tile row by tile row, and keeps the reference
// system beside a local layer's header (a database layer has no place for it). A local
// layer's directory is made when missing; a failed import leaves nothing behind.
#ifndef DEMBASE_TOOLS_IMPORT_RASTER_H_
#define DEMBASE_TOOLS_IMPORT_RASTER_H_

#include <cstdint>
#include <string>

#include "tools/geo_mapping.h"
#include "tools/layer_name.h"
#include "tools/raster_source.h"
#include "tools/session.h"
#include "tools/status.h"

namespace dembase::tool {

struct ImportPlan {
  uint16_t dataType = DEMBASE_TYPE_FLOAT32;
  GeoTransform transform;
  std::string crsWkt;  // "" for none
};

struct ImportResult {
  PyramidLayerInfo level{};
  int64_t tilesStored = 0;
  int64_t tilesEmpty = 0;
  int64_t cellsDropped = 0;  // source values no cell of the layer holds, stored as null
  bool crsDropped = false;   // the source's reference system, which a database layer cannot keep
};

[[nodiscard]] StatusOr<ImportResult> ImportRaster(Session& session, const LayerRef& ref, RasterSource& source,
                                                  const ImportPlan& plan, bool quiet);

}  // namespace dembase::tool

#endif  // DEMBASE_TOOLS_IMPORT_RASTER_H_
