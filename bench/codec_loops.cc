#include "bench/codec_loops.h"

#include <libdeflate.h>
#include <zlib.h>

#include <memory>

#include "bench/dem_grid.h"
#include "bench/harness.h"
#include "cache/deflate_handles.h"

namespace dembase::bench {
namespace {

constexpr int kLevel = 6;

}  // namespace

double LibdeflateCompressAll(const std::vector<std::vector<float>>& tiles, Streams* out) {
  const DeflateCompressor c(libdeflate_alloc_compressor(kLevel));
  if (!c) return -1;
  const size_t bound = libdeflate_zlib_compress_bound(c.get(), kTileBytes);
  out->assign(tiles.size(), std::vector<uint8_t>(bound));
  const Stopwatch watch;
  for (size_t t = 0; t < tiles.size(); ++t) {
    const size_t n = libdeflate_zlib_compress(c.get(), tiles[t].data(), kTileBytes, (*out)[t].data(), bound);
    if (n == 0) return -1;
    (*out)[t].resize(n);
  }
  return watch.Seconds();
}

double ZlibCompressAll(const std::vector<std::vector<float>>& tiles, Streams* out) {
  const uLong bound = compressBound(kTileBytes);
  out->assign(tiles.size(), std::vector<uint8_t>(bound));
  const Stopwatch watch;
  for (size_t t = 0; t < tiles.size(); ++t) {
    uLongf n = bound;
    if (compress2((*out)[t].data(), &n, reinterpret_cast<const Bytef*>(tiles[t].data()), kTileBytes, kLevel) != Z_OK) {
      return -1;
    }
    (*out)[t].resize(n);
  }
  return watch.Seconds();
}

double LibdeflateInflateAll(const Streams& streams) {
  const DeflateDecompressor d(libdeflate_alloc_decompressor());
  if (!d) return -1;
  std::vector<uint8_t> cells(kTileBytes);
  const Stopwatch watch;
  for (const auto& s : streams) {
    size_t got = 0;
    if (libdeflate_zlib_decompress(d.get(), s.data(), s.size(), cells.data(), cells.size(), &got) !=
            LIBDEFLATE_SUCCESS ||
        got != kTileBytes) {
      return -1;
    }
  }
  return watch.Seconds();
}

double ZlibInflateAll(const Streams& streams) {
  std::vector<Bytef> cells(kTileBytes);
  const Stopwatch watch;
  for (const auto& s : streams) {
    uLongf got = kTileBytes;
    if (uncompress(cells.data(), &got, s.data(), static_cast<uLong>(s.size())) != Z_OK || got != kTileBytes) return -1;
  }
  return watch.Seconds();
}

}  // namespace dembase::bench
