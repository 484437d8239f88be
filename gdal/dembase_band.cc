#include "gdal/dembase_band.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <string>

#include "gdal/dembase_dataset.h"
#include "tools/geo_mapping.h"
#include "tools/tile_strip.h"

namespace dembase::gdal {
namespace {

using tool::kTileStep;

double LayerNull(bool floatCells) {
  return floatCells ? static_cast<double>(std::bit_cast<float>(uint32_t{DEMBASE_NULL_FLOAT32_BITS}))
                    : static_cast<double>(DEMBASE_NULL_INT32);
}

// The cells of block (bx, by) that lie in the level.
struct BlockCells {
  int32_t row0, col0, rows, cols;
};
BlockCells CellsOf(GDALRasterBand& band, int bx, int by) {
  const int32_t row0 = by * kTileStep;
  const int32_t col0 = bx * kTileStep;
  return {row0, col0, std::min(kTileStep, band.GetYSize() - row0), std::min(kTileStep, band.GetXSize() - col0)};
}

}  // namespace

DembaseBand::DembaseBand(DembaseDataset* ds, int16_t level, const PyramidLayerInfo& info, GDALDataType type)
    : ds_(ds), level_(level) {
  poDS = ds;
  nBand = 1;
  eDataType = type;
  nRasterXSize = info.cols;
  nRasterYSize = info.rows;
  nBlockXSize = kTileStep;
  nBlockYSize = kTileStep;
}

CPLErr DembaseBand::IReadBlock(int bx, int by, void* image) {
  const bool floatCells = eDataType == GDT_Float32;
  const double null = LayerNull(floatCells);
  const size_t blockCells = static_cast<size_t>(nBlockXSize) * static_cast<size_t>(nBlockYSize);
  if (floatCells) {
    std::fill_n(static_cast<float*>(image), blockCells, static_cast<float>(null));
  } else {
    std::fill_n(static_cast<int32_t*>(image), blockCells, DEMBASE_NULL_INT32);
  }
  tool::Layer* layer = ds_->EnsureLayer();
  if (layer == nullptr) return CE_Failure;
  // The open level (being written) reads through tile read sequences, which see its
  // unwritten cells; any other level through tile-data reads, which take a level that is
  // not open.
  const bool open = layer->openLevel() == level_;
  if (!open && layer->openLevel() != 0) {
    if (tool::Status s = layer->CloseLevel(); !s.ok()) {
      CPLError(CE_Failure, CPLE_FileIO, "%s", s.message().c_str());
      return CE_Failure;
    }
  }
  const auto readCell = open ? _hxReadCellOfTile : _hxReadCellOfTileData;
  const auto end = open ? _hxEndReadTile : _hxEndReadTileData;
  const int16_t r =
      (open ? _hxBeginReadTile : _hxBeginReadTileData)(layer->h(), layer->ds(), layer->id(), level_, 0, by, bx);
  bool read = r == 1 || r == 2;
  const BlockCells b = CellsOf(*this, bx, by);
  for (int32_t row = 0; r == 1 && row < b.rows && read; ++row) {
    const size_t first = static_cast<size_t>(row) * static_cast<size_t>(nBlockXSize);
    for (int32_t col = 0; col < b.cols && read; ++col) {
      double v = 0;
      uint8_t isNull = 0;
      read = readCell(layer->h(), row, col, &v, &isNull) == 1;
      if (isNull) v = null;
      if (floatCells) {
        static_cast<float*>(image)[first + static_cast<size_t>(col)] = static_cast<float>(v);
      } else {
        static_cast<int32_t*>(image)[first + static_cast<size_t>(col)] = static_cast<int32_t>(v);
      }
    }
  }
  if ((r == 1 || r == 2) && end(layer->h()) != 1) read = false;
  if (!read) {
    CPLError(CE_Failure, CPLE_FileIO, "%s cannot be read",
             layer->LevelText(level_, "tile " + std::to_string(by) + "," + std::to_string(bx)).c_str());
    return CE_Failure;
  }
  return CE_None;
}

CPLErr DembaseBand::IWriteBlock(int bx, int by, void* image) {
  tool::Layer* layer = ds_->EnsureLayer();
  if (layer == nullptr) return CE_Failure;
  if (layer->openLevel() != level_) {
    tool::Status s = layer->openLevel() != 0 ? layer->CloseLevel() : tool::Status();
    if (s.ok()) s = layer->ReplaceOnWrite();
    if (s.ok()) s = layer->OpenLevel(level_);
    if (!s.ok()) {
      CPLError(CE_Failure, CPLE_FileIO, "%s", s.message().c_str());
      return CE_Failure;
    }
  }
  range_.reset();
  const bool floatCells = eDataType == GDT_Float32;
  const BlockCells b = CellsOf(*this, bx, by);
  auto value = [&](int32_t row, int32_t col) {
    const size_t i = static_cast<size_t>(row) * static_cast<size_t>(nBlockXSize) + static_cast<size_t>(col);
    return floatCells ? static_cast<double>(static_cast<const float*>(image)[i])
                      : static_cast<double>(static_cast<const int32_t*>(image)[i]);
  };
  auto fail = [&](const std::string& what) {
    CPLError(CE_Failure, CPLE_FileIO, "%s", layer->LevelText(level_, what).c_str());
    return CE_Failure;
  };
  const std::string tile = "tile " + std::to_string(by) + "," + std::to_string(bx);
  // The block is its tile without the tile's last row and column: one tile write stores
  // it. With blending off a null value empties the cell.
  if (_hxBeginWriteTile(layer->h(), layer->ds(), layer->id(), level_, 0, by, bx) != 1) {
    return fail("cannot write " + tile);
  }
  for (int32_t row = 0; row < b.rows; ++row) {
    for (int32_t col = 0; col < b.cols; ++col) _hxWriteCellOfTile(layer->h(), row, col, value(row, col));
  }
  if (_hxEndWriteTile(layer->h(), 1) != 1) return fail("cannot write " + tile);
  // The first row and column are also the last of the tiles above and to the left: cell
  // writes keep every copy of a cell.
  auto edge = [&](int32_t row, int32_t col) {
    return _hxSetCell(layer->h(), layer->ds(), layer->id(), level_, 0, b.row0 + row, b.col0 + col, value(row, col)) ==
           1;
  };
  for (int32_t col = 0; by > 0 && col < b.cols; ++col) {
    if (!edge(0, col)) return fail("cannot write row " + std::to_string(b.row0) + " of " + tile);
  }
  for (int32_t row = 0; bx > 0 && row < b.rows; ++row) {
    if (!edge(row, 0)) return fail("cannot write column " + std::to_string(b.col0) + " of " + tile);
  }
  return CE_None;
}

double DembaseBand::GetNoDataValue(int* success) {
  if (success != nullptr) *success = TRUE;
  return LayerNull(eDataType == GDT_Float32);
}

CPLErr DembaseBand::SetNoDataValue(double value) {
  if (value == LayerNull(eDataType == GDT_Float32)) return CE_None;
  CPLError(CE_Failure, CPLE_NotSupported, "DEMBASE: a layer's nodata is its fixed null value %.9g; %.9g cannot be set",
           LayerNull(eDataType == GDT_Float32), value);
  return CE_Failure;
}

std::optional<std::pair<double, double>> DembaseBand::Range() {
  if (range_.has_value()) return *range_;
  tool::Layer* layer = ds_->EnsureLayer();
  if (layer == nullptr) return std::nullopt;
  // Written cells reach the tile records and the layer's range when their level closes.
  if (layer->openLevel() != 0) {
    if (tool::Status s = layer->CloseLevel(); !s.ok()) {
      CPLError(CE_Failure, CPLE_FileIO, "%s", s.message().c_str());
      return std::nullopt;
    }
  }
  std::optional<std::pair<double, double>> range;
  if (level_ == 1) {
    tool::StatusOr<DataLayerParam> p = layer->Param();
    if (!p.ok()) return std::nullopt;
    // Copied out: the record is packed, its doubles unaligned.
    const double lo = p->minValue;
    const double hi = p->maxValue;
    if (lo <= hi) range = std::pair{lo, hi};
  } else {
    tool::Status s = layer->OpenLevel(level_);
    if (!s.ok()) return std::nullopt;
    const int32_t down = (nRasterYSize - 1) / kTileStep + 1;
    const int32_t across = (nRasterXSize - 1) / kTileStep + 1;
    for (int32_t tr = 0; tr < down && s.ok(); ++tr) {
      for (int32_t tc = 0; tc < across; ++tc) {
        tool::StatusOr<OneTileInfo> tile = layer->TileInfo(level_, tr, tc);
        if (!tile.ok()) {
          s = tile.status();
          break;
        }
        if (!layer->ClaimsValues(*tile)) continue;
        const double lo = range ? std::min<double>(range->first, tile->minimum) : tile->minimum;
        const double hi = range ? std::max<double>(range->second, tile->maximum) : tile->maximum;
        range = std::pair{lo, hi};
      }
    }
    if (tool::Status c = layer->CloseLevel(); s.ok()) s = c;
    if (!s.ok()) return std::nullopt;
  }
  // Written blocks change the range; only a dataset opened for reading keeps it.
  if (ds_->GetAccess() == GA_ReadOnly) range_ = range;
  return range;
}

double DembaseBand::GetMinimum(int* success) {
  const std::optional<std::pair<double, double>> range = Range();
  if (!range) return GDALPamRasterBand::GetMinimum(success);
  if (success != nullptr) *success = TRUE;
  return range->first;
}

double DembaseBand::GetMaximum(int* success) {
  const std::optional<std::pair<double, double>> range = Range();
  if (!range) return GDALPamRasterBand::GetMaximum(success);
  if (success != nullptr) *success = TRUE;
  return range->second;
}

GDALRasterBand* DembaseBand::GetOverview(int i) {
  if (i < 0 || i >= GetOverviewCount()) return nullptr;
  return overviews_[static_cast<size_t>(i)].get();
}

}  // namespace dembase::gdal
