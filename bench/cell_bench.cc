// Cell access through the exports on a local layer: cells per second of _hxGetCell and
// _hxSetCell in sequential and random order, and tiles per second of whole tile-write and
// tile-read sequences, on a level that fits the tile cache and on one four times larger.
// Each figure sits beside a reference from the same run: the same accesses on a plain
// in-memory array, and zlib compressing and inflating one tile in a bare loop (what a
// tile that leaves and re-enters the cache costs at least).
//
// The cache is held at its minimum, 64 blocks (16 MiB), through a test Env's memory
// figure, so the larger level overflows it on any machine. Tiles are compressed (the
// default). Run as: cell_bench [seconds per figure (default 0.5)] [directory]
#include <stdlib.h>
#include <zlib.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "dembase/dembase.h"
#include "platform/env.h"
#include "platform/fault_env.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int32_t kLocal = LOCAL_DATASET_ID;
constexpr int32_t kEdge = 256;
constexpr int32_t kStep = 255;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// Runs op(0), op(1), ... for about `seconds` (after a short untimed warm-up) and answers
// operations per second. Time is read after batches that grow to 4096 operations, so
// slow operations are not overrun and fast ones are not dominated by the clock.
double Rate(double seconds, const std::function<void(uint64_t)>& op) {
  uint64_t i = 0;
  for (auto start = Clock::now(); Seconds(start) < seconds / 5;) op(i++);
  const auto start = Clock::now();
  uint64_t n = 0;
  double elapsed = 0;
  for (uint64_t batch = 1; elapsed < seconds; batch = batch < 4096 ? batch * 2 : batch) {
    for (uint64_t k = 0; k < batch; ++k) op(i + n + k);
    n += batch;
    elapsed = Seconds(start);
  }
  return static_cast<double>(n) / elapsed;
}

// A smooth terrain with some roughness: compresses about as real elevation tiles do.
int32_t Terrain(int32_t row, int32_t col) {
  const uint32_t h = (static_cast<uint32_t>(row) * 2654435761u) ^ (static_cast<uint32_t>(col) * 40503u);
  return static_cast<int32_t>(800 + 300 * std::sin(row / 40.0) * std::cos(col / 55.0)) + static_cast<int32_t>(h % 7);
}

volatile double g_sink = 0;

struct Level {
  const char* label;
  int32_t tilesAlong;
  int32_t cells() const { return tilesAlong * kStep; }
  int32_t tiles() const { return tilesAlong * tilesAlong; }
};

class Bench {
 public:
  Bench(DemBaseAI* h, std::string dir, double seconds) : h_(h), dir_(std::move(dir)), seconds_(seconds) {}

  // A layer of level.cells() x level.cells() int32 cells, every tile written, level 1
  // closed and opened again so that its tiles start on the disk. Layer id, or 0.
  int32_t MakeLayer(const Level& level) {
    const std::string path = dir_ + "/" + level.label + ".dem";
    DataLayerParam p{};
    p.dataType = DEMBASE_TYPE_INT32;
    p.xMax = level.cells() - 1;
    p.yMax = level.cells() - 1;
    p.cellSizeX = 1;
    p.cellSizeY = 1;
    if (_hxCreateDataLayer(h_, kLocal, path.c_str(), &p, 0, 0) != 1) return 0;
    const int32_t id = _hxOpenDataLayer(h_, kLocal, path.c_str(), 0);
    if (id < 1 || _hxOpenPyramidLayer(h_, kLocal, id, 1) != 1) return 0;
    for (int32_t tr = 0; tr < level.tilesAlong; ++tr) {
      for (int32_t tc = 0; tc < level.tilesAlong; ++tc) {
        if (_hxBeginWriteTile(h_, kLocal, id, 1, 0, tr, tc) != 1) return 0;
        for (int32_t r = 0; r < kEdge; ++r) {
          for (int32_t c = 0; c < kEdge; ++c) _hxWriteCellOfTile(h_, r, c, Terrain(tr * kStep + r, tc * kStep + c));
        }
        if (_hxEndWriteTile(h_, 1) != 1) return 0;
      }
    }
    return Reload(id) ? id : 0;
  }

  // Closes the level (writing what is dirty) and opens it again: every case starts alike.
  bool Reload(int32_t id) {
    return _hxClosePyramidLayer(h_, kLocal, id) == 1 && _hxOpenPyramidLayer(h_, kLocal, id, 1) == 1;
  }

  void Row(const char* what, const Level& level, double rate, const char* unit, double reference) {
    std::printf("%-34s %-9s %12.4g %-8s %12.4g %-8s %8.1f x\n", what, level.label, rate, unit, reference, unit,
                reference / rate);
  }

