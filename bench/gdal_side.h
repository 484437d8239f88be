// The reference: the same DEM as a GeoTIFF through GDAL, tiled 256 x 256 and DEFLATE
// compressed at zlib level 6, one thread, read and written through GDAL's block cache
// set to the same size as the store's tile cache. Each call answers seconds, or a
// negative figure when GDAL failed (and says why on stderr).
#ifndef DEMBASE_BENCH_GDAL_SIDE_H_
#define DEMBASE_BENCH_GDAL_SIDE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "bench/dem_grid.h"
#include "bench/harness.h"

namespace dembase::bench::gdal {

void Init();

// Creates path (replacing it) and writes every block, through to the close.
double WriteGeoTiff(const DemGrid& grid, const std::string& path);
// The same from blocks cut on demand, a row of blocks at a time, the cutting left out; a
// BigTIFF, so that large levels can be rewritten.
double WriteGeoTiff(const DemTiles& dem, const std::string& path);
// Opens path and reads every block with GDALReadBlock.
double ReadAllBlocks(const std::string& path);
// Opens path with a block cache of cacheBytes, reads the warm cells, then times
// single-cell RasterIO reads of the timed cells.
double RandomReads(const std::string& path, uint64_t cacheBytes, const std::vector<CellPos>& warm,
                   const std::vector<CellPos>& timed);
// Opens path for update, writes each cell with a single-cell RasterIO, closes.
double RandomWritesThenClose(const std::string& path, uint64_t cacheBytes, const std::vector<CellPos>& cells);
// An empty (sparse) tiled DEFLATE GeoTIFF of side x side float cells.
bool MakeSparseGeoTiff(const std::string& path, int32_t side);
// Opens path and reads its centre cell, the close left out of the time.
double OpenAndReadOneCell(const std::string& path);
// gdaladdo -r average with DEFLATE overviews at factors 2, 4, ... 2^levels, as a child process.
double BuildOverviews(const std::string& path, int levels);

}  // namespace dembase::bench::gdal

#endif  // DEMBASE_BENCH_GDAL_SIDE_H_
