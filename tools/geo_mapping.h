// Where a layer's cells lie on the map; import, export, info, get and set all use this.
//
// A layer's extent runs from the centre of its first cell to the centre of its last one:
// level 1 has (xMax - xMin) / cellSizeX + 1 columns and (yMax - yMin) / cellSizeY + 1 rows.
// Row 0 is the top (northern) row, so level 1 cell (row r, col c) is centred at
//   x = xMin + c * cellSizeX,   y = yMax - r * cellSizeY.
// Every level covers the same area from the same top-left corner,
//   left = xMin - cellSizeX / 2,   top = yMax + cellSizeY / 2   (level 1's cell sizes),
// with its own cell size; so when a level's cell size is twice the one below, its cell
// (r, c) covers cells 2r .. 2r+1, 2c .. 2c+1 of that level, as an averaged overview does.
// A level as a north-up geotransform: {left, cellX, 0, top, 0, -cellY}.
#ifndef DEMBASE_TOOLS_GEO_MAPPING_H_
#define DEMBASE_TOOLS_GEO_MAPPING_H_

#include <array>
#include <cstdint>
#include <optional>

#include "dembase/dembase.h"

namespace dembase::tool {

struct GeoTransform {
  double left = 0;
  double cellX = 1;
  double top = 0;
  double cellY = 1;  // positive: rows run south

  std::array<double, 6> ToGdal() const { return {left, cellX, 0.0, top, 0.0, -cellY}; }
  // nullopt unless north-up (no rotation), with positive cell sizes, all finite.
  static std::optional<GeoTransform> FromGdal(const std::array<double, 6>& gt);
};

struct CellPos {
  int32_t row = 0;
  int32_t col = 0;
};

// The value range of a layer that holds no cell yet, as the library records it.
inline constexpr double kNoValuesMin = 3.402823e38;
inline constexpr double kNoValuesMax = -3.402823e38;

// The description of a layer of rows x cols cells placed by gt (level 1 = the raster),
// holding no cell yet.
DataLayerParam LayerParamFor(const GeoTransform& gt, int32_t rows, int32_t cols, uint16_t dataType);

// Cells along one axis of a level whose cell centres run from min to max (the layer's
// extent) at cellSize apart: (max - min) / cellSize rounded down, unless within 1e-6 of
// the next whole number, plus one. nullopt for non-finite input, cellSize <= 0, max < min
// or a count beyond int32.
std::optional<int32_t> CellsAlong(double min, double max, double cellSize);

// Level geometry of a layer on the map.
GeoTransform LevelTransform(const DataLayerParam& layer, const PyramidLayerInfo& level);

// The cell of the level under map point (x, y); nullopt outside the level.
std::optional<CellPos> CellAt(const GeoTransform& gt, const PyramidLayerInfo& level, double x, double y);

// Centre of a cell.
struct MapPoint {
  double x = 0;
  double y = 0;
};
MapPoint CellCentre(const GeoTransform& gt, CellPos cell);

}  // namespace dembase::tool

#endif  // DEMBASE_TOOLS_GEO_MAPPING_H_