  void CellCases(const Level& level, int32_t id, const std::vector<std::pair<int32_t, int32_t>>& randomCells) {
    const int32_t n = level.cells();
    std::vector<int32_t> plain(static_cast<size_t>(n) * static_cast<size_t>(n));
    for (int32_t row = 0; row < n; ++row) {
      for (int32_t col = 0; col < n; ++col)
        plain[static_cast<size_t>(row) * static_cast<size_t>(n) + col] = Terrain(row, col);
    }
    const auto sequential = [n](uint64_t i) {
      const uint64_t cell = i % (uint64_t{static_cast<uint32_t>(n)} * static_cast<uint32_t>(n));
      return std::pair{static_cast<int32_t>(cell / static_cast<uint32_t>(n)),
                       static_cast<int32_t>(cell % static_cast<uint32_t>(n))};
    };
    const size_t mask = randomCells.size() - 1;
    const auto random = [&randomCells, mask, n](uint64_t i) {
      const auto [row, col] = randomCells[i & mask];
      return std::pair{row % n, col % n};
    };
    const auto at = [&plain, n](std::pair<int32_t, int32_t> rc) -> int32_t& {
      return plain[static_cast<size_t>(rc.first) * static_cast<size_t>(n) + static_cast<size_t>(rc.second)];
    };

    using Order = std::function<std::pair<int32_t, int32_t>(uint64_t)>;
    const std::pair<const char*, Order> orders[] = {{"sequential", sequential}, {"random", random}};
    for (const auto& [name, order] : orders) {
      if (!Reload(id)) return;
      uint8_t isNull = 0;
      const double get = Rate(seconds_, [&](uint64_t i) {
        const auto [row, col] = order(i);
        g_sink = g_sink + _hxGetCell(h_, kLocal, id, 1, 0, row, col, &isNull);
      });
      const double getRef = Rate(seconds_, [&](uint64_t i) { g_sink = g_sink + at(order(i)); });
      Row((std::string("_hxGetCell ") + name).c_str(), level, get, "cells/s", getRef);
    }
    for (const auto& [name, order] : orders) {
      if (!Reload(id)) return;
      const double set = Rate(seconds_, [&](uint64_t i) {
        const auto [row, col] = order(i);
        (void)_hxSetCell(h_, kLocal, id, 1, 0, row, col, static_cast<double>(i & 0xFFF));
      });
      const double setRef = Rate(seconds_, [&](uint64_t i) { at(order(i)) = static_cast<int32_t>(i & 0xFFF); });
      Row((std::string("_hxSetCell ") + name).c_str(), level, set, "cells/s", setRef);
    }

    // Whole tiles, visited in order; the reference walks the same cells of the array.
    const auto tileOrigin = [&level](uint64_t i) {
      const auto t = static_cast<int32_t>(i % static_cast<uint64_t>(level.tiles()));
      return std::pair{t / level.tilesAlong * kStep, t % level.tilesAlong * kStep};
    };
    const auto tileRef = [&](uint64_t i, bool write) {
      const auto [row0, col0] = tileOrigin(i);
      for (int32_t r = 0; r < kEdge && row0 + r < n; ++r) {
        for (int32_t c = 0; c < kEdge && col0 + c < n; ++c) {
          if (write) {
            at({row0 + r, col0 + c}) = r + c;
          } else {
            g_sink = g_sink + at({row0 + r, col0 + c});
          }
        }
      }
    };
    if (!Reload(id)) return;
    const double reads = Rate(seconds_, [&](uint64_t i) {
      const auto [row0, col0] = tileOrigin(i);
      if (_hxBeginReadTile(h_, kLocal, id, 1, 0, row0 / kStep, col0 / kStep) != 1) return;
      double v = 0;
      uint8_t isNull = 0;
      for (int32_t r = 0; r < kEdge; ++r) {
        for (int32_t c = 0; c < kEdge; ++c) {
          (void)_hxReadCellOfTile(h_, r, c, &v, &isNull);
          g_sink = g_sink + v;
        }
      }
      (void)_hxEndReadTile(h_);
    });
    Row("tile read sequence (65536 cells)", level, reads, "tiles/s",
        Rate(seconds_, [&](uint64_t i) { tileRef(i, false); }));
    if (!Reload(id)) return;
    const double writes = Rate(seconds_, [&](uint64_t i) {
      const auto [row0, col0] = tileOrigin(i);
      if (_hxBeginWriteTile(h_, kLocal, id, 1, 0, row0 / kStep, col0 / kStep) != 1) return;
      for (int32_t r = 0; r < kEdge; ++r) {
        for (int32_t c = 0; c < kEdge; ++c) _hxWriteCellOfTile(h_, r, c, r + c + static_cast<double>(i & 0xFF));
      }
      (void)_hxEndWriteTile(h_, 1);
    });
    Row("tile write sequence (65536 cells)", level, writes, "tiles/s",
        Rate(seconds_, [&](uint64_t i) { tileRef(i, true); }));
  }

