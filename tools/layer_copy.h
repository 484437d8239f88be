// Copies a layer through the exports, between any two stores (local to database and back,
// or between databases): the target is made with the source's description, then level by
// level, in ascending order, every tile is read with tile-data reads and written with a
// whole-level write, blending off, so cells are replaced exactly and empty tiles stay
// empty. A local target takes a database layer's levels as 1 .. n (it has no gaps).
//
// All or nothing: a local target is built as DIR/NAME.dem.part, a layer no reader asks
// for, and renamed to DIR/NAME only when complete; a database target is made under its
// name and deleted again (with a database file the copy made) when anything fails.
#ifndef DEMBASE_TOOLS_LAYER_COPY_H_
#define DEMBASE_TOOLS_LAYER_COPY_H_

#include <cstdint>

#include "tools/layer_name.h"
#include "tools/status.h"

namespace dembase::tool {

struct CopyOutcome {
  int32_t levels = 0;
  int64_t tilesStored = 0;
  int64_t tilesEmpty = 0;
  bool renumbered = false;  // the source's level numbers had gaps the local target closed
  bool crsDropped = false;  // the source's reference system has no place in a database
};

// verify: reads the copy back and compares every cell with the source before keeping it.
[[nodiscard]] StatusOr<CopyOutcome> CopyThroughExports(const LayerRef& from, const LayerRef& to, bool verify,
                                                       bool quiet);

// Refuses a local target whose header, or reference system, is there already.
[[nodiscard]] Status CheckLocalTarget(const LayerRef& to);

// Where a local target is built: DIR/NAME.dem.part (header DIR/NAME.dem.part.dem).
[[nodiscard]] StatusOr<LayerRef> PartRef(const LayerRef& to);

}  // namespace dembase::tool

#endif  // DEMBASE_TOOLS_LAYER_COPY_H_
