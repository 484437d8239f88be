#include "tools/gdal_source.h"

#include <gdal_priv.h>
#include <ogr_spatialref.h>

#include <cmath>

#include "dembase/dembase.h"
#include "tools/gdal_support.h"
#include "tools/tile_strip.h"

namespace dembase::tool {
namespace {

class GdalBandSource final : public RasterSource {
 public:
  // ds may be null: the caller keeps the dataset open while the source lives.
  GdalBandSource(GDALDatasetUniquePtr ds, GDALRasterBand* band, std::string path)
      : ds_(std::move(ds)), band_(band), path_(std::move(path)) {
    nodata_ = ReadNoData();
  }
  int32_t rows() const override { return band_->GetYSize(); }
  int32_t cols() const override { return band_->GetXSize(); }

  Status ReadRows(int32_t row0, int32_t n, double* out) override {
    CPLErrorReset();
    if (band_->RasterIO(GF_Read, 0, row0, cols(), n, out, cols(), n, GDT_Float64, 0, 0, nullptr) != CE_None) {
      return Error(path_, GdalError("cannot read rows " + std::to_string(row0) + ".." + std::to_string(row0 + n - 1)));
    }
    const size_t count = static_cast<size_t>(n) * static_cast<size_t>(cols());
    for (size_t i = 0; i < count; ++i) {
      const double v = out[i];
      // Values the layer cannot hold stay as they are: the import counts and drops them.
      if (nodata_.has_value() && (v == *nodata_ || (std::isnan(*nodata_) && std::isnan(v)))) out[i] = kNullCell;
    }
    return {};
  }

 private:
  std::optional<double> ReadNoData() const {
    int has = 0;
    double value = 0;
    // 64-bit integer bands keep their nodata apart, since a double cannot hold every one.
    switch (band_->GetRasterDataType()) {
      case GDT_Int64: value = static_cast<double>(band_->GetNoDataValueAsInt64(&has)); break;
      case GDT_UInt64: value = static_cast<double>(band_->GetNoDataValueAsUInt64(&has)); break;
      default: value = band_->GetNoDataValue(&has); break;
    }
    if (!has) return std::nullopt;
    return value;
  }

  GDALDatasetUniquePtr ds_;
  GDALRasterBand* band_;
  std::string path_;
  std::optional<double> nodata_;
};

// The layer type for a band type; 0 when a layer cannot hold it. *lossy: only with loss.
uint16_t LayerTypeFor(GDALDataType t, bool* lossy) {
  *lossy = false;
  if (GDALDataTypeIsComplex(t) || t == GDT_Unknown) return 0;
  const int bits = GDALGetDataTypeSizeBits(t);
  if (GDALDataTypeIsFloating(t)) {
    *lossy = bits > 32;
    return DEMBASE_TYPE_FLOAT32;
  }
  *lossy = bits > 32 || (bits == 32 && !GDALDataTypeIsSigned(t));
  return DEMBASE_TYPE_INT32;
}

}  // namespace

namespace {

StatusOr<GdalRaster> Describe(GDALDatasetUniquePtr owned, GDALDataset* ds, const std::string& path, int band,
                              bool allowLossy) {
  const int bands = ds->GetRasterCount();
  if (bands == 0) return Error(path, "has no raster band");
  if (band == 0 && bands > 1) return Error(path, "has " + std::to_string(bands) + " bands; choose one with --band");
  if (band < 0 || band > bands) return Error(path, "has no band " + std::to_string(band));
  GDALRasterBand* b = ds->GetRasterBand(band == 0 ? 1 : band);
  const GDALDataType t = b->GetRasterDataType();
  bool lossy = false;
  const uint16_t type = LayerTypeFor(t, &lossy);
  const std::string typeName = GDALGetDataTypeName(t);
  if (type == 0) return Error(path, "band type " + typeName + " cannot be stored in a layer");
  if (lossy && !allowLossy) {
    return Error(path, "band type " + typeName + " would lose data in " +
                           (type == DEMBASE_TYPE_FLOAT32 ? "a float32" : "an int32") +
                           " layer (--allow-lossy to accept)");
  }
  std::array<double, 6> gt{};
  if (ds->GetGeoTransform(gt.data()) != CE_None) return Error(path, "has no geotransform");
  for (double v : gt) {
    if (!std::isfinite(v)) return Error(path, "its geotransform holds a number that is not finite");
  }
  const std::optional<GeoTransform> transform = GeoTransform::FromGdal(gt);
  if (!transform) return Error(path, "rotated or south-up geotransform (only north-up rasters are supported)");

  GdalRaster raster;
  raster.dataType = type;
  raster.transform = *transform;
  if (const OGRSpatialReference* srs = ds->GetSpatialRef(); srs != nullptr) {
    char* wkt = nullptr;
    const char* const options[] = {"FORMAT=WKT2_2019", "MULTILINE=YES", nullptr};
    if (srs->exportToWkt(&wkt, options) == OGRERR_NONE && wkt != nullptr) raster.crsWkt = wkt;
    CPLFree(wkt);
    if (raster.crsWkt.empty()) return Error(path, GdalError("cannot express its reference system as WKT"));
  }
  raster.source = std::make_unique<GdalBandSource>(std::move(owned), b, path);
  return raster;
}

}  // namespace

StatusOr<GdalRaster> OpenGdalRaster(const std::string& path, int band, bool allowLossy) {
  CPLErrorReset();
  GDALDatasetUniquePtr ds(GDALDataset::Open(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY));
  if (!ds) return Error(path, GdalError("not a raster GDAL can read"));
  GDALDataset* raw = ds.get();
  return Describe(std::move(ds), raw, path, band, allowLossy);
}

StatusOr<GdalRaster> DescribeGdalRaster(GDALDataset& ds, const std::string& name, int band, bool allowLossy) {
  return Describe(nullptr, &ds, name, band, allowLossy);
}

}  // namespace dembase::tool
