// gdal_translate of the DEM to a plain GeoTIFF, from the dembase layer through the DEMBASE
// plugin and from the tiled DEFLATE GeoTIFF, each a child process as a user runs it.
#ifndef DEMBASE_BENCH_TRANSLATE_BENCH_H_
#define DEMBASE_BENCH_TRANSLATE_BENCH_H_

#include <string>

#include "bench/report.h"

namespace dembase::bench {

// The two take turns, runs times each; out is overwritten by every run.
Row GdalTranslateRow(const std::string& layer, const std::string& tif, const std::string& out, int runs);

}  // namespace dembase::bench

#endif  // DEMBASE_BENCH_TRANSLATE_BENCH_H_
