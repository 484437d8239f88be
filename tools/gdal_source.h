// A band of a raster file that GDAL reads, checked for what a layer can hold, as the
// rows the tool imports.
//
// Integer bands become integer layers (type 6) and floating bands float layers (type 7).
// Types that a layer cannot hold exactly are refused unless the caller allows loss:
// 32-bit unsigned and 64-bit integers (values beyond the int32 range become null) and
// 64-bit floats (rounded to float). Complex bands are always refused, and so are
// rasters without a north-up geotransform. The band's nodata cells and NaN become null;
// a value that equals the layer's null value reads as null as well.
#ifndef DEMBASE_TOOLS_GDAL_SOURCE_H_
#define DEMBASE_TOOLS_GDAL_SOURCE_H_

#include <cstdint>
#include <memory>
#include <string>

#include "tools/geo_mapping.h"
#include "tools/raster_source.h"
#include "tools/status.h"

class GDALDataset;

namespace dembase::tool {

struct GdalRaster {
  std::unique_ptr<RasterSource> source;
  uint16_t dataType = 0;  // the layer's cell type
  GeoTransform transform;
  std::string crsWkt;  // empty when the file has no reference system
};

// band 0 means the only band; a file with several bands then is refused.
[[nodiscard]] StatusOr<GdalRaster> OpenGdalRaster(const std::string& path, int band, bool allowLossy);
// The same for a dataset the caller has open and keeps open while the source lives.
[[nodiscard]] StatusOr<GdalRaster> DescribeGdalRaster(GDALDataset& ds, const std::string& name, int band,
                                                      bool allowLossy);

}  // namespace dembase::tool

#endif  // DEMBASE_TOOLS_GDAL_SOURCE_H_
