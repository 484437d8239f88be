// dembase vat: value attribute tables of int32 levels of local layers. `build` counts a
// level's values into its table; `show` prints the table, as text or JSON.
#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "tools/commands.h"
#include "tools/level_values.h"
#include "tools/text_format.h"
#include "tools/vat_tables.h"

namespace dembase::tool {
namespace {

struct VatArgs {
  std::string layer;
  int level = 1;
  bool json = false;
};

// The layer, opened, when it can have tables and has the level.
StatusOr<OpenedLayer> OpenTableLayer(const VatArgs& a) {
  StatusOr<LayerRef> ref = ParseLayerRef(a.layer);
  if (!ref.ok()) return ref.status();
  // Refused before the data set is opened: opening a database is not free.
  if (!ref->local()) return Error(ref->text, "value attribute tables are kept only in the local store");
  StatusOr<OpenedLayer> opened = OpenLayerByName(*ref);
  if (!opened.ok()) return opened.status();
  if (Status s = CheckTableLayer(*opened->layer); !s.ok()) return s;
  if (Status s = opened->layer->CheckLevel(static_cast<int16_t>(a.level)); !s.ok()) return s;
  return opened;
}

Status Build(Layer& layer, int16_t level, bool quiet, std::string* summary) {
  StatusOr<std::vector<DemVatItem>> items = CountLevelValues(layer, level, quiet);
  if (!items.ok()) return items.status();
  StatusOr<std::string> path = TablePath(layer, level);
  if (!path.ok()) return path.status();
  std::string note;
  if (path->empty()) {
    // The library makes the file where the layer names it; the counts replace it below.
    const int16_t r = _hxOpenPyLayerVAT(layer.h(), layer.ds(), layer.id(), level, 1);
    if (r != 1 || _hxClosePyLayerVAT(layer.h(), layer.ds(), layer.id()) != 1) {
      return Status::Error(layer.LevelText(level, "cannot create its value attribute table (is libdemvat.so beside "
                                                  "libdembase.so?)"));
    }
    path = TablePath(layer, level);
    if (!path.ok()) return path.status();
    if (path->empty()) return Status::Error(layer.LevelText(level, "its new value attribute table is missing"));
  } else if (StatusOr<std::vector<DemVatItem>> old = ReadTable(*path); old.ok()) {
    // A rebuild keeps the class of every value that is still there.
    std::map<int32_t, int32_t> classes;
    for (const DemVatItem& it : *old) classes[it.value] = it.itemSet;
    for (DemVatItem& it : *items) it.itemSet = classes.count(it.value) != 0 ? classes[it.value] : 0;
  } else {
    note = "; replaced a table that could not be read";
  }
  const int32_t w = DemVatWriteTable(path->c_str(), items->data(), static_cast<int32_t>(items->size()));
  if (w != 1) return Error(*path, TableResultText(w));
  if (Status s = CheckTableOpens(layer, level, *items); !s.ok()) return s;
  uint64_t cells = 0;
  for (const DemVatItem& it : *items) cells += it.cells;
  *summary = Count(static_cast<int64_t>(items->size()), "value") + " in " + Count(static_cast<int64_t>(cells), "cell") +
             " (" + *path + ")" + note;
  return {};
}

int RunBuild(const VatArgs& a, const ToolOptions& options) {
  StatusOr<OpenedLayer> opened = OpenTableLayer(a);
  if (!opened.ok()) return Finish(opened.status());
  std::string summary;
  if (Status s = Build(*opened->layer, static_cast<int16_t>(a.level), options.quiet, &summary); !s.ok()) {
    return Finish(s);
  }
  if (Status s = opened->layer->Close(); !s.ok()) return Finish(s);
  std::printf("built the value attribute table of %s level %d: %s\n", opened->layer->ref().text.c_str(), a.level,
              summary.c_str());
  return 0;
}

void PrintTable(const Layer& layer, int level, const std::string& path, const std::vector<DemVatItem>& items,
                bool json) {
  uint64_t cells = 0;
  for (const DemVatItem& it : items) cells += it.cells;
  if (json) {
    std::string out = "{\n  \"layer\": " + JsonString(layer.ref().text) + ",\n  \"level\": " + std::to_string(level) +
                      ",\n  \"table\": " + JsonString(path) + ",\n  \"cells\": " + std::to_string(cells) +
                      ",\n  \"items\": [";
    for (size_t i = 0; i < items.size(); ++i) {
      out += (i == 0 ? "\n    " : ",\n    ") + std::string("{\"item\": ") + std::to_string(i + 1) +
             ", \"value\": " + std::to_string(items[i].value) + ", \"cells\": " + std::to_string(items[i].cells) +
             ", \"class\": " + std::to_string(items[i].itemSet) + "}";
    }
    out += items.empty() ? "]\n}\n" : "\n  ]\n}\n";
    std::fputs(out.c_str(), stdout);
    return;
  }
  std::printf("%s level %d: %s in %s (%s)\n", layer.ref().text.c_str(), level,
              Count(static_cast<int64_t>(items.size()), "value").c_str(),
              Count(static_cast<int64_t>(cells), "cell").c_str(), path.c_str());
  std::printf("   item        value             cells  class\n");
  for (size_t i = 0; i < items.size(); ++i) {
    const std::string cls = items[i].itemSet == 0 ? "-" : std::to_string(items[i].itemSet);
    std::printf("  %5zu  %11d  %16llu  %5s\n", i + 1, items[i].value, static_cast<unsigned long long>(items[i].cells),
                cls.c_str());
  }
}

int RunShow(const VatArgs& a) {
  StatusOr<OpenedLayer> opened = OpenTableLayer(a);
  if (!opened.ok()) return Finish(opened.status());
  Layer& layer = *opened->layer;
  const auto level = static_cast<int16_t>(a.level);
  StatusOr<std::string> path = TablePath(layer, level);
  if (!path.ok()) return Finish(path.status());
  if (path->empty()) {
    return Finish(Status::Error(layer.LevelText(level, "has no value attribute table ('dembase vat build' makes one)")));
  }
  StatusOr<std::vector<DemVatItem>> items = ReadTable(*path);
  if (!items.ok()) return Finish(items.status());
  if (Status s = CheckTableOpens(layer, level, *items); !s.ok()) return Finish(s);
  if (Status s = layer.Close(); !s.ok()) return Finish(s);
  PrintTable(layer, a.level, *path, *items, a.json);
  return 0;
}

CLI::App* AddLevelOptions(CLI::App* app, VatArgs* a) {
  app->add_option("layer", a->layer, "Layer (DIR/NAME, an int32 layer of the local store)")->required();
  app->add_option("--level", a->level, "Pyramid level, from 1")->check(CLI::Range(1, 32767))->capture_default_str();
  return app;
}

}  // namespace

Command AddVatCommand(CLI::App& parent, const ToolOptions& options) {
  auto build = std::make_shared<VatArgs>();
  auto show = std::make_shared<VatArgs>();
  CLI::App* app = parent.add_subcommand("vat", "Value attribute tables: the values of an int32 level and their counts");
  app->require_subcommand(1);
  app->footer(
      "A table lists every value a level's cells hold, with the number of cells that hold it, and the class\n"
      "each value was put in (through the library's calls). A rebuild keeps the classes of the values that remain.\n"
      "Examples: dembase vat build maps/landcover --level 1\n"
      "          dembase vat show maps/landcover --json");
  CLI::App* buildApp =
      AddLevelOptions(app->add_subcommand("build", "Count a level's values into its table, in one pass"), build.get());
  CLI::App* showApp = AddLevelOptions(app->add_subcommand("show", "Print a level's table"), show.get());
  showApp->add_flag("--json", show->json, "Print JSON instead of text");
  return {app, [=, &options] { return buildApp->parsed() ? RunBuild(*build, options) : RunShow(*show); }};
}

}  // namespace dembase::tool
