// The demo's proof that a layer holds what it should: every cell of every level is
// compared with values computed here from the layer's source, independently of the
// pyramid builder (sums are scattered from each cell into its block above, where the
// builder gathers four cells per block).
#ifndef DEMBASE_TOOLS_DEMO_VERIFY_H_
#define DEMBASE_TOOLS_DEMO_VERIFY_H_

#include <cstdint>

#include "tools/raster_source.h"
#include "tools/session.h"
#include "tools/status.h"

namespace dembase::tool {

// Level 1 must hold the source's cells in the layer's type; each level above the mean of
// the non-null cells of its 2 x 2 blocks (integer layers: rounded, halves away from
// zero). Returns the number of cells compared. REQUIRES: no level is open.
[[nodiscard]] StatusOr<int64_t> VerifyPyramid(const Layer& layer, RasterSource& source, bool quiet);

}  // namespace dembase::tool

#endif  // DEMBASE_TOOLS_DEMO_VERIFY_H_
