#include "format/coding.h"

#include <array>

#include <gtest/gtest.h>

namespace dembase {
namespace {

// Byte order of every field is pinned by the golden layer files; here: short spans.
TEST(Coding, ReaderRefusesShortSpansWithoutMovingAndWriterFailsForGood) {
  const std::array bytes{std::byte{1}, std::byte{2}, std::byte{3}, std::byte{4}, std::byte{5}};
  ByteReader r(bytes);
  uint32_t u32 = 0;
  ASSERT_TRUE(r.ReadU32(&u32));
  EXPECT_EQ(u32, 0x04030201u);
  uint16_t u16 = 7;
  EXPECT_FALSE(r.ReadU16(&u16));
  EXPECT_EQ(u16, 7);
  EXPECT_EQ(r.position(), 4u);
  double d = 0;
  EXPECT_FALSE(r.ReadDouble(&d));
  uint8_t u8 = 0;
  EXPECT_TRUE(r.ReadU8(&u8));
  EXPECT_EQ(u8, 5);
  std::span<const std::byte> none;
  EXPECT_TRUE(r.ReadBytes(0, &none));
  EXPECT_FALSE(r.ReadBytes(1, &none));

  std::array<std::byte, 6> buf{};
  ByteWriter w(buf);
  w.PutI32(-2);
  EXPECT_TRUE(w.ok());
  w.PutU32(1);  // does not fit
  w.PutU8(9);   // would fit, but the writer has failed
  EXPECT_FALSE(w.ok());
  EXPECT_EQ(buf, (std::array{std::byte{0xFE}, std::byte{0xFF}, std::byte{0xFF}, std::byte{0xFF}, std::byte{0},
                             std::byte{0}}));
}

}  // namespace
}  // namespace dembase
