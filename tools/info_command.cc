// dembase info: what a layer holds, as text or JSON.
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>

#include "tools/commands.h"
#include "tools/crs_sidecar.h"
#include "tools/geo_mapping.h"
#include "tools/layer_facts.h"
#include "tools/text_format.h"
#include "tools/vat_tables.h"

namespace dembase::tool {
namespace {

struct InfoArgs {
  std::string layer;
  bool json = false;
};

const char* TypeName(uint16_t type) { return type == DEMBASE_TYPE_INT32 ? "int32" : "float32"; }

// "1, 3", or "none".
std::string LevelList(const std::vector<int16_t>& levels, const char* separator, const char* none) {
  std::string out;
  for (const int16_t l : levels) out.append(out.empty() ? "" : separator).append(std::to_string(l));
  return out.empty() ? none : out;
}

void PrintText(const LayerRef& ref, const LayerFacts& f, const std::vector<int16_t>& tables) {
  const DataLayerParam& p = f.param;
  std::printf("layer       %s%s\n", ref.text.c_str(), ref.local() ? (" (header " + ref.headerPath + ")").c_str() : "");
  std::printf("cells       %s (type %u), null %s\n", TypeName(p.dataType), p.dataType, Num(f.null).c_str());
  if (!f.levels.empty()) {
    const GeoTransform gt = LevelTransform(p, f.levels[0].info);
    std::printf("size        %d rows x %d columns at level 1\n", f.levels[0].info.rows, f.levels[0].info.cols);
    std::printf("bounds      x %s .. %s, y %s .. %s (cell edges)\n", Coord(gt.left).c_str(),
                Coord(gt.left + gt.cellX * f.levels[0].info.cols).c_str(),
                Coord(gt.top - gt.cellY * f.levels[0].info.rows).c_str(), Coord(gt.top).c_str());
  }
  std::printf("extent      x %s .. %s, y %s .. %s (cell centres, as stored)\n", Coord(p.xMin).c_str(),
              Coord(p.xMax).c_str(), Coord(p.yMin).c_str(), Coord(p.yMax).c_str());
  std::printf("cell size   %s x %s\n", Coord(p.cellSizeX).c_str(), Coord(p.cellSizeY).c_str());
  std::printf("values      %s\n", f.hasValues() ? (Num(p.minValue) + " .. " + Num(p.maxValue)).c_str() : "none yet");
  const std::string crs = !ref.local()       ? "not kept in a database"
                          : f.crsWkt.empty() ? "unknown"
                                             : CrsName(f.crsWkt) + " (" + ref.crsPath + ")";
  std::printf("crs         %s\n", crs.c_str());
  std::printf("levels      %d\n", p.levelCount);
  std::printf("  level  rows x cols         cell size                      tiles  stored  empty  bytes\n");
  for (size_t i = 0; i < f.levels.size(); ++i) {
    const LevelFacts& l = f.levels[i];
    const std::string size = std::to_string(l.info.rows) + " x " + std::to_string(l.info.cols);
    const std::string cell = Num(l.info.cellSizeX) + " x " + Num(l.info.cellSizeY);
    std::printf("  %-5d  %-18s  %-29s  %5lld  %6lld  %5lld  %s\n", l.level, size.c_str(), cell.c_str(),
                static_cast<long long>(l.tilesStored + l.tilesEmpty), static_cast<long long>(l.tilesStored),
                static_cast<long long>(l.tilesEmpty), ref.local() ? Bytes(l.bytes).c_str() : "-");
  }
  if (ref.local()) std::printf("vat tables  %s\n", LevelList(tables, ", ", "none").c_str());
  if (ref.local()) {
    std::printf("on disk     %s (%llu bytes)\n", Bytes(f.bytes).c_str(), static_cast<unsigned long long>(f.bytes));
  }
}

void PrintJson(const LayerRef& ref, const LayerFacts& f, const std::vector<int16_t>& tables) {
  const DataLayerParam& p = f.param;
  std::string out = "{\n";
  out += "  \"layer\": " + JsonString(ref.text) + ",\n";
  out += "  \"store\": " + JsonString(ref.local() ? "local" : "database") + ",\n";
  if (ref.local()) out += "  \"header\": " + JsonString(ref.headerPath) + ",\n";
  out += "  \"dataType\": " + std::to_string(p.dataType) + ",\n";
  out += "  \"cellType\": " + JsonString(TypeName(p.dataType)) + ",\n";
  out += "  \"null\": " + JsonNumber(f.null) + ",\n";
  out += "  \"extent\": {\"xMin\": " + JsonNumber(p.xMin) + ", \"xMax\": " + JsonNumber(p.xMax) +
         ", \"yMin\": " + JsonNumber(p.yMin) + ", \"yMax\": " + JsonNumber(p.yMax) + "},\n";
  out += "  \"cellSize\": [" + JsonNumber(p.cellSizeX) + ", " + JsonNumber(p.cellSizeY) + "],\n";
  out += "  \"minValue\": " + (f.hasValues() ? JsonNumber(p.minValue) : "null") + ",\n";
  out += "  \"maxValue\": " + (f.hasValues() ? JsonNumber(p.maxValue) : "null") + ",\n";
  out += "  \"crs\": " + (f.crsWkt.empty() ? "null" : "{\"name\": " + JsonString(CrsName(f.crsWkt)) +
                                                        ", \"wkt\": " + JsonString(f.crsWkt) + "}") + ",\n";
  out += "  \"levels\": [";
  for (size_t i = 0; i < f.levels.size(); ++i) {
    const LevelFacts& l = f.levels[i];
    const GeoTransform gt = LevelTransform(p, l.info);
    out += i == 0 ? "\n" : ",\n";
    out += "    {\"level\": " + std::to_string(l.level) + ", \"rows\": " + std::to_string(l.info.rows) +
           ", \"cols\": " + std::to_string(l.info.cols) + ", \"cellSize\": [" + JsonNumber(l.info.cellSizeX) + ", " +
           JsonNumber(l.info.cellSizeY) + "], \"geoTransform\": [";
    const std::array<double, 6> g = gt.ToGdal();
    for (size_t k = 0; k < g.size(); ++k) out += (k ? ", " : "") + JsonNumber(g[k]);
    out += "], \"tilesDown\": " + std::to_string(l.info.tilesDown) +
           ", \"tilesAcross\": " + std::to_string(l.info.tilesAcross) +
           ", \"tilesStored\": " + std::to_string(l.tilesStored) + ", \"tilesEmpty\": " + std::to_string(l.tilesEmpty) +
           ", \"bytesOnDisk\": " + (ref.local() ? std::to_string(l.bytes) : "null") + "}";
  }
  out += f.levels.empty() ? "],\n" : "\n  ],\n";
  out += "  \"vatLevels\": " + (ref.local() ? "[" + LevelList(tables, ", ", "") + "]" : "null") + ",\n";
  out += "  \"bytesOnDisk\": " + (ref.local() ? std::to_string(f.bytes) : "null") + "\n}\n";
  std::fputs(out.c_str(), stdout);
}

int RunInfo(const InfoArgs& a) {
  StatusOr<LayerRef> ref = ParseLayerRef(a.layer);
  if (!ref.ok()) return Finish(ref.status());
  StatusOr<LayerFacts> facts = GatherLayerFacts(*ref);
  if (!facts.ok()) return Finish(facts.status());
  // Which levels have value attribute tables (local layers only).
  std::vector<int16_t> tables;
  if (ref->local()) {
    StatusOr<OpenedLayer> opened = OpenLayerByName(*ref);
    if (!opened.ok()) return Finish(opened.status());
    StatusOr<std::vector<int16_t>> with = LevelsWithTables(*opened->layer);
    if (!with.ok()) return Finish(with.status());
    tables = *with;
  }
  a.json ? PrintJson(*ref, *facts, tables) : PrintText(*ref, *facts, tables);
  return 0;
}

}  // namespace

Command AddInfoCommand(CLI::App& parent, const ToolOptions& /*options*/) {
  auto a = std::make_shared<InfoArgs>();
  CLI::App* app = parent.add_subcommand("info", "Describe a layer: cells, extent, levels, tiles, bytes on disk");
  app->footer("Example: dembase info maps/hill --json");
  app->add_option("layer", a->layer, "Layer (DIR/NAME or sqlite:PATH#DATASET/NAME)")->required();
  app->add_flag("--json", a->json, "Print JSON instead of text");
  return {app, [a] { return RunInfo(*a); }};
}

}  // namespace dembase::tool
