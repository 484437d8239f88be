#include "bench/dembase_side.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace dembase::bench {
namespace {

double Failed(const char* what, const std::string& path) {
  std::fprintf(stderr, "dembase: %s failed on %s\n", what, path.c_str());
  return -1;
}

}  // namespace

// A layer open for the length of a scope; id 0 when it could not be opened.
struct Store::OpenLayer {
  OpenLayer(DemBaseAI* h, int32_t ds, const std::string& path)
      : h(h), ds(ds), id(_hxOpenDataLayer(h, ds, path.c_str(), 0)) {}
  ~OpenLayer() {
    if (id > 0) (void)_hxCloseDataLayer(h, ds, id);
  }
  bool OpenLevel() const { return id > 0 && _hxOpenPyramidLayer(h, ds, id, 1) == 1; }
  DemBaseAI* h;
  int32_t ds;
  int32_t id;
};

Store::Store(uint64_t cacheBytes, const std::string& database, int32_t connectKind) {
  // Sized as an application sizes it: a fraction of 1/8 of the memory the process may
  // use. The cache takes whole blocks of memory / 8; half a block more keeps rounding
  // from losing one. The data set sizes its cache when its first level opens, so the
  // limit stays set while the store lives.
  const uint64_t want = cacheBytes + kTileBytes / 2;
  const uint64_t memory = static_cast<uint64_t>(std::max(0L, sysconf(_SC_PHYS_PAGES))) *
                          static_cast<uint64_t>(std::max(0L, sysconf(_SC_PAGESIZE)));
  float fraction = 0.125f;
  if (memory > 0 && want * 8 > memory) {
    // A limit of 8 x the cache would be lowered to the machine's memory, leaving a cache
    // smaller than asked: take the fraction of the whole memory instead, a block over.
    if (want + kTileBytes > memory / 2) {
      std::fprintf(stderr, "dembase: a cache of %llu MiB is over half the memory\n",
                   static_cast<unsigned long long>(cacheBytes >> 20));
      return;
    }
    fraction = static_cast<float>(static_cast<double>(want + kTileBytes) / static_cast<double>(memory));
    if (unsetenv("DEMBASE_MEMORY_LIMIT") != 0) return;
  } else {
    const std::string limit = std::to_string(want * 8);
    if (setenv("DEMBASE_MEMORY_LIMIT", limit.c_str(), 1) != 0) return;
  }
  h_ = _hxCreateDemBaseAI();
  if (h_ == nullptr) return;
  DbConnectInfo info{};
  if (!database.empty() && database.size() < sizeof info.connectArg1) {
    std::snprintf(info.dataSet, sizeof info.dataSet, "bench");
    info.connectKind = connectKind;
    std::snprintf(info.connectArg1, sizeof info.connectArg1, "%s", database.c_str());
  }
  ds_ = _hxOpenDataSet(h_, database.empty() ? nullptr : &info, fraction);
  if (ds_ < 1) {
    _hxDeleteDemBaseAI(h_);
    h_ = nullptr;
  }
}

Store::~Store() {
  if (h_ != nullptr) _hxDeleteDemBaseAI(h_);
  (void)unsetenv("DEMBASE_MEMORY_LIMIT");
}

bool Store::CreateLayer(const std::string& path, int32_t side) {
  DataLayerParam p{};
  p.dataType = DEMBASE_TYPE_FLOAT32;
  p.xMax = side - 1;
  p.yMax = side - 1;
  p.cellSizeX = 1;
  p.cellSizeY = 1;
  return _hxCreateDataLayer(h_, ds_, path.c_str(), &p, 0, 0) == 1;
}

void Store::DeleteLayer(const std::string& path) { (void)_hxDeleteDataLayer(h_, ds_, path.c_str()); }

double Store::WriteLevel(const std::string& path, const DemGrid& grid) {
  const OpenLayer layer(h_, ds_, path);
  if (layer.id < 1) return Failed("open layer", path);
  const Stopwatch watch;
  if (_hxBeginWritePyramidLayer(h_, ds_, layer.id, 1) != 1) return Failed("begin whole-level write", path);
  bool ok = true;
  for (size_t t = 0; t < grid.tiles.size(); ++t) {
    OneTileInfo info = grid.tileInfos[t];
    ok = _hxWriteOneTile(h_, 0, static_cast<int32_t>(t), &info, grid.tiles[t].data()) == 1 && ok;
  }
  ok = _hxEndWritePyramidLayer(h_) == 1 && ok;
  const double seconds = watch.Seconds();
  return ok ? seconds : Failed("whole-level write", path);
}

double Store::WriteLevel(const std::string& path, const DemTiles& dem) {
  const OpenLayer layer(h_, ds_, path);
  if (layer.id < 1) return Failed("open layer", path);
  const auto along = static_cast<size_t>(dem.tilesAlong());
  std::vector<float> row(along * kTileCells);
  std::vector<OneTileInfo> infos(along);
  double seconds = 0;
  bool ok = true;
  for (size_t tr = 0; tr < along && ok; ++tr) {
    for (size_t tc = 0; tc < along; ++tc) infos[tc] = dem.Tile(tr * along + tc, &row[tc * kTileCells]);
    const Stopwatch watch;
    if (tr == 0 && _hxBeginWritePyramidLayer(h_, ds_, layer.id, 1) != 1) return Failed("begin whole-level write", path);
    for (size_t tc = 0; tc < along; ++tc) {
      ok = _hxWriteOneTile(h_, 0, static_cast<int32_t>(tr * along + tc), &infos[tc], &row[tc * kTileCells]) == 1 && ok;
    }
    seconds += watch.Seconds();
  }
  // Ended even after a failed tile, so the level is not left open for writing.
  const Stopwatch watch;
  ok = _hxEndWritePyramidLayer(h_) == 1 && ok;
  seconds += watch.Seconds();
  return ok ? seconds : Failed("whole-level write", path);
}

