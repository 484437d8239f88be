#include "tools/export_level.h"

#include <gdal_priv.h>
#include <ogr_spatialref.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "tools/gdal_support.h"
#include "tools/geo_mapping.h"
#include "tools/progress.h"
#include "tools/tile_row_reader.h"

namespace dembase::tool {
namespace {

Status WriteLevel(const Layer& layer, const TileRowReader& reader, GDALDataset& ds, const std::string& dst,
                  bool quiet) {
  GDALRasterBand* band = ds.GetRasterBand(1);
  const double null = layer.NullValue();
  const PyramidLayerInfo& info = reader.info();
  TileStrip strip;
  Progress progress("export", info.tilesDown, quiet);
  for (int32_t tr = 0; tr < info.tilesDown; ++tr) {
    if (Status s = reader.Read(tr, &strip); !s.ok()) return s;
    // The strip's last row is the next strip's first: each row goes out once.
    const int32_t rows = tr + 1 < info.tilesDown ? kTileStep : strip.rows;
    for (double& v : strip.cells) {
      if (IsNullCell(v)) v = null;
    }
    if (band->RasterIO(GF_Write, 0, strip.firstRow, info.cols, rows, strip.cells.data(), info.cols, rows, GDT_Float64,
                       0, 0, nullptr) != CE_None) {
      return Error(dst, GdalError("cannot write"));
    }
    progress.Advance();
  }
  return {};
}

}  // namespace

Status ExportLevel(Layer& layer, int16_t level, const std::string& dst, const std::string& crsWkt, bool quiet) {
  StatusOr<DataLayerParam> param = layer.Param();
  if (!param.ok()) return param.status();
  if (Status s = layer.CheckLevel(level); !s.ok()) return s;
  StatusOr<TileRowReader> reader = TileRowReader::Checked(layer, level);
  if (!reader.ok()) return reader.status();
  const PyramidLayerInfo* info = &reader->info();

  GDALDriver* gtiff = GetGDALDriverManager()->GetDriverByName("GTiff");
  if (gtiff == nullptr) return Error(dst, "GDAL has no GeoTIFF driver");
  const std::string part = dst + ".part";
  const char* const options[] = {"TILED=YES", "BLOCKXSIZE=256", "BLOCKYSIZE=256", "COMPRESS=DEFLATE",
                                 "BIGTIFF=IF_SAFER", nullptr};
  CPLErrorReset();
  GDALDatasetUniquePtr ds(gtiff->Create(part.c_str(), info->cols, info->rows, 1,
                                        layer.floatCells() ? GDT_Float32 : GDT_Int32, const_cast<char**>(options)));
  if (!ds) return Error(dst, GdalError("cannot create"));

  std::array<double, 6> gt = LevelTransform(*param, *info).ToGdal();
  Status status;
  if (ds->SetGeoTransform(gt.data()) != CE_None || ds->GetRasterBand(1)->SetNoDataValue(layer.NullValue()) != CE_None) {
    status = Error(dst, GdalError("cannot write the geotransform or nodata"));
  }
  if (status.ok() && !crsWkt.empty()) {
    OGRSpatialReference srs;
    if (srs.importFromWkt(crsWkt.c_str()) != OGRERR_NONE || ds->SetSpatialRef(&srs) != CE_None) {
      status = Error(dst, GdalError("cannot write the reference system"));
    }
  }
  if (status.ok()) status = WriteLevel(layer, *reader, *ds, dst, quiet);
  // Closing writes the blocks still in GDAL's cache; a failure there is the last error.
  CPLErrorReset();
  ds.reset();
  if (status.ok() && CPLGetLastErrorType() >= CE_Failure) status = Error(dst, GdalError("cannot write"));
  if (status.ok() && std::rename(part.c_str(), dst.c_str()) != 0) status = Error(dst, "cannot replace it");
  if (!status.ok()) std::remove(part.c_str());
  return status;
}

}  // namespace dembase::tool
