#include "gdal/dembase_dataset.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "gdal/dembase_band.h"
#include "tools/crs_sidecar.h"
#include "tools/file_probe.h"
#include "tools/gdal_source.h"
#include "tools/import_raster.h"
#include "tools/pyramid_builder.h"

namespace dembase::gdal {
namespace {

constexpr std::string_view kPrefix = "DEMBASE:";
// "DEM_INFO", its NUL, then the format version as a little-endian uint32.
constexpr unsigned char kSignature[] = {'D', 'E', 'M', '_', 'I', 'N', 'F', 'O', 0, 0x60, 0x44, 0, 0};

void Fail(CPLErrorNum num, const tool::Status& s) { CPLError(CE_Failure, num, "DEMBASE: %s", s.message().c_str()); }

// A database layer by its prefix; a local layer by the path of its header file, whatever
// that is called.
tool::StatusOr<tool::LayerRef> RefFor(const char* name) {
  const std::string_view text(name);
  if (text.starts_with(kPrefix)) {
    tool::StatusOr<tool::LayerRef> ref = tool::ParseLayerRef(text.substr(kPrefix.size()));
    if (ref.ok() && ref->local()) {
      return tool::Error(std::string(text), "expected DEMBASE:sqlite:PATH#DATASET/NAME");
    }
    return ref;
  }
  tool::StatusOr<tool::LayerRef> ref = tool::ParseLayerRef(text);
  if (ref.ok()) ref->headerPath = std::string(text);
  return ref;
}

std::string WktOf(const OGRSpatialReference& srs) {
  char* wkt = nullptr;
  const char* const options[] = {"FORMAT=WKT2_2019", "MULTILINE=YES", nullptr};
  std::string out;
  if (srs.exportToWkt(&wkt, options) == OGRERR_NONE && wkt != nullptr) out = wkt;
  CPLFree(wkt);
  return out;
}

GDALDataType TypeOf(uint16_t dataType) { return dataType == DEMBASE_TYPE_INT32 ? GDT_Int32 : GDT_Float32; }

}  // namespace

int DembaseDataset::Identify(GDALOpenInfo* info) {
  if (std::string_view(info->pszFilename).starts_with(kPrefix)) return TRUE;
  return info->nHeaderBytes >= static_cast<int>(sizeof(kSignature)) &&
         std::memcmp(info->pabyHeader, kSignature, sizeof(kSignature)) == 0;
}

GDALDataset* DembaseDataset::Open(GDALOpenInfo* info) {
  if (!Identify(info)) return nullptr;
  tool::StatusOr<tool::LayerRef> ref = RefFor(info->pszFilename);
  if (!ref.ok()) {
    Fail(CPLE_OpenFailed, ref.status());
    return nullptr;
  }
  const bool update = info->eAccess == GA_Update;
  // Writing beside another open would lose one side's tiles.
  if (update && ref->local() && tool::HeldOpenElsewhere(ref->headerPath)) {
    CPLError(CE_Failure, CPLE_OpenFailed, "DEMBASE: %s is open elsewhere; it cannot be updated until it closes",
             ref->headerPath.c_str());
    return nullptr;
  }
  std::unique_ptr<DembaseDataset> ds(new DembaseDataset());
  ds->ref_ = *ref;
  ds->eAccess = info->eAccess;
  tool::StatusOr<tool::OpenedLayer> opened = tool::OpenLayerByName(*ref);
  if (!opened.ok()) {
    Fail(CPLE_OpenFailed, opened.status());
    return nullptr;
  }
  ds->opened_ = std::move(*opened);
  if (!ds->AddBands()) return nullptr;
  tool::StatusOr<std::string> wkt = tool::ReadCrs(ds->ref_);
  if (!wkt.ok()) {
    Fail(CPLE_OpenFailed, wkt.status());
    return nullptr;
  }
  ds->wkt_ = *wkt;
  ds->srs_.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
  if (!ds->wkt_.empty() && ds->srs_.importFromWkt(ds->wkt_.c_str()) != OGRERR_NONE) ds->wkt_.clear();
  ds->SetDescription(info->pszFilename);
  if (ref->local()) {
    ds->TryLoadXML();
  } else {
    ds->nPamFlags |= GPF_DISABLED;  // no file beside a database layer to hold it
  }
  return ds.release();
}

bool DembaseDataset::AddBands() {
  tool::Layer& layer = *opened_.layer;
  tool::StatusOr<DataLayerParam> param = layer.Param();
  tool::StatusOr<PyramidLayerInfo> info = param.ok() ? layer.LevelInfo(1) : param.status();
  if (!info.ok()) {
    Fail(CPLE_OpenFailed, info.status());
    return false;
  }
  type_ = TypeOf(param->dataType);
  nRasterXSize = info->cols;
  nRasterYSize = info->rows;
  transform_ = tool::LevelTransform(*param, *info);
  auto band = std::make_unique<DembaseBand>(this, 1, *info, type_);
  if (!AddOverviews(*band)) return false;
  SetBand(1, band.release());
  return true;
}

bool DembaseDataset::AddOverviews(DembaseBand& band) {
  band.ClearOverviews();
  tool::Layer& layer = *opened_.layer;
  tool::StatusOr<std::vector<int16_t>> levels = layer.Levels();
  if (!levels.ok()) {
    Fail(CPLE_OpenFailed, levels.status());
    return false;
  }
  for (int16_t level : *levels) {
    if (level == 1) continue;
    tool::StatusOr<PyramidLayerInfo> info = layer.LevelInfo(level);
    if (!info.ok()) {
      Fail(CPLE_OpenFailed, info.status());
      return false;
    }
    band.AddOverview(std::make_unique<DembaseBand>(this, level, *info, type_));
  }
  return true;
}

CPLErr DembaseDataset::IBuildOverviews(const char* resampling, int count, const int* factors, int /*bandCount*/,
                                       const int* /*bands*/, GDALProgressFunc progress, void* progressData,
                                       CSLConstList /*options*/) {
  if (eAccess != GA_Update) {
    CPLError(CE_Failure, CPLE_NotSupported, "DEMBASE: %s: open the layer for update to build its levels",
             ref_.text.c_str());
    return CE_Failure;
  }
  std::vector<int> wanted(static_cast<size_t>(std::max(count, 0)));
  std::copy(factors, factors + wanted.size(), wanted.begin());
  std::sort(wanted.begin(), wanted.end());
  for (size_t i = 0; i < wanted.size(); ++i) {
    if (wanted[i] != 2 << i || i + 1 >= static_cast<size_t>(tool::kMaxPyramidLevels)) {
      CPLError(CE_Failure, CPLE_NotSupported,
               "DEMBASE: each level has twice the cell size of the one below: factors 2 4 8 ..., not %d", wanted[i]);
      return CE_Failure;
    }
  }
  if (resampling != nullptr && !EQUAL(resampling, "AVERAGE") && count > 0) {
    CPLError(CE_Warning, CPLE_AppDefined, "DEMBASE: levels are always averages of 2 x 2 cells, not %s", resampling);
  }
  FlushCache(false);
  tool::Layer* layer = EnsureLayer();
  if (layer == nullptr) return CE_Failure;
  tool::Status s = layer->openLevel() != 0 ? layer->CloseLevel() : tool::Status();
  if (s.ok()) s = tool::BuildPyramid(*layer, static_cast<int16_t>(wanted.size() + 1), true);
  auto* band = static_cast<DembaseBand*>(GetRasterBand(1));
  // The overviews follow what the layer holds now, whether the build completed or not.
  const bool listed = AddOverviews(*band);
  if (!s.ok()) {
    Fail(CPLE_FileIO, s);
    return CE_Failure;
  }
  if (progress != nullptr) (void)progress(1.0, nullptr, progressData);
  return listed ? CE_None : CE_Failure;
}

GDALDataset* DembaseDataset::Create(const char* name, int cols, int rows, int bands, GDALDataType type,
                                    char** /*options*/) {
  if (bands != 1) {
    CPLError(CE_Failure, CPLE_NotSupported, "DEMBASE: a layer holds one band, not %d", bands);
    return nullptr;
  }
  if (type != GDT_Int32 && type != GDT_Float32) {
    CPLError(CE_Failure, CPLE_NotSupported, "DEMBASE: a layer holds Int32 or Float32 cells, not %s",
             GDALGetDataTypeName(type));
    return nullptr;
  }
  if (cols < 1 || rows < 1) {
    CPLError(CE_Failure, CPLE_IllegalArg, "DEMBASE: a layer needs at least one cell");
    return nullptr;
  }
  tool::StatusOr<tool::LayerRef> ref = RefFor(name);
  tool::StatusOr<std::unique_ptr<tool::Session>> session =
      ref.ok() ? tool::Session::Open(*ref, tool::DatabaseUse::kMayCreate) : ref.status();
  if (!session.ok()) {
    Fail(CPLE_OpenFailed, session.status());
    return nullptr;
  }
  if (ref->local() && tool::Occupied(ref->headerPath)) {
    Fail(CPLE_FileIO, tool::Error(ref->headerPath, "already exists"));
    return nullptr;
  }
  std::unique_ptr<DembaseDataset> ds(new DembaseDataset());
  ds->ref_ = *ref;
  ds->opened_.session = std::move(*session);
  ds->eAccess = GA_Update;
  ds->pending_ = true;
  ds->type_ = type;
  ds->nRasterXSize = cols;
  ds->nRasterYSize = rows;
  // Top-left at the origin until a geotransform comes.
  ds->transform_ = tool::GeoTransform{0, 1, static_cast<double>(rows), 1};
  PyramidLayerInfo info{};
  info.rows = rows;
  info.cols = cols;
  ds->SetBand(1, new DembaseBand(ds.get(), 1, info, type));
  ds->SetDescription(name);
  if (!ref->local()) ds->nPamFlags |= GPF_DISABLED;
  return ds.release();
}

tool::Layer* DembaseDataset::EnsureLayer() {
  if (opened_.layer) return opened_.layer.get();
  if (!pending_) return nullptr;
  pending_ = false;
  DataLayerParam param = tool::LayerParamFor(transform_, nRasterYSize, nRasterXSize,
                                             type_ == GDT_Int32 ? DEMBASE_TYPE_INT32 : DEMBASE_TYPE_FLOAT32);
  tool::Status s = tool::CreateLayer(*opened_.session, ref_, &param, false);
  if (s.ok() && !wkt_.empty() && ref_.local()) s = tool::WriteCrs(ref_, wkt_);
  if (s.ok()) {
    tool::StatusOr<std::unique_ptr<tool::Layer>> layer = tool::Layer::Open(*opened_.session, ref_);
    if (layer.ok()) {
      opened_.layer = std::move(*layer);
      tool::StatusOr<PyramidLayerInfo> info = opened_.layer->LevelInfo(1);
      if (!info.ok()) {
        s = info.status();
      } else if (info->rows != nRasterYSize || info->cols != nRasterXSize) {
        s = tool::Error(ref_.text, "the cells are too small for their coordinates: level 1 came out " +
                                       std::to_string(info->rows) + " x " + std::to_string(info->cols));
      }
    } else {
      s = layer.status();
    }
  }
  if (!s.ok()) {
    Fail(CPLE_FileIO, s);
    opened_.layer.reset();
    return nullptr;
  }
  return opened_.layer.get();
}

bool DembaseDataset::CloseLayer() {
  if (!opened_.layer) return true;
  tool::Status s = opened_.layer->Close();
  opened_.layer.reset();
  if (!s.ok()) Fail(CPLE_FileIO, s);
  return s.ok();
}

DembaseDataset::~DembaseDataset() {
  FlushCache(true);
  if (pending_) (void)EnsureLayer();
  (void)CloseLayer();
}

CPLErr DembaseDataset::GetGeoTransform(double* gt) {
  const std::array<double, 6> g = transform_.ToGdal();
  std::copy(g.begin(), g.end(), gt);
  return CE_None;
}

CPLErr DembaseDataset::SetGeoTransform(double* gt) {
  std::array<double, 6> g{};
  std::copy(gt, gt + 6, g.begin());
  const std::optional<tool::GeoTransform> t = tool::GeoTransform::FromGdal(g);
  if (!t) {
    CPLError(CE_Failure, CPLE_NotSupported,
             "DEMBASE: a layer is north-up: no rotation, positive cell sizes, rows running south");
    return CE_Failure;
  }
  if (pending_) {
    transform_ = *t;
    return EnsureLayer() != nullptr ? CE_None : CE_Failure;
  }
  // The extent of a layer is fixed when it is made.
  const std::array<double, 6> now = transform_.ToGdal();
  for (size_t i = 0; i < 6; ++i) {
    if (std::fabs(now[i] - g[i]) > 1e-9 * std::max(1.0, std::fabs(now[i]))) {
      CPLError(CE_Failure, CPLE_NotSupported, "DEMBASE: %s: a layer's geotransform cannot change once it exists",
               ref_.text.c_str());
      return CE_Failure;
    }
  }
  return CE_None;
}

const OGRSpatialReference* DembaseDataset::GetSpatialRef() const { return wkt_.empty() ? nullptr : &srs_; }

CPLErr DembaseDataset::SetSpatialRef(const OGRSpatialReference* srs) {
  const std::string wkt = srs != nullptr ? WktOf(*srs) : std::string();
  if (!ref_.local() && !wkt.empty()) {
    CPLError(CE_Failure, CPLE_NotSupported, "DEMBASE: %s: a database layer has no place for a reference system",
             ref_.text.c_str());
    return CE_Failure;
  }
  if (opened_.layer) {
    if (tool::Status s = tool::WriteCrs(ref_, wkt); !s.ok()) {
      Fail(CPLE_FileIO, s);
      return CE_Failure;
    }
  }
  wkt_ = wkt;
  srs_.Clear();
  srs_.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
  if (!wkt_.empty() && srs_.importFromWkt(wkt_.c_str()) != OGRERR_NONE) wkt_.clear();
  return CE_None;
}

GDALDataset* DembaseDataset::CreateCopy(const char* name, GDALDataset* src, int strict, char** /*options*/,
                                        GDALProgressFunc progress, void* progressData) {
  if (src->GetRasterCount() != 1) {
    CPLError(CE_Failure, CPLE_NotSupported, "DEMBASE: a layer holds one band, not %d", src->GetRasterCount());
    return nullptr;
  }
  // The same path as the tool's import, so both make the same layer.
  tool::StatusOr<tool::GdalRaster> raster = tool::DescribeGdalRaster(*src, src->GetDescription(), 1, !strict);
  tool::StatusOr<tool::LayerRef> ref = raster.ok() ? RefFor(name) : raster.status();
  if (!ref.ok()) {
    Fail(CPLE_NotSupported, ref.status());
    return nullptr;
  }
  {
    tool::StatusOr<std::unique_ptr<tool::Session>> session = tool::Session::Open(*ref, tool::DatabaseUse::kMayCreate);
    if (!session.ok()) {
      Fail(CPLE_OpenFailed, session.status());
      return nullptr;
    }
    const tool::ImportPlan plan{raster->dataType, raster->transform, raster->crsWkt};
    tool::StatusOr<tool::ImportResult> result = tool::ImportRaster(**session, *ref, *raster->source, plan, true);
    if (!result.ok()) {
      if ((*session)->madeDatabase()) (*session)->DiscardDatabaseOnClose();
      Fail(CPLE_FileIO, result.status());
      return nullptr;
    }
    if (result->cellsDropped > 0) {
      CPLError(CE_Warning, CPLE_AppDefined, "DEMBASE: %lld values the layer's cell type cannot hold became null",
               static_cast<long long>(result->cellsDropped));
    }
    if (result->crsDropped) {
      CPLError(CE_Warning, CPLE_AppDefined, "DEMBASE: a database layer has no place for the reference system");
    }
  }
  if (progress != nullptr) (void)progress(1.0, nullptr, progressData);
  GDALOpenInfo info(name, GA_Update);
  std::unique_ptr<GDALDataset> ds(Open(&info));
  // The source's metadata, which the layer cannot hold, goes to the .aux.xml as any GDAL
  // driver keeps it; the geotransform, reference system and nodata are the layer's own.
  constexpr int kClone = GCIF_METADATA | GCIF_BAND_METADATA | GCIF_BAND_DESCRIPTION | GCIF_SCALEOFFSET | GCIF_UNITTYPE |
                         GCIF_PROCESS_BANDS | GCIF_ONLY_IF_MISSING;
  if (ds && ref->local() && static_cast<DembaseDataset*>(ds.get())->CloneInfo(src, kClone) != CE_None) return nullptr;
  return ds.release();
}

CPLErr DembaseDataset::Delete(const char* name) {
  tool::StatusOr<tool::LayerRef> ref = RefFor(name);
  tool::StatusOr<std::unique_ptr<tool::Session>> session = ref.ok() ? tool::Session::Open(*ref) : ref.status();
  if (!session.ok()) {
    Fail(CPLE_FileIO, session.status());
    return CE_Failure;
  }
  const int16_t r = _hxDeleteDataLayer((*session)->handle(), (*session)->dataSet(), ref->libraryName().c_str());
  if (r != 1) {
    Fail(CPLE_FileIO, tool::Error(ref->text, "cannot delete: " + tool::ResultText(r, "missing, or open elsewhere")));
    return CE_Failure;
  }
  if (ref->local()) {
    std::remove(ref->crsPath.c_str());
    std::remove((ref->headerPath + ".aux.xml").c_str());
  }
  return CE_None;
}

CPLErr DembaseDataset::Rename(const char* newName, const char* oldName) {
  tool::StatusOr<tool::LayerRef> from = RefFor(oldName);
  tool::StatusOr<tool::LayerRef> to = from.ok() ? RefFor(newName) : from.status();
  if (to.ok() && (!from->local() || !to->local())) {
    to = tool::Error(from->text, "only a local layer can be renamed");
  }
  tool::StatusOr<std::unique_ptr<tool::Session>> session = to.ok() ? tool::Session::Open(*from) : to.status();
  if (!session.ok()) {
    Fail(CPLE_FileIO, session.status());
    return CE_Failure;
  }
  const int16_t r =
      _hxRenameDataLayer((*session)->handle(), (*session)->dataSet(), from->headerPath.c_str(), to->headerPath.c_str());
  if (r != 1) {
    Fail(CPLE_FileIO, tool::Error(from->text, "cannot rename: " + tool::ResultText(r, "refused by the library")));
    return CE_Failure;
  }
  // The reference system and GDAL's own metadata travel with the layer.
  const std::string fromAux = from->headerPath + ".aux.xml";
  const std::string toAux = to->headerPath + ".aux.xml";
  for (const auto& [src, dst] : {std::pair{from->crsPath, to->crsPath}, std::pair{fromAux, toAux}}) {
    if (std::rename(src.c_str(), dst.c_str()) != 0 && errno != ENOENT) {
      CPLError(CE_Warning, CPLE_FileIO, "DEMBASE: %s could not follow the layer", src.c_str());
    }
  }
  return CE_None;
}

}  // namespace dembase::gdal