  // zlib at the level the store's format uses, on one terrain tile.
  void ZlibReference() {
    std::vector<uint8_t> raw(static_cast<size_t>(kEdge) * kEdge * 4);
    for (int32_t r = 0; r < kEdge; ++r) {
      for (int32_t c = 0; c < kEdge; ++c) {
        const int32_t v = Terrain(r, c);
        std::memcpy(&raw[static_cast<size_t>(r * kEdge + c) * 4], &v, 4);
      }
    }
    std::vector<uint8_t> packed(compressBound(static_cast<uLong>(raw.size())));
    uLongf packedSize = static_cast<uLongf>(packed.size());
    const double deflate = Rate(seconds_, [&](uint64_t) {
      packedSize = static_cast<uLongf>(packed.size());
      (void)compress2(packed.data(), &packedSize, raw.data(), static_cast<uLong>(raw.size()), 6);
    });
    std::vector<uint8_t> back(raw.size());
    const double inflate = Rate(seconds_, [&](uint64_t) {
      uLongf size = static_cast<uLongf>(back.size());
      (void)uncompress(back.data(), &size, packed.data(), packedSize);
    });
    std::printf("%-34s %-9s %12.4g %-8s (%.1f %% of the raw tile)\n", "zlib compress2 level 6, bare loop", "", deflate,
                "tiles/s", 100.0 * packedSize / raw.size());
    std::printf("%-34s %-9s %12.4g %-8s\n", "zlib uncompress, bare loop", "", inflate, "tiles/s");
  }

 private:
  DemBaseAI* h_;
  std::string dir_;
  double seconds_;
};

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 0.5;
  std::string dir = argc > 2 ? argv[2] : "";
  bool removeDir = false;
  if (dir.empty()) {
    std::string pattern = (std::filesystem::temp_directory_path() / "cell_bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      std::perror("mkdtemp");
      return 1;
    }
    dir = pattern;
    removeDir = true;
  }
  if (!(seconds > 0)) {
    std::fprintf(stderr, "usage: cell_bench [seconds per figure] [directory]\n");
    return 2;
  }

  dembase::platform::FaultEnv env(dembase::platform::Env::Default());
  env.SetPhysicalMemory(uint64_t{64} << 20);  // x 0.125 is below 64 blocks: the minimum
  int status = 0;
  {
    dembase::platform::ScopedEnvOverride useEnv(&env);
    DemBaseAI* h = _hxCreateDemBaseAI();
    if (h == nullptr || _hxOpenDataSet(h, nullptr, 0.125f) != kLocal) {
      std::fprintf(stderr, "cannot open the local store\n");
      return 1;
    }
    Bench bench(h, dir, seconds);
    const Level levels[] = {{"fits", 6}, {"overflows", 12}};
    std::mt19937 rng(7);
    std::vector<std::pair<int32_t, int32_t>> randomCells(1 << 20);
    for (auto& rc : randomCells) rc = {static_cast<int32_t>(rng() >> 1), static_cast<int32_t>(rng() >> 1)};

    std::printf("dembase cell access: int32 cells, compressed tiles, tile cache of 64 blocks (16 MiB)\n");
    for (const Level& l : levels) {
      std::printf("level %-9s %d x %d cells, %d tiles\n", l.label, l.cells(), l.cells(), l.tiles());
    }
    std::printf("\n%-34s %-9s %21s %21s %10s\n", "operation", "level", "dembase", "reference", "ratio");
    for (const Level& l : levels) {
      const int32_t id = bench.MakeLayer(l);
      if (id < 1) {
        std::fprintf(stderr, "cannot make the %s layer in %s\n", l.label, dir.c_str());
        status = 1;
        break;
      }
      bench.CellCases(l, id, randomCells);
      (void)_hxClosePyramidLayer(h, kLocal, id);
      (void)_hxCloseDataLayer(h, kLocal, id);
    }
    bench.ZlibReference();
    std::printf("references: cells/s and tiles/s of the same accesses on a plain in-memory array\n");
    _hxDeleteDemBaseAI(h);
  }
  if (removeDir) {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  return status;
}
