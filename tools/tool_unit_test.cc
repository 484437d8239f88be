// The tool's pure pieces: layer names, the map mapping, the null rule it keeps for speed,
// pyramid depth and the on-disk names its check trusts.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "src/platform/test_temp_dir.h"
#include "tools/disk_layout.h"
#include "tools/geo_mapping.h"
#include "tools/layer_name.h"
#include "tools/pyramid_builder.h"
#include "tools/session.h"
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
    EXPECT_EQ(std::pair(cell->row, cell->col), std::pair(c.row, c.col));
    const MapPoint centre = CellCentre(gt, *cell);
    const std::optional<CellPos> back = CellAt(gt, level, centre.x, centre.y);
    ASSERT_TRUE(back);
    EXPECT_EQ(std::pair(back->row, back->col), std::pair(c.row, c.col));
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

// The tool tests nulls itself, cell by cell; it must agree with the library's own test.
TEST(NullRuleTest, AgreesWithTheLibrary) {
  const platform::TestTempDir dir;
  ASSERT_FALSE(dir.path().empty());
  for (uint16_t type : {DEMBASE_TYPE_INT32, DEMBASE_TYPE_FLOAT32}) {
    const bool floatCells = type == DEMBASE_TYPE_FLOAT32;
    StatusOr<LayerRef> ref = ParseLayerRef(dir.Join(floatCells ? "f" : "i"));
    ASSERT_TRUE(ref.ok());
    StatusOr<std::unique_ptr<Session>> session = Session::Open(*ref);
    ASSERT_TRUE(session.ok());
    DataLayerParam p = LayerParamFor(GeoTransform{0, 1, 10, 1}, 10, 10, type);
    ASSERT_TRUE(CreateLayer(**session, *ref, &p, false).ok());
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

}  // namespace
}  // namespace dembase::tool
