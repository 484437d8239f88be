// dembase beside GDAL and the compression limit, on one generated DEM, in one run: the
// table of bench/README.md. Every workload runs --runs times, dembase and its references
// taking turns so that a busy moment of the machine hurts both alike.
//
// Run as: compare_bench [--runs N] [--side CELLS] [--dir DIR] [--json FILE] [--tool PATH]
//        [--scale SIDE,SIDE...]
// --scale prints instead the scaling lines: the workloads with a cost per cell, at --side
// and at each SIDE, from tiles cut on demand so that no side holds its whole grid.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "bench/codec_loops.h"
#include "bench/db_tiles.h"
#include "bench/dem_grid.h"
#include "bench/dembase_side.h"
#include "bench/gdal_side.h"
#include "bench/harness.h"
#include "bench/report.h"
#include "bench/translate_bench.h"
#include "dembase/rasterdb.h"

namespace dembase::bench {
namespace {

struct Options {
  int runs = 5;
  int32_t side = 8193;
  std::string dir;
  std::string json;
  std::string tool = DEMBASE_TOOL_PATH;
  std::vector<int32_t> scale;  // sides of the scaling lines; empty: the table
};

// A level of 100 000 tiles or a little more: 317 x 317 tiles of 255 new cells each.
constexpr int32_t kBigSide = 317 * 255 + 1;
constexpr size_t kInCacheReads = size_t{1} << 22;
constexpr size_t kOverflowReads = 3000;
constexpr size_t kRandomWrites = 1000000;
constexpr int kOpensPerRun = 10;
constexpr int kPyramidLevels = 5;  // factors 2 .. 32

// Child mode: the overflowing random-read workload alone, so that its peak resident
// memory is the store's own. Writes "<peak bytes> <resident bytes before>" to out.
int PeakChild(const std::string& layer, uint64_t cacheBytes, int32_t side, const std::string& out) {
  const uint64_t before = ResidentBytes().value_or(0);
  double seconds = -1;
  {
    Store store(cacheBytes);
    if (store.ok()) {
      seconds =
          store.RandomReads(layer, RandomCells(1000, side, side, 13), RandomCells(kOverflowReads, side, side, 12));
    }
  }
  std::ofstream(out) << (seconds > 0 ? PeakResidentBytes().value_or(0) : 0) << " " << before << "\n";
  return seconds > 0 ? 0 : 1;
}

double PeakMemoryRun(const std::string& self, const std::string& layer, uint64_t cacheBytes, int32_t side,
                     const std::string& dir) {
  const std::string out = dir + "/peak.txt";
  if (RunCommand({self, "--peak-child", layer, std::to_string(cacheBytes), std::to_string(side), out}) < 0) return -1;
  uint64_t peak = 0, before = 0;
  std::ifstream(out) >> peak >> before;
  return peak > before ? static_cast<double>(peak - before) : -1;
}

// One cell in every tile and every block: each is read once.
std::vector<CellPos> EveryTileOnce(int32_t side) {
  std::vector<CellPos> cells;
  for (int32_t r = 128; r < side; r += 128) {
    for (int32_t c = 128; c < side; c += 128) cells.push_back({r, c});
  }
  cells.push_back({0, 0});
  cells.push_back({side - 1, side - 1});
  return cells;
}

// Cell positions are int32_t and a GeoTIFF block column an int: far beyond any level
// this machine can write.
constexpr long kMaxScaleSide = 1 << 20;

bool Parse(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) return false;
    const char* v = argv[++i];
    if (a == "--runs") {
      o->runs = std::atoi(v);
    } else if (a == "--side") {
      o->side = std::atoi(v);
    } else if (a == "--dir") {
      o->dir = v;
    } else if (a == "--json") {
      o->json = v;
    } else if (a == "--tool") {
      o->tool = v;
    } else if (a == "--scale") {
      for (const char* p = v; *p != '\0';) {
        char* end = nullptr;
        const long side = std::strtol(p, &end, 10);
        if (end == p || side < 257 || side > kMaxScaleSide || (*end != ',' && *end != '\0')) return false;
        o->scale.push_back(static_cast<int32_t>(side));
        if (*end == ',' && end[1] == '\0') return false;
        p = *end == ',' ? end + 1 : end;
      }
      if (o->scale.empty()) return false;
    } else {
      return false;
    }
  }
  return o->runs >= 1 && o->side >= 257 && !o->dir.empty();
}

