#include "localstore/records.h"

#include <bit>
#include <cstring>
#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "cells/null_test.h"

namespace dembase {
namespace {

using Bytes = std::vector<std::byte>;
using Out = std::span<std::byte>;
using In = std::span<const std::byte>;

// Expected bytes are laid out by hand at the documented offsets, independently of the encoder.
class Layout {
 public:
  explicit Layout(size_t n) : bytes_(n, std::byte{0}) {}
  Layout& U8(size_t off, uint8_t v) { return Le(off, v, 1); }
  Layout& U16(size_t off, uint16_t v) { return Le(off, v, 2); }
  Layout& U32(size_t off, uint32_t v) { return Le(off, v, 4); }
  Layout& F32(size_t off, float v) { return Le(off, std::bit_cast<uint32_t>(v), 4); }
  Layout& F64(size_t off, double v) { return Le(off, std::bit_cast<uint64_t>(v), 8); }
  Layout& Str(size_t off, const std::string& s) {
    for (size_t i = 0; i < s.size(); ++i) bytes_.at(off + i) = std::byte(s[i]);
    return *this;
  }
  const Bytes& bytes() const { return bytes_; }

 private:
  Layout& Le(size_t off, uint64_t v, size_t n) {
    for (size_t i = 0; i < n; ++i) bytes_.at(off + i) = std::byte(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  Bytes bytes_;
};

// Encodes to exactly the expected bytes and decodes them back; one byte short is refused both ways.
void ExpectCodec(const Bytes& want, const std::function<bool(Out)>& encode, const std::function<bool(In)>& decode) {
  Bytes got(want.size(), std::byte{0x55});  // padding must be written, not left
  ASSERT_TRUE(encode(got));
  EXPECT_EQ(got, want);
  EXPECT_TRUE(decode(want));
  EXPECT_FALSE(decode(In(want).first(want.size() - 1)));
  EXPECT_FALSE(encode(Out(got).first(got.size() - 1)));
}

const DataLayerParam kParam{0xAB, 7, -10.5, 245.5, 1000.0, 1511.0, 1.0, 2.0, 0xBEEF, 3, -12.25, 8848.0};

Layout ParamLayout(size_t base, size_t n) {
  Layout l(n);
  l.U8(base + 0, 0xAB).U16(base + 1, 7).F64(base + 3, -10.5).F64(base + 11, 245.5).F64(base + 19, 1000.0);
  l.F64(base + 27, 1511.0).F64(base + 35, 1.0).F64(base + 43, 2.0).U16(base + 51, 0xBEEF).U16(base + 53, 3);
  l.F64(base + 55, -12.25).F64(base + 63, 8848.0);
  return l;
}

template <class T>
bool Same(const T& a, const T& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST(Records, FixedRecordsRoundTripAtTheirOffsets) {
  ExpectCodec(ParamLayout(0, 71).bytes(), [](Out o) { return DataLayerParamCodec::EncodeTo(kParam, o); },
              [](In i) {
                DataLayerParam p{};
                return DataLayerParamCodec::DecodeFrom(i, &p) && Same(p, kParam);
              });

  const PyramidLevelRec level{"hill_1\\", "hill_1\\hill_1.Hdr", "hill_1\\hill_1.Dem", true};
  ExpectCodec(
      Layout(777).Str(0, level.directory).Str(256, level.headerPath).Str(516, level.dataPath).U8(776, 1).bytes(),
      [&](Out o) { return level.EncodeTo(o); },
      [&](In i) {
        PyramidLevelRec r;
        return r.DecodeFrom(i) && r == level;
      });

  LevelHeaderPrefix h;
  h.info = PyramidLayerInfo{1, 30.0, 0.5, 511, 256, 256, 256, 3, 2};
  h.dataFileCount = 1;
  Layout prefix(39);
  prefix.U8(0, 1).F64(1, 30.0).F64(9, 0.5).U32(17, 511).U32(21, 256).U16(25, 256).U16(27, 256);
  prefix.U32(29, 3).U32(33, 2).U16(37, 1);
  ExpectCodec(prefix.bytes(), [&](Out o) { return h.EncodeTo(o); },
              [&](In i) {
                LevelHeaderPrefix b;
                return b.DecodeFrom(i) && Same(b.info, h.info) && b.dataFileCount == 1;
              });
  PyramidLayerInfo info{};
  EXPECT_FALSE(PyramidLayerInfoCodec::DecodeFrom(In(prefix.bytes()).first(36), &info));
  ASSERT_TRUE(PyramidLayerInfoCodec::DecodeFrom(In(prefix.bytes()).first(37), &info));
  EXPECT_EQ(int{info.tilesAcross}, 2);

  const uint32_t ends[] = {0x01020304, 0, 0xFFFFFFFF};
  ExpectCodec(Layout(12).U32(0, 0x01020304).U32(8, 0xFFFFFFFF).bytes(),
              [&](Out o) { return EncodeDataFileEnds(ends, o); },
              [&](In i) {
                uint32_t b[3] = {};
                return DecodeDataFileEnds(i, b) && Same(b, ends);
              });

  const TileIndexRec recs[] = {{0x00001000, 1, 51234, -3.5f, 812.0f}, EmptyTileIndexRec(CellType::kInt32)};
  Layout index(34);
  index.U32(0, 0x1000).U8(4, 1).U32(5, 51234).F32(9, -3.5f).F32(13, 812.0f);
  index.U32(17, 1).U8(21, 0).U32(22, 0).F32(26, 2100000000.0f).F32(30, 2100000000.0f);
  ExpectCodec(index.bytes(), [&](Out o) { return EncodeTileIndex(recs, o); },
              [&](In i) {
                TileIndexRec b[2] = {};
                return DecodeTileIndex(i, b) && Same(b, recs);
              });
  TileIndexRec one{};
  EXPECT_FALSE(TileIndexRecCodec::DecodeFrom(In(index.bytes()).first(16), &one));
  const TileIndexRec empty = EmptyTileIndexRec(CellType::kFloat32);
  EXPECT_EQ(uint32_t{empty.offset}, 1u);
  EXPECT_EQ(uint32_t{empty.storedSize}, 0u);
  EXPECT_EQ(std::bit_cast<uint32_t>(static_cast<float>(empty.tileMin)), 0x7EFFFFEEu);
}

TEST(Records, DemInfoHeader) {
  Layout want = ParamLayout(13, 84);
  want.Str(0, "DEM_INFO").U32(9, 0x4460);
  Bytes got(84);
  ASSERT_TRUE(DemInfoHeader{kParam}.EncodeTo(got));
  EXPECT_EQ(got, want.bytes());
  DemInfoHeader h;
  EXPECT_EQ(h.DecodeFrom(want.bytes()), DemInfoStatus::kOk);
  EXPECT_TRUE(Same(h.param, kParam));
  const struct {
    size_t keep;  // bytes offered
    size_t flip;  // byte changed, if any
    DemInfoStatus want;
  } cases[] = {
      {8, 99, DemInfoStatus::kTruncated},  {84, 0, DemInfoStatus::kNotDemInfo},   {84, 8, DemInfoStatus::kNotDemInfo},
      {12, 99, DemInfoStatus::kTruncated}, {20, 3, DemInfoStatus::kNotDemInfo},   {84, 9, DemInfoStatus::kWrongVersion},
      {83, 99, DemInfoStatus::kTruncated}, {13, 12, DemInfoStatus::kWrongVersion},
  };
  for (const auto& c : cases) {
    Bytes bytes(want.bytes().begin(), want.bytes().begin() + c.keep);
    if (c.flip < bytes.size()) bytes[c.flip] ^= std::byte{0x01};
    EXPECT_EQ(DemInfoHeader{}.DecodeFrom(bytes), c.want) << c.keep << " " << c.flip;
  }
}

TEST(Records, PyramidLevelRecFieldsMustFitAndStayInside) {
  Bytes buf(777);
  const PyramidLevelRec fits{std::string(255, 'd'), std::string(259, 'h'), std::string(259, 'p'), false};
  EXPECT_TRUE(fits.EncodeTo(buf));
  for (PyramidLevelRec rec : {PyramidLevelRec{fits.directory + 'd', "", "", false},
                              PyramidLevelRec{"", "", fits.dataPath + 'p', false},
                              PyramidLevelRec{"", "", std::string("a\0b", 3), false}}) {
    EXPECT_FALSE(rec.EncodeTo(buf));
  }
  Layout good(777);
  good.Str(0, "a\\").Str(256, "a\\a.Hdr").Str(516, "a\\a.Dem");
  EXPECT_TRUE(PyramidLevelRec{}.DecodeFrom(good.bytes()));
  EXPECT_TRUE(PyramidLevelRec{}.DecodeFrom(Layout(777).bytes()));  // all empty: an unnamed, uncreated record
  const struct {
    size_t at;
    std::string text;
  } bad[] = {{0, std::string(256, 'x')},  // no NUL in the directory
             {516, std::string(260, 'x')},  // nor in the data path
             {0, "..\\"}, {256, "a\\..\\..\\etc.Hdr"}, {256, "/etc/passwd"}, {516, "C:x.Dem"}};
  for (const auto& b : bad) {
    EXPECT_FALSE(PyramidLevelRec{}.DecodeFrom(Layout(good).Str(b.at, b.text).bytes())) << b.text;
  }
  PyramidLevelRec rec;  // bytes after a field's NUL are never read
  ASSERT_TRUE(rec.DecodeFrom(Layout(good).Str(200, "junk").bytes()));
  EXPECT_EQ(rec.directory, "a\\");
}

TEST(Records, DemInfoFileAndLevelRecordsToRead) {
  const PyramidLevelRec levels[] = {{"hill\\", "hill\\hill.Hdr", "hill\\hill.Dem", true},
                                    {"hill_1\\", "hill_1\\hill_1.Hdr", "hill_1\\hill_1.Dem", false}};
  const std::optional<Bytes> file = EncodeDemInfoFile(kParam, levels);
  ASSERT_TRUE(file);
  ASSERT_EQ(file->size(), 9u + 4 + 71 + 2 * 777 + 1024);
  EXPECT_EQ(file->back(), std::byte{0x20});
  EXPECT_EQ((*file)[84 + 2 * 777], std::byte{0x20});
  PyramidLevelRec second;
  ASSERT_TRUE(second.DecodeFrom(In(*file).subspan(84 + 777, 777)));
  EXPECT_EQ(second, levels[1]);
  const PyramidLevelRec bad[] = {{std::string(300, 'x'), "", "", false}};
  EXPECT_FALSE(EncodeDemInfoFile(kParam, bad));

  const struct {
    int16_t count;
    uint64_t size;
    std::optional<size_t> want;
  } cases[] = {{0, DemInfoFileSize(1), 1}, {3, DemInfoFileSize(3), 3}, {3, 84 + 3 * 777, 3},  // trailer cut off
               {3, 84 + 3 * 777 - 1, {}},  {-1, DemInfoFileSize(1), {}}, {32767, 1u << 20, {}}};
  for (const auto& c : cases) EXPECT_EQ(LevelRecordsToRead(c.count, c.size), c.want) << c.count << " " << c.size;
}

}  // namespace
}  // namespace dembase
