// dembase beside GDAL and the compression limit, on one generated DEM, in one run: the
// table of bench/README.md. Every workload runs --runs times, dembase and its references
// taking turns so that a busy moment of the machine hurts both alike.
//
// Run as: compare_bench [--runs N] [--side CELLS] [--dir DIR] [--json FILE] [--tool PATH]
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
    } else {
      return false;
    }
  }
  return o->runs >= 1 && o->side >= 257 && !o->dir.empty();
}

int Main(int argc, char** argv) {
  if (argc == 6 && std::strcmp(argv[1], "--peak-child") == 0) {
    return PeakChild(argv[2], std::strtoull(argv[3], nullptr, 10), std::atoi(argv[4]), argv[5]);
  }
  Options o;
  if (!Parse(argc, argv, &o)) {
    std::fprintf(stderr,
                 "usage: compare_bench --dir DIR [--runs N>=1] [--side CELLS>=257] [--json FILE] [--tool PATH]\n");
    return 2;
  }
  gdal::Init();
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
      {"memory_mib", std::to_string(static_cast<uint64_t>(sysconf(_SC_PHYS_PAGES)) *
                                        static_cast<uint64_t>(sysconf(_SC_PAGESIZE)) >> 20)},
      {"cache_in_cache_mib", std::to_string(bigCache >> 20)},
      {"cache_overflow_mib", std::to_string(smallCache >> 20)}};
  std::printf(
      "\n%d x %d float DEM (%.0f MiB of tile cells, %zu tiles), %d runs, %u cores; tile caches %llu and %llu MiB\n\n",
      o.side, o.side, mib, grid.tiles.size(), o.runs, std::thread::hardware_concurrency(),
      static_cast<unsigned long long>(bigCache >> 20), static_cast<unsigned long long>(smallCache >> 20));
  PrintTable(rows, stdout);
  if (!o.json.empty()) {
    if (!WriteJson(rows, context, o.json)) {
      std::fprintf(stderr, "cannot write %s\n", o.json.c_str());
      return 1;
    }
    std::printf("written to %s\n", o.json.c_str());
  }
  return 0;
}

}  // namespace
}  // namespace dembase::bench

int main(int argc, char** argv) { return dembase::bench::Main(argc, argv); }
