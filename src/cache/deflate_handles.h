// Owning handles for libdeflate's compressor and decompressor.
#ifndef DEMBASE_CACHE_DEFLATE_HANDLES_H_
#define DEMBASE_CACHE_DEFLATE_HANDLES_H_

#include <libdeflate.h>

#include <memory>

namespace dembase {

struct CompressorFree {
  void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};
struct DecompressorFree {
  void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

using DeflateCompressor = std::unique_ptr<libdeflate_compressor, CompressorFree>;
using DeflateDecompressor = std::unique_ptr<libdeflate_decompressor, DecompressorFree>;

}  // namespace dembase

#endif  // DEMBASE_CACHE_DEFLATE_HANDLES_H_
