#include "cache/tile_codec.h"

#include <libdeflate.h>

#include <memory>

#include "cache/deflate_handles.h"

namespace dembase {
namespace {

// zlib's default level, so streams match what the format's reference writer makes.
constexpr int kLevel = 6;

// One of each per thread: they are costly to make and not safe to share.
libdeflate_compressor* ThreadCompressor() {
  thread_local DeflateCompressor c;
  if (c == nullptr) c.reset(libdeflate_alloc_compressor(kLevel));
  return c.get();
}

libdeflate_decompressor* ThreadDecompressor() {
  thread_local DeflateDecompressor d;
  if (d == nullptr) d.reset(libdeflate_alloc_decompressor());
  return d.get();
}

}  // namespace

int32_t CompressTile(const void* src, uint32_t srcLen, void* dst, uint32_t* outLen) {
  if (outLen == nullptr) return 0;
  // The room of dst; past 2^31 it would not fit the 32-bit length.
  const uint64_t capacity = uint64_t{2} * srcLen;
  *outLen = 0;
  if (src == nullptr || dst == nullptr || srcLen == 0 || capacity > UINT32_MAX) return 0;
  libdeflate_compressor* c = ThreadCompressor();
  if (c == nullptr) return 0;
  const size_t n = libdeflate_zlib_compress(c, src, srcLen, dst, capacity);
  if (n == 0) {
    *outLen = static_cast<uint32_t>(capacity);
    return 0;
  }
  *outLen = static_cast<uint32_t>(n);
  // Success means the stream fit below the room given, as callers have always read it;
  // a stream longer than the raw cells is still a valid stream.
  return n < capacity ? 1 : 0;
}

int32_t UncompressTile(const void* src, uint32_t srcLen, void* dst, uint32_t expectedLen) {
  if (src == nullptr || dst == nullptr) return 0;
  libdeflate_decompressor* d = ThreadDecompressor();
  if (d == nullptr) return 0;
  size_t actual = 0;
  const libdeflate_result r = libdeflate_zlib_decompress(d, src, srcLen, dst, expectedLen, &actual);
  return r == LIBDEFLATE_SUCCESS && actual == expectedLen ? 1 : 0;
}

}  // namespace dembase
