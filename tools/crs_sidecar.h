// The reference system of a local layer. The layer header has no field for it, so the
// tool keeps it as WKT in a small file beside the header (DIR/NAME.prj); import writes
// it, export and info read it. A layer without that file has no known reference system.
#ifndef DEMBASE_TOOLS_CRS_SIDECAR_H_
#define DEMBASE_TOOLS_CRS_SIDECAR_H_

#include <string>

#include "tools/layer_name.h"
#include "tools/status.h"

namespace dembase::tool {

// The WKT, or "" when the layer has none.
[[nodiscard]] StatusOr<std::string> ReadCrs(const LayerRef& ref);
// Replaces the file atomically (written beside it, then renamed over it).
[[nodiscard]] Status WriteCrs(const LayerRef& ref, const std::string& wkt);
// A short name for the reference system ("WGS 84"), "" when none can be made.
std::string CrsName(const std::string& wkt);

}  // namespace dembase::tool

#endif  // DEMBASE_TOOLS_CRS_SIDECAR_H_