namespace {

// Every cell of every tile of level 1 through begin / read cell / end.
template <typename Begin, typename ReadCell, typename End>
bool ReadEveryCell(DemBaseAI* h, int32_t ds, int32_t id, Begin begin, ReadCell readCell, End end) {
  PyramidLayerInfo info{};
  if (_hxGetPyramidLayerInfo(h, ds, id, 1, &info) != 1) return false;
  double sum = 0;
  for (int32_t tr = 0; tr < info.tilesDown; ++tr) {
    for (int32_t tc = 0; tc < info.tilesAcross; ++tc) {
      const int16_t r = begin(h, ds, id, 1, 0, tr, tc);
      if (r < 1) return false;
      for (int32_t row = 0; row < kTileEdge; ++row) {
        for (int32_t col = 0; col < kTileEdge; ++col) {
          double v = 0;
          uint8_t isNull = 0;
          (void)readCell(h, row, col, &v, &isNull);
          sum += isNull ? 0 : v;
        }
      }
      if (end(h) != 1) return false;
    }
  }
  volatile double sink = sum;
  (void)sink;
  return true;
}

}  // namespace

double Store::ReadTileSequences(const std::string& path) {
  const OpenLayer layer(h_, ds_, path);
  const Stopwatch watch;
  if (!layer.OpenLevel()) return Failed("open level", path);
  if (!ReadEveryCell(h_, ds_, layer.id, _hxBeginReadTile, _hxReadCellOfTile, _hxEndReadTile)) {
    return Failed("tile read sequence", path);
  }
  const double seconds = watch.Seconds();
  (void)_hxClosePyramidLayer(h_, ds_, layer.id);
  return seconds;
}

double Store::ReadTileData(const std::string& path) {
  const OpenLayer layer(h_, ds_, path);
  const Stopwatch watch;
  if (layer.id < 1 ||
      !ReadEveryCell(h_, ds_, layer.id, _hxBeginReadTileData, _hxReadCellOfTileData, _hxEndReadTileData)) {
    return Failed("tile-data read", path);
  }
  return watch.Seconds();
}

double Store::RandomReads(const std::string& path, const std::vector<CellPos>& warm,
                          const std::vector<CellPos>& timed) {
  const OpenLayer layer(h_, ds_, path);
  if (!layer.OpenLevel()) return Failed("open level", path);
  uint8_t isNull = 0;
  for (const CellPos& p : warm) (void)_hxGetCell(h_, ds_, layer.id, 1, 0, p.row, p.col, &isNull);
  double sum = 0;
  const Stopwatch watch;
  for (const CellPos& p : timed) sum += _hxGetCell(h_, ds_, layer.id, 1, 0, p.row, p.col, &isNull);
  const double seconds = watch.Seconds();
  volatile double sink = sum;
  (void)sink;
  (void)_hxClosePyramidLayer(h_, ds_, layer.id);
  return seconds;
}

double Store::RandomWritesThenClose(const std::string& path, const std::vector<CellPos>& cells) {
  const Stopwatch watch;
  const int32_t id = _hxOpenDataLayer(h_, ds_, path.c_str(), 0);
  if (id < 1 || _hxOpenPyramidLayer(h_, ds_, id, 1) != 1) {
    if (id > 0) (void)_hxCloseDataLayer(h_, ds_, id);
    return Failed("open level", path);
  }
  bool ok = true;
  for (size_t i = 0; i < cells.size(); ++i) {
    ok = _hxSetCell(h_, ds_, id, 1, 0, cells[i].row, cells[i].col, static_cast<double>(100 + (i & 0xFFF))) == 1 && ok;
  }
  ok = _hxClosePyramidLayer(h_, ds_, id) == 1 && ok;
  ok = _hxCloseDataLayer(h_, ds_, id) == 1 && ok;
  const double seconds = watch.Seconds();
  return ok ? seconds : Failed("random writes then close", path);
}

double Store::OpenAndReadOneCell(const std::string& path) {
  const Stopwatch watch;
  const OpenLayer layer(h_, ds_, path);
  if (!layer.OpenLevel()) return Failed("open level", path);
  PyramidLayerInfo info{};
  uint8_t isNull = 0;
  if (_hxGetPyramidLayerInfo(h_, ds_, layer.id, 1, &info) != 1) return Failed("level info", path);
  volatile double v = _hxGetCell(h_, ds_, layer.id, 1, 0, info.rows / 2, info.cols / 2, &isNull);
  (void)v;
  const double seconds = watch.Seconds();
  (void)_hxClosePyramidLayer(h_, ds_, layer.id);
  return seconds;
}

double BuildPyramid(const std::string& tool, const std::string& path, int levels) {
  return RunCommand({tool, "-q", "pyramid", path, "--levels", std::to_string(levels + 1)});
}

}  // namespace dembase::bench
