// The demo's cell-level traffic: a layer filled one cell at a time (_hxSetCell), one
// filled tile by tile (tile-write sequences), and a read-back of every cell (_hxGetCell).
#ifndef DEMBASE_TOOLS_DEMO_CELLS_H_
#define DEMBASE_TOOLS_DEMO_CELLS_H_

#include "tools/demo_sources.h"
#include "tools/session.h"
#include "tools/status.h"

namespace dembase::tool {

// Each writes every cell of level 1 from the grid, then closes the level.
// REQUIRES: no level of the layer is open.
[[nodiscard]] Status WriteCellByCell(Layer& layer, const GridSource& grid, bool quiet);
[[nodiscard]] Status WriteTileByTile(Layer& layer, const GridSource& grid, bool quiet);
// Reads every cell of level 1 and compares it with the grid.
[[nodiscard]] Status VerifyCells(Layer& layer, const GridSource& grid, bool quiet);

}  // namespace dembase::tool

#endif  // DEMBASE_TOOLS_DEMO_CELLS_H_
