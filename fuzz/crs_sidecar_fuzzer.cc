// Feeds the .prj sidecar of a local layer (the reference system as WKT) through the
// tool's reader and the short name the tool shows for it.
#include <cpl_error.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "tools/crs_sidecar.h"
#include "tools/layer_name.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dembase::tool;
  using dembase::fuzz::Require;
  static const LayerRef ref = [] {
    CPLSetErrorHandler(CPLQuietErrorHandler);  // GDAL's complaints about bad WKT are expected here
    auto parsed = ParseLayerRef(dembase::fuzz::ScratchDir() + "/sample");
    Require(parsed.ok(), "sample layer name");
    return *parsed;
  }();
  Require(dembase::fuzz::WriteWholeFile(ref.crsPath, {data, size}), "write sidecar");
  auto wkt = ReadCrs(ref);
  if (!wkt.ok()) {
    Require(!wkt.status().message().empty(), "a refused sidecar says why");
    return 0;
  }
  (void)CrsName(*wkt);
  return 0;
}
