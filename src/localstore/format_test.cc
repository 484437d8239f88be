// The local store's on-disk records, level geometry and file names. The byte layout of the
// header and of new levels is pinned by the golden files of the layer-files suite; here: what
// those files cannot show (refusals, tile records with data, names at their length limits).
#include <cstring>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

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

// Writes s at off.
Bytes& Put(Bytes& b, size_t off, const std::string& s) {
  for (size_t i = 0; i < s.size(); ++i) b.at(off + i) = std::byte(s[i]);
  return b;
}

const DataLayerParam kParam{0xAB, 7, -10.5, 245.5, 1000.0, 1511.0, 1.0, 2.0, 0xBEEF, 3, -12.25, 8848.0};

// Tile records with data appear in no golden file, so theirs are laid out here by hand:
// offset u32, packed u8, storedSize u32, min f32, max f32; then an empty int32 record.
TEST(Records, TileIndexBytesAndShortSpans) {
  const TileIndexRec recs[] = {{0x00001000, 1, 51234, -3.5f, 812.0f}, EmptyTileIndexRec(CellType::kInt32)};
  Bytes want;
  for (uint8_t b :
       {0x00, 0x10, 0x00, 0x00, 0x01, 0x22, 0xC8, 0x00, 0x00, 0x00, 0x00, 0x60, 0xC0, 0x00, 0x00, 0x4B, 0x44,
        0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xEA, 0x56, 0xFA, 0x4E, 0xEA, 0x56, 0xFA, 0x4E}) {
    want.push_back(std::byte{b});
  }
  Bytes got(34, std::byte{0x55});
  ASSERT_TRUE(EncodeTileIndex(recs, got));
  EXPECT_EQ(got, want);
  TileIndexRec back[2] = {};
  ASSERT_TRUE(DecodeTileIndex(got, back));
  EXPECT_EQ(std::memcmp(back, recs, sizeof recs), 0);
  EXPECT_FALSE(DecodeTileIndex(In(got).first(33), back));
  EXPECT_FALSE(EncodeTileIndex(recs, Out(got).first(33)));
  EXPECT_FALSE(TileIndexRecCodec::DecodeFrom(In(got).first(16), &back[0]));
}

TEST(Records, DemInfoHeaderAndFile) {
  Bytes good(84);
  ASSERT_TRUE(DemInfoHeader{kParam}.EncodeTo(good));
  DemInfoHeader h;
  EXPECT_EQ(h.DecodeFrom(good), DemInfoStatus::kOk);
  EXPECT_EQ(std::memcmp(&h.param, &kParam, sizeof kParam), 0);
  const struct {
    size_t keep;  // bytes offered
    size_t flip;  // byte changed, if any
    DemInfoStatus want;
  } cases[] = {
      {12, 99, DemInfoStatus::kTruncated}, {13, 12, DemInfoStatus::kWrongVersion},
      {20, 3, DemInfoStatus::kNotDemInfo}, {83, 99, DemInfoStatus::kTruncated},
      {84, 8, DemInfoStatus::kNotDemInfo}, {84, 9, DemInfoStatus::kWrongVersion},
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
      {255, 256, 1, 2, 2, 1},
      {510, 511, 2, 3, 6, 1},
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
      {0, 100, 0, {}},    {10, 0, 1, {}},
      {0, kInf, 1, {}},   {0, 100, kNaN, {}},
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

TEST(FileNames, LayerDirectoryAndName) {
  const std::string d254(254, 'd');
  const struct {
    std::string path;
    Opt dir, name;
  } cases[] = {
      {"D:\\maps\\hill.dem", "D:\\maps\\", "hill"},
      {"D:\\maps/sub\\hill.v2.dem", "D:\\maps/sub\\", "hill.v2"},
      {"maps.d/hill", "maps.d/", "hill"},
      {"/srv/maps/.dem", "/srv/maps/", kNo},
      {"/d" + d254 + "/x.dem", kNo, "x"},
      {d254 + "/x.dem", d254 + "/", "x"},
      {"hill.dem", "", "hill"},
      {"/srv/...dem", "/srv/", kNo},
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
      {"D:\\m\\hill.Dem", 0, "D:\\m\\hill.Dem"},
      {"D:\\m\\hill.Dem", -3, "D:\\m\\hill.Dem"},
      {x251 + ".Dem", 9, x251 + "9.Dem"},
      {x251 + ".Dem", 10, kNo},
  };
  for (const auto& c : data) EXPECT_EQ(DataFilePath(c.path, c.index), c.want) << c.index;

  EXPECT_FALSE(SystemPath("/srv/maps/", "..\\x"));
  EXPECT_FALSE(SystemPath("/srv/maps/", "/etc/passwd"));
  EXPECT_FALSE(SystemPath(std::string(250, 'd'), "hill\\hill.Hdr"));
  EXPECT_FALSE(VatFilePath("/srv/", "C:Relief\\Relief.Hdr"));
  for (const char* ok : {"", "a..b\\c", "hill_1/x.Dem"}) EXPECT_TRUE(IsSafeStoredPath(ok)) << ok;
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
