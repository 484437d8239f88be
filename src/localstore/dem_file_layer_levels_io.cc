// The two sequences that work on a level that is not open: the whole-level write and
// the tile-data read. Neither touches the tile cache or the open level's tables.
#include "localstore/dem_file_layer.h"

namespace dembase {

int16_t CDemFileLayer::BeginWritePyramidLayer(int16_t level) {
  // Its own running flag: an index change of the open level is never mistaken for it.
  if (!is_open() || writer_ || level < 1 || level > CreatedLevels() || level == openLevel_ ||
      !levels_[static_cast<size_t>(level - 1)].created) {
    return 0;
  }
  DropReadAhead();
  auto writer = std::make_unique<LevelWriter>(type_);
  if (!writer->Begin(layerDir_, levels_[static_cast<size_t>(level - 1)])) return 0;
  writer_ = std::move(writer);
  writerLevel_ = level;
  return 1;
}

int16_t CDemFileLayer::WriteOneTile(int32_t /*reserved*/, int32_t tileIndex, OneTileInfo* info, const void* cells) {
  if (!writer_ || info == nullptr) return 0;
  return writer_->WriteOneTile(tileIndex, *info, static_cast<const uint8_t*>(cells), blend(), compressTiles_ != 0);
}

int16_t CDemFileLayer::EndWritePyramidLayer() {
  if (!writer_) return 0;
  return EndLevelWrite() ? 1 : 0;
}

bool CDemFileLayer::EndLevelWrite() {
  if (!writer_) return true;
  // Level 1's range is the layer's: a whole-level write of it refreshes the range, but
  // records that could not be read leave the old range rather than "no cells at all".
  LevelWriter::ValueRange range;
  const bool ok = writer_->End(writerLevel_ == 1 ? &range : nullptr);
  if (writerLevel_ == 1 && range.known) {
    param_.minValue = range.minValue;
    param_.maxValue = range.maxValue;
    infoDirty_ = true;
  }
  writer_.reset();
  writerLevel_ = 0;
  return ok;
}

int16_t CDemFileLayer::BeginReadTileData(int16_t level, int32_t /*reserved*/, int32_t tileRow, int32_t tileCol) {
  if (!is_open() || level_ || tileData_ || level < 1 || level > CreatedLevels() ||
      !levels_[static_cast<size_t>(level - 1)].created) {
    return 0;
  }
  std::unique_ptr<TileDataReader> reader = spareReader_ ? std::move(spareReader_) : std::make_unique<TileDataReader>(type_);
  const int16_t r = reader->Begin(layerDir_, levels_[static_cast<size_t>(level - 1)], tileRow, tileCol);
  if (r < 1) {
    spareReader_ = std::move(reader);
    return 0;
  }
  tileData_ = std::move(reader);
  tileDataLevel_ = level;
  tileDataView_ = tileData_->view();
  return r;
}

double CDemFileLayer::ReadCellOfTileData(int32_t row, int32_t col, uint8_t* isNull) {
  if (!tileData_) return NullCell(isNull);
  return tileData_->ReadCell(row, col, isNull);
}

int16_t CDemFileLayer::EndReadTileData() {
  tileDataView_ = {};
  if (tileData_) {
    tileData_->End();
    spareReader_ = std::move(tileData_);
  }
  tileDataLevel_ = 0;
  return 1;
}

}  // namespace dembase
