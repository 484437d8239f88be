#include "tools/tile_row_reader.h"

#include <algorithm>

namespace dembase::tool {
namespace {
constexpr const char* kClaimsValues = ": its record claims values, but none are stored";
}  // namespace

StatusOr<TileRowReader> TileRowReader::Checked(Layer& layer, int16_t level) {
  StatusOr<PyramidLayerInfo> info = layer.LevelInfo(level);
  if (!info.ok()) return info.status();
  TileRowReader reader(layer, level, *info);
  if (Status s = layer.OpenLevel(level); !s.ok()) return s;
  reader.claimsValues_.reserve(static_cast<size_t>(info->tilesDown) * static_cast<size_t>(info->tilesAcross));
  for (int32_t tr = 0; tr < info->tilesDown; ++tr) {
    for (int32_t tc = 0; tc < info->tilesAcross; ++tc) {
      StatusOr<OneTileInfo> tile = layer.TileInfo(level, tr, tc);
      if (!tile.ok()) {
        (void)layer.CloseLevel();
        return tile.status();
      }
      reader.claimsValues_.push_back(layer.ClaimsValues(*tile));
    }
  }
  if (Status s = layer.CloseLevel(); !s.ok()) return s;
  return reader;
}

Status TileRowReader::Unreadable(int32_t tr, int32_t tc, const std::string& why) const {
  return Status::Error(
      layer_.LevelText(level_, "tile " + std::to_string(tr) + "," + std::to_string(tc) + " cannot be read" + why));
}

bool TileRowReader::ClaimsValues(int32_t tr, int32_t tc) const {
  const size_t t = static_cast<size_t>(tr) * static_cast<size_t>(info_.tilesAcross) + static_cast<size_t>(tc);
  return t < claimsValues_.size() && claimsValues_[t];
}

StatusOr<int16_t> TileRowReader::Begin(int32_t tr, int32_t tc) const {
  const int16_t r = _hxBeginReadTileData(layer_.h(), layer_.ds(), layer_.id(), level_, 0, tr, tc);
  if (r == 1) return r;
  if (r != 2 || _hxEndReadTileData(layer_.h()) != 1) return Unreadable(tr, tc, "");
  if (ClaimsValues(tr, tc)) return Unreadable(tr, tc, kClaimsValues);
  return r;
}

Status TileRowReader::CheckAll() const {
  for (int32_t tr = 0; tr < info_.tilesDown; ++tr) {
    for (int32_t tc = 0; tc < info_.tilesAcross; ++tc) {
      StatusOr<int16_t> r = Begin(tr, tc);
      if (!r.ok()) return r.status();
      if (*r == 1 && _hxEndReadTileData(layer_.h()) != 1) return Unreadable(tr, tc, "");
    }
  }
  return {};
}

Status TileRowReader::Read(int32_t tr, TileStrip* strip) const {
  strip->Reset(tr, info_.rows, info_.cols);
  for (int32_t tc = 0; tc < info_.tilesAcross; ++tc) {
    StatusOr<int16_t> r = Begin(tr, tc);
    if (!r.ok()) return r.status();
    if (*r == 2) continue;  // only nulls, which the strip already holds
    const int32_t col0 = tc * kTileStep;
    const int32_t cols = std::min(kTileEdge, info_.cols - col0);
    bool read = true;
    bool any = false;
    for (int32_t row = 0; row < strip->rows && read; ++row) {
      double* dst = strip->Row(strip->firstRow + row) + col0;
      for (int32_t c = 0; c < cols && read; ++c) {
        double v = 0;
        uint8_t isNull = 0;
        read = _hxReadCellOfTileData(layer_.h(), row, c, &v, &isNull) == 1;
        dst[c] = isNull ? kNullCell : v;
        any = any || !isNull;
      }
    }
    if (_hxEndReadTileData(layer_.h()) != 1 || !read) return Unreadable(tr, tc, "");
    if (!any && ClaimsValues(tr, tc)) return Unreadable(tr, tc, kClaimsValues);
  }
  return {};
}

}  // namespace dembase::tool
