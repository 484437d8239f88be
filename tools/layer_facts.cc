#include "tools/layer_facts.h"

#include <filesystem>
#include <optional>
#include <system_error>

#include "tools/crs_sidecar.h"
#include "tools/disk_layout.h"
#include "tools/session.h"

namespace dembase::tool {
namespace {

uint64_t SizeOf(const std::filesystem::path& path) {
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(path, ec);
  return ec ? 0 : size;
}

// Bytes of the files in a level's directory.
uint64_t LevelBytes(const LayerRef& ref, const std::optional<LevelRecord>& rec) {
  const std::optional<std::string> dir = rec ? SystemPath(ref.dir, rec->directory) : std::nullopt;
  if (!dir) return 0;
  uint64_t total = 0;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(*dir, ec)) {
    if (entry.is_regular_file(ec)) total += SizeOf(entry.path());
  }
  return total;
}

Status CountTiles(Layer& layer, int16_t level, LevelFacts* facts) {
  if (Status s = layer.OpenLevel(level); !s.ok()) return s;
  for (int32_t tr = 0; tr < facts->info.tilesDown; ++tr) {
    for (int32_t tc = 0; tc < facts->info.tilesAcross; ++tc) {
      OneTileInfo tile{};
      if (_hxGetOneTileInfo(layer.h(), layer.ds(), layer.id(), level, 0, tr, tc, &tile) != 1) {
        return Status::Error(layer.LevelText(level, "cannot read the statistics of tile " + std::to_string(tr) + "," +
                                                        std::to_string(tc)));
      }
      // An empty tile's statistics are the null value.
      ++(layer.IsNull(tile.minimum) ? facts->tilesEmpty : facts->tilesStored);
    }
  }
  return layer.CloseLevel();
}

}  // namespace

StatusOr<LayerFacts> GatherLayerFacts(const LayerRef& ref) {
  StatusOr<OpenedLayer> opened = OpenLayerByName(ref);
  if (!opened.ok()) return opened.status();
  Layer& layer = *opened->layer;
  LayerFacts facts;
  StatusOr<DataLayerParam> param = layer.Param();
  if (!param.ok()) return param.status();
  facts.param = *param;
  facts.null = layer.NullValue();
  StatusOr<std::string> crs = ReadCrs(ref);
  if (!crs.ok()) return crs.status();
  facts.crsWkt = *crs;
  std::optional<HeaderFile> header;
  if (ref.local()) {
    header = ReadHeaderFile(ref.headerPath);
    facts.bytes = SizeOf(ref.headerPath) + SizeOf(ref.crsPath);
  }
  StatusOr<std::vector<int16_t>> levels = layer.Levels();
  if (!levels.ok()) return levels.status();
  for (const int16_t level : *levels) {
    LevelFacts lf;
    lf.level = level;
    StatusOr<PyramidLayerInfo> info = layer.LevelInfo(level);
    if (!info.ok()) return info.status();
    lf.info = *info;
    if (Status s = CountTiles(layer, level, &lf); !s.ok()) return s;
    if (header && static_cast<size_t>(level) <= header->levels.size()) {
      lf.bytes = LevelBytes(ref, header->levels[static_cast<size_t>(level - 1)]);
    }
    facts.bytes += lf.bytes;
    facts.levels.push_back(lf);
  }
  if (Status s = layer.Close(); !s.ok()) return s;
  return facts;
}

}  // namespace dembase::tool
