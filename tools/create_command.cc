// dembase create: a new, empty layer from an extent, a cell size and a cell type.
#include <ogr_spatialref.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>

#include "tools/commands.h"
#include "tools/crs_sidecar.h"
#include "tools/gdal_support.h"
#include "tools/geo_mapping.h"
#include "tools/new_layer.h"
#include "tools/session.h"
#include "tools/text_format.h"

namespace dembase::tool {
namespace {

struct CreateArgs {
  std::string layer;
  std::vector<double> extent;     // xmin ymin xmax ymax: cell edges
  std::vector<double> cellSize;   // x [y]
  std::string type = "float32";
  std::string crs;
};

// Cells along one side: the edges are given, the layer keeps cell centres.
Status Side(const char* axis, double lo, double hi, double cell) {
  if (!std::isfinite(lo) || !std::isfinite(hi) || !std::isfinite(cell) || !(cell > 0)) {
    return Error(axis, "extent and cell size must be finite, the cell size positive");
  }
  if (!(hi - lo >= cell)) return Error(axis, "the extent is narrower than one cell");
  if ((hi - lo) / cell >= std::numeric_limits<int32_t>::max()) return Error(axis, "too many cells");
  // Cell centres must differ from the edges, or the layer collapses to one cell.
  if (lo + cell / 2 == lo || hi - cell / 2 == hi)
    return Error(axis, "the cell size is too small for these coordinates");
  return {};
}

int RunCreate(const CreateArgs& a) {
  StatusOr<LayerRef> ref = ParseLayerRef(a.layer);
  if (!ref.ok()) return Finish(ref.status());
  const double cellX = a.cellSize[0];
  const double cellY = a.cellSize.size() > 1 ? a.cellSize[1] : cellX;
  if (Status s = Side("x", a.extent[0], a.extent[2], cellX); !s.ok()) return Finish(s);
  if (Status s = Side("y", a.extent[1], a.extent[3], cellY); !s.ok()) return Finish(s);
  // Only the local store has a place for it; a layer made without it would silently lack it.
  if (!a.crs.empty() && !ref->local()) return Finish(Error("--crs", "a database layer cannot keep a reference system"));
  std::string wkt;
  if (!a.crs.empty()) {
    OGRSpatialReference srs;
    char* text = nullptr;
    const char* const options[] = {"FORMAT=WKT2_2019", "MULTILINE=YES", nullptr};
    if (srs.SetFromUserInput(a.crs.c_str()) != OGRERR_NONE || srs.exportToWkt(&text, options) != OGRERR_NONE) {
      CPLFree(text);
      return Finish(Error(a.crs, GdalError("not a reference system GDAL knows")));
    }
    wkt = text;
    CPLFree(text);
  }

  DataLayerParam p{};
  p.dataType = a.type == "int32" ? DEMBASE_TYPE_INT32 : DEMBASE_TYPE_FLOAT32;
  p.cellSizeX = cellX;
  p.cellSizeY = cellY;
  p.xMin = a.extent[0] + cellX / 2;
  p.xMax = a.extent[2] - cellX / 2;
  p.yMin = a.extent[1] + cellY / 2;
  p.yMax = a.extent[3] - cellY / 2;
  p.minValue = kNoValuesMin;
  p.maxValue = kNoValuesMax;
  StatusOr<std::unique_ptr<Session>> session = Session::Open(*ref, DatabaseUse::kMayCreate);
  if (!session.ok()) return Finish(session.status());
  StatusOr<std::unique_ptr<NewLayer>> made = NewLayer::Begin(**session, *ref);
  if (!made.ok()) return Finish(made.status());
  // A partial cell is completed: the layer grows to the east and the north.
  if (Status s = (*made)->Create(&p, true); !s.ok()) return Finish(s);
  if (!wkt.empty()) {
    if (Status s = WriteCrs(*ref, wkt); !s.ok()) return Finish(s);
  }
  (*made)->Keep();
  const int64_t cols = std::llround((p.xMax - p.xMin) / cellX) + 1;
  const int64_t rows = std::llround((p.yMax - p.yMin) / cellY) + 1;
  std::printf("created %s: %lld rows x %lld columns of %s cells, bounds x %s .. %s, y %s .. %s\n", ref->text.c_str(),
              static_cast<long long>(rows), static_cast<long long>(cols), a.type.c_str(),
              Coord(p.xMin - cellX / 2).c_str(), Coord(p.xMax + cellX / 2).c_str(), Coord(p.yMin - cellY / 2).c_str(),
              Coord(p.yMax + cellY / 2).c_str());
  return 0;
}

}  // namespace

Command AddCreateCommand(CLI::App& parent, const ToolOptions& /*options*/) {
  auto a = std::make_shared<CreateArgs>();
  CLI::App* app = parent.add_subcommand("create", "Create an empty layer with its level 1");
  app->footer("Example: dembase create maps/hill --extent 500000 4000000 510000 4010000 --cell-size 10 "
              "--type float32 --crs EPSG:32632");
  app->add_option("layer", a->layer, "Layer to create (DIR/NAME or sqlite:PATH#DATASET/NAME)")->required();
  app->add_option("--extent", a->extent, "Cell edges: XMIN YMIN XMAX YMAX")
      ->required()
      ->expected(4)
      ->allow_extra_args(false);
  app->add_option("--cell-size", a->cellSize, "Cell size along x, and along y when it differs")
      ->required()
      ->expected(1, 2)
      ->allow_extra_args(false);
  app->add_option("--type", a->type, "Cell type")->check(CLI::IsMember({"int32", "float32"}))->capture_default_str();
  app->add_option("--crs", a->crs, "Reference system (EPSG:4326, WKT, PROJ string ...); local layers only");
  return {app, [a] { return RunCreate(*a); }};
}

}  // namespace dembase::tool
