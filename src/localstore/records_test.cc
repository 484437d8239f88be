#include "localstore/records.h"

#include <bit>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "cells/null_test.h"

namespace dembase {
namespace {

// Expected bytes are laid out by hand at the documented offsets, independently of the
// encoder.
class Layout {
 public:
  explicit Layout(size_t n) : bytes_(n, std::byte{0}) {}
  Layout& U8(size_t off, uint8_t v) { return Raw(off, &v, 1); }
  Layout& U16(size_t off, uint16_t v) { return Le(off, v, 2); }
  Layout& U32(size_t off, uint32_t v) { return Le(off, v, 4); }
  Layout& F32(size_t off, float v) { return Le(off, std::bit_cast<uint32_t>(v), 4); }
  Layout& F64(size_t off, double v) { return Le(off, std::bit_cast<uint64_t>(v), 8); }
  Layout& Str(size_t off, const char* s) { return Raw(off, s, std::strlen(s)); }
  const std::vector<std::byte>& bytes() const { return bytes_; }

 private:
  Layout& Le(size_t off, uint64_t v, size_t n) {
    for (size_t i = 0; i < n; ++i) bytes_.at(off + i) = std::byte(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  Layout& Raw(size_t off, const void* p, size_t n) {
    EXPECT_LE(off + n, bytes_.size());
    if (off + n <= bytes_.size()) std::memcpy(bytes_.data() + off, p, n);
    return *this;
  }
  std::vector<std::byte> bytes_;
};

DataLayerParam SampleParam() {
  DataLayerParam p{};
  p.reserved0 = 0xAB;
  p.dataType = 7;
  p.xMin = -10.5;
  p.xMax = 245.5;
  p.yMin = 1000.0;
  p.yMax = 1511.0;
  p.cellSizeX = 1.0;
  p.cellSizeY = 2.0;
  p.reserved1 = 0xBEEF;
  p.levelCount = 3;
  p.minValue = -12.25;
  p.maxValue = 8848.0;
  return p;
}

Layout SampleParamLayout(size_t base, size_t n) {
  Layout l(n);
  l.U8(base + 0, 0xAB).U16(base + 1, 7).F64(base + 3, -10.5).F64(base + 11, 245.5).F64(base + 19, 1000.0);
  l.F64(base + 27, 1511.0).F64(base + 35, 1.0).F64(base + 43, 2.0).U16(base + 51, 0xBEEF).U16(base + 53, 3);
  l.F64(base + 55, -12.25).F64(base + 63, 8848.0);
  return l;
}

bool SameParam(const DataLayerParam& a, const DataLayerParam& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(Records, DataLayerParam) {
  const Layout want = SampleParamLayout(0, 71);
  std::vector<std::byte> got(71);
  ASSERT_TRUE(DataLayerParamCodec::EncodeTo(SampleParam(), got));
  EXPECT_EQ(got, want.bytes());
  DataLayerParam back{};
  ASSERT_TRUE(DataLayerParamCodec::DecodeFrom(want.bytes(), &back));
  EXPECT_TRUE(SameParam(back, SampleParam()));
  EXPECT_FALSE(DataLayerParamCodec::DecodeFrom(std::span(want.bytes()).first(70), &back));
  EXPECT_FALSE(DataLayerParamCodec::EncodeTo(SampleParam(), std::span(got).first(70)));
}

TEST(Records, DemInfoHeader) {
  Layout want = SampleParamLayout(13, 84);
  want.Str(0, "DEM_INFO").U32(9, 0x4460);
  std::vector<std::byte> got(84);
  ASSERT_TRUE(DemInfoHeader{SampleParam()}.EncodeTo(got));
  EXPECT_EQ(got, want.bytes());

  DemInfoHeader h;
  EXPECT_EQ(h.DecodeFrom(want.bytes()), DemInfoStatus::kOk);
  EXPECT_TRUE(SameParam(h.param, SampleParam()));

  struct {
    size_t keep;       // bytes offered
    size_t flip = 99;  // byte changed, if any
    DemInfoStatus want;
  } cases[] = {
      {8, 99, DemInfoStatus::kTruncated},      {84, 0, DemInfoStatus::kNotDemInfo},
      {84, 8, DemInfoStatus::kNotDemInfo},     {12, 99, DemInfoStatus::kTruncated},
      {20, 3, DemInfoStatus::kNotDemInfo},     {84, 9, DemInfoStatus::kWrongVersion},
      {13, 12, DemInfoStatus::kWrongVersion},  {83, 99, DemInfoStatus::kTruncated},
  };
  for (const auto& c : cases) {
    std::vector<std::byte> bytes(want.bytes().begin(), want.bytes().begin() + c.keep);
    if (c.flip < bytes.size()) bytes[c.flip] ^= std::byte{0x01};
    EXPECT_EQ(DemInfoHeader{}.DecodeFrom(bytes), c.want) << c.keep << " " << c.flip;
  }
}

TEST(Records, PyramidLevelRec) {
  Layout want(777);
  want.Str(0, "hill_1\\").Str(256, "hill_1\\hill_1.Hdr").Str(516, "hill_1\\hill_1.Dem").U8(776, 1);
  const PyramidLevelRec rec{"hill_1\\", "hill_1\\hill_1.Hdr", "hill_1\\hill_1.Dem", true};
  std::vector<std::byte> got(777, std::byte{0x55});  // padding must be written, not left
  ASSERT_TRUE(rec.EncodeTo(got));
  EXPECT_EQ(got, want.bytes());
  PyramidLevelRec back;
  ASSERT_TRUE(back.DecodeFrom(want.bytes()));
  EXPECT_EQ(back, rec);
  EXPECT_FALSE(back.DecodeFrom(std::span(want.bytes()).first(776)));
}

TEST(Records, PyramidLevelRecFieldsMustFit) {
  std::vector<std::byte> buf(777);
  PyramidLevelRec rec{std::string(255, 'd'), std::string(259, 'h'), std::string(259, 'p'), false};
  EXPECT_TRUE(rec.EncodeTo(buf));
  rec.directory += 'd';
  EXPECT_FALSE(rec.EncodeTo(buf));
  rec.directory.pop_back();
  rec.dataPath += 'p';
  EXPECT_FALSE(rec.EncodeTo(buf));
  rec.dataPath = std::string("a\0b", 3);
  EXPECT_FALSE(rec.EncodeTo(buf));
}

TEST(Records, PyramidLevelRecRefusesUnreadableOrEscapingFields) {
  const auto decode = [](Layout l) { return PyramidLevelRec{}.DecodeFrom(l.bytes()); };
  Layout good(777);
  good.Str(0, "a\\").Str(256, "a\\a.Hdr").Str(516, "a\\a.Dem");
  EXPECT_TRUE(decode(good));
  EXPECT_TRUE(decode(Layout(777)));  // all empty: an unnamed, uncreated record
  EXPECT_FALSE(decode(Layout(good).Str(0, std::string(256, 'x').c_str())));    // no NUL in directory
  EXPECT_FALSE(decode(Layout(good).Str(516, std::string(260, 'x').c_str())));  // no NUL in data path
  EXPECT_FALSE(decode(Layout(good).Str(0, "..\\")));
  EXPECT_FALSE(decode(Layout(good).Str(256, "a\\..\\..\\etc.Hdr")));
  EXPECT_FALSE(decode(Layout(good).Str(256, "/etc/passwd")));
  EXPECT_FALSE(decode(Layout(good).Str(516, "C:x.Dem")));
  // Bytes after a field's NUL are never read.
  Layout junk(good);
  junk.Str(200, "junk");
  PyramidLevelRec rec;
  ASSERT_TRUE(rec.DecodeFrom(junk.bytes()));
  EXPECT_EQ(rec.directory, "a\\");
}

TEST(Records, DemInfoFile) {
  const PyramidLevelRec levels[] = {{"hill\\", "hill\\hill.Hdr", "hill\\hill.Dem", true},
                                    {"hill_1\\", "hill_1\\hill_1.Hdr", "hill_1\\hill_1.Dem", false}};
  const std::optional<std::vector<std::byte>> file = EncodeDemInfoFile(SampleParam(), levels);
  ASSERT_TRUE(file);
  ASSERT_EQ(file->size(), 9u + 4 + 71 + 2 * 777 + 1024);
  EXPECT_EQ(file->back(), std::byte{0x20});
  EXPECT_EQ((*file)[84 + 2 * 777], std::byte{0x20});
  PyramidLevelRec second;
  ASSERT_TRUE(second.DecodeFrom(std::span(*file).subspan(84 + 777, 777)));
  EXPECT_EQ(second, levels[1]);

  const PyramidLevelRec bad[] = {{std::string(300, 'x'), "", "", false}};
  EXPECT_FALSE(EncodeDemInfoFile(SampleParam(), bad));
}

TEST(Records, LevelRecordsToRead) {
  EXPECT_EQ(LevelRecordsToRead(0, DemInfoFileSize(1)), 1u);
  EXPECT_EQ(LevelRecordsToRead(3, DemInfoFileSize(3)), 3u);
  EXPECT_EQ(LevelRecordsToRead(3, 84 + 3 * 777), 3u);  // trailer cut off
  EXPECT_FALSE(LevelRecordsToRead(3, 84 + 3 * 777 - 1));
  EXPECT_FALSE(LevelRecordsToRead(-1, DemInfoFileSize(1)));
  EXPECT_FALSE(LevelRecordsToRead(32767, 1u << 20));
}

TEST(Records, LevelHeaderPrefix) {
  Layout want(39);
  want.U8(0, 1).F64(1, 30.0).F64(9, 0.5).U32(17, 511).U32(21, 256).U16(25, 256).U16(27, 256);
  want.U32(29, 3).U32(33, 2).U16(37, 1);
  LevelHeaderPrefix h;
  h.info = PyramidLayerInfo{1, 30.0, 0.5, 511, 256, 256, 256, 3, 2};
  h.dataFileCount = 1;
  std::vector<std::byte> got(39);
  ASSERT_TRUE(h.EncodeTo(got));
  EXPECT_EQ(got, want.bytes());
  LevelHeaderPrefix back;
  ASSERT_TRUE(back.DecodeFrom(want.bytes()));
  EXPECT_EQ(std::memcmp(&back.info, &h.info, sizeof h.info), 0);
  EXPECT_EQ(back.dataFileCount, 1);
  EXPECT_FALSE(back.DecodeFrom(std::span(want.bytes()).first(38)));
  PyramidLayerInfo info{};
  EXPECT_FALSE(PyramidLayerInfoCodec::DecodeFrom(std::span(want.bytes()).first(36), &info));
  ASSERT_TRUE(PyramidLayerInfoCodec::DecodeFrom(std::span(want.bytes()).first(37), &info));
  EXPECT_EQ(int{info.tilesAcross}, 2);
}

TEST(Records, DataFileEnds) {
  const uint32_t ends[] = {0x01020304, 0, 0xFFFFFFFF};
  Layout want(12);
  want.U32(0, 0x01020304).U32(8, 0xFFFFFFFF);
  std::vector<std::byte> got(12);
  ASSERT_TRUE(EncodeDataFileEnds(ends, got));
  EXPECT_EQ(got, want.bytes());
  uint32_t back[3] = {};
  ASSERT_TRUE(DecodeDataFileEnds(want.bytes(), back));
  EXPECT_EQ(back[0], ends[0]);
  EXPECT_EQ(back[2], ends[2]);
  EXPECT_FALSE(DecodeDataFileEnds(std::span(want.bytes()).first(11), back));
  EXPECT_FALSE(EncodeDataFileEnds(ends, std::span(got).first(11)));
}

TEST(Records, TileIndex) {
  const TileIndexRec recs[] = {{0x00001000, 1, 51234, -3.5f, 812.0f}, EmptyTileIndexRec(CellType::kInt32)};
  Layout want(34);
  want.U32(0, 0x1000).U8(4, 1).U32(5, 51234).F32(9, -3.5f).F32(13, 812.0f);
  want.U32(17, 1).U8(21, 0).U32(22, 0).F32(26, 2100000000.0f).F32(30, 2100000000.0f);
  std::vector<std::byte> got(34);
  ASSERT_TRUE(EncodeTileIndex(recs, got));
  EXPECT_EQ(got, want.bytes());
  TileIndexRec back[2] = {};
  ASSERT_TRUE(DecodeTileIndex(want.bytes(), back));
  EXPECT_EQ(std::memcmp(back, recs, sizeof recs), 0);
  EXPECT_FALSE(DecodeTileIndex(std::span(want.bytes()).first(33), back));
  EXPECT_FALSE(TileIndexRecCodec::DecodeFrom(std::span(want.bytes()).first(16), &back[0]));

  const TileIndexRec empty = EmptyTileIndexRec(CellType::kFloat32);
  EXPECT_EQ(uint32_t{empty.offset}, 1u);
  EXPECT_EQ(uint32_t{empty.storedSize}, 0u);
  EXPECT_EQ(std::bit_cast<uint32_t>(static_cast<float>(empty.tileMin)), 0x7EFFFFEEu);
}

}  // namespace
}  // namespace dembase
