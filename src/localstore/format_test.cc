// The local store's on-disk records, level geometry and file names. The byte layout of the
// header and of new levels is pinned by the golden files of the layer-files suite; here: what
// those files cannot show (refusals, tile records with data, names at their length limits).
#include <bit>
#include <concepts>
#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include "cells/null_test.h"
#include "localstore/file_names.h"
#include "localstore/level_geometry.h"
#include "localstore/records.h"

namespace dembase {
namespace {

using Bytes = std::vector<std::byte>;
using Out = std::span<std::byte>;
using In = std::span<const std::byte>;
using Opt = std::optional<std::string>;
constexpr std::nullopt_t kNo = std::nullopt;
constexpr double kInf = std::numeric_limits<double>::infinity(), kNaN = std::numeric_limits<double>::quiet_NaN();

template <class T>
bool Same(const T& a, const T& b) {
  if constexpr (std::equality_comparable<T> && !std::is_array_v<T>) {
    return a == b;
  } else {
    return std::memcmp(&a, &b, sizeof a) == 0;
  }
}
bool Same(const LevelHeaderPrefix& a, const LevelHeaderPrefix& b) {
  return Same(a.info, b.info) && a.dataFileCount == b.dataFileCount;
}

// Writes s at off.
Bytes& Put(Bytes& b, size_t off, const std::string& s) {
  for (size_t i = 0; i < s.size(); ++i) b.at(off + i) = std::byte(s[i]);
  return b;
}

// Encodes v into exactly n bytes (every one written) and decodes it back; one byte short is
// refused both ways.
template <class T, class Encode, class Decode>
void ExpectCodec(size_t n, const T& v, Encode encode, Decode decode, const Bytes* want = nullptr) {
  Bytes got(n, std::byte{0x55});
  ASSERT_TRUE(encode(v, Out(got)));
  if (want != nullptr) {
    EXPECT_EQ(got, *want);
  }
  T back{};
  EXPECT_TRUE(decode(In(got), &back));
  EXPECT_TRUE(Same(back, v));
  EXPECT_FALSE(decode(In(got).first(n - 1), &back));
  EXPECT_FALSE(encode(v, Out(got).first(n - 1)));
}

const DataLayerParam kParam{0xAB, 7, -10.5, 245.5, 1000.0, 1511.0, 1.0, 2.0, 0xBEEF, 3, -12.25, 8848.0};

// The bytes of the header and of new levels are pinned by the golden files; tile records with
// data appear in none, so theirs are laid out here by hand.
TEST(Records, FixedRecordsRoundTrip) {
  ExpectCodec(71, kParam, DataLayerParamCodec::EncodeTo, DataLayerParamCodec::DecodeFrom);
  const LevelHeaderPrefix prefix{PyramidLayerInfo{1, 30.0, 0.5, 511, 256, 256, 256, 3, 2}, 1};
  ExpectCodec(37, prefix.info, PyramidLayerInfoCodec::EncodeTo, PyramidLayerInfoCodec::DecodeFrom);
  ExpectCodec(
      39, prefix, [](const auto& v, Out o) { return v.EncodeTo(o); }, [](In i, auto* v) { return v->DecodeFrom(i); });
  const PyramidLevelRec level{"hill_1\\", "hill_1\\hill_1.Hdr", "hill_1\\hill_1.Dem", true};
  ExpectCodec(
      777, level, [](const auto& v, Out o) { return v.EncodeTo(o); }, [](In i, auto* v) { return v->DecodeFrom(i); });
  const uint32_t ends[] = {0x01020304, 0, 0xFFFFFFFF};
  ExpectCodec(
      12, ends, [](const auto& v, Out o) { return EncodeDataFileEnds(std::span(v), o); },
      [](In i, auto* v) { return DecodeDataFileEnds(i, *v); });

  // offset u32, packed u8, storedSize u32, min f32, max f32; then an empty int32 record.
  const TileIndexRec recs[] = {{0x00001000, 1, 51234, -3.5f, 812.0f}, EmptyTileIndexRec(CellType::kInt32)};
  Bytes index;
  for (uint8_t b :
       {0x00, 0x10, 0x00, 0x00, 0x01, 0x22, 0xC8, 0x00, 0x00, 0x00, 0x00, 0x60, 0xC0, 0x00, 0x00, 0x4B, 0x44,
        0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xEA, 0x56, 0xFA, 0x4E, 0xEA, 0x56, 0xFA, 0x4E}) {
    index.push_back(std::byte{b});
  }
  ExpectCodec(
      34, recs, [](const auto& v, Out o) { return EncodeTileIndex(std::span(v), o); },
      [](In i, auto* v) { return DecodeTileIndex(i, *v); }, &index);
  TileIndexRec one{};
  EXPECT_FALSE(TileIndexRecCodec::DecodeFrom(In(index).first(16), &one));
  EXPECT_EQ(std::bit_cast<uint32_t>(static_cast<float>(EmptyTileIndexRec(CellType::kFloat32).tileMin)), 0x7EFFFFEEu);
}

TEST(Records, DemInfoHeaderAndFile) {
  Bytes good(84);
  ASSERT_TRUE(DemInfoHeader{kParam}.EncodeTo(good));
  DemInfoHeader h;
  EXPECT_EQ(h.DecodeFrom(good), DemInfoStatus::kOk);
  EXPECT_TRUE(Same(h.param, kParam));
  const struct {
    size_t keep;  // bytes offered
    size_t flip;  // byte changed, if any
    DemInfoStatus want;
  } cases[] = {
      {8, 99, DemInfoStatus::kTruncated},  {84, 0, DemInfoStatus::kNotDemInfo},
      {84, 8, DemInfoStatus::kNotDemInfo}, {12, 99, DemInfoStatus::kTruncated},
      {20, 3, DemInfoStatus::kNotDemInfo}, {84, 9, DemInfoStatus::kWrongVersion},
      {83, 99, DemInfoStatus::kTruncated}, {13, 12, DemInfoStatus::kWrongVersion},
  };
  for (const auto& c : cases) {
    Bytes bytes(good.begin(), good.begin() + static_cast<long>(c.keep));
    if (c.flip < bytes.size()) bytes[c.flip] ^= std::byte{0x01};
    EXPECT_EQ(DemInfoHeader{}.DecodeFrom(bytes), c.want) << c.keep << " " << c.flip;
  }

  const PyramidLevelRec bad[] = {{std::string(300, 'x'), "", "", false}};
  EXPECT_FALSE(EncodeDemInfoFile(kParam, bad));
  const struct {
    int16_t count;
    uint64_t size;
    std::optional<size_t> want;
  } reads[] = {{0, DemInfoFileSize(1), 1}, {3, DemInfoFileSize(3), 3},   {3, 84 + 3 * 777, 3},  // trailer cut off
               {3, 84 + 3 * 777 - 1, {}},  {-1, DemInfoFileSize(1), {}}, {32767, 1u << 20, {}}};
  for (const auto& c : reads) EXPECT_EQ(LevelRecordsToRead(c.count, c.size), c.want) << c.count << " " << c.size;
}

TEST(Records, PyramidLevelRecFieldsMustFitAndStayInside) {
  Bytes buf(777);
  const PyramidLevelRec fits{std::string(255, 'd'), std::string(259, 'h'), std::string(259, 'p'), false};
  EXPECT_TRUE(fits.EncodeTo(buf));
  for (PyramidLevelRec rec :
       {PyramidLevelRec{fits.directory + 'd', "", "", false}, PyramidLevelRec{"", "", fits.dataPath + 'p', false},
        PyramidLevelRec{"", "", std::string("a\0b", 3), false}}) {
    EXPECT_FALSE(rec.EncodeTo(buf));
  }
  Bytes good(777);
  Put(Put(Put(good, 0, "a\\"), 256, "a\\a.Hdr"), 516, "a\\a.Dem");
  EXPECT_TRUE(PyramidLevelRec{}.DecodeFrom(good));
  EXPECT_TRUE(PyramidLevelRec{}.DecodeFrom(Bytes(777)));  // all empty: an unnamed, uncreated record
  const struct {
    size_t at;
    std::string text;
  } bad[] = {{0, std::string(256, 'x')},    // no NUL in the directory
             {516, std::string(260, 'x')},  // nor in the data path
             {0, "..\\"},
             {256, "a\\..\\..\\etc.Hdr"},
             {256, "/etc/passwd"},
             {516, "C:x.Dem"}};
  for (const auto& b : bad) {
    Bytes bytes = good;
    EXPECT_FALSE(PyramidLevelRec{}.DecodeFrom(Put(bytes, b.at, b.text))) << b.text;
  }
  PyramidLevelRec rec;  // bytes after a field's NUL are never read
  Bytes junk = good;
  ASSERT_TRUE(rec.DecodeFrom(Put(junk, 200, "junk")));
  EXPECT_EQ(rec.directory, "a\\");
}

TEST(LevelGeometry, TileAndDataFileCounts) {
  const struct {
    int64_t rows, cols;
    int32_t tilesDown, tilesAcross;
    int64_t tiles, dataFiles;
  } cases[] = {
      {101, 101, 1, 1, 1, 1},
      {255, 256, 1, 2, 2, 1},
      {510, 511, 2, 3, 6, 1},
      {64 * 255, 64 * 255, 64, 64, 4096, 1},      // 4096 tiles: one data file
      {64 * 255, 64 * 255 + 1, 64, 65, 4160, 2},  // more: a second one
      {4096 * 255, 4096 * 255, 4096, 4096, 4096LL * 4096, 4096},
      {4096 * 255 + 1, 4096 * 255, 4097, 4096, 4097LL * 4096, 4097},
      // The largest level does not overflow: it needs far more than 4096 data files.
      {2147483647, 2147483647, 8421505, 8421505, 8421505LL * 8421505, (8421505LL * 8421505 + 4095) / 4096},
  };
  for (const auto& c : cases) {
    const std::optional<LevelGeometry> g = LevelGeometry::FromCells(c.rows, c.cols);
    ASSERT_TRUE(g) << c.rows << "x" << c.cols;
    EXPECT_EQ(g->grid.tilesDown, c.tilesDown);
    EXPECT_EQ(g->grid.tilesAcross, c.tilesAcross);
    EXPECT_EQ(g->tileCount, c.tiles);
    EXPECT_EQ(g->dataFileCount, c.dataFiles);
    EXPECT_EQ(g->WithinDataFileLimit(), c.dataFiles <= 4096);
  }
  EXPECT_FALSE(LevelGeometry::FromCells(0, 1));
  EXPECT_FALSE(LevelGeometry::FromCells(int64_t{1} << 31, 1));

  const struct {
    double min, max, cell;
    std::optional<int32_t> want;
  } counts[] = {
      {0, 100, 1, 101},   {0, 100 - 5e-7, 1, 101},  // short of a whole number by less than 1e-6
      {0, 99.99, 1, 100}, {5, 5, 1, 1},
      {0, 100, 0, {}},    {0, 100, -1, {}},
      {10, 0, 1, {}},     {0, kInf, 1, {}},
      {0, 100, kNaN, {}}, {0, 1e300, 1e-300, {}},
      {0, 3e9, 1, {}},
  };
  for (const auto& c : counts) EXPECT_EQ(CountCells(c.min, c.max, c.cell), c.want) << c.max << "/" << c.cell;
}

TEST(LevelGeometry, ValidateLevelHeader) {
  const LevelGeometry g = *LevelGeometry::FromCells(511, 256);
  const LevelHeaderPrefix good = g.NewHeader(1.0, 1.0);
  const uint64_t size = g.HeaderFileSize();
  ASSERT_EQ(size, 39u + 4 + 17 * 6);
  EXPECT_TRUE(ValidateLevelHeader(good, size));
  EXPECT_TRUE(ValidateLevelHeader(good, size + 100));
  EXPECT_FALSE(ValidateLevelHeader(good, size - 1));
  const struct {
    const char* what;
    void (*spoil)(LevelHeaderPrefix&);
  } bad[] = {
      {"tile rows", [](LevelHeaderPrefix& h) { h.info.tileRows = 128; }},
      {"tile cols", [](LevelHeaderPrefix& h) { h.info.tileCols = 0; }},
      {"rows", [](LevelHeaderPrefix& h) { h.info.rows = 0; }},
      {"negative cols", [](LevelHeaderPrefix& h) { h.info.cols = -256; }},
      {"tiles down", [](LevelHeaderPrefix& h) { h.info.tilesDown = 2; }},
      {"tiles across", [](LevelHeaderPrefix& h) { h.info.tilesAcross = 1000000; }},
      {"F", [](LevelHeaderPrefix& h) { h.dataFileCount = 2; }},
      {"negative F", [](LevelHeaderPrefix& h) { h.dataFileCount = -1; }},
      {"huge level",
       [](LevelHeaderPrefix& h) {
         h.info.rows = h.info.cols = 2147483647;
         h.info.tilesDown = h.info.tilesAcross = 8421505;
       }},
  };
  for (const auto& b : bad) {
    LevelHeaderPrefix h = good;
    b.spoil(h);
    EXPECT_FALSE(ValidateLevelHeader(h, 1ull << 62)) << b.what;
  }
}

TEST(FileNames, SplitAndJoin) {
  const struct {
    const char *path, *drive, *dir, *fname, *ext;
  } cases[] = {
      {"D:\\maps\\hill.dem", "D:", "\\maps\\", "hill", ".dem"},
      {"/data/maps/hill.dem", "", "/data/maps/", "hill", ".dem"},
      {"D:\\maps/sub\\hill.v2.dem", "D:", "\\maps/sub\\", "hill.v2", ".dem"},
      {"D:\\maps\\hill", "D:", "\\maps\\", "hill", ""},
      {"maps.d/hill", "", "maps.d/", "hill", ""},
      {"hill.dem", "", "", "hill", ".dem"},
      {"/data/.dem", "", "/data/", "", ".dem"},
      {"/data/", "", "/data/", "", ""},
      {"", "", "", "", ""},
  };
  for (const auto& c : cases) {
    const PathParts p = SplitPath(c.path);
    EXPECT_EQ((std::vector<std::string>{p.drive, p.dir, p.fname, p.ext}),
              (std::vector<std::string>{c.drive, c.dir, c.fname, c.ext}))
        << c.path;
    EXPECT_EQ(JoinPath(p), c.path);
  }
  EXPECT_EQ(JoinPath({"C:", "\\a", "b", "txt"}), "C:\\a\\b.txt");
}

TEST(FileNames, LayerDirectoryAndName) {
  const std::string d254(254, 'd');
  const struct {
    std::string path;
    Opt dir, name;
  } cases[] = {
      {"D:\\maps\\hill.dem", "D:\\maps\\", "hill"},
      {"/srv/maps/hill.dem", "/srv/maps/", "hill"},
      {"/srv/maps/.dem", "/srv/maps/", kNo},
      {"/srv/maps/", "/srv/maps/", kNo},
      {"/d" + d254 + "/x.dem", kNo, "x"},
      {d254 + "/x.dem", d254 + "/", "x"},
      {"hill.dem", "", "hill"},
      {"/srv/...dem", "/srv/", kNo},
      {"/srv/..", "/srv/", kNo},
      {"", "", kNo},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(LayerDirectory(c.path), c.dir) << c.path;
    EXPECT_EQ(LayerName(c.path), c.name) << c.path;
  }
  // Without an extension the level-1 directory is the header file's own path, so
  // creating it later fails because the header exists.
  EXPECT_EQ(SystemPath(*LayerDirectory("D:\\maps\\hill"), MakeLevelRecord("hill", 1)->directory), "D:\\maps\\hill\\");
}

TEST(FileNames, LevelDataStoredAndVatPaths) {
  for (const auto& [level, suffix] : {std::pair{1, ""}, {2, "_1"}, {3, "_2"}, {5, "_4"}}) {
    const std::optional<PyramidLevelRec> rec = MakeLevelRecord("hill", level);
    const std::string base = std::string("hill") + suffix;
    ASSERT_TRUE(rec) << level;
    EXPECT_EQ(*rec, (PyramidLevelRec{base + "\\", base + "\\" + base + ".Hdr", base + "\\" + base + ".Dem", false}));
  }
  // The header path holds the base twice: 127 + 1 + 127 + 4 = 259 fits, 128 does not.
  const std::string n126(126, 'n');
  const struct {
    std::string name;
    int level;
    bool ok;
  } names[] = {{"hill", 0, false}, {"", 1, false},        {"..", 1, false},        {"a/b", 1, false},
               {"C:x", 1, false},  {n126 + "n", 1, true}, {n126 + "nn", 1, false}, {n126, 10, false}};  // "_9"
  for (const auto& c : names) EXPECT_EQ(MakeLevelRecord(c.name, c.level).has_value(), c.ok) << c.name << c.level;

  // 258 characters: one digit more reaches the 259-character limit.
  const std::string x251 = "/" + std::string(251, 'x') + "/a";
  const struct {
    std::string path;
    int index;
    Opt want;
  } data[] = {
      {"/srv/h\\h_1.Dem", 4095, "/srv/h\\h_14095.Dem"},
      {"D:\\m\\hill.Dem", 10, "D:\\m\\hill10.Dem"},
      {"D:\\m\\hill.Dem", 0, "D:\\m\\hill.Dem"},
      {"D:\\m\\hill.Dem", -3, "D:\\m\\hill.Dem"},
      {"D:\\m\\hill.Dem", 1, "D:\\m\\hill1.Dem"},
      {x251 + ".Dem", 9, x251 + "9.Dem"},
      {x251 + ".Dem", 10, kNo},
  };
  for (const auto& c : data) EXPECT_EQ(DataFilePath(c.path, c.index), c.want) << c.index;

  EXPECT_EQ(SystemPath("D:\\maps\\", "hill\\hill.Hdr"), "D:\\maps\\hill\\hill.Hdr");
  EXPECT_EQ(SystemPath("/srv/maps/", "hill_1\\hill_1.Dem"), "/srv/maps/hill_1\\hill_1.Dem");
  EXPECT_FALSE(SystemPath("/srv/maps/", "..\\x"));
  EXPECT_FALSE(SystemPath("/srv/maps/", "/etc/passwd"));
  EXPECT_FALSE(SystemPath(std::string(250, 'd'), "hill\\hill.Hdr"));
  EXPECT_EQ(VatFilePath("D:\\maps\\", "Relief\\Relief.Hdr"), "D:\\maps\\Relief\\Relief.WB");
  EXPECT_EQ(VatFilePath("/srv/", "Relief_2\\Relief_2.Hdr"), "/srv/Relief_2\\Relief_2.WB");
  EXPECT_FALSE(VatFilePath("/srv/", "C:Relief\\Relief.Hdr"));
  for (const char* ok : {"", "hill\\", "hill\\hill.Hdr", "a..b\\c", "hill_1/x.Dem"}) {
    EXPECT_TRUE(IsSafeStoredPath(ok)) << ok;
  }
  for (const char* bad : {"..", "..\\", ".\\x", "a\\..\\b", "a/../b", "a\\.", "\\x", "/x", "C:x", "C:\\x"}) {
    EXPECT_FALSE(IsSafeStoredPath(bad)) << bad;
  }
  // hill\hill4095.Dem is 17 characters: the layer directory may hold 242.
  const PyramidLevelRec rec = *MakeLevelRecord("hill", 1);
  EXPECT_TRUE(LevelPathsFit("/srv/maps/", rec, 4096));
  EXPECT_TRUE(LevelPathsFit(std::string(242, 'd'), rec, 4096));
  EXPECT_FALSE(LevelPathsFit(std::string(243, 'd'), rec, 4096));
  EXPECT_TRUE(LevelPathsFit(std::string(243, 'd'), rec, 1));
}

}  // namespace
}  // namespace dembase
