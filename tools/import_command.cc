// dembase import: a new layer from any raster GDAL reads.
#include <cstdio>
#include <memory>

#include "tools/commands.h"
#include "tools/gdal_source.h"
#include "tools/import_raster.h"
#include "tools/text_format.h"

namespace dembase::tool {
namespace {

// CLI11's own range check would print the whole range of an int.
std::string BandNumber(const std::string& text) {
  const bool number = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
  return number && text.find_first_not_of('0') != std::string::npos ? "" : "bands are numbered from 1";
}

struct ImportArgs {
  std::string source;
  std::string layer;
  int band = 0;
  bool allowLossy = false;
};

int RunImport(const ImportArgs& a, const ToolOptions& options) {
  StatusOr<LayerRef> ref = ParseLayerRef(a.layer);
  if (!ref.ok()) return Finish(ref.status());
  StatusOr<GdalRaster> raster = OpenGdalRaster(a.source, a.band, a.allowLossy);
  if (!raster.ok()) return Finish(raster.status());
  StatusOr<std::unique_ptr<Session>> session = Session::Open(*ref, DatabaseUse::kMayCreate);
  if (!session.ok()) return Finish(session.status());
  const ImportPlan plan{raster->dataType, raster->transform, raster->crsWkt};
  StatusOr<ImportResult> result = ImportRaster(**session, *ref, *raster->source, plan, options.quiet);
  if (!result.ok()) return Finish(result.status());
  std::printf("imported %s into %s: %d rows x %d columns, %s cells, tiles: %lld stored, %lld empty\n",
              a.source.c_str(), ref->text.c_str(), result->level.rows, result->level.cols,
              plan.dataType == DEMBASE_TYPE_INT32 ? "int32" : "float32", static_cast<long long>(result->tilesStored),
              static_cast<long long>(result->tilesEmpty));
  if (result->cellsDropped > 0) {
    std::printf("%s the layer's cell type cannot hold: stored as null\n",
                Count(result->cellsDropped, "value").c_str());
  }
  if (result->crsDropped) {
    std::printf("reference system not kept: a database layer has no place for one (export writes none)\n");
  }
  return 0;
}

}  // namespace

Command AddImportCommand(CLI::App& parent, const ToolOptions& options) {
  auto a = std::make_shared<ImportArgs>();
  CLI::App* app = parent.add_subcommand("import", "Make a new layer from a raster file (GeoTIFF, ASCII grid ...)");
  app->footer(
      "Integer bands give int32 layers, floating bands float32 layers; the band's nodata becomes null.\n"
      "Row 0 of the layer is the raster's top row. The reference system is kept in DIR/NAME.prj;\n"
      "a database layer cannot keep one.\n"
      "Example: dembase import elev.tif maps/elev");
  app->add_option("source", a->source, "Raster file to read")->required();
  app->add_option("layer", a->layer, "New layer (DIR/NAME or sqlite:PATH#DATASET/NAME)")->required();
  app->add_option("--band", a->band, "Band to import, from 1 (needed when the file has several)")
      ->check(CLI::Validator(BandNumber, "BAND"));
  app->add_flag("--allow-lossy", a->allowLossy, "Accept types a layer holds only with loss (uint32, 64-bit)");
  return {app, [a, &options] { return RunImport(*a, options); }};
}

}  // namespace dembase::tool
