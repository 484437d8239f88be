// dembase export: one level of a layer to a GeoTIFF.
#include <cstdio>
#include <filesystem>
#include <memory>

#include "tools/commands.h"
#include "tools/crs_sidecar.h"
#include "tools/export_level.h"
#include "tools/session.h"

namespace dembase::tool {
namespace {

struct ExportArgs {
  std::string layer;
  std::string destination;
  int level = 1;
  bool overwrite = false;
};

int RunExport(const ExportArgs& a, const ToolOptions& options) {
  StatusOr<LayerRef> ref = ParseLayerRef(a.layer);
  if (!ref.ok()) return Finish(ref.status());
  std::error_code ec;
  if (!a.overwrite && std::filesystem::exists(a.destination, ec)) {
    return Finish(Error(a.destination, "already exists (--overwrite to replace it)"));
  }
  StatusOr<OpenedLayer> opened = OpenLayerByName(*ref);
  if (!opened.ok()) return Finish(opened.status());
  StatusOr<std::string> crs = ReadCrs(*ref);
  if (!crs.ok()) return Finish(crs.status());
  const auto level = static_cast<int16_t>(a.level);
  if (Status s = ExportLevel(*opened->layer, level, a.destination, *crs, options.quiet); !s.ok()) return Finish(s);
  if (Status s = opened->layer->Close(); !s.ok()) return Finish(s);
  std::printf("exported %s level %d to %s\n", ref->text.c_str(), a.level, a.destination.c_str());
  return 0;
}

}  // namespace

Command AddExportCommand(CLI::App& parent, const ToolOptions& options) {
  auto a = std::make_shared<ExportArgs>();
  CLI::App* app = parent.add_subcommand("export", "Write one level of a layer to a GeoTIFF");
  app->footer(
      "The GeoTIFF is tiled 256 x 256 and DEFLATE-compressed, with the level's geotransform, the layer's\n"
      "null value as nodata and the layer's reference system.\n"
      "Example: dembase export maps/elev elev_level2.tif --level 2");
  app->add_option("layer", a->layer, "Layer (DIR/NAME)")->required();
  app->add_option("destination", a->destination, "GeoTIFF to write")->required();
  app->add_option("--level", a->level, "Pyramid level, from 1")->check(CLI::Range(1, 32767))->capture_default_str();
  app->add_flag("--overwrite", a->overwrite, "Replace the destination when it exists");
  return {app, [a, &options] { return RunExport(*a, options); }};
}

}  // namespace dembase::tool
