// dembase export: one level of a layer to a GeoTIFF.
#include <cstdio>
#include <filesystem>
#include <memory>

#include "tools/commands.h"
#include "tools/crs_sidecar.h"
#include "tools/export_level.h"
#include "tools/file_probe.h"
#include "tools/session.h"

namespace dembase::tool {
namespace {

namespace fs = std::filesystem;

// The GeoTIFF is renamed over dst: refuse what that would destroy beyond a file the user
// meant to replace.
Status CheckDestination(const LayerRef& ref, const std::string& dst, bool overwrite) {
  std::error_code ec;
  const bool exists = fs::exists(fs::symlink_status(dst, ec));
  if (exists && !overwrite) return Error(dst, "already exists (--overwrite to replace it)");
  if (exists && KindOf(dst) != FileKind::kRegular) return Error(dst, "not a regular file; export replaces only those");
  const fs::path target = fs::weakly_canonical(dst, ec);
  if (!ref.local()) {
    // The database and the files SQLite keeps beside it.
    const std::string db = ref.connection.connectArg1;
    for (const std::string& path : {db, db + "-wal", db + "-shm", db + "-journal", db + "-locks"}) {
      const bool same =
          fs::weakly_canonical(path, ec) == target || (exists && fs::exists(path, ec) && fs::equivalent(dst, path, ec));
      if (same) return Error(dst, "the database of layer " + ref.text + "; export elsewhere");
    }
    return {};
  }
  const fs::path layerDir = fs::weakly_canonical(ref.dir, ec);
  if (ec) return Error(dst, "cannot resolve the path: " + ec.message());
  const fs::path parent = target.parent_path();
  const std::string file = target.filename().string();
  bool own = parent == layerDir && (file == ref.name + ".dem" || file == ref.name + ".prj");
  own = own || (parent.parent_path() == layerDir && LevelDirectoryName(parent.filename().string(), ref.name));
  // A hard link to the header or the reference system is the same file under a new name.
  for (const std::string& path : {ref.headerPath, ref.crsPath}) {
    own = own || (exists && fs::exists(path, ec) && fs::equivalent(dst, path, ec));
  }
  if (own) return Error(dst, "one of the files of layer " + ref.text + "; export elsewhere");
  return {};
}

struct ExportArgs {
  std::string layer;
  std::string destination;
  int level = 1;
  bool overwrite = false;
};

int RunExport(const ExportArgs& a, const ToolOptions& options) {
  StatusOr<LayerRef> ref = ParseLayerRef(a.layer);
  if (!ref.ok()) return Finish(ref.status());
  if (Status s = CheckDestination(*ref, a.destination, a.overwrite); !s.ok()) return Finish(s);
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
  app->add_option("layer", a->layer, "Layer (DIR/NAME or sqlite:PATH#DATASET/NAME)")->required();
  app->add_option("destination", a->destination, "GeoTIFF to write")->required();
  app->add_option("--level", a->level, "Pyramid level, from 1")->check(CLI::Range(1, 32767))->capture_default_str();
  app->add_flag("--overwrite", a->overwrite, "Replace the destination when it is a regular file");
  return {app, [a, &options] { return RunExport(*a, options); }};
}

}  // namespace dembase::tool
