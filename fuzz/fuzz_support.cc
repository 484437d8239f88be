#include "fuzz/fuzz_support.h"

#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include "platform/fault_env.h"

namespace dembase::fuzz {
namespace {

constexpr int32_t kLocal = LOCAL_DATASET_ID;

// Removes the scratch directory when the process ends normally (a crash keeps it for a look).
struct ScratchHolder {
  std::string path;
  ~ScratchHolder() {
    std::error_code ec;
    if (!path.empty()) std::filesystem::remove_all(path, ec);
  }
};

// Writes a few cells of each kind a stored tile can hold.
bool FillTile(DemBaseAI* h, int32_t ds, int32_t id, int32_t row0, int32_t col0, double base) {
  for (int32_t i = 0; i < 40; ++i) {
    if (_hxSetCell(h, ds, id, 1, 0, row0 + i * 5, col0 + (i * 7) % 80, base + i * 3.25) != 1) return false;
  }
  return true;
}

}  // namespace

void Require(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::fflush(stderr);
  abort();
}

void UseSmallMemory() {
  static platform::FaultEnv env(platform::Env::Default());
  static const platform::ScopedEnvOverride installed([] {
    env.SetPhysicalMemory(uint64_t{64} << 20);
    return static_cast<platform::Env*>(&env);
  }());
}

const std::string& ScratchDir() {
  static ScratchHolder holder = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "dembase-fuzz-XXXXXX").string();
    Require(mkdtemp(pattern.data()) != nullptr, "mkdtemp");
    return ScratchHolder{pattern};
  }();
  return holder.path;
}

bool WriteWholeFile(const std::string& path, std::span<const uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return static_cast<bool>(out);
}

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string MakeSampleLayer(const std::string& dir, uint16_t type) {
  UseSmallMemory();
  const std::string path = dir + "/sample.dem";
  DemBaseAI* h = _hxCreateDemBaseAI();
  if (h == nullptr) return "";
  bool ok = _hxOpenDataSet(h, nullptr, 0.125f) == kLocal && MakeSampleLayerIn(h, kLocal, path, type);
  ok = _hxDeleteDemBaseAI(h) == 1 && ok;
  return ok ? path : "";
}

bool MakeSampleLayerIn(DemBaseAI* h, int32_t ds, const std::string& name, uint16_t type) {
  DataLayerParam param{};
  param.dataType = type;
  param.xMax = 600;  // 601 x 601 cells: 3 x 3 tiles
  param.yMax = 600;
  param.cellSizeX = 1;
  param.cellSizeY = 1;
  bool ok = _hxCreateDataLayer(h, ds, name.c_str(), &param, 0, 1) == 1;
  const int32_t id = ok ? _hxOpenDataLayer(h, ds, name.c_str(), 0) : 0;
  ok = ok && id >= 1;
  // Two tiles compressed, then one tile raw in a second pass; the rest stay empty.
  ok = ok && _hxOpenPyramidLayer(h, ds, id, 1) == 1 && FillTile(h, ds, id, 0, 0, -12.5) &&
       FillTile(h, ds, id, 300, 300, 1000) && _hxClosePyramidLayer(h, ds, id) == 1;
  LayerOperParam raw{};
  raw.compressTiles = 0;
  raw.blendValues = 0;
  raw.newWeight = 1;
  ok = ok && _hxSetLayerOperParam(h, ds, id, &raw) == 1 && _hxOpenPyramidLayer(h, ds, id, 1) == 1 &&
       FillTile(h, ds, id, 0, 520, 7) && _hxClosePyramidLayer(h, ds, id) == 1;
  ok = ok && _hxCreatePyramidLayer(h, ds, id, 2, 2, 2) == 1 && _hxOpenPyramidLayer(h, ds, id, 2) == 1 &&
       _hxSetCell(h, ds, id, 2, 0, 10, 10, 42) == 1 && _hxClosePyramidLayer(h, ds, id) == 1;
  return id >= 1 && _hxCloseDataLayer(h, ds, id) == 1 && ok;
}

