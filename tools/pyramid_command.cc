// dembase pyramid: levels 2 .. N by averaging 2 x 2 blocks.
#include <cstdio>
#include <memory>

#include "tools/commands.h"
#include "tools/pyramid_builder.h"
#include "tools/session.h"
#include "tools/text_format.h"

namespace dembase::tool {
namespace {

struct PyramidArgs {
  std::string layer;
  int levels = 0;  // 0: until the top level fits in one tile
};

int RunPyramid(const PyramidArgs& a, const ToolOptions& options) {
  StatusOr<LayerRef> ref = ParseLayerRef(a.layer);
  if (!ref.ok()) return Finish(ref.status());
  StatusOr<OpenedLayer> opened = OpenLayerByName(*ref);
  if (!opened.ok()) return Finish(opened.status());
  Layer& layer = *opened->layer;
  if (Status s = layer.CheckLevel(1); !s.ok()) return Finish(s);
  StatusOr<PyramidLayerInfo> base = layer.LevelInfo(1);
  if (!base.ok()) return Finish(base.status());
  const int16_t levels = a.levels > 0 ? static_cast<int16_t>(a.levels) : LevelsToOneTile(base->rows, base->cols);
  if (Status s = BuildPyramid(layer, levels, options.quiet); !s.ok()) return Finish(s);
  if (Status s = layer.Close(); !s.ok()) return Finish(s);
  std::printf("built %s: %s\n", ref->text.c_str(), Count(levels, "level").c_str());
  return 0;
}

}  // namespace

Command AddPyramidCommand(CLI::App& parent, const ToolOptions& options) {
  auto a = std::make_shared<PyramidArgs>();
  CLI::App* app = parent.add_subcommand("pyramid", "Build levels 2 .. N, each averaging 2 x 2 cells of the one below");
  app->footer(
      "Nulls are left out of each average; a cell is null where all four below are. Existing levels above\n"
      "level 1 are replaced. Without --levels, levels are added until the top one fits in one tile.\n"
      "Example: dembase pyramid maps/elev --levels 4");
  app->add_option("layer", a->layer, "Layer (DIR/NAME or sqlite:PATH#DATASET/NAME)")->required();
  app->add_option("--levels", a->levels, "Levels wanted, level 1 included")
      ->check(CLI::Range(1, int{kMaxPyramidLevels}));
  return {app, [a, &options] { return RunPyramid(*a, options); }};
}

}  // namespace dembase::tool
