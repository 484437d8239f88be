// The compression limit: the store's tiles compressed and inflated in bare loops, with
// nothing else around them. libdeflate at level 6 is the codec the store uses; zlib at
// level 6 makes the same RFC 1950 format and is the reference that shows what the faster
// codec bought. Each call answers the seconds one pass over every tile took, or a
// negative figure when the codec failed.
#ifndef DEMBASE_BENCH_CODEC_LOOPS_H_
#define DEMBASE_BENCH_CODEC_LOOPS_H_

#include <cstdint>
#include <vector>

namespace dembase::bench {

using Streams = std::vector<std::vector<uint8_t>>;

double LibdeflateCompressAll(const std::vector<std::vector<float>>& tiles, Streams* out);
double ZlibCompressAll(const std::vector<std::vector<float>>& tiles, Streams* out);
double LibdeflateInflateAll(const Streams& streams);
double ZlibInflateAll(const Streams& streams);

}  // namespace dembase::bench

#endif  // DEMBASE_BENCH_CODEC_LOOPS_H_
