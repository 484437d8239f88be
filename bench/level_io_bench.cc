// Whole-level writes and tile-data reads of a local layer through the exports, each
// beside the bare codec loop over the same tiles: libdeflate at level 6 (the store's
// codec) and zlib at level 6 (the reference). Figures are MiB of raw cells per second,
// best of several runs; the ratio says how much of the codec's speed the store keeps.
// Reads come from the page cache (the level was just written).
//
// Run as: level_io_bench [tiles per side (default 24)] [runs (default 3)] [directory]
#include <libdeflate.h>
#include <stdlib.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "dembase/dembase.h"
#include "tests/support/terrain.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kTileBytes = 256 * 256 * 4;
constexpr double kMiB = 1024.0 * 1024.0;

struct Tiles {
  int32_t side = 0;
  std::vector<std::vector<float>> cells;  // row-major tile order
  std::vector<OneTileInfo> infos;
  std::vector<std::vector<uint8_t>> packed;  // libdeflate streams of the same tiles
  double RawMiB() const { return static_cast<double>(cells.size() * kTileBytes) / kMiB; }
};

Tiles MakeTiles(int32_t side) {
  Tiles tiles;
  tiles.side = side;
  const int32_t cellsPerSide = side * 255;
  const dembase::testing::Terrain terrain(cellsPerSide, cellsPerSide, 7);
  uint32_t nullBits = DEMBASE_NULL_FLOAT32_BITS;
  float null;
  std::memcpy(&null, &nullBits, sizeof null);
  for (int32_t t = 0; t < side * side; ++t) {
    std::vector<float> cells(256 * 256);
    terrain.FillTile(t / side, t % side, null, cells.data());
    OneTileInfo info{static_cast<int32_t>(kTileBytes), 3.4e38f, -3.4e38f};
    bool any = false;
    for (float v : cells) {
      if (v == null) continue;
      info.minimum = std::min(float{info.minimum}, v);
      info.maximum = std::max(float{info.maximum}, v);
      any = true;
    }
    if (!any) info.size = 0;
    tiles.cells.push_back(std::move(cells));
    tiles.infos.push_back(info);
  }
  return tiles;
}

// Best (shortest) of runs timings of fn, in seconds.
double Best(int runs, const std::function<bool()>& fn) {
  double best = 1e30;
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    if (!fn()) return -1;
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
  }
  return best;
}

bool DeflateAll(Tiles* tiles) {
  libdeflate_compressor* c = libdeflate_alloc_compressor(6);
  if (c == nullptr) return false;
  const size_t bound = libdeflate_zlib_compress_bound(c, kTileBytes);
  tiles->packed.assign(tiles->cells.size(), {});
  bool ok = true;
  for (size_t t = 0; t < tiles->cells.size() && ok; ++t) {
    tiles->packed[t].resize(bound);
    const size_t n = libdeflate_zlib_compress(c, tiles->cells[t].data(), kTileBytes, tiles->packed[t].data(), bound);
    tiles->packed[t].resize(n);
    ok = n > 0;
  }
  libdeflate_free_compressor(c);
  return ok;
}

bool InflateAll(const Tiles& tiles) {
  libdeflate_decompressor* d = libdeflate_alloc_decompressor();
  if (d == nullptr) return false;
  std::vector<uint8_t> out(kTileBytes);
  bool ok = true;
  for (const auto& p : tiles.packed) {
    size_t got = 0;
    ok = ok && libdeflate_zlib_decompress(d, p.data(), p.size(), out.data(), out.size(), &got) == LIBDEFLATE_SUCCESS &&
         got == kTileBytes;
  }
  libdeflate_free_decompressor(d);
  return ok;
}

bool ZlibCompressAll(const Tiles& tiles, std::vector<std::vector<uint8_t>>* out) {
  out->assign(tiles.cells.size(), {});
  for (size_t t = 0; t < tiles.cells.size(); ++t) {
    uLongf n = compressBound(kTileBytes);
    (*out)[t].resize(n);
    if (compress2((*out)[t].data(), &n, reinterpret_cast<const Bytef*>(tiles.cells[t].data()), kTileBytes, 6) != Z_OK) {
      return false;
    }
    (*out)[t].resize(n);
  }
  return true;
}

bool ZlibInflateAll(const std::vector<std::vector<uint8_t>>& packed) {
  std::vector<Bytef> out(kTileBytes);
  for (const auto& p : packed) {
    uLongf got = kTileBytes;
    if (uncompress(out.data(), &got, p.data(), p.size()) != Z_OK || got != kTileBytes) return false;
  }
  return true;
}

// A local layer holding the tiles' level as level 1, closed, ready for whole-level writes.
class Layer {
 public:
  Layer(const std::string& dir, const std::string& name, int32_t side) : path_(dir + "/" + name) {
    h_ = _hxCreateDemBaseAI();
    if (h_ == nullptr || _hxOpenDataSet(h_, nullptr, 0.125f) != LOCAL_DATASET_ID) return;
    DataLayerParam p{};
    p.dataType = DEMBASE_TYPE_FLOAT32;
    p.xMax = side * 255 - 1;
    p.yMax = side * 255 - 1;
    p.cellSizeX = 1;
    p.cellSizeY = 1;
    if (_hxCreateDataLayer(h_, LOCAL_DATASET_ID, path_.c_str(), &p, 0, 0) != 1) return;
    id_ = _hxOpenDataLayer(h_, LOCAL_DATASET_ID, path_.c_str(), 0);
  }
  ~Layer() {
    if (h_ != nullptr) _hxDeleteDemBaseAI(h_);
  }
  bool ok() const { return id_ > 0; }

