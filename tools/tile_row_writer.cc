#include "tools/tile_row_writer.h"

#include <algorithm>
#include <bit>
#include <cstdint>

namespace dembase::tool {

static_assert(std::endian::native == std::endian::little, "tile cells are handed over in little-endian order");

StatusOr<std::unique_ptr<TileRowWriter>> TileRowWriter::Begin(Layer& layer, int16_t level) {
  StatusOr<PyramidLayerInfo> info = layer.LevelInfo(level);
  if (!info.ok()) return info.status();
  if (Status s = layer.ReplaceOnWrite(); !s.ok()) return s;
  if (_hxBeginWritePyramidLayer(layer.h(), layer.ds(), layer.id(), level) != 1) {
    return Status::Error(layer.LevelText(level, "cannot begin writing the level"));
  }
  return std::unique_ptr<TileRowWriter>(new TileRowWriter(layer, level, *info));
}

TileRowWriter::TileRowWriter(Layer& layer, int16_t level, const PyramidLayerInfo& info)
    : layer_(layer), level_(level), info_(info), cells_(kTileCells) {}

TileRowWriter::~TileRowWriter() { (void)End(); }

Status TileRowWriter::End() {
  if (!running_) return {};
  running_ = false;
  if (_hxEndWritePyramidLayer(layer_.h()) != 1) {
    return Status::Error(layer_.LevelText(level_, "cannot complete the level write"));
  }
  return {};
}

Status TileRowWriter::Write(const TileStrip& strip) {
  if (!running_) return Status::Error(layer_.LevelText(level_, "the level write has ended"));
  const bool floatCells = layer_.floatCells();
  const uint32_t nullBits = floatCells ? DEMBASE_NULL_FLOAT32_BITS : static_cast<uint32_t>(DEMBASE_NULL_INT32);
  for (int32_t tc = 0; tc < info_.tilesAcross; ++tc) {
    const int32_t col0 = tc * kTileStep;
    const int32_t cols = std::min(kTileEdge, strip.cols - col0);
    std::fill(cells_.begin(), cells_.end(), nullBits);
    float lo = 0;
    float hi = 0;
    bool any = false;
    for (int32_t r = 0; r < strip.rows; ++r) {
      const double* src = strip.Row(strip.firstRow + r) + col0;
      uint32_t* dst = cells_.data() + static_cast<size_t>(r) * kTileEdge;
      for (int32_t c = 0; c < cols; ++c) {
        const double v = src[c];
        if (!Storable(v, floatCells)) continue;
        // The statistics are those of the stored cell, after rounding to float.
        const float stat = static_cast<float>(v);
        dst[c] = floatCells ? std::bit_cast<uint32_t>(stat) : static_cast<uint32_t>(static_cast<int32_t>(v));
        lo = any ? std::min(lo, stat) : stat;
        hi = any ? std::max(hi, stat) : stat;
        any = true;
      }
    }
    OneTileInfo tile{any ? kTileCells * 4 : 0, lo, hi};
    const int32_t t = strip.tileRow * info_.tilesAcross + tc;
    if (_hxWriteOneTile(layer_.h(), 0, t, &tile, cells_.data()) != 1) {
      return Status::Error(layer_.LevelText(level_, "cannot write tile " + std::to_string(strip.tileRow) + "," +
                                                        std::to_string(tc)));
    }
    ++(any ? tilesStored_ : tilesEmpty_);
  }
  return {};
}

}  // namespace dembase::tool
