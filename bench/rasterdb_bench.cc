// Tile writes and reads per second through librasterdb (SQLite, and PostgreSQL when
// DEMBASE_PG_CONNINFO names a server), with 256 KiB raw tiles and the same tiles
// zlib-compressed (compress2, level 6), outside and inside a write batch, beside the local
// store's figures for the same tiles (whole-level write and tile-data reads through the
// exports). Prints one table; run as:
//   rasterdb_bench [tiles per run (default 64)] [directory]
#include <stdlib.h>
#include <zlib.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/db_tiles.h"
#include "dembase/dembase.h"
#include "dembase/rasterdb.h"

namespace {

using dembase::bench::DbTiles;
using dembase::bench::kDbTileBytes;
using dembase::bench::TerrainTile;
constexpr uint32_t kRawBytes = kDbTileBytes;
using Clock = std::chrono::steady_clock;

std::vector<uint8_t> Compress(const std::vector<uint8_t>& raw) {
  uLongf size = compressBound(static_cast<uLong>(raw.size()));
  std::vector<uint8_t> out(size);
  if (compress2(out.data(), &size, raw.data(), static_cast<uLong>(raw.size()), 6) != Z_OK) return {};
  out.resize(size);
  return out;
}

// The same tiles through a local layer: one whole-level write, then a tile-data read of each.
bool LocalStore(const std::string& dir, int tiles, const std::vector<std::vector<uint8_t>>& raw, bool compressed,
                double* write_s, double* read_s, uint64_t* bytes) {
  DemBaseAI* h = _hxCreateDemBaseAI();
  const std::string path = dir + (compressed ? "/packed.dem" : "/raw.dem");
  DataLayerParam p{};
  p.dataType = DEMBASE_TYPE_INT32;
  p.xMax = 255.0 * tiles;
  p.yMax = 255.0;
  p.cellSizeX = p.cellSizeY = 1.0;
  bool ok = h != nullptr && _hxOpenDataSet(h, nullptr, 0.125f) == LOCAL_DATASET_ID &&
            _hxCreateDataLayer(h, LOCAL_DATASET_ID, path.c_str(), &p, 0, 0) == 1;
  const int32_t id = ok ? _hxOpenDataLayer(h, LOCAL_DATASET_ID, path.c_str(), 0) : 0;
  const LayerOperParam oper{static_cast<uint8_t>(compressed ? 1 : 0), 0, 0.0f, 1.0f};
  ok = id >= 1 && _hxSetLayerOperParam(h, LOCAL_DATASET_ID, id, &oper) == 1;

  auto start = Clock::now();
  ok = ok && _hxBeginWritePyramidLayer(h, LOCAL_DATASET_ID, id, 1) == 1;
  for (int t = 0; ok && t < tiles; ++t) {
    OneTileInfo info{static_cast<int32_t>(kRawBytes), 500.0f, 1100.0f};
    ok = _hxWriteOneTile(h, 0, t, &info, raw[static_cast<std::size_t>(t) % raw.size()].data()) == 1;
  }
  ok = ok && _hxEndWritePyramidLayer(h) == 1;
  *write_s = std::chrono::duration<double>(Clock::now() - start).count();

  start = Clock::now();
  for (int t = 0; ok && t < tiles; ++t) {
    double v = 0;
    uint8_t isNull = 0;
    ok = _hxBeginReadTileData(h, LOCAL_DATASET_ID, id, 1, 0, 0, t) == 1 &&
         _hxReadCellOfTileData(h, 7, 7, &v, &isNull) == 1 && _hxEndReadTileData(h) == 1;
  }
  *read_s = std::chrono::duration<double>(Clock::now() - start).count();
  if (h != nullptr) _hxDeleteDemBaseAI(h);
  std::error_code ignored;
  const std::string stem = path.substr(0, path.size() - 4);
  *bytes = std::filesystem::file_size(stem + "/" + stem.substr(dir.size() + 1) + ".Dem", ignored);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  const int tiles = argc > 1 ? std::atoi(argv[1]) : 64;
  if (tiles < 1 || tiles > 100000) {
    std::fprintf(stderr, "rasterdb_bench: tiles per run must be 1..100000\n");
    return 2;
  }
  std::string dir_pattern = (argc > 2 ? std::string(argv[2]) : std::string("/tmp")) + "/rasterdb_bench_XXXXXX";
  if (mkdtemp(dir_pattern.data()) == nullptr) {
    std::fprintf(stderr, "rasterdb_bench: cannot make a directory under %s\n", argc > 2 ? argv[2] : "/tmp");
    return 1;
  }
  const std::string dir = dir_pattern;

  std::vector<std::vector<uint8_t>> raw, packed;
  std::size_t packed_bytes = 0;
  for (int i = 0; i < 8; ++i) {
    raw.push_back(TerrainTile(i));
    packed.push_back(Compress(raw.back()));
    packed_bytes += packed.back().size();
  }
  std::printf(
      "rasterdb tiles of 256 x 256 int32 cells, %d tiles per run; compressed tiles average %zu bytes "
      "(ratio %.2f)\n\n",
      tiles, packed_bytes / packed.size(), kRawBytes * 8.0 / static_cast<double>(packed_bytes));
  std::printf("%-36s %-11s %12s %12s\n", "operation", "payload", "tiles/s", "MiB/s");

  // SQLite in the directory; PostgreSQL too when a server is named (scripts/pg_server.sh run).
  struct Backend {
    const char* name;
    int32_t kind;
    std::string arg;
  };
  std::vector<Backend> backends{{"SQLite", RASTERDB_KIND_SQLITE, ""}};
  if (const char* pg = getenv("DEMBASE_PG_CONNINFO"); pg != nullptr) backends.push_back({"PostgreSQL", 2, pg});
  int status = 0;
  int run = 0;
  for (const Backend& backend : backends) {
    for (const bool batch : {false, true}) {
      for (const bool compressed : {false, true}) {
        const auto& payloads = compressed ? packed : raw;
        const double mib = static_cast<double>(tiles) *
                           static_cast<double>(compressed ? packed_bytes / packed.size() : kRawBytes) / (1 << 20);
        const std::string name = "dem" + std::to_string(run++);
        const std::string arg = backend.kind == RASTERDB_KIND_SQLITE ? dir + "/" + name + ".db" : backend.arg;
        DbTiles f(backend.kind, arg, name, tiles);
        const double write_s = f.ok() ? f.WriteAll(payloads, compressed, batch) : -1;
        const double read_s = write_s > 0 ? f.ReadAll() : -1;
        if (read_s <= 0) {
          std::fprintf(stderr, "rasterdb_bench: a call was refused (%s, %s)\n", backend.name, name.c_str());
          status = 1;
          continue;
        }
        const char* payload = compressed ? "zlib" : "raw 256 KiB";
        const std::string op = std::string(backend.name) + (batch ? ": write, one batch" : ": write, own transaction");
        std::printf("%-36s %-11s %12.0f %12.1f\n", op.c_str(), payload, tiles / write_s, mib / write_s);
        if (batch) {
          std::printf("%-36s %-11s %12.0f %12.1f\n", (std::string(backend.name) + ": read").c_str(), payload,
                      tiles / read_s, mib / read_s);
        }
      }
    }
  }
  for (const bool compressed : {false, true}) {
    double write_s = 0, read_s = 0;
    uint64_t bytes = 0;
    const char* payload = compressed ? "zlib" : "raw 256 KiB";
    if (!LocalStore(dir, tiles, raw, compressed, &write_s, &read_s, &bytes)) {
      std::fprintf(stderr, "rasterdb_bench: the local store refused a call (%s)\n", dir.c_str());
      status = 1;
      continue;
    }
    const double mib = static_cast<double>(bytes) / (1 << 20);
    std::printf("%-36s %-11s %12.0f %12.1f\n", "local: whole-level write", payload, tiles / write_s, mib / write_s);
    std::printf("%-36s %-11s %12.0f %12.1f\n", "local: tile-data read", payload, tiles / read_s, mib / read_s);
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return status;
}
