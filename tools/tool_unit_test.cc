// The tool's pure pieces: layer names, the map mapping, the null rule it keeps for speed,
// pyramid depth, the on-disk names its check trusts and its reading of damaged headers.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>

#include "tools/disk_layout.h"
#include "tools/geo_mapping.h"
#include "tools/layer_check.h"
#include "tools/layer_name.h"
#include "tools/pyramid_builder.h"
#include "tools/session.h"
#include "tools/tile_row_writer.h"
#include "tools/tile_strip.h"

namespace dembase::tool {
namespace {

TEST(LayerNameTest, NamesLayersAndRefusesWhatCannotNameOne) {
  struct Case {
    const char* text;
    StoreKind kind;
    const char* name;
    const char* header;  // local: the header path; database: the database
    const char* dataSet;
  };
  const Case cases[] = {{"maps/hill", StoreKind::kLocal, "hill", "maps/hill.dem", ""},
                        {"maps/hill.dem", StoreKind::kLocal, "hill", "maps/hill.dem", ""},
                        {"hill", StoreKind::kLocal, "hill", "./hill.dem", ""},
                        {"/abs/dir/h_1", StoreKind::kLocal, "h_1", "/abs/dir/h_1.dem", ""},
                        {"sqlite:/tmp/x.db#world/hill", StoreKind::kSqlite, "hill", "/tmp/x.db", "world"},
                        {"sqlite:odd#name.db#world/hill", StoreKind::kSqlite, "hill", "odd#name.db", "world"},
                        {"postgresql:host=db#world/hill", StoreKind::kPostgresql, "hill", "host=db", "world"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    StatusOr<LayerRef> ref = ParseLayerRef(c.text);
    ASSERT_TRUE(ref.ok());
    EXPECT_EQ(ref->kind, c.kind);
    EXPECT_EQ(ref->name, c.name);
    if (c.kind == StoreKind::kLocal) {
      EXPECT_EQ(ref->headerPath, c.header);
      EXPECT_EQ(ref->crsPath, ref->headerPath.substr(0, ref->headerPath.size() - 4) + ".prj");
    } else {
      EXPECT_STREQ(ref->connection.connectArg1, c.header);
      EXPECT_STREQ(ref->connection.dataSet, c.dataSet);
      EXPECT_EQ(ref->connection.connectKind, c.kind == StoreKind::kSqlite ? 1 : 2);
    }
  }
  for (const std::string& text :
       {std::string("maps/"), std::string("maps/.."), std::string(".dem"), "maps/" + std::string(300, 'a'),
        std::string("sqlite:x.db"), std::string("sqlite:x.db#set"), std::string("sqlite:#set/a"),
        std::string("sqlite:x.db#/a"), std::string("sqlite:x.db#set/"), "sqlite:x.db#" + std::string(128, 's') + "/a",
        "sqlite:" + std::string(128, 'p') + "#set/a"}) {
    StatusOr<LayerRef> ref = ParseLayerRef(text);
    ASSERT_FALSE(ref.ok()) << text;
    EXPECT_EQ(ref.status().message().find('\n'), std::string::npos);
  }
}

// The cells the library makes of a layer's extent: none lost to rounding, none gained. The
// corners and cell sizes of every level are compared end to end with GDAL's reading.
TEST(GeoMappingTest, TheExtentGivesBackTheCells) {
  const GeoTransform gt{5.7416666666666663, 0.0083333333333333367, 50.191666666666663, 0.0083333333333333332};
  const DataLayerParam p = LayerParamFor(gt, 90, 95, DEMBASE_TYPE_INT32);
  EXPECT_EQ(CellsAlong(p.xMin, p.xMax, gt.cellX), 95);
  EXPECT_EQ(CellsAlong(p.yMin, p.yMax, 2 * gt.cellY), 45);
  EXPECT_EQ(CellsAlong(0, 10, 4), 3);  // a partial cell is not counted
  EXPECT_EQ(CellsAlong(0, 1e-300, 1e-300), 2);
  EXPECT_FALSE(CellsAlong(10, 0, 1));
  EXPECT_FALSE(CellsAlong(0, 10, std::nan("")));
  EXPECT_FALSE(CellsAlong(0, 1e10, 1e-10));
  EXPECT_TRUE(GeoTransform::FromGdal({0, 1, 0, 10, 0, -1}));
  const std::array<double, 6> notNorthUp[] = {{0, 1, 0.1, 10, 0, -1},
                                              {0, 1, 0, 10, 0.1, -1},
                                              {0, 1, 0, 0, 0, 1},
                                              {0, -1, 0, 10, 0, -1},
                                              {std::nan(""), 1, 0, 10, 0, -1}};
  for (const auto& gdal : notNorthUp) EXPECT_FALSE(GeoTransform::FromGdal(gdal)) << gdal[0] << " " << gdal[1];
  EXPECT_EQ(LevelsToOneTile(256, 256), 1);
  EXPECT_EQ(LevelsToOneTile(90, 8193), 7);                                 // 8193 4097 2049 1025 513 257 129
  EXPECT_EQ(LevelsToOneTile(std::numeric_limits<int32_t>::max(), 1), 24);  // 2^31 / 2^23 = 256
}

TEST(GeoMappingTest, FindsTheCellUnderAPoint) {
  const GeoTransform gt{100, 10, 500, 5};  // 4 rows x 3 cols: x 100 .. 130, y 480 .. 500
  PyramidLayerInfo level{};
  level.rows = 4;
  level.cols = 3;
  struct Case {
    double x, y;
    int32_t row, col;  // -1: outside
  };
  const Case cases[] = {{100, 500, 0, 0},     {105, 497.5, 0, 0}, {129.9, 480.1, 3, 2},
                        {110, 495, 1, 1},     {130, 490, -1, -1}, {99.9, 490, -1, -1},
                        {110, 500.1, -1, -1}, {110, 480, -1, -1}, {std::nan(""), 490, -1, -1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.x) + "," + std::to_string(c.y));
    const std::optional<CellPos> cell = CellAt(gt, level, c.x, c.y);
    ASSERT_EQ(cell.has_value(), c.row >= 0);
    if (!cell) continue;
    EXPECT_EQ(cell->col, c.col);
    const MapPoint centre = CellCentre(gt, *cell);
    const std::optional<CellPos> back = CellAt(gt, level, centre.x, centre.y);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->row, c.row);
    EXPECT_EQ(cell->row, c.row);
  }
}

// The check trusts these names: never another layer's files, never a path out of the layer.
TEST(DiskLayoutTest, NamesStayWithinTheLayer) {
  EXPECT_EQ(DataFilePath("d/hill/hill.Dem", 0), "d/hill/hill.Dem");
  EXPECT_EQ(DataFilePath("d/hill/hill.Dem", 12), "d/hill/hill12.Dem");
  EXPECT_EQ(DataFilePath("d.x/hill", 1), "d.x/hill1");
  EXPECT_EQ(SystemPath("d", "hill\\hill.Hdr"), "d/hill/hill.Hdr");
  // Level directories beside layer hill are hill and hill_<digits>; never another layer's files.
  for (const char* level : {"hill", "hill_12"}) EXPECT_TRUE(LevelDirectoryName(level, "hill")) << level;
  for (const char* other : {"hill_", "hill_1a", "hills_1", "hill_1.dem", "hil"}) {
    EXPECT_FALSE(LevelDirectoryName(other, "hill")) << other;
  }
  for (const char* unsafe : {"", "\\abs\\x.Hdr", "/abs", "C:x.Hdr", "..\\x.Hdr", "hill\\..\\..\\x", "hill\\.\\x"}) {
    EXPECT_FALSE(SystemPath("d", unsafe)) << unsafe;
  }
}

class LayerFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/dembase-tool-unit-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    sessions_.clear();
    std::filesystem::remove_all(dir_);
  }

  // A new local layer of ROWS x COLS cells with two levels; FILL gives each cell of level 1.
  LayerRef MakeLayer(Session** session, const char* name, int32_t rows, int32_t cols, uint16_t type,
                     double (*fill)(int32_t r, int32_t c)) {
    StatusOr<LayerRef> ref = ParseLayerRef(dir_ + "/" + name);
    EXPECT_TRUE(ref.ok());
    StatusOr<std::unique_ptr<Session>> opened = Session::Open(*ref);
    EXPECT_TRUE(opened.ok());
    sessions_.push_back(std::move(*opened));
    *session = sessions_.back().get();
    DataLayerParam p = LayerParamFor(GeoTransform{0, 1, static_cast<double>(rows), 1}, rows, cols, type);
    EXPECT_TRUE(CreateLayer(**session, *ref, &p, false).ok());
    StatusOr<std::unique_ptr<Layer>> layer = Layer::Open(**session, *ref);
    EXPECT_TRUE(layer.ok());
    StatusOr<std::unique_ptr<TileRowWriter>> writer = TileRowWriter::Begin(**layer, 1);
    EXPECT_TRUE(writer.ok());
    TileStrip strip;
    strip.Reset(0, rows, cols);
    for (int32_t r = strip.firstRow; r < strip.firstRow + strip.rows; ++r) {
      for (int32_t c = 0; c < strip.cols; ++c) strip.Row(r)[c] = fill(r, c);
    }
    EXPECT_TRUE((*writer)->Write(strip).ok());
    EXPECT_TRUE((*writer)->End().ok());
    EXPECT_TRUE(BuildPyramid(**layer, 2, true).ok());
    EXPECT_TRUE((*layer)->Close().ok());
    return *ref;
  }

  std::string dir_;
  std::vector<std::unique_ptr<Session>> sessions_;
};

