// A dembase layer as a GDAL dataset: one band, levels 2..N as its overviews. One library
// handle per dataset, so datasets on different threads share nothing. A dataset made by
// Create holds no layer until its geotransform is known (or a block is written, or it is
// closed): the layer's extent is fixed when the layer is made.
#ifndef DEMBASE_GDAL_DEMBASE_DATASET_H_
#define DEMBASE_GDAL_DEMBASE_DATASET_H_

#include <gdal_pam.h>
#include <ogr_spatialref.h>

#include <memory>
#include <string>

#include "tools/geo_mapping.h"
#include "tools/layer_name.h"
#include "tools/session.h"

namespace dembase::gdal {

class DembaseBand;

class DembaseDataset final : public GDALPamDataset {
 public:
  static int Identify(GDALOpenInfo* info);
  static GDALDataset* Open(GDALOpenInfo* info);
  static GDALDataset* Create(const char* name, int cols, int rows, int bands, GDALDataType type, char** options);
  static GDALDataset* CreateCopy(const char* name, GDALDataset* src, int strict, char** options,
                                 GDALProgressFunc progress, void* progressData);
  static CPLErr Delete(const char* name);
  static CPLErr Rename(const char* newName, const char* oldName);

  ~DembaseDataset() override;

  CPLErr GetGeoTransform(double* gt) override;
  CPLErr SetGeoTransform(double* gt) override;
  const OGRSpatialReference* GetSpatialRef() const override;
  CPLErr SetSpatialRef(const OGRSpatialReference* srs) override;
  // Levels 2..N with the tool's averaging: factors 2, 4, 8 ... (none: level 1 alone).
  CPLErr IBuildOverviews(const char* resampling, int count, const int* factors, int bandCount, const int* bands,
                         GDALProgressFunc progress, void* progressData, CSLConstList options) override;

  // The open layer; makes a created one first. Null after a CPLError.
  tool::Layer* EnsureLayer();
  bool floatCells() const { return type_ == GDT_Float32; }

 private:
  DembaseDataset() = default;
  // Closes the layer and the handle, reporting what could not be written.
  bool CloseLayer();
  bool AddBands();
  // The levels above level 1 as the band's overviews.
  bool AddOverviews(DembaseBand& band);

  tool::LayerRef ref_;
  tool::OpenedLayer opened_;
  GDALDataType type_ = GDT_Float32;
  bool pending_ = false;  // made by Create, layer not made yet
  tool::GeoTransform transform_{0, 1, 0, 1};
  OGRSpatialReference srs_;
  std::string wkt_;
};

}  // namespace dembase::gdal

#endif  // DEMBASE_GDAL_DEMBASE_DATASET_H_
