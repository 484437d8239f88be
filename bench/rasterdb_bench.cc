// Tile writes and reads per second through librasterdb (SQLite backend), with 256 KiB raw
// tiles and the same tiles zlib-compressed (compress2, level 6), outside and inside a write
// batch, beside the local store's figures for the same tiles (whole-level write and tile-data
// reads through the exports). Prints one table; run as:
//   rasterdb_bench [tiles per run (default 64)] [directory]
#include <stdlib.h>
#include <zlib.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "dembase/dembase.h"
#include "dembase/rasterdb.h"

namespace {

constexpr int kEdge = 256;
constexpr uint32_t kRawBytes = kEdge * kEdge * 4;

// A smooth terrain with some roughness, as int32 cells: compresses about as real DEM tiles do.
std::vector<uint8_t> TerrainTile(int seed) {
  std::vector<uint8_t> bytes(kRawBytes);
  uint32_t noise = 2463534242u + static_cast<uint32_t>(seed);
  for (int r = 0; r < kEdge; ++r) {
    for (int c = 0; c < kEdge; ++c) {
      noise ^= noise << 13;
      noise ^= noise >> 17;
      noise ^= noise << 5;
      const double h = 800 + 300 * std::sin((r + seed * 255) / 40.0) * std::cos(c / 55.0) + (noise % 7);
      const auto cell = static_cast<int32_t>(h);
      std::memcpy(&bytes[static_cast<std::size_t>((r * kEdge + c) * 4)], &cell, 4);
    }
  }
  return bytes;
}

std::vector<uint8_t> Compress(const std::vector<uint8_t>& raw) {
  uLongf size = compressBound(static_cast<uLong>(raw.size()));
  std::vector<uint8_t> out(size);
  if (compress2(out.data(), &size, raw.data(), static_cast<uLong>(raw.size()), 6) != Z_OK) return {};
  out.resize(size);
  return out;
}

struct Fixture {
  uint32_t conn = 0;
  int32_t layer = 0;
  std::vector<TileIndexRec> index;
};

bool Open(const std::string& file, int tiles, Fixture* f) {
  f->conn = DbConnect(RASTERDB_KIND_SQLITE, file.c_str(), "", "");
  DbConnectInfo info{};
  std::strcpy(info.dataSet, "bench");
  const int32_t ds = f->conn != 0 ? DbOpenDataSet(f->conn, &info) : 0;
  DataLayerParam p{};
  p.dataType = DEMBASE_TYPE_INT32;
  p.xMax = p.yMax = 255.0 * tiles;
  p.cellSizeX = p.cellSizeY = 1.0;
  if (ds < 1 || DbCreateLayer(f->conn, ds, "dem", &p, 0) != 1) return false;
  f->layer = DbOpenLayer(f->conn, ds, "dem");
  PyramidLayerInfo level{};
  level.cellSizeX = level.cellSizeY = 1.0;
  level.rows = 256;
  level.cols = 255 * tiles + 1;
  level.tileRows = level.tileCols = 256;
  level.tilesDown = 1;
  level.tilesAcross = tiles;
  if (DbCreateLevel(f->conn, f->layer, 1, &level) != 1) return false;
  f->index.resize(static_cast<std::size_t>(tiles));
  return DbGetLevelInfo(f->conn, f->layer, 1, &level) == 1 &&
         DbReadTileIndex(f->conn, f->layer, 1, f->index.data()) == 1;
}

using Clock = std::chrono::steady_clock;

// Seconds to store every tile, each with its record; false on any refusal.
bool WriteAll(Fixture& f, const std::vector<std::vector<uint8_t>>& payloads, bool packed, bool batch, double* seconds) {
  const auto start = Clock::now();
  if (batch && DbBeginWrite(f.conn, f.layer, 1) != 1) return false;
  for (std::size_t t = 0; t < f.index.size(); ++t) {
    const std::vector<uint8_t>& bytes = payloads[t % payloads.size()];
    TileIndexRec rec{};
    rec.packed = packed ? 1 : 0;
    rec.storedSize = static_cast<uint32_t>(bytes.size());
    rec.tileMin = 500.0f;
    rec.tileMax = 1100.0f;
    const uint32_t key = f.index[t].offset;
    const auto n = static_cast<int32_t>(t) + 1;
    const auto size = static_cast<uint32_t>(bytes.size());
    const bool ok = batch ? DbPutTileData(f.conn, key, bytes.data(), size) == 1 && DbPutTileRec(f.conn, n, &rec) == 1
                          : DbWriteTileData(f.conn, f.layer, key, bytes.data(), size) == 1 &&
                                DbWriteTileRec(f.conn, f.layer, 1, n, &rec) == 1;
    if (!ok) return false;
  }
  if (batch && DbEndWrite(f.conn) != 1) return false;
  *seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return true;
}

// Seconds to read every tile's record and bytes back.
bool ReadAll(Fixture& f, double* seconds) {
  std::vector<uint8_t> buffer(2 * kRawBytes);
  const auto start = Clock::now();
  for (std::size_t t = 0; t < f.index.size(); ++t) {
    TileIndexRec rec{};
    if (DbReadTileRec(f.conn, f.layer, 1, static_cast<int32_t>(t) + 1, &rec) != 1 ||
        DbReadTileData(f.conn, f.layer, rec.offset, rec.storedSize, buffer.data()) != 1) {
      return false;
    }
  }
  *seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return true;
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
      "rasterdb (SQLite) tiles of 256 x 256 int32 cells, %d tiles per run; compressed tiles average %zu bytes "
      "(ratio %.2f)\n\n",
      tiles, packed_bytes / packed.size(), kRawBytes * 8.0 / static_cast<double>(packed_bytes));
  std::printf("%-24s %-11s %12s %12s\n", "operation", "payload", "tiles/s", "MiB/s");

  int status = 0;
  int run = 0;
  for (const bool batch : {false, true}) {
    for (const bool compressed : {false, true}) {
      const auto& payloads = compressed ? packed : raw;
      const double mib = static_cast<double>(tiles) *
                         static_cast<double>(compressed ? packed_bytes / packed.size() : kRawBytes) / (1 << 20);
      Fixture f;
      double write_s = 0, read_s = 0;
      const std::string file = dir + "/bench" + std::to_string(run++) + ".db";
      if (!Open(file, tiles, &f) || !WriteAll(f, payloads, compressed, batch, &write_s) || !ReadAll(f, &read_s)) {
        std::fprintf(stderr, "rasterdb_bench: a call was refused (%s)\n", file.c_str());
        status = 1;
      } else {
        const char* payload = compressed ? "zlib" : "raw 256 KiB";
        std::printf("%-24s %-11s %12.0f %12.1f\n", batch ? "write, one batch" : "write, own transaction", payload,
                    tiles / write_s, mib / write_s);
        if (batch) std::printf("%-24s %-11s %12.0f %12.1f\n", "read", payload, tiles / read_s, mib / read_s);
      }
      DbDisconnect(f.conn);
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
    std::printf("%-24s %-11s %12.0f %12.1f\n", "local: whole-level write", payload, tiles / write_s, mib / write_s);
    std::printf("%-24s %-11s %12.0f %12.1f\n", "local: tile-data read", payload, tiles / read_s, mib / read_s);
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return status;
}
