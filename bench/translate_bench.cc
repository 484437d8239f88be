#include "bench/translate_bench.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench/harness.h"

namespace dembase::bench {
namespace {

double Translate(const std::string& from, const std::string& out) {
  std::remove(out.c_str());
  return RunCommand({"gdal_translate", "-q", "-of", "GTiff", from, out});
}

}  // namespace

Row GdalTranslateRow(const std::string& layer, const std::string& tif, const std::string& out, int runs) {
  std::vector<double> ours, ref;
  // The child finds the plugin in the build tree, as any GDAL client would through this.
  if (setenv("GDAL_DRIVER_PATH", DEMBASE_GDAL_PLUGIN_DIR, 1) != 0) runs = 0;
  for (int run = 0; run < runs; ++run) {
    ours.push_back(Translate(layer, out));
    ref.push_back(Translate(tif, out));
  }
  if (runs == 0) ours = ref = {-1};
  std::remove(out.c_str());
  return {"gdal_translate a dembase layer to GeoTIFF",
          "s",
          false,
          {"gdal_translate, DEMBASE plugin", TimesOf(ours, 1)},
          {{"gdal_translate from the tiled DEFLATE GeoTIFF", TimesOf(ref, 1)}}};
}

}  // namespace dembase::bench