// The tool tests nulls itself, cell by cell; it must agree with the library's own test.
TEST_F(LayerFilesTest, NullRuleAgreesWithTheLibrary) {
  for (uint16_t type : {DEMBASE_TYPE_INT32, DEMBASE_TYPE_FLOAT32}) {
    const bool floatCells = type == DEMBASE_TYPE_FLOAT32;
    Session* session = nullptr;
    const LayerRef ref =
        MakeLayer(&session, floatCells ? "f" : "i", 10, 10, type, [](int32_t, int32_t) { return 1.0; });
    ASSERT_FALSE(HasFailure());
    StatusOr<std::unique_ptr<Layer>> layer = Layer::Open(*session, ref);
    ASSERT_TRUE(layer.ok());
    const double floatNull = (*layer)->NullValue();
    for (double v : {0.0, -5.0, 1e18, 1e19, -1e19, 1.0000001e18, 2100000000.0, 2100000000.9, -2100000000.9,
                     2099999999.0, floatNull, floatNull * (1 + 1e-12), 3.0e38, -3.0e38, 1e-30}) {
      EXPECT_EQ(NullLike(v, floatCells), (*layer)->IsNull(v)) << v << (floatCells ? " float" : " int");
    }
    ASSERT_TRUE((*layer)->Close().ok());
  }
}