bool LayerReadsBack(const std::string& path) {
  DemBaseAI* h = _hxCreateDemBaseAI();
  if (h == nullptr) return false;
  bool ok = _hxOpenDataSet(h, nullptr, 0.125f) == kLocal;
  const int32_t id = ok ? _hxOpenDataLayer(h, kLocal, path.c_str(), 0) : 0;
  ok = ok && id >= 1;
  DataLayerParam param{};
  ok = ok && _hxGetDataLayerParam(h, kLocal, id, &param) == 1;
  for (int16_t level = 1; ok && level <= param.levelCount; ++level) {
    PyramidLayerInfo info{};
    ok = _hxGetPyramidLayerInfo(h, kLocal, id, level, &info) == 1 && _hxOpenPyramidLayer(h, kLocal, id, level) == 1;
    // Every tile must read: a stored tile that does not inflate is damage.
    for (int32_t r = 0; ok && r < info.tilesDown; ++r) {
      for (int32_t c = 0; ok && c < info.tilesAcross; ++c) {
        const int16_t read = _hxBeginReadTile(h, kLocal, id, level, 0, r, c);
        ok = (read == 1 || read == 2) && _hxEndReadTile(h) == 1;
      }
    }
    ok = _hxClosePyramidLayer(h, kLocal, id) == 1 && ok;
  }
  ok = id >= 1 && _hxCloseDataLayer(h, kLocal, id) == 1 && ok;
  return _hxDeleteDemBaseAI(h) == 1 && ok;
}

void ExerciseLayer(const std::string& path, bool writeLevel1) {
  DemBaseAI* h = _hxCreateDemBaseAI();
  Require(h != nullptr && _hxOpenDataSet(h, nullptr, 0.125f) == kLocal, "local store opens");
  ExerciseLayerIn(h, kLocal, path, writeLevel1);
  Require(_hxDeleteDemBaseAI(h) >= 0, "handle deletes");
}

void ExerciseLayerIn(DemBaseAI* h, int32_t ds, const std::string& name, bool writeLevel1) {
  const int32_t id = _hxOpenDataLayer(h, ds, name.c_str(), 0);
  Require(id >= -2, "layer open answers 1.., 0, -1 or -2");
  if (id < 1) return;
  DataLayerParam param{};
  Require(_hxGetDataLayerParam(h, ds, id, &param) == 1, "an open layer has a description");
  (void)_hxGetNullValue(h, ds, id);
  const int16_t levels = param.levelCount < 20 ? param.levelCount : int16_t{20};
  for (int16_t level = 0; level <= levels + 1; ++level) {
    PyramidLayerInfo info{};
    const int16_t got = _hxGetPyramidLayerInfo(h, ds, id, level, &info);
    Require(got == 0 || got == 1, "level info answers 0 or 1");
    if (level < 1 || level > 2) continue;
    const int16_t opened = _hxOpenPyramidLayer(h, ds, id, level);
    Require(opened == 1 || opened == 0 || opened == -6, "level open answers 1, 0 or -6");
    if (opened != 1) continue;
    Require(_hxGetPyramidLayerInfo(h, ds, id, level, &info) == 1, "an open level has a description");
    const int32_t down = info.tilesDown < 4 ? info.tilesDown : 4;
    const int32_t across = info.tilesAcross < 4 ? info.tilesAcross : 4;
    for (int32_t r = 0; r < down; ++r) {
      for (int32_t c = 0; c < across; ++c) {
        OneTileInfo tile{};
        (void)_hxGetOneTileInfo(h, ds, id, level, 0, r, c, &tile);
        const int16_t read = _hxBeginReadTile(h, ds, id, level, 0, r, c);
        Require(read >= 0 && read <= 2, "tile read answers 0, 1 or 2");
        if (read >= 1) {
          double v = 0;
          uint8_t isNull = 0;
          (void)_hxReadCellOfTile(h, 17, 200, &v, &isNull);
          Require(_hxEndReadTile(h) == 1, "a begun tile read ends");
        }
        uint8_t isNull = 0;
        (void)_hxGetCell(h, ds, id, level, 0, r * 255 + 3, c * 255 + 5, &isNull);
      }
    }
    if (writeLevel1 && level == 1) (void)_hxSetCell(h, ds, id, 1, 0, 1, 1, 5);
    const int16_t closed = _hxClosePyramidLayer(h, ds, id);
    Require(closed == 0 || closed == 1, "level close answers 0 or 1");
    // The same tiles through the tile-data read of a level that is not open.
    const int16_t data = _hxBeginReadTileData(h, ds, id, level, 0, 0, 0);
    Require(data >= -6 && data <= 2, "tile-data read answers a known code");
    if (data >= 1) {
      double v = 0;
      uint8_t isNull = 0;
      (void)_hxReadCellOfTileData(h, 255, 255, &v, &isNull);
      Require(_hxEndReadTileData(h) == 1, "a begun tile-data read ends");
    }
  }
  const int16_t closed = _hxCloseDataLayer(h, ds, id);
  Require(closed == 0 || closed == 1, "layer close answers 0 or 1");
}

bool MemoryFile::ReadAt(uint64_t offset, std::span<std::byte> out) {
  if (offset > bytes_.size() || out.size() > bytes_.size() - offset) return false;
  if (!out.empty()) std::memcpy(out.data(), bytes_.data() + offset, out.size());
  return true;
}

}  // namespace dembase::fuzz