  bool WriteLevel(const Tiles& tiles, bool compress) {
    const LayerOperParam oper{static_cast<uint8_t>(compress), 0, 0.0f, 1.0f};
    if (_hxSetLayerOperParam(h_, LOCAL_DATASET_ID, id_, &oper) != 1 ||
        _hxBeginWritePyramidLayer(h_, LOCAL_DATASET_ID, id_, 1) != 1) {
      return false;
    }
    bool ok = true;
    for (size_t t = 0; t < tiles.cells.size(); ++t) {
      OneTileInfo info = tiles.infos[t];
      ok = ok && _hxWriteOneTile(h_, 0, static_cast<int32_t>(t), &info, tiles.cells[t].data()) == 1;
    }
    return _hxEndWritePyramidLayer(h_) == 1 && ok;
  }

  // Loads every tile through a tile-data read; with cells, also hands out every cell.
  bool ReadLevel(int32_t side, bool cells) {
    for (int32_t t = 0; t < side * side; ++t) {
      const int16_t r = _hxBeginReadTileData(h_, LOCAL_DATASET_ID, id_, 1, 0, t / side, t % side);
      if (r < 1) return false;
      for (int32_t row = 0; cells && row < 256; ++row) {
        for (int32_t col = 0; col < 256; ++col) {
          double v;
          uint8_t isNull;
          if (_hxReadCellOfTileData(h_, row, col, &v, &isNull) != 1) return false;
        }
      }
      if (_hxEndReadTileData(h_) != 1) return false;
    }
    return true;
  }

 private:
  std::string path_;
  DemBaseAI* h_ = nullptr;
  int32_t id_ = 0;
};

void Row(const char* what, double mib, double seconds, const char* besideName = nullptr, double beside = 0) {
  if (seconds <= 0) {
    std::printf("%-44s %10s\n", what, "failed");
    return;
  }
  const double rate = mib / seconds;
  if (besideName == nullptr) {
    std::printf("%-44s %10.1f\n", what, rate);
  } else {
    std::printf("%-44s %10.1f   %5.2f x %s\n", what, rate, rate / (mib / beside), besideName);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int32_t side = argc > 1 ? std::max(1, atoi(argv[1])) : 24;
  const int runs = argc > 2 ? std::max(1, atoi(argv[2])) : 3;
  std::string dir = argc > 3 ? argv[3] : "";
  bool madeDir = false;
  if (dir.empty()) {
    std::string pattern = (std::filesystem::temp_directory_path() / "level-io-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return 1;
    dir = pattern;
    madeDir = true;
  }

  Tiles tiles = MakeTiles(side);
  const double mib = tiles.RawMiB();
  if (!DeflateAll(&tiles)) return 1;
  size_t packedBytes = 0;
  for (const auto& p : tiles.packed) packedBytes += p.size();
  std::vector<std::vector<uint8_t>> zlibPacked;

  const double deflate = Best(runs, [&] { return DeflateAll(&tiles); });
  const double zlibDeflate = Best(runs, [&] { return ZlibCompressAll(tiles, &zlibPacked); });
  const double inflate = Best(runs, [&] { return InflateAll(tiles); });
  const double zlibInflate = Best(runs, [&] { return ZlibInflateAll(zlibPacked); });

  // Each write run gets a fresh layer, made and removed outside the timing, so every
  // run appends to empty data files.
  auto writeRun = [&](bool compress) {
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
      const std::string name = "w" + std::to_string(i);
      {
        Layer layer(dir, name + ".dem", side);
        const auto start = Clock::now();
        if (!layer.ok() || !layer.WriteLevel(tiles, compress)) return -1.0;
        best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
      }
      std::error_code ec;
      std::filesystem::remove(dir + "/" + name + ".dem", ec);
      std::filesystem::remove_all(dir + "/" + name, ec);
    }
    return best;
  };
  const double writePacked = writeRun(true);
  const double writeRaw = writeRun(false);
  Layer packedLayer(dir, "packed.dem", side);
  Layer rawLayer(dir, "raw.dem", side);
  if (!packedLayer.ok() || !rawLayer.ok() || !packedLayer.WriteLevel(tiles, true) ||
      !rawLayer.WriteLevel(tiles, false)) {
    std::fprintf(stderr, "level_io_bench: cannot make the layers in %s\n", dir.c_str());
    return 1;
  }
  const double readPacked = Best(runs, [&] { return packedLayer.ReadLevel(side, false); });
  const double readPackedCells = Best(runs, [&] { return packedLayer.ReadLevel(side, true); });
  const double readRaw = Best(runs, [&] { return rawLayer.ReadLevel(side, false); });

  std::printf("level_io_bench: %d x %d tiles of float terrain, %.1f MiB of cells, best of %d runs\n", side, side, mib,
              runs);
  std::printf("compressed to %.1f %% of the raw size at level 6\n\n", 100.0 * packedBytes / (mib * kMiB));
  std::printf("%-44s %10s   %s\n", "", "MiB/s", "ratio to the bare loop");
  Row("bare libdeflate_zlib_compress, level 6", mib, deflate);
  Row("bare zlib compress2, level 6", mib, zlibDeflate);
  Row("whole-level write, compressed", mib, writePacked, "libdeflate compress", deflate);
  Row("whole-level write, raw", mib, writeRaw);
  Row("bare libdeflate_zlib_decompress", mib, inflate);
  Row("bare zlib uncompress", mib, zlibInflate);
  Row("tile-data read, compressed (Begin/End)", mib, readPacked, "libdeflate decompress", inflate);
  Row("tile-data read, compressed, every cell", mib, readPackedCells, "libdeflate decompress", inflate);
  Row("tile-data read, raw (Begin/End)", mib, readRaw);

  if (madeDir) {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  return 0;
}
