#include "cache/tile_codec.h"

#include <zlib.h>

#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/tile_cells.h"

namespace dembase {
namespace {

constexpr uint32_t kBlock = 262144;
using Bytes = std::vector<uint8_t>;

Bytes BlockOf(const testing::CellBlock& cells) {
  const auto* p = static_cast<const uint8_t*>(cells.data());
  return Bytes(p, p + kBlock);
}

Bytes Noise(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& v : b) v = static_cast<uint8_t>(rng());
  return b;
}

Bytes Compress(const Bytes& raw) {
  Bytes out(2 * raw.size());
  uint32_t len = 0;
  EXPECT_EQ(CompressTile(raw.data(), static_cast<uint32_t>(raw.size()), out.data(), &len), 1);
  out.resize(len);
  return out;
}

int32_t Uncompress(const Bytes& z, Bytes* out) {
  out->assign(kBlock, 0xAA);
  return UncompressTile(z.data(), static_cast<uint32_t>(z.size()), out->data(), kBlock);
}

// Stored payloads are zlib streams: other readers of the files inflate ours, and we inflate theirs.
TEST(TileCodecTest, RoundTripsZlibInteropAndDamagedStreams) {
  // Incompressible data still makes a stream within the room of twice the block.
  const struct {
    Bytes raw;
    uint32_t minSize, maxSize;
  } cases[] = {{BlockOf(testing::Slope(DEMBASE_TYPE_FLOAT32, 812.5, 40, 30)), 0, kBlock},
               {Bytes(kBlock, 0), 0, 2000},
               {Noise(kBlock, 6), kBlock, 2 * kBlock}};
  for (const auto& [raw, minSize, maxSize] : cases) {
    const Bytes ours = Compress(raw);
    EXPECT_GE(ours.size(), minSize);
    EXPECT_LT(ours.size(), maxSize);
    Bytes back;
    ASSERT_EQ(Uncompress(ours, &back), 1);
    EXPECT_EQ(back, raw);
    uLongf len = kBlock;
    ASSERT_EQ(uncompress(back.data(), &len, ours.data(), ours.size()), Z_OK);
    EXPECT_EQ(len, kBlock);
    EXPECT_EQ(back, raw);
    Bytes theirs(compressBound(kBlock));
    uLongf zlen = theirs.size();
    ASSERT_EQ(compress(theirs.data(), &zlen, raw.data(), kBlock), Z_OK);
    theirs.resize(zlen);
    ASSERT_EQ(Uncompress(theirs, &back), 1);
    EXPECT_EQ(back, raw);
  }
  Bytes out(2 * kBlock);
  uint32_t len = 0;
  EXPECT_EQ(CompressTile(out.data(), 1, out.data() + kBlock, &len), 0) << "no stream fits in 2 bytes";
  EXPECT_EQ(len, 2u);
  EXPECT_EQ(CompressTile(nullptr, kBlock, out.data(), &len), 0);

  // Damaged streams are refused: cut in the header, the body or the checksum, a bit flipped
  // there, garbage, and streams that inflate to the wrong size.
  const Bytes z = Compress(BlockOf(testing::Slope(DEMBASE_TYPE_INT32, -70, 3, 0)));
  for (size_t len : {size_t{0}, size_t{2}, z.size() / 2, z.size() - 1}) {
    EXPECT_EQ(Uncompress(Bytes(z.begin(), z.begin() + static_cast<long>(len)), &out), 0) << "cut at " << len;
  }
  for (size_t pos : {size_t{1}, z.size() / 3, z.size() - 2}) {
    Bytes bad = z;
    bad[pos] ^= 0x10;
    EXPECT_EQ(Uncompress(bad, &out), 0) << "bit flipped at " << pos;
  }
  for (uint32_t i = 0; i < 20; ++i) EXPECT_EQ(Uncompress(Noise(1 + i * 200, i), &out), 0) << i;
  EXPECT_EQ(Uncompress(Compress(Bytes(kBlock - 4, 1)), &out), 0) << "inflates short";
  EXPECT_EQ(Uncompress(Compress(Bytes(kBlock + 4, 1)), &out), 0) << "inflates long";
  EXPECT_EQ(UncompressTile(nullptr, 10, out.data(), kBlock), 0);
}

}  // namespace
}  // namespace dembase