// The table on stdout and, when asked for, into the JSON file; false when that cannot be written.
bool Publish(const std::vector<Row>& rows, const std::vector<std::pair<std::string, std::string>>& context,
             const std::string& json) {
  PrintTable(rows, stdout);
  if (json.empty()) return true;
  if (!WriteJson(rows, context, json)) {
    std::fprintf(stderr, "cannot write %s\n", json.c_str());
    return false;
  }
  std::printf("written to %s\n", json.c_str());
  return true;
}

// Scaling lines: the same DEM at larger sides, cut on demand. The workload's unit says
// what a cell is: one of the level, or one read.
enum ScaleWork { kScaleWrite, kScaleSeq, kScaleData, kScaleRandomReads, kScaleRandomWrites, kScaleWorks };

struct ScaleWorkInfo {
  const char* what;
  const char* unit;
  const char* gdal;
};

constexpr ScaleWorkInfo kScaleInfo[kScaleWorks] = {
    {"write a whole level", "ns/cell", "GDAL, same side: write every block"},
    {"read every tile, tile read sequences", "ns/cell", "GDAL, same side: GeoTIFF block by block"},
    {"read every tile, tile-data reads", "ns/cell", "GDAL, same side: GeoTIFF block by block"},
    {"random cell reads, level in cache", "ns/read", "GDAL, same side: 1 x 1 RasterIO, blocks cached"},
    {"1 M random cell writes, then close", "ns/cell", "GDAL, same side: 1 x 1 RasterIO writes, close"}};

struct ScaleFigures {
  bool measured = false;
  Sample ours, gdal;
};

struct ScaleSide {
  int32_t side = 0;
  ScaleFigures work[kScaleWorks];
  uint64_t peakBytes = 0;  // peak resident set while this side ran, 0 if unknown
  uint64_t needBytes = 0;  // the estimate the memory check used
  std::vector<std::string> skipped;
};

uint64_t PhysicalBytes() {
  const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
  return pages > 0 && page > 0 ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(page) : 0;
}

// Resets the peak resident set (VmHWM) to the current one, so that each side's peak is its own.
bool ResetPeakResident() {
  std::ofstream f("/proc/self/clear_refs");
  f << "5";
  f.flush();
  return static_cast<bool>(f);
}

std::string MiB(uint64_t bytes) { return std::to_string(bytes >> 20) + " MiB"; }

