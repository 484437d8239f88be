#include "bench/gdal_side.h"

#include <cpl_conv.h>
#include <cpl_string.h>
#include <gdal.h>

#include <cstdio>
#include <memory>

namespace dembase::bench::gdal {
namespace {

struct DatasetClose {
  void operator()(void* ds) const { GDALClose(ds); }
};
using Dataset = std::unique_ptr<void, DatasetClose>;

Dataset Open(const std::string& path, GDALAccess access) {
  Dataset ds(GDALOpen(path.c_str(), access));
  if (!ds) std::fprintf(stderr, "GDAL cannot open %s\n", path.c_str());
  return ds;
}

// Creation options of the reference GeoTIFF: what a DEM store in GeoTIFF would use.
struct TiffOptions {
  char** list = nullptr;
  TiffOptions(bool big, bool sparse) {
    list = CSLSetNameValue(list, "TILED", "YES");
    list = CSLSetNameValue(list, "BLOCKXSIZE", "256");
    list = CSLSetNameValue(list, "BLOCKYSIZE", "256");
    list = CSLSetNameValue(list, "COMPRESS", "DEFLATE");
    list = CSLSetNameValue(list, "ZLEVEL", "6");
    list = CSLSetNameValue(list, "BIGTIFF", big ? "YES" : "NO");
    if (sparse) list = CSLSetNameValue(list, "SPARSE_OK", "TRUE");
  }
  ~TiffOptions() { CSLDestroy(list); }
  TiffOptions(const TiffOptions&) = delete;
  TiffOptions& operator=(const TiffOptions&) = delete;
};

Dataset Create(const std::string& path, int32_t side, bool big, bool sparse) {
  GDALDriverH driver = GDALGetDriverByName("GTiff");
  if (driver == nullptr) return nullptr;
  VSIUnlink(path.c_str());
  const TiffOptions options(big, sparse);
  Dataset ds(GDALCreate(driver, path.c_str(), side, side, 1, GDT_Float32, options.list));
  if (!ds) {
    std::fprintf(stderr, "GDAL cannot create %s\n", path.c_str());
    return nullptr;
  }
  GDALSetRasterNoDataValue(GDALGetRasterBand(ds.get(), 1), NullHeight());
  return ds;
}

}  // namespace

void Init() {
  GDALAllRegister();
  CPLSetConfigOption("GDAL_NUM_THREADS", "1");
  CPLSetConfigOption("GDAL_DISABLE_READDIR_ON_OPEN", "EMPTY_DIR");
}

double WriteGeoTiff(const DemGrid& grid, const std::string& path) {
  const Stopwatch watch;
  Dataset ds = Create(path, grid.side, false, false);
  if (!ds) return -1;
  GDALRasterBandH band = GDALGetRasterBand(ds.get(), 1);
  for (int32_t b = 0; b < static_cast<int32_t>(grid.blocks.size()); ++b) {
    if (GDALWriteBlock(band, b % grid.blocksAlong, b / grid.blocksAlong,
                       const_cast<float*>(grid.blocks[static_cast<size_t>(b)].data())) != CE_None) {
      return -1;
    }
  }
  ds.reset();  // the close writes what is still pending
  return watch.Seconds();
}

double WriteGeoTiff(const DemTiles& dem, const std::string& path) {
  const auto along = static_cast<size_t>(dem.blocksAlong());
  std::vector<float> row(along * kTileCells);
  const Stopwatch watch;
  // BigTIFF: blocks rewritten in place by the random writes go to the file's end, and at
  // 32769 x 32769 that passes the 4 GiB a classic TIFF can address.
  Dataset ds = Create(path, dem.side(), true, false);
  if (!ds) return -1;
  GDALRasterBandH band = GDALGetRasterBand(ds.get(), 1);
  double seconds = watch.Seconds();
  for (size_t br = 0; br < along; ++br) {
    for (size_t bc = 0; bc < along; ++bc) dem.Block(br * along + bc, &row[bc * kTileCells]);
    const Stopwatch rowWatch;
    for (size_t bc = 0; bc < along; ++bc) {
      if (GDALWriteBlock(band, static_cast<int>(bc), static_cast<int>(br), &row[bc * kTileCells]) != CE_None) {
        std::fprintf(stderr, "GDAL cannot write block %zu of %s\n", br * along + bc, path.c_str());
        return -1;
      }
    }
    seconds += rowWatch.Seconds();
  }
  const Stopwatch closeWatch;
  ds.reset();  // the close writes what is still pending
  return seconds + closeWatch.Seconds();
}

double ReadAllBlocks(const std::string& path) {
  std::vector<float> block(kTileCells);
  volatile float sink = 0;
  const Stopwatch watch;
  Dataset ds = Open(path, GA_ReadOnly);
  if (!ds) return -1;
  GDALRasterBandH band = GDALGetRasterBand(ds.get(), 1);
  int bw = 0, bh = 0;
  GDALGetBlockSize(band, &bw, &bh);
  const int across = (GDALGetRasterBandXSize(band) + bw - 1) / bw;
  const int down = (GDALGetRasterBandYSize(band) + bh - 1) / bh;
  for (int by = 0; by < down; ++by) {
    for (int bx = 0; bx < across; ++bx) {
      if (GDALReadBlock(band, bx, by, block.data()) != CE_None) return -1;
      sink = sink + block[kTileCells / 2];
    }
  }
  ds.reset();
  return watch.Seconds();
}

double RandomReads(const std::string& path, uint64_t cacheBytes, const std::vector<CellPos>& warm,
                   const std::vector<CellPos>& timed) {
  GDALSetCacheMax64(static_cast<GIntBig>(cacheBytes));
  Dataset ds = Open(path, GA_ReadOnly);
  if (!ds) return -1;
  GDALRasterBandH band = GDALGetRasterBand(ds.get(), 1);
  float v = 0;
  volatile float sink = 0;
  for (const CellPos& p : warm) {
    if (GDALRasterIO(band, GF_Read, p.col, p.row, 1, 1, &v, 1, 1, GDT_Float32, 0, 0) != CE_None) return -1;
  }
  const Stopwatch watch;
  for (const CellPos& p : timed) {
    if (GDALRasterIO(band, GF_Read, p.col, p.row, 1, 1, &v, 1, 1, GDT_Float32, 0, 0) != CE_None) return -1;
    sink = sink + v;
  }
  const double seconds = watch.Seconds();
  return seconds;
}

double RandomWritesThenClose(const std::string& path, uint64_t cacheBytes, const std::vector<CellPos>& cells) {
  GDALSetCacheMax64(static_cast<GIntBig>(cacheBytes));
  const Stopwatch watch;
  Dataset ds = Open(path, GA_Update);
  if (!ds) return -1;
  GDALRasterBandH band = GDALGetRasterBand(ds.get(), 1);
  for (size_t i = 0; i < cells.size(); ++i) {
    float v = static_cast<float>(100 + (i & 0xFFF));
    if (GDALRasterIO(band, GF_Write, cells[i].col, cells[i].row, 1, 1, &v, 1, 1, GDT_Float32, 0, 0) != CE_None) {
      return -1;
    }
  }
  ds.reset();
  return watch.Seconds();
}

bool MakeSparseGeoTiff(const std::string& path, int32_t side) { return Create(path, side, true, true) != nullptr; }

double OpenAndReadOneCell(const std::string& path) {
  const Stopwatch watch;
  Dataset ds = Open(path, GA_ReadOnly);
  if (!ds) return -1;
  GDALRasterBandH band = GDALGetRasterBand(ds.get(), 1);
  const int half = GDALGetRasterBandXSize(band) / 2;
  float v = 0;
  if (GDALRasterIO(band, GF_Read, half, half, 1, 1, &v, 1, 1, GDT_Float32, 0, 0) != CE_None) return -1;
  const double seconds = watch.Seconds();
  ds.reset();
  return seconds;
}

double BuildOverviews(const std::string& path, int levels) {
  std::vector<std::string> args = {
      "gdaladdo",         "-q", "-r", "average", "--config", "COMPRESS_OVERVIEW", "DEFLATE", "--config",
      "GDAL_NUM_THREADS", "1",  path};
  for (int i = 1; i <= levels; ++i) args.push_back(std::to_string(1 << i));
  return RunCommand(args);
}

}  // namespace dembase::bench::gdal
