// dembase check: read every record and tile of a layer and report what is wrong.
#include <cstdio>
#include <filesystem>
#include <memory>

#include "tools/commands.h"
#include "tools/file_probe.h"
#include "tools/layer_check.h"
#include "tools/session.h"
#include "tools/text_format.h"

namespace dembase::tool {
namespace {

struct CheckArgs {
  std::string layer;
};

int RunCheck(const CheckArgs& a, const ToolOptions& options) {
  StatusOr<LayerRef> ref = ParseLayerRef(a.layer);
  if (!ref.ok()) return Finish(ref.status());
  if (ref->local() && KindOf(ref->headerPath) == FileKind::kMissing) {
    return Finish(Error(ref->headerPath, "no such layer"));
  }
  // Its files are not at rest: every offset past their recorded ends would look wrong.
  if (ref->local() && HeldOpenElsewhere(ref->headerPath)) {
    return Finish(Error(ref->text, "open in another process; check it once that process has closed it"));
  }
  StatusOr<std::unique_ptr<Session>> session = Session::Open(*ref);
  if (!session.ok()) return Finish(session.status());
  CheckReport files;
  CheckFiles(*ref, &files);
  CheckReport report;
  if (!files.unsafeFiles) CheckThroughLibrary(**session, *ref, options.quiet, &report);
  report.problems.insert(report.problems.end(), files.problems.begin(), files.problems.end());
  for (const std::string& problem : report.problems) std::printf("%s\n", problem.c_str());
  if (!report.problems.empty()) {
    std::printf("%s: %s\n", ref->text.c_str(), Count(static_cast<int64_t>(report.problems.size()), "problem").c_str());
    return 1;
  }
  std::printf("%s: clean (%s, %s read, %lld of them empty)\n", ref->text.c_str(), Count(report.levels, "level").c_str(),
              Count(report.tilesRead, "tile").c_str(), static_cast<long long>(report.tilesEmpty));
  return 0;
}

}  // namespace

Command AddCheckCommand(CLI::App& parent, const ToolOptions& options) {
  auto a = std::make_shared<CheckArgs>();
  CLI::App* app = parent.add_subcommand("check", "Check a layer: every record and tile, and its files");
  app->footer(
      "Each level must open, each tile read, neighbouring tiles agree on their shared edge, and each tile's\n"
      "recorded minimum and maximum bracket its cells; a local layer's files must match their headers.\n"
      "Each problem is printed on a line of its own; the exit status is 1 when there is any.\n"
      "Example: dembase check maps/elev");
  app->add_option("layer", a->layer, "Layer (DIR/NAME or sqlite:PATH#DATASET/NAME)")->required();
  return {app, [a, &options] { return RunCheck(*a, options); }};
}

}  // namespace dembase::tool
