// Builds a layer's pyramid: levels 2 .. n, each with twice the cell size of the level
// below, each cell the average of the non-null cells of the 2 x 2 block below it (null
// where all four are null; cells past the edge of the level below count as null), as an
// averaged overview does. Integer layers round the average to the nearest integer,
// halves away from zero; float layers round it to float.
//
// Every tile of level 1 is read first; only then are the levels above level 1 deleted
// (from the top) and rebuilt: each is created, then written whole while the level below
// is read with tile-data reads.
#ifndef DEMBASE_TOOLS_PYRAMID_BUILDER_H_
#define DEMBASE_TOOLS_PYRAMID_BUILDER_H_

#include <cstdint>

#include "tools/session.h"
#include "tools/status.h"

namespace dembase::tool {

// Cells of a level above one of n cells: n / 2, rounded up.
inline int32_t HalfUp(int32_t n) { return n / 2 + n % 2; }

// Levels until the top one fits in one tile (at least 1).
int16_t LevelsToOneTile(int32_t rows, int32_t cols);

// The most levels a pyramid may have here: far more than any layer needs.
inline constexpr int16_t kMaxPyramidLevels = 32;

// levels: the level count wanted, level 1 included (>= 1). REQUIRES: no level is open.
[[nodiscard]] Status BuildPyramid(Layer& layer, int16_t levels, bool quiet);

// One cell of the level above from the four below (NaN for null or missing).
double AverageOfBlock(double a, double b, double c, double d, bool floatCells);

}  // namespace dembase::tool

#endif  // DEMBASE_TOOLS_PYRAMID_BUILDER_H_
