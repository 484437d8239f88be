// dembase get / set: one cell, by row and column or by map coordinates.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>

#include "tools/commands.h"
#include "tools/geo_mapping.h"
#include "tools/session.h"
#include "tools/text_format.h"
#include "tools/tile_strip.h"

namespace dembase::tool {
namespace {

struct CellArgs {
  std::string layer;
  std::vector<std::string> position;  // [ROW COL] and, for set, VALUE
  std::vector<double> xy;
  int level = 1;
};

// main() puts a blank before a negative number, so the parser keeps it a value.
std::string Trimmed(const std::string& text) {
  const size_t start = text.find_first_not_of(' ');
  return start == std::string::npos ? std::string() : text.substr(start);
}

std::optional<double> ParseNumber(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || errno == ERANGE) return std::nullopt;
  return v;
}

StatusOr<int32_t> ParseIndex(const char* what, const std::string& given, int32_t limit) {
  const std::string text = Trimmed(given);
  const std::optional<double> v = ParseNumber(text);
  if (!v || *v != std::floor(*v)) return Error(what, "'" + text + "' is not a whole number");
  if (*v < 0 || *v >= limit) return Error(what, text + " is outside 0 .. " + std::to_string(limit - 1));
  return static_cast<int32_t>(*v);
}

// Finds the cell that the arguments name; `values` trailing positionals are not part of it.
StatusOr<CellPos> Locate(const CellArgs& a, const Layer& layer, int16_t level, size_t values) {
  StatusOr<PyramidLayerInfo> info = layer.LevelInfo(level);
  if (!info.ok()) return info.status();
  const size_t given = a.position.size();
  if (!a.xy.empty()) {
    if (given != values) return Status::Error("give either ROW COL or --xy X Y, not both");
    StatusOr<DataLayerParam> param = layer.Param();
    if (!param.ok()) return param.status();
    const std::optional<CellPos> cell = CellAt(LevelTransform(*param, *info), *info, a.xy[0], a.xy[1]);
    if (!cell) return Status::Error(layer.LevelText(level, Coord(a.xy[0]) + ", " + Coord(a.xy[1]) + " lies outside"));
    return *cell;
  }
  if (given != values + 2) return Status::Error("give ROW COL or --xy X Y");
  StatusOr<int32_t> row = ParseIndex("ROW", a.position[0], info->rows);
  if (!row.ok()) return row.status();
  StatusOr<int32_t> col = ParseIndex("COL", a.position[1], info->cols);
  if (!col.ok()) return col.status();
  return CellPos{*row, *col};
}

// The value to store: "null", or a number the layer holds as it is.
StatusOr<double> ParseValue(const std::string& given, const Layer& layer) {
  const std::string text = Trimmed(given);
  if (text == "null") return layer.NullValue();
  const std::optional<double> v = ParseNumber(text);
  if (!v || !std::isfinite(*v)) return Error("VALUE", "'" + text + "' is not a number");
  if (layer.floatCells()) {
    if (NullLike(static_cast<float>(*v), true)) return Error("VALUE", text + " would read as null; write 'null'");
    return *v;
  }
  if (*v != std::floor(*v) || *v < std::numeric_limits<int32_t>::min() || *v > std::numeric_limits<int32_t>::max()) {
    return Error("VALUE", text + " is not a whole number an int32 layer holds");
  }
  if (NullLike(*v, false)) return Error("VALUE", text + " is the layer's null value; write 'null'");
  return *v;
}

// A cell of the open level, NaN for null. The library answers null for a cell whose tile
// cannot be read too: a null is believed only when its tile reads, and holds values
// whenever its record claims some.
StatusOr<double> ReadCell(const Layer& layer, int16_t level, CellPos cell) {
  uint8_t isNull = 2;  // untouched when the call is refused
  const double v = _hxGetCell(layer.h(), layer.ds(), layer.id(), level, 0, cell.row, cell.col, &isNull);
  if (isNull > 1) return Status::Error(layer.LevelText(level, "the cell cannot be read"));
  if (isNull == 0) return v;
  StatusOr<PyramidLayerInfo> info = layer.LevelInfo(level);
  if (!info.ok()) return info.status();
  const int32_t tr = std::min(cell.row / kTileStep, info->tilesDown - 1);
  const int32_t tc = std::min(cell.col / kTileStep, info->tilesAcross - 1);
  StatusOr<OneTileInfo> stats = layer.TileInfo(level, tr, tc);
  if (!stats.ok()) return stats.status();
  const std::string tile = "tile " + std::to_string(tr) + "," + std::to_string(tc) + " cannot be read";
  const int16_t r = _hxBeginReadTile(layer.h(), layer.ds(), layer.id(), level, 0, tr, tc);
  if (r != 1 && r != 2) return Status::Error(layer.LevelText(level, tile));
  bool read = true;
  bool any = false;
  for (int32_t row = 0; r == 1 && read && !any && layer.ClaimsValues(*stats) && row < kTileEdge; ++row) {
    for (int32_t col = 0; read && !any && col < kTileEdge; ++col) {
      double value = 0;
      uint8_t null = 0;
      read = _hxReadCellOfTile(layer.h(), row, col, &value, &null) == 1;
      any = !null;
    }
  }
  if (_hxEndReadTile(layer.h()) != 1 || !read) return Status::Error(layer.LevelText(level, tile));
  if (!any && layer.ClaimsValues(*stats)) {
    return Status::Error(layer.LevelText(level, tile + ": its record claims values, but none are stored"));
  }
  return kNullCell;
}

// The layer a cell command names, opened, after checking that it has the level named.
StatusOr<OpenedLayer> OpenCellLayer(const CellArgs& a) {
  StatusOr<LayerRef> ref = ParseLayerRef(a.layer);
  if (!ref.ok()) return ref.status();
  StatusOr<OpenedLayer> opened = OpenLayerByName(*ref);
  if (!opened.ok()) return opened.status();
  if (Status s = opened->layer->CheckLevel(static_cast<int16_t>(a.level)); !s.ok()) return s;
  return opened;
}

int RunGet(const CellArgs& a) {
  StatusOr<OpenedLayer> opened = OpenCellLayer(a);
  if (!opened.ok()) return Finish(opened.status());
  Layer& layer = *opened->layer;
  const auto level = static_cast<int16_t>(a.level);
  StatusOr<CellPos> cell = Locate(a, layer, level, 0);
  if (!cell.ok()) return Finish(cell.status());
  if (Status s = layer.OpenLevel(level); !s.ok()) return Finish(s);
  StatusOr<double> v = ReadCell(layer, level, *cell);
  if (!v.ok()) return Finish(v.status());
  if (Status s = layer.Close(); !s.ok()) return Finish(s);
  std::printf("%s\n", Num(*v).c_str());
  return 0;
}

int RunSet(const CellArgs& a) {
  StatusOr<OpenedLayer> opened = OpenCellLayer(a);
  if (!opened.ok()) return Finish(opened.status());
  Layer& layer = *opened->layer;
  const auto level = static_cast<int16_t>(a.level);
  if (a.position.empty()) return Finish(Status::Error("set needs a VALUE"));
  StatusOr<CellPos> cell = Locate(a, layer, level, 1);
  if (!cell.ok()) return Finish(cell.status());
  StatusOr<double> value = ParseValue(a.position.back(), layer);
  if (!value.ok()) return Finish(value.status());
  if (Status s = layer.ReplaceOnWrite(); !s.ok()) return Finish(s);
  if (Status s = layer.OpenLevel(level); !s.ok()) return Finish(s);
  if (_hxSetCell(layer.h(), layer.ds(), layer.id(), level, 0, cell->row, cell->col, *value) != 1) {
    return Finish(Status::Error(layer.LevelText(level, "the cell cannot be written")));
  }
  // Say what the cell holds: a float cell rounds (1e-50 becomes 0).
  StatusOr<double> stored = ReadCell(layer, level, *cell);
  if (!stored.ok()) return Finish(stored.status());
  if (Status s = layer.Close(); !s.ok()) return Finish(s);
  const std::string text = Trimmed(a.position.back());
  const bool asGiven = text == "null" ? IsNullCell(*stored) : *stored == *value;
  std::printf("set %s level %d row %d col %d to %s%s\n", layer.ref().text.c_str(), a.level, cell->row, cell->col,
              Num(*stored).c_str(), asGiven ? "" : (" (the nearest the cell holds to " + text + ")").c_str());
  return 0;
}

void AddCellOptions(CLI::App* app, const std::shared_ptr<CellArgs>& a, const char* positional) {
  app->add_option("layer", a->layer, "Layer (DIR/NAME or sqlite:PATH#DATASET/NAME)")->required();
  app->add_option("position", a->position, positional);
  app->add_option("--xy", a->xy, "Map coordinates X Y instead of ROW COL")->expected(2)->allow_extra_args(false);
  app->add_option("--level", a->level, "Pyramid level, from 1")->check(CLI::Range(1, 32767))->capture_default_str();
}

}  // namespace

Command AddGetCommand(CLI::App& parent, const ToolOptions& /*options*/) {
  auto a = std::make_shared<CellArgs>();
  CLI::App* app = parent.add_subcommand("get", "Print one cell's value (or null)");
  app->footer("Row 0 is the top row. Examples: dembase get maps/elev 10 20; dembase get maps/elev --xy 6.1 49.8");
  AddCellOptions(app, a, "ROW COL");
  return {app, [a] { return RunGet(*a); }};
}

Command AddSetCommand(CLI::App& parent, const ToolOptions& /*options*/) {
  auto a = std::make_shared<CellArgs>();
  CLI::App* app = parent.add_subcommand("set", "Write one cell (a number, or null)");
  app->footer(
      "The value replaces the stored one. Levels above are not updated: run 'pyramid' again.\n"
      "Examples: dembase set maps/elev 10 20 312.5; dembase set maps/elev --xy 6.1 49.8 null");
  AddCellOptions(app, a, "ROW COL VALUE (VALUE alone with --xy)");
  return {app, [a] { return RunSet(*a); }};
}

}  // namespace dembase::tool