// The workloads of one side, o.runs times each, dembase and GDAL taking turns. Rows that
// hold the level in memory run only when their estimate stays under 60 % of memory.
ScaleSide MeasureSide(const Options& o, int32_t side) {
  ScaleSide out;
  out.side = side;
  const std::string& dir = o.dir;
  const std::string layerDir = dir + "/scale", layer = layerDir + "/dem.dem", tif = dir + "/scale.tif";
  const std::string copyDir = dir + "/scale_writes", copyTif = dir + "/scale_writes.tif";
  const auto removeAll = [&] {
    std::error_code ec;
    for (const std::string& p : {layerDir, tif, copyDir, copyTif}) std::filesystem::remove_all(p, ec);
  };
  removeAll();

  const DemTiles dem(side, 7);
  const uint64_t levelBytes = dem.TileBytes();
  const uint64_t bigCache = levelBytes * 2;  // as the table's: the whole level fits
  const uint64_t memory = PhysicalBytes();
  const uint64_t allowed = memory / 10 * 6;
  const uint64_t base = ResidentBytes().value_or(0) + (size_t{64} << 20);  // cell lists, row buffers
  // The level in the store's cache (blocks a little over a tile), and for the random rows
  // GDAL's block cache as well: what one frees may stay with the process.
  const uint64_t readNeed = base + levelBytes / 20 * 21;
  const uint64_t bothNeed = readNeed + dem.BlockBytes() / 10 * 11;
  out.needBytes = bothNeed;
  // Layer, GeoTIFF and their copies for the random writes, as if nothing compressed.
  const uint64_t diskNeed = 2 * (levelBytes + dem.BlockBytes());
  std::error_code ec;
  const std::filesystem::space_info space = std::filesystem::space(dir, ec);
  if (ec || space.available < diskNeed) {
    out.skipped.push_back("every row: the files need up to " + MiB(diskNeed) + ", " +
                          (ec ? std::string("free space unknown") : MiB(space.available) + " free"));
    return out;
  }
  const auto fits = [&](uint64_t need, const char* what) {
    if (memory > 0 && need <= allowed) return true;
    out.skipped.push_back(std::string(what) + ": needs about " + MiB(need) + ", over 60 % of the " + MiB(memory) +
                          " of memory");
    return false;
  };
  const bool peakKnown = ResetPeakResident();

  const double cells = static_cast<double>(side) * side;
  auto progress = [side](const char* what) {
    std::printf("measuring at %d x %d: %s\n", side, side, what);
    std::fflush(stdout);
  };
  const auto keep = [](ScaleFigures* f, const std::vector<double>& ours, const std::vector<double>& gdal,
                       double amount) {
    f->measured = true;
    f->ours = TimesOf(ours, 1e9 / amount);
    f->gdal = TimesOf(gdal, 1e9 / amount);
  };

  progress("whole-level writes");
  std::vector<double> wOurs, wGdal;
  for (int run = 0; run < o.runs; ++run) {
    std::filesystem::remove_all(layerDir, ec);
    std::filesystem::create_directories(layerDir, ec);
    Store store(bigCache);
    wOurs.push_back(store.ok() && store.CreateLayer(layer, side) ? store.WriteLevel(layer, dem) : -1);
    wGdal.push_back(gdal::WriteGeoTiff(dem, tif));
  }
  keep(&out.work[kScaleWrite], wOurs, wGdal, cells);

  if (fits(readNeed, "reads of every tile")) {
    progress("reads of every tile");
    std::vector<double> rSeq, rData, rGdal;
    Store readStore(bigCache);
    for (int run = 0; run < o.runs; ++run) {
      rSeq.push_back(readStore.ok() ? readStore.ReadTileSequences(layer) : -1);
      rData.push_back(readStore.ok() ? readStore.ReadTileData(layer) : -1);
      rGdal.push_back(gdal::ReadAllBlocks(tif));
    }
    keep(&out.work[kScaleSeq], rSeq, rGdal, cells);
    keep(&out.work[kScaleData], rData, rGdal, cells);
  }

  if (fits(bothNeed, "random cell reads, level in cache")) {
    progress("random single-cell reads, level in the cache");
    const std::vector<CellPos> warmAll = EveryTileOnce(side);
    const std::vector<CellPos> inCache = RandomCells(kInCacheReads, side, side, 11);
    std::vector<double> cOurs, cGdal;
    for (int run = 0; run < o.runs; ++run) {
      {
        // Its own handle, closed before GDAL fills its cache: the two levels never overlap.
        Store store(bigCache);
        cOurs.push_back(store.ok() ? store.RandomReads(layer, warmAll, inCache) : -1);
      }
      cGdal.push_back(gdal::RandomReads(tif, bigCache, warmAll, inCache));
    }
    keep(&out.work[kScaleRandomReads], cOurs, cGdal, static_cast<double>(kInCacheReads));
  }

  if (fits(bothNeed, "random cell writes, then close")) {
    progress("random single-cell writes, then close");
    const std::vector<CellPos> writes = RandomCells(kRandomWrites, side, side, 14);
    std::vector<double> sOurs, sGdal;
    for (int run = 0; run < o.runs; ++run) {
      {
        Store store(bigCache);
        const bool copied = store.ok() && CopyAnew(layerDir, copyDir);
        sOurs.push_back(copied ? store.RandomWritesThenClose(copyDir + "/dem.dem", writes) : -1);
      }
      std::filesystem::remove_all(copyDir, ec);
      sGdal.push_back(CopyAnew(tif, copyTif) ? gdal::RandomWritesThenClose(copyTif, bigCache, writes) : -1);
      std::filesystem::remove(copyTif, ec);
    }
    // Per cell of the level, not per write: at every side the million writes reach every
    // tile, so the work is inflating and compressing the whole level.
    keep(&out.work[kScaleRandomWrites], sOurs, sGdal, cells);
  }

  if (peakKnown) out.peakBytes = PeakResidentBytes().value_or(0);
  removeAll();
  return out;
}

