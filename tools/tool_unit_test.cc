// The tool's pure pieces: layer names, the map mapping, the null rule it keeps for speed,
// pyramid arithmetic and the on-disk naming its check reads.
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

TEST(LayerNameTest, NamesLocalAndDatabaseLayers) {
  struct Case {
    const char* text;
    StoreKind kind;
    const char* name;
    const char* header;  // local: the header path; database: the database
    const char* dataSet;
  };
  const Case cases[] = {
      {"maps/hill", StoreKind::kLocal, "hill", "maps/hill.dem", ""},
      {"maps/hill.dem", StoreKind::kLocal, "hill", "maps/hill.dem", ""},
      {"hill", StoreKind::kLocal, "hill", "./hill.dem", ""},
      {"/abs/dir/h_1", StoreKind::kLocal, "h_1", "/abs/dir/h_1.dem", ""},
      {"sqlite:/tmp/x.db#world/hill", StoreKind::kSqlite, "hill", "/tmp/x.db", "world"},
      {"sqlite:odd#name.db#world/hill", StoreKind::kSqlite, "hill", "odd#name.db", "world"},
      {"postgresql:host=db#world/hill", StoreKind::kPostgresql, "hill", "host=db", "world"},
  };
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
}

TEST(LayerNameTest, RefusesWhatCannotNameALayer) {
  const std::string longName(300, 'a');
  const std::string longSet(128, 's');
  for (const std::string& text : {std::string("maps/"), std::string("maps/.."), std::string(".dem"),
                                 "maps/" + longName, std::string("sqlite:x.db"), std::string("sqlite:x.db#set"),
                                 std::string("sqlite:#set/a"), std::string("sqlite:x.db#/a"),
                                 std::string("sqlite:x.db#set/"), "sqlite:x.db#" + longSet + "/a",
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
  const Case cases[] = {{100, 500, 0, 0}, {105, 497.5, 0, 0}, {129.9, 480.1, 3, 2}, {110, 495, 1, 1},
                        {130, 490, -1, -1}, {99.9, 490, -1, -1}, {110, 500.1, -1, -1}, {110, 480, -1, -1},
                        {std::nan(""), 490, -1, -1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.x) + "," + std::to_string(c.y));
    const std::optional<CellPos> cell = CellAt(gt, level, c.x, c.y);
    ASSERT_EQ(cell.has_value(), c.row >= 0);
    if (!cell) continue;
    EXPECT_EQ(cell->row, c.row);
    EXPECT_EQ(cell->col, c.col);
    const MapPoint centre = CellCentre(gt, *cell);
    const std::optional<CellPos> back = CellAt(gt, level, centre.x, centre.y);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->row, c.row);
  }
}

TEST(GeoMappingTest, AcceptsOnlyNorthUpTransforms) {
  EXPECT_TRUE(GeoTransform::FromGdal({0, 1, 0, 10, 0, -1}));
  EXPECT_FALSE(GeoTransform::FromGdal({0, 1, 0.1, 10, 0, -1}));  // rotated
  EXPECT_FALSE(GeoTransform::FromGdal({0, 1, 0, 10, 0.1, -1}));
  EXPECT_FALSE(GeoTransform::FromGdal({0, 1, 0, 0, 0, 1}));  // south-up, or no georeferencing
  EXPECT_FALSE(GeoTransform::FromGdal({0, -1, 0, 10, 0, -1}));
  EXPECT_FALSE(GeoTransform::FromGdal({std::nan(""), 1, 0, 10, 0, -1}));
}

TEST(PyramidMathTest, StopsWhenTheTopLevelFitsOneTile) {
  EXPECT_EQ(LevelsToOneTile(1, 1), 1);
  EXPECT_EQ(LevelsToOneTile(256, 256), 1);
  EXPECT_EQ(LevelsToOneTile(257, 10), 2);
  EXPECT_EQ(LevelsToOneTile(90, 8193), 7);  // 8193 4097 2049 1025 513 257 129
  EXPECT_EQ(LevelsToOneTile(std::numeric_limits<int32_t>::max(), 1), 24);  // 2^31 / 2^23 = 256
}

TEST(DiskLayoutTest, SizesAndNamesOfTheFiles) {
  EXPECT_EQ(HeaderFileBytes(0), 1885u);  // one record even without levels
  EXPECT_EQ(HeaderFileBytes(1), 1885u);
  EXPECT_EQ(HeaderFileBytes(3), 1885u + 2 * 777);
  EXPECT_EQ(DataFilesFor(4096), 1);
  EXPECT_EQ(DataFilesFor(4097), 2);
  EXPECT_EQ(LevelHeaderBytes(4097), 39u + 8 + 17 * 4097);
  EXPECT_EQ(DataFilePath("d/hill/hill.Dem", 0), "d/hill/hill.Dem");
  EXPECT_EQ(DataFilePath("d/hill/hill.Dem", 12), "d/hill/hill12.Dem");
  EXPECT_EQ(DataFilePath("d.x/hill", 1), "d.x/hill1");
  EXPECT_EQ(SystemPath("d", "hill\\hill.Hdr"), "d/hill/hill.Hdr");
  // Level directories beside layer hill: hill, hill_<digits>; never another layer's files.
  for (const auto& [entry, level] : {std::pair{"hill", true}, {"hill_12", true}, {"hill_", false}, {"hill_1a", false},
                                     {"hills_1", false}, {"hill_1.dem", false}, {"hil", false}}) {
    EXPECT_EQ(LevelDirectoryName(entry, "hill"), level) << entry;
  }
  for (const char* unsafe : {"", "\\abs\\x.Hdr", "/abs", "C:x.Hdr", "..\\x.Hdr", "hill\\..\\..\\x", "hill\\.\\x"}) {
    EXPECT_FALSE(SystemPath("d", unsafe)) << unsafe;
  }
}