void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  ASSERT_TRUE(out) << path;
}

// On a layer of two levels (two tiles, then one): every prefix of each header is reported, and
// garbled bytes anywhere are survived, by the check's own reader and by the library alike.
TEST_F(LayerFilesTest, DamagedHeadersAreReportedNotTrusted) {
  Session* session = nullptr;
  const LayerRef ref = MakeLayer(&session, "m", 200, 300, DEMBASE_TYPE_FLOAT32,
                                 [](int32_t r, int32_t c) { return (r + c) % 7 == 0 ? kNullCell : (r * c) % 1000; });
  ASSERT_FALSE(HasFailure());
  // In the order of dembase check: the library pass only when the files are safe to open.
  const auto check = [&] {
    CheckReport report;
    CheckFiles(ref, &report);
    if (!report.unsafeFiles) CheckThroughLibrary(*session, ref, true, &report);
    return report;
  };
  const CheckReport clean = check();
  ASSERT_TRUE(clean.problems.empty()) << clean.problems[0];
  uint32_t seed = 12345;
  for (const std::string name : {"m.dem", "m/m.Hdr", "m_1/m_1.Hdr"}) {
    SCOPED_TRACE(name);
    const std::string path = dir_ + "/" + name;
    std::ifstream in(path, std::ios::binary);
    const std::string good((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(good.empty());
    for (size_t n = 0; n < good.size(); n += good.size() / 16 + 1) {
      WriteAll(path, good.substr(0, n));
      EXPECT_FALSE(check().problems.empty()) << n << " bytes";
    }
    for (int i = 0; i < 24; ++i) {
      std::string bad = good;
      seed = seed * 1103515245 + 12345;
      bad[(seed >> 8) % bad.size()] ^= static_cast<char>(1 + (seed >> 24) % 255);
      WriteAll(path, bad);
      (void)check();  // any verdict, but no crash and no hang
    }
    WriteAll(path, good);
  }
  EXPECT_TRUE(check().problems.empty());
}

}  // namespace
}  // namespace dembase::tool