int ScaleMain(const Options& o) {
  std::vector<int32_t> sides = {o.side};
  for (int32_t s : o.scale) {
    if (std::find(sides.begin(), sides.end(), s) == sides.end()) sides.push_back(s);
  }
  std::error_code ec;
  std::filesystem::create_directories(o.dir, ec);
  if (ec) {
    std::fprintf(stderr, "cannot create %s: %s\n", o.dir.c_str(), ec.message().c_str());
    return 1;
  }
  std::vector<ScaleSide> measured;
  for (int32_t side : sides) {
    measured.push_back(MeasureSide(o, side));
    for (const std::string& why : measured.back().skipped) {
      std::printf("skipped at %d x %d: %s\n", side, side, why.c_str());
    }
  }

  const ScaleSide& base = measured.front();
  const std::string baseName = std::to_string(o.side) + " x " + std::to_string(o.side);
  std::vector<Row> rows;
  for (int w = 0; w < kScaleWorks; ++w) {
    const ScaleWorkInfo& info = kScaleInfo[w];
    for (const ScaleSide& m : measured) {
      const ScaleFigures& f = m.work[w];
      if (!f.measured) continue;
      Row row{std::to_string(m.side) + " x " + std::to_string(m.side) + ": " + info.what,
              info.unit,
              false,
              {"dembase", f.ours},
              {{info.gdal, f.gdal}}};
      // Beside the base side's figure: a ratio near 1 is a cost per cell that stays flat.
      if (&m != &base && base.work[w].measured) row.references.push_back({"dembase at " + baseName, base.work[w].ours});
      rows.push_back(std::move(row));
    }
  }

  std::vector<std::pair<std::string, std::string>> context = {
      {"mode", "scaling"},
      {"base_side", std::to_string(o.side)},
      {"runs", std::to_string(o.runs)},
      {"cores", std::to_string(std::thread::hardware_concurrency())},
      {"memory_mib", std::to_string(PhysicalBytes() >> 20)}};
  std::printf(
      "\nscaling: the same float DEM at each side, %d runs, %u cores; per cell of the level, "
      "random reads per read\n\n",
      o.runs, std::thread::hardware_concurrency());
  for (const ScaleSide& m : measured) {
    const std::string name = std::to_string(m.side);
    const DemTiles dem(m.side, 7);
    std::printf(
        "%d x %d: %zu store tiles (%llu MiB of tile cells), %zu GeoTIFF blocks; peak resident %s, "
        "estimated %llu MiB\n",
        m.side, m.side, dem.TileCount(), static_cast<unsigned long long>(dem.TileBytes() >> 20), dem.BlockCount(),
        m.peakBytes > 0 ? MiB(m.peakBytes).c_str() : "unknown", static_cast<unsigned long long>(m.needBytes >> 20));
    context.push_back({"tiles_" + name, std::to_string(dem.TileCount())});
    context.push_back({"peak_resident_mib_" + name, m.peakBytes > 0 ? std::to_string(m.peakBytes >> 20) : "unknown"});
    for (size_t i = 0; i < m.skipped.size(); ++i) {
      context.push_back({"skipped_" + name + "_" + std::to_string(i), m.skipped[i]});
    }
  }
  std::printf("\n");
  if (!Publish(rows, context, o.json)) return 1;
  // A failed figure is printed as such; the exit tells scripts.
  for (const Row& r : rows) {
    if (r.ours.sample.empty() || r.references.front().sample.empty()) return 1;
  }
  return 0;
}