// A temporary directory, removed with what it holds.
struct TempDir {
  std::string path;
  TempDir() {
    char pattern[] = "/tmp/dembase-tool-unit-XXXXXX";
    if (mkdtemp(pattern) != nullptr) path = pattern;
  }
  ~TempDir() {
    if (!path.empty()) std::filesystem::remove_all(path);
  }
};

// A new local layer of ROWS x COLS cells; FILL gives each cell of level 1 when set.
void MakeLayer(Session& session, const LayerRef& ref, int32_t rows, int32_t cols, uint16_t type,
               double (*fill)(int32_t r, int32_t c) = nullptr) {
  DataLayerParam p = LayerParamFor(GeoTransform{0, 1, static_cast<double>(rows), 1}, rows, cols, type);
  ASSERT_TRUE(CreateLayer(session, ref, &p, false).ok());
  if (fill == nullptr) return;
  StatusOr<std::unique_ptr<Layer>> layer = Layer::Open(session, ref);
  ASSERT_TRUE(layer.ok());
  {
    StatusOr<std::unique_ptr<TileRowWriter>> writer = TileRowWriter::Begin(**layer, 1);
    ASSERT_TRUE(writer.ok());
    TileStrip strip;
    strip.Reset(0, rows, cols);
    for (int32_t r = strip.firstRow; r < strip.firstRow + strip.rows; ++r) {
      for (int32_t c = 0; c < strip.cols; ++c) strip.Row(r)[c] = fill(r, c);
    }
    ASSERT_TRUE((*writer)->Write(strip).ok());
    ASSERT_TRUE((*writer)->End().ok());
  }
  ASSERT_TRUE(BuildPyramid(**layer, 2, true).ok());
  ASSERT_TRUE((*layer)->Close().ok());
}

// The tool tests nulls itself, cell by cell; it must agree with the library's own test.
TEST(NullRuleTest, AgreesWithTheLibrary) {
  const TempDir dir;
  ASSERT_FALSE(dir.path.empty());
  for (uint16_t type : {DEMBASE_TYPE_INT32, DEMBASE_TYPE_FLOAT32}) {
    const bool floatCells = type == DEMBASE_TYPE_FLOAT32;
    StatusOr<LayerRef> ref = ParseLayerRef(dir.path + (floatCells ? "/f" : "/i"));
    ASSERT_TRUE(ref.ok());
    StatusOr<std::unique_ptr<Session>> session = Session::Open(*ref);
    ASSERT_TRUE(session.ok());
    MakeLayer(**session, *ref, 10, 10, type);
    StatusOr<std::unique_ptr<Layer>> layer = Layer::Open(**session, *ref);
    ASSERT_TRUE(layer.ok());
    const double floatNull = (*layer)->NullValue();
    for (double v : {0.0, -5.0, 1e18, 1e19, -1e19, 1.0000001e18, 2100000000.0, 2100000000.9, -2100000000.9,
                     2099999999.0, floatNull, floatNull * (1 + 1e-12), 3.0e38, -3.0e38, 1e-30}) {
      EXPECT_EQ(NullLike(v, floatCells), (*layer)->IsNull(v)) << v << (floatCells ? " float" : " int");
    }
    ASSERT_TRUE((*layer)->Close().ok());
  }
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  ASSERT_TRUE(out) << path;
}

// On a layer of two levels (two tiles, then one): every prefix of each header is reported, and
// garbled bytes anywhere are survived, by the check's own reader and by the library alike.
TEST(LayerFilesTest, DamagedHeadersAreReportedNotTrusted) {
  const TempDir dir;
  ASSERT_FALSE(dir.path.empty());
  const LayerRef ref = *ParseLayerRef(dir.path + "/m");
  StatusOr<std::unique_ptr<Session>> session = Session::Open(ref);
  ASSERT_TRUE(session.ok());
  MakeLayer(**session, ref, 200, 300, DEMBASE_TYPE_FLOAT32,
            [](int32_t r, int32_t c) { return (r + c) % 7 == 0 ? kNullCell : (r * c) % 1000; });
  // In the order of dembase check: the library pass only when the files are safe to open.
  const auto check = [&] {
    CheckReport report;
    CheckFiles(ref, &report);
    if (!report.unsafeFiles) CheckThroughLibrary(**session, ref, true, &report);
    return report;
  };
  const CheckReport clean = check();
  ASSERT_TRUE(clean.problems.empty()) << clean.problems[0];
  uint32_t seed = 12345;
  for (const std::string name : {"m.dem", "m/m.Hdr", "m_1/m_1.Hdr"}) {
    SCOPED_TRACE(name);
    const std::string path = dir.path + "/" + name;
    const std::string good = ReadAll(path);
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
