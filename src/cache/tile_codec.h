// The tile payload codec: zlib streams (RFC 1950) at the default level 6. The only code
// that knows the codec; any zlib inflater reads what CompressTile writes.
//
// Thread safety: safe from any thread; each thread keeps its own (de)compressor.
#ifndef DEMBASE_CACHE_TILE_CODEC_H_
#define DEMBASE_CACHE_TILE_CODEC_H_

#include <cstdint>

namespace dembase {

// Compresses srcLen bytes of src into dst. REQUIRES: dst has room for 2 x srcLen bytes.
// Returns 1 when the stream fits below that room (then the caller stores it compressed,
// even when it is longer than the raw input), else 0 (the caller stores the raw bytes).
// *outLen always receives the stream length, or the room of dst when it did not fit.
[[nodiscard]] int32_t CompressTile(const void* src, uint32_t srcLen, void* dst, uint32_t* outLen);

// Inflates srcLen bytes of a zlib stream into dst (room for expectedLen bytes). 1 only
// when the stream is valid (checksum included) and inflates to exactly expectedLen
// bytes; anything else 0, with dst contents unspecified.
[[nodiscard]] int32_t UncompressTile(const void* src, uint32_t srcLen, void* dst, uint32_t expectedLen);

}  // namespace dembase

#endif  // DEMBASE_CACHE_TILE_CODEC_H_