int Main(int argc, char** argv) {
  if (argc == 6 && std::strcmp(argv[1], "--peak-child") == 0) {
    return PeakChild(argv[2], std::strtoull(argv[3], nullptr, 10), std::atoi(argv[4]), argv[5]);
  }
  Options o;
  if (!Parse(argc, argv, &o)) {
    std::fprintf(stderr,
                 "usage: compare_bench --dir DIR [--runs N>=1] [--side CELLS>=257] [--json FILE] [--tool PATH]\n"
                 "                     [--scale CELLS>=257[,CELLS...]]\n");
    return 2;
  }
  gdal::Init();
  if (!o.scale.empty()) return ScaleMain(o);
  const std::string self = std::filesystem::canonical("/proc/self/exe").string();
  const std::string& dir = o.dir;
  const std::string layerDir = dir + "/layer", layer = layerDir + "/dem.dem";
  const std::string tif = dir + "/dem.tif";

  std::printf("generating a %d x %d float DEM ...\n", o.side, o.side);
  std::fflush(stdout);
  const DemGrid grid = MakeDemGrid(o.side, 7);
  const double mib = grid.TileMiB();
  const uint64_t levelBytes = grid.tiles.size() * kTileBytes;
  const uint64_t bigCache = levelBytes * 2;  // the whole level fits, with room to spare
  const uint64_t smallCache = levelBytes / 4;

  std::vector<Row> rows;
  auto progress = [](const char* what) {
    std::printf("measuring: %s\n", what);
    std::fflush(stdout);
  };

  // Whole-level writes. Each run writes a fresh layer; the last one stays for the reads.
  progress("whole-level writes");
  std::vector<double> wOurs, wGdal, wZlib, wLibdeflate;
  Streams zlibStreams, libdeflateStreams;
  for (int run = 0; run < o.runs; ++run) {
    std::error_code ec;
    std::filesystem::remove_all(layerDir, ec);
    std::filesystem::create_directories(layerDir, ec);
    Store store(bigCache);
    wOurs.push_back(store.ok() && store.CreateLayer(layer, o.side) ? store.WriteLevel(layer, grid) : -1);
    wGdal.push_back(gdal::WriteGeoTiff(grid, tif));
    wZlib.push_back(ZlibCompressAll(grid.tiles, &zlibStreams));
    wLibdeflate.push_back(LibdeflateCompressAll(grid.tiles, &libdeflateStreams));
  }
  rows.push_back({"write a whole level from prepared tiles",
                  "MiB/s",
                  true,
                  {"dembase", RatesOf(wOurs, mib)},
                  {{"GDAL: tiled 256 x 256 DEFLATE GeoTIFF", RatesOf(wGdal, grid.BlockMiB())},
                   {"bare zlib compress2 loop, level 6", RatesOf(wZlib, mib)},
                   {"bare libdeflate zlib loop, level 6 (limit)", RatesOf(wLibdeflate, mib)}}});

  progress("reads of every tile");
  std::vector<double> rSeq, rFresh, rData, rGdal, rZlib, rLibdeflate, cOurs;
  const std::vector<CellPos> warmAll = EveryTileOnce(o.side);
  const std::vector<CellPos> inCache = RandomCells(kInCacheReads, o.side, o.side, 11);
  // One handle for all runs of the reads, as an application keeps its data set open:
  // the cache's memory is touched once, not once per run.
  {
    Store readStore(bigCache);
    for (int run = 0; run < o.runs; ++run) {
      rSeq.push_back(readStore.ok() ? readStore.ReadTileSequences(layer) : -1);
      {
        // A new handle: its cache's memory is touched for the first time.
        Store fresh(bigCache);
        rFresh.push_back(fresh.ok() ? fresh.ReadTileSequences(layer) : -1);
      }
      rData.push_back(readStore.ok() ? readStore.ReadTileData(layer) : -1);
      rGdal.push_back(gdal::ReadAllBlocks(tif));
      rZlib.push_back(ZlibInflateAll(zlibStreams));
      rLibdeflate.push_back(LibdeflateInflateAll(libdeflateStreams));
    }
    const std::vector<Figure> readRefs = {{"GDAL: GeoTIFF block by block", RatesOf(rGdal, grid.BlockMiB())},
                                          {"bare zlib uncompress loop", RatesOf(rZlib, mib)},
                                          {"bare libdeflate zlib loop (limit)", RatesOf(rLibdeflate, mib)}};
    rows.push_back({"read every tile: tile read sequences", "MiB/s", true, {"dembase", RatesOf(rSeq, mib)}, readRefs});
    rows.push_back({"read every tile: tile read sequences, fresh handle",
                    "MiB/s",
                    true,
                    {"dembase", RatesOf(rFresh, mib)},
                    readRefs});
    rows.push_back({"read every tile: tile-data reads", "MiB/s", true, {"dembase", RatesOf(rData, mib)}, readRefs});

    progress("random single-cell reads, level in the cache");
    std::vector<double> cGdal, cArray;
    for (int run = 0; run < o.runs; ++run) {
      cOurs.push_back(readStore.ok() ? readStore.RandomReads(layer, warmAll, inCache) : -1);
      cGdal.push_back(gdal::RandomReads(tif, bigCache, warmAll, inCache));
      const Stopwatch watch;
      float sum = 0;
      for (const CellPos& p : inCache) sum += grid.At(p.row, p.col);
      cArray.push_back(watch.Seconds());
      volatile float sink = sum;
      (void)sink;
    }
    const double reads = static_cast<double>(kInCacheReads);
    rows.push_back({"random single-cell reads, level in cache",
                    "cells/s",
                    true,
                    {"dembase", RatesOf(cOurs, reads)},
                    {{"GDAL: 1 x 1 RasterIO, every block cached", RatesOf(cGdal, reads)},
                     {"plain array lookup (limit)", RatesOf(cArray, reads)}}});
  }

  progress("gdal_translate to GeoTIFF");
  rows.push_back(GdalTranslateRow(layer, tif, dir + "/translated.tif", o.runs));

  progress("random single-cell reads, level 4 x the cache");
  const std::vector<CellPos> warmSome = RandomCells(1000, o.side, o.side, 13);
  const std::vector<CellPos> overflow = RandomCells(kOverflowReads, o.side, o.side, 12);
  std::vector<double> oOurs, oGdal;
  for (int run = 0; run < o.runs; ++run) {
    {
      Store store(smallCache);
      oOurs.push_back(store.ok() ? store.RandomReads(layer, warmSome, overflow) : -1);
    }
    oGdal.push_back(gdal::RandomReads(tif, smallCache, warmSome, overflow));
  }
  rows.push_back({"random single-cell reads, level 4 x cache",
                  "cells/s",
                  true,
                  {"dembase", RatesOf(oOurs, kOverflowReads)},
                  {{"GDAL: RasterIO, block cache of the same size", RatesOf(oGdal, kOverflowReads)}}});

  progress("random single-cell writes, then close");
  const std::vector<CellPos> writes = RandomCells(kRandomWrites, o.side, o.side, 14);
  std::vector<double> sOurs, sGdal;
  {
    Store store(bigCache);
    for (int run = 0; run < o.runs; ++run) {
      const std::string copyDir = dir + "/writes", copyTif = dir + "/writes.tif";
      const bool copied = store.ok() && CopyAnew(layerDir, copyDir);
      sOurs.push_back(copied ? store.RandomWritesThenClose(copyDir + "/dem.dem", writes) : -1);
      sGdal.push_back(CopyAnew(tif, copyTif) ? gdal::RandomWritesThenClose(copyTif, bigCache, writes) : -1);
    }
  }
  rows.push_back({"1 M random single-cell writes, then close",
                  "cells/s",
                  true,
                  {"dembase", RatesOf(sOurs, kRandomWrites)},
                  {{"GDAL: 1 x 1 RasterIO writes, then close", RatesOf(sGdal, kRandomWrites)}}});

  // The same workloads on a layer in a raster database, beside the local files' figures:
  // SQLite in DIR, and PostgreSQL when DEMBASE_PG_CONNINFO names a server (scripts/bench.sh
  // starts a private one on a Unix socket). fresh() answers a database without the layer;
  // copy(db) one holding a copy of the written layer for the random writes ("" on failure).
  const double inCacheReads = static_cast<double>(kInCacheReads);
  const auto databaseRows = [&](const std::string& backend, int32_t kind, const std::function<std::string()>& fresh,
                                const std::function<std::string(const std::string&)>& copy) {
    progress(("the same workloads on " + backend).c_str());
    std::string db;
    std::vector<double> qWrite, qSeq, qData, qCache, qOverflow, qWrites;
    for (int run = 0; run < o.runs; ++run) {
      db = fresh();
      Store store(bigCache, db, kind);
      if (store.ok()) store.DeleteLayer("dem");
      qWrite.push_back(store.ok() && store.CreateLayer("dem", o.side) ? store.WriteLevel("dem", grid) : -1);
    }
    {
      Store readStore(bigCache, db, kind);
      for (int run = 0; run < o.runs; ++run) {
        qSeq.push_back(readStore.ok() ? readStore.ReadTileSequences("dem") : -1);
        qData.push_back(readStore.ok() ? readStore.ReadTileData("dem") : -1);
        qCache.push_back(readStore.ok() ? readStore.RandomReads("dem", warmAll, inCache) : -1);
      }
    }
    for (int run = 0; run < o.runs; ++run) {
      Store store(smallCache, db, kind);
      qOverflow.push_back(store.ok() ? store.RandomReads("dem", warmSome, overflow) : -1);
    }
    for (int run = 0; run < o.runs; ++run) {
      const std::string copied = copy(db);
      Store store(bigCache, copied, kind);
      qWrites.push_back(!copied.empty() && store.ok() ? store.RandomWritesThenClose("dem", writes) : -1);
    }
    const std::string ours = "dembase on " + backend;
    const auto row = [&](const char* what, const char* unit, const Sample& db, const Sample& files) {
      rows.push_back({backend + ": " + what, unit, true, {ours, db}, {{"dembase, local files", files}}});
    };
    row("write a whole level", "MiB/s", RatesOf(qWrite, mib), RatesOf(wOurs, mib));
    row("read every tile, tile read sequences", "MiB/s", RatesOf(qSeq, mib), RatesOf(rSeq, mib));
    row("read every tile, tile-data reads", "MiB/s", RatesOf(qData, mib), RatesOf(rData, mib));
    row("random cell reads, level in cache", "cells/s", RatesOf(qCache, inCacheReads), RatesOf(cOurs, inCacheReads));
    row("random cell reads, level 4 x cache", "cells/s", RatesOf(qOverflow, kOverflowReads),
        RatesOf(oOurs, kOverflowReads));
    row("1 M random cell writes, then close", "cells/s", RatesOf(qWrites, kRandomWrites),
        RatesOf(sOurs, kRandomWrites));
  };
  const std::string sqliteDb = dir + "/dem.db", sqliteCopy = dir + "/writes.db";
  databaseRows(
      "SQLite", RASTERDB_KIND_SQLITE,
      [&] {
        std::error_code ec;
        std::filesystem::remove(sqliteDb, ec);
        return sqliteDb;
      },
      [&](const std::string& db) { return CopyAnew(db, sqliteCopy) ? sqliteCopy : std::string(); });
  const char* pgServer = std::getenv("DEMBASE_PG_CONNINFO");
  const std::string pg = pgServer != nullptr ? pgServer : "";
  // The server keeps one copy: the random writes change the written layer in place.
  const auto onServer = [&pg](const std::string& = "") { return pg; };
  if (!pg.empty()) databaseRows("PostgreSQL", RASTERDB_KIND_POSTGRESQL, onServer, onServer);

  // Tiles straight through librasterdb, this DEM's zlib tiles: single writes each commit.
  progress("tile writes and reads through librasterdb");
  const auto tileRates = [&](int32_t kind, const std::string& arg) {
    std::vector<double> own, batch, read;
    for (int run = 0; run < o.runs; ++run) {
      {
        DbTiles single(kind, arg, "tiles", static_cast<int>(zlibStreams.size()));
        own.push_back(single.ok() ? single.WriteAll(zlibStreams, true, false) : -1);
      }
      DbTiles batched(kind, arg, "tiles", static_cast<int>(zlibStreams.size()));
      batch.push_back(batched.ok() ? batched.WriteAll(zlibStreams, true, true) : -1);
      read.push_back(batched.ok() ? batched.ReadAll() : -1);
    }
    const double n = static_cast<double>(zlibStreams.size());
    return std::vector<Sample>{RatesOf(own, n), RatesOf(batch, n), RatesOf(read, n)};
  };
  if (!pg.empty()) {
    const std::vector<Sample> onSqlite = tileRates(RASTERDB_KIND_SQLITE, dir + "/tiles.db");
    const std::vector<Sample> onPg = tileRates(RASTERDB_KIND_POSTGRESQL, pg);
    const char* what[] = {"PostgreSQL: tile writes, each its own transaction", "PostgreSQL: tile writes in one batch",
                          "PostgreSQL: tile reads, record and bytes"};
    for (size_t i = 0; i < 3; ++i) {
      rows.push_back({what[i], "tiles/s", true, {"librasterdb on PostgreSQL", onPg[i]}, {{"on SQLite", onSqlite[i]}}});
    }
  }

  progress("pyramid builds");
  std::vector<double> pOurs, pGdal;
  for (int run = 0; run < o.runs; ++run) {
    const std::string copyDir = dir + "/pyramid", copyTif = dir + "/pyramid.tif";
    pOurs.push_back(CopyAnew(layerDir, copyDir) ? BuildPyramid(o.tool, copyDir + "/dem.dem", kPyramidLevels) : -1);
    pGdal.push_back(CopyAnew(tif, copyTif) ? gdal::BuildOverviews(copyTif, kPyramidLevels) : -1);
  }
  rows.push_back({"build the pyramid (5 levels above)",
                  "s",
                  false,
                  {"dembase pyramid", TimesOf(pOurs, 1)},
                  {{"gdaladdo -r average 2 4 8 16 32", TimesOf(pGdal, 1)}}});

  progress("opening a level of 100 000 tiles");
  const std::string bigDir = dir + "/big", bigLayer = bigDir + "/dem.dem", bigTif = dir + "/big.tif";
  std::vector<double> nOurs, nGdal;
  {
    std::error_code ec;
    std::filesystem::create_directories(bigDir, ec);
    Store store(bigCache);
    const bool made = store.ok() && store.CreateLayer(bigLayer, kBigSide) && gdal::MakeSparseGeoTiff(bigTif, kBigSide);
    for (int run = 0; run < o.runs && made; ++run) {
      double ours = 0, ref = 0;
      for (int k = 0; k < kOpensPerRun; ++k) {
        const double a = store.OpenAndReadOneCell(bigLayer);
        const double b = gdal::OpenAndReadOneCell(bigTif);
        ours = a < 0 || ours < 0 ? -1 : ours + a;
        ref = b < 0 || ref < 0 ? -1 : ref + b;
      }
      nOurs.push_back(ours);
      nGdal.push_back(ref);
    }
    if (!made) nOurs = nGdal = {-1};
  }
  rows.push_back({"open a layer and a level of 100 489 tiles, read a cell",
                  "ms",
                  false,
                  {"dembase", TimesOf(nOurs, 1000.0 / kOpensPerRun)},
                  {{"GDAL: open the sparse GeoTIFF, read a cell", TimesOf(nGdal, 1000.0 / kOpensPerRun)}}});

  const double ourBytes = static_cast<double>(BytesOnDisk(layerDir)) / kMiB;
  const double tifBytes = static_cast<double>(BytesOnDisk(tif)) / kMiB;
  rows.push_back({"bytes on disk, level 1",
                  "MiB",
                  false,
                  {"dembase", Sample{{ourBytes}}},
                  {{"GDAL: the GeoTIFF", Sample{{tifBytes}}},
                   {"raw cells", Sample{{static_cast<double>(o.side) * o.side * 4 / kMiB}}}}});

  progress("peak memory");
  std::vector<double> mOurs;
  for (int run = 0; run < o.runs; ++run) mOurs.push_back(PeakMemoryRun(self, layer, smallCache, o.side, dir));
  Sample peak;
  if (std::all_of(mOurs.begin(), mOurs.end(), [](double b) { return b > 0; })) {
    for (double b : mOurs) peak.runs.push_back(b / kMiB);
  }
  rows.push_back({"peak memory, random reads with level 4 x cache",
                  "MiB",
                  false,
                  {"dembase", peak},
                  {{"the configured tile cache", Sample{{static_cast<double>(smallCache) / kMiB}}}}});

  const std::vector<std::pair<std::string, std::string>> context = {
      {"dem", std::to_string(o.side) + " x " + std::to_string(o.side) + " float cells"},
      {"tiles",
       std::to_string(grid.tiles.size()) + " store tiles, " + std::to_string(grid.blocks.size()) + " GeoTIFF blocks"},
      {"runs", std::to_string(o.runs)},
      {"cores", std::to_string(std::thread::hardware_concurrency())},
      {"memory_mib",
       std::to_string(static_cast<uint64_t>(sysconf(_SC_PHYS_PAGES)) * static_cast<uint64_t>(sysconf(_SC_PAGESIZE)) >>
                      20)},
      {"cache_in_cache_mib", std::to_string(bigCache >> 20)},
      {"cache_overflow_mib", std::to_string(smallCache >> 20)}};
  std::printf(
      "\n%d x %d float DEM (%.0f MiB of tile cells, %zu tiles), %d runs, %u cores; tile caches %llu and %llu MiB\n\n",
      o.side, o.side, mib, grid.tiles.size(), o.runs, std::thread::hardware_concurrency(),
      static_cast<unsigned long long>(bigCache >> 20), static_cast<unsigned long long>(smallCache >> 20));
  if (!Publish(rows, context, o.json)) return 1;
  return 0;
}

}  // namespace
}  // namespace dembase::bench

int main(int argc, char** argv) { return dembase::bench::Main(argc, argv); }
