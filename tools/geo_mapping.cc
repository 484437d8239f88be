#include "tools/geo_mapping.h"

#include <cmath>
#include <limits>

namespace dembase::tool {

std::optional<GeoTransform> GeoTransform::FromGdal(const std::array<double, 6>& gt) {
  for (double v : gt) {
    if (!std::isfinite(v)) return std::nullopt;
  }
  if (gt[2] != 0.0 || gt[4] != 0.0 || !(gt[1] > 0.0) || !(gt[5] < 0.0)) return std::nullopt;
  return GeoTransform{gt[0], gt[1], gt[3], -gt[5]};
}

DataLayerParam LayerParamFor(const GeoTransform& gt, int32_t rows, int32_t cols, uint16_t dataType) {
  DataLayerParam p{};
  p.dataType = dataType;
  p.cellSizeX = gt.cellX;
  p.cellSizeY = gt.cellY;
  p.xMin = gt.left + gt.cellX / 2;
  p.xMax = p.xMin + (cols - 1) * gt.cellX;
  p.yMax = gt.top - gt.cellY / 2;
  p.yMin = p.yMax - (rows - 1) * gt.cellY;
  p.minValue = kNoValuesMin;
  p.maxValue = kNoValuesMax;
  return p;
}

std::optional<int32_t> CellsAlong(double min, double max, double cellSize) {
  if (!std::isfinite(min) || !std::isfinite(max) || !std::isfinite(cellSize) || !(cellSize > 0) || max < min) {
    return std::nullopt;
  }
  const double q = (max - min) / cellSize;
  if (!(q < std::numeric_limits<int32_t>::max() - 1.0)) return std::nullopt;
  const double whole = std::floor(q);
  const double n = 1.0 - (q - whole) < 1e-6 ? whole + 1 : whole;
  return static_cast<int32_t>(n) + 1;
}

GeoTransform LevelTransform(const DataLayerParam& layer, const PyramidLayerInfo& level) {
  return GeoTransform{layer.xMin - layer.cellSizeX / 2, level.cellSizeX, layer.yMax + layer.cellSizeY / 2,
                      level.cellSizeY};
}

std::optional<CellPos> CellAt(const GeoTransform& gt, const PyramidLayerInfo& level, double x, double y) {
  const double col = std::floor((x - gt.left) / gt.cellX);
  const double row = std::floor((gt.top - y) / gt.cellY);
  // Also false for NaN.
  if (!(col >= 0 && col < level.cols && row >= 0 && row < level.rows)) return std::nullopt;
  return CellPos{static_cast<int32_t>(row), static_cast<int32_t>(col)};
}

MapPoint CellCentre(const GeoTransform& gt, CellPos cell) {
  return MapPoint{gt.left + (cell.col + 0.5) * gt.cellX, gt.top - (cell.row + 0.5) * gt.cellY};
}

}  // namespace dembase::tool
