// The DEMBASE plugin through GDAL's own API, loaded from the build tree as any GDAL client
// loads it; layers are made and checked with the dembase tool.
#include <gdal_priv.h>
#include <gtest/gtest.h>
#include <ogr_spatialref.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "dembase/dembase.h"
#include "src/platform/test_temp_dir.h"

namespace {

namespace fs = std::filesystem;

class GdalEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    // GDAL's own tools, run as children, find the plugin the same way.
    ASSERT_EQ(setenv("GDAL_DRIVER_PATH", DEMBASE_PLUGIN_DIR, 1), 0);
    GDALAllRegister();
  }
  void TearDown() override { GDALDestroy(); }
};
[[maybe_unused]] const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new GdalEnvironment);

int Sh(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }
int Tool(const std::string& args) { return Sh(DEMBASE_TOOL " -q " + args); }

struct Case {
  const char* name;
  GDALDataType type;
  int rows, cols;
};

const std::array<double, 6> kTransform = {500000, 10, 0, 4600000, 0, -10};

OGRSpatialReference Utm33() {
  OGRSpatialReference utm;
  EXPECT_EQ(utm.importFromEPSG(32633), OGRERR_NONE);
  return utm;
}

// A hill with holes of NODATA, so tiles hold values, nulls and both.
std::vector<double> Cells(const Case& k, double nodata) {
  std::vector<double> v;
  for (int r = 0; r < k.rows; ++r) {
    for (int c = 0; c < k.cols; ++c) {
      const double h = 1000 + 300 * std::sin(r / 40.0) * std::cos(c / 55.0) + r * 0.25;
      v.push_back((r * 7 + c * 3) % 97 == 0 ? nodata : k.type == GDT_Int32 ? std::round(h) : static_cast<float>(h));
    }
  }
  return v;
}

void WriteTiff(const std::string& path, const Case& k, int bands = 1) {
  GDALDriver* gtiff = GetGDALDriverManager()->GetDriverByName("GTiff");
  GDALDatasetUniquePtr ds(gtiff->Create(path.c_str(), k.cols, k.rows, bands, k.type, nullptr));
  ASSERT_TRUE(ds);
  ASSERT_EQ(ds->SetGeoTransform(const_cast<double*>(kTransform.data())), CE_None);
  const OGRSpatialReference utm = Utm33();
  ASSERT_EQ(ds->SetSpatialRef(&utm), CE_None);
  ASSERT_EQ(ds->SetMetadataItem("SOURCE", "tiff"), CE_None);
  std::vector<double> cells = Cells(k, -9999);
  for (int b = 1; b <= bands; ++b) {
    GDALRasterBand* band = ds->GetRasterBand(b);
    ASSERT_EQ(band->SetNoDataValue(-9999), CE_None);
    ASSERT_EQ(band->RasterIO(GF_Write, 0, 0, k.cols, k.rows, cells.data(), k.cols, k.rows, GDT_Float64, 0, 0, nullptr),
              CE_None);
  }
}

CPLErr ReadInto(GDALRasterBand* band, std::vector<double>& v) {
  const int w = band->GetXSize(), h = band->GetYSize();
  v.resize(static_cast<size_t>(w) * h);
  return band->RasterIO(GF_Read, 0, 0, w, h, v.data(), w, h, GDT_Float64, 0, 0, nullptr);
}
std::vector<double> Read(GDALRasterBand* band) {
  std::vector<double> v;
  EXPECT_EQ(ReadInto(band, v), CE_None);
  return v;
}

// The layer's map placement as the sources give it: the transform and UTM zone 33.
void ExpectPlaced(GDALDataset& ds) {
  std::array<double, 6> gt{};
  ASSERT_EQ(ds.GetGeoTransform(gt.data()), CE_None);
  EXPECT_EQ(gt, kTransform);
  const OGRSpatialReference utm = Utm33();
  ASSERT_NE(ds.GetSpatialRef(), nullptr);
  EXPECT_TRUE(ds.GetSpatialRef()->IsSame(&utm));
}

GDALDatasetUniquePtr Open(const std::string& path, bool update = false) {
  const char* const drivers[] = {"DEMBASE", nullptr};
  return GDALDatasetUniquePtr(GDALDataset::Open(
      path.c_str(), GDAL_OF_RASTER | GDAL_OF_VERBOSE_ERROR | (update ? GDAL_OF_UPDATE : GDAL_OF_READONLY), drivers,
      nullptr, nullptr));
}

GDALDriver* Driver() { return GetGDALDriverManager()->GetDriverByName("DEMBASE"); }

class DriverTest : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    ASSERT_NE(Driver(), nullptr) << "the plugin did not load from " << DEMBASE_PLUGIN_DIR;
    ASSERT_FALSE(dir_.path().empty());
    WriteTiff(tiff_, GetParam());
  }
  std::string Path(const std::string& name) const { return dir_.Join(name); }
  double Null() const {
    return GetParam().type == GDT_Int32 ? DEMBASE_NULL_INT32 : std::bit_cast<float>(DEMBASE_NULL_FLOAT32_BITS);
  }
  // The source's cells with its nodata as the layer's null.
  std::vector<double> Expected() const { return Cells(GetParam(), Null()); }

  dembase::platform::TestTempDir dir_;
  const std::string tiff_ = Path("src.tif");
};

// Every level reads as the tool exports it, with its range; a copy made through the plugin, to a
// file or a database, reads as its source.
TEST_P(DriverTest, ReadsWhatTheToolImportedLikeItsExport) {
  ASSERT_EQ(Tool("import " + tiff_ + " " + Path("a")), 0);
  ASSERT_EQ(Tool("pyramid " + Path("a")), 0);
  // Exported first: the tool refuses a layer held open elsewhere.
  for (const std::string level : {"1", "2", "3"}) {
    ASSERT_EQ(Tool("export --level " + level + " " + Path("a") + " " + Path(level + ".tif")), 0);
  }

  GDALDatasetUniquePtr ds = Open(Path("a.dem"));
  ASSERT_TRUE(ds);
  ASSERT_NO_FATAL_FAILURE(ExpectPlaced(*ds));
  GDALRasterBand* band = ds->GetRasterBand(1);
  EXPECT_EQ(band->GetRasterDataType(), GetParam().type);
  int blockX = 0, blockY = 0, hasNoData = 0;
  band->GetBlockSize(&blockX, &blockY);
  EXPECT_EQ(std::pair(blockX, blockY), std::pair(255, 255));
  EXPECT_EQ(band->GetNoDataValue(&hasNoData), Null());
  EXPECT_TRUE(hasNoData);
  ASSERT_EQ(band->GetOverviewCount(), 2);
  for (int level = 1; level <= 3; ++level) {
    SCOPED_TRACE(level);
    GDALRasterBand* ours = level == 1 ? band : band->GetOverview(level - 2);
    GDALDatasetUniquePtr exported(GDALDataset::Open(Path(std::to_string(level) + ".tif").c_str()));
    ASSERT_TRUE(exported);
    GDALRasterBand* theirs = exported->GetRasterBand(1);
    EXPECT_EQ(Read(ours), Read(theirs));  // every block, edge ones included
    double minMax[2] = {};
    ASSERT_EQ(theirs->ComputeRasterMinMax(FALSE, minMax), CE_None);
    int okMin = 0, okMax = 0;
    EXPECT_EQ((std::pair{ours->GetMinimum(&okMin), ours->GetMaximum(&okMax)}), std::pair(minMax[0], minMax[1]));
    EXPECT_TRUE(okMin && okMax);
  }

  GDALDatasetUniquePtr src(GDALDataset::Open(tiff_.c_str(), GDAL_OF_RASTER));
  ASSERT_TRUE(src);
  for (const std::string& copy : {Path("b.dem"), "DEMBASE:sqlite:" + Path("x.sqlite") + "#set/b"}) {
    ASSERT_TRUE(GDALDatasetUniquePtr(Driver()->CreateCopy(copy.c_str(), src.get(), FALSE, nullptr, nullptr, nullptr)));
    GDALDatasetUniquePtr reopened = Open(copy);
    ASSERT_TRUE(reopened) << copy;
    EXPECT_EQ(Read(reopened->GetRasterBand(1)), Expected()) << copy;
    if (copy.ends_with(".dem")) {  // metadata lives in a file beside the layer's
      EXPECT_STREQ(reopened->GetMetadataItem("SOURCE"), "tiff");
    }
  }
  EXPECT_EQ(Tool("check " + Path("b")), 0);
}

TEST_P(DriverTest, CreateWriteUpdateReopen) {
  const Case& k = GetParam();
  std::vector<double> want = Expected();
  {
    GDALDatasetUniquePtr ds(Driver()->Create(Path("a.dem").c_str(), k.cols, k.rows, 1, k.type, nullptr));
    ASSERT_TRUE(ds);
    ASSERT_EQ(ds->SetGeoTransform(const_cast<double*>(kTransform.data())), CE_None);
    const OGRSpatialReference utm = Utm33();
    ASSERT_EQ(ds->SetSpatialRef(&utm), CE_None);
    GDALRasterBand* band = ds->GetRasterBand(1);
    ASSERT_EQ(band->SetNoDataValue(band->GetNoDataValue()), CE_None);
    ASSERT_EQ(ds->SetMetadataItem("SOURCE", "gdal_driver_test"), CE_None);
    ASSERT_EQ(band->RasterIO(GF_Write, 0, 0, k.cols, k.rows, want.data(), k.cols, k.rows, GDT_Float64, 0, 0, nullptr),
              CE_None);
  }
  std::pair<double, double> range;
  std::string mean;
  {
    GDALDatasetUniquePtr ds = Open(Path("a.dem"), true);
    ASSERT_TRUE(ds);
    GDALRasterBand* band = ds->GetRasterBand(1);
    // In place, across the tile corner at 255,255: the shared edges must follow.
    std::vector<double> patch(20 * 20, 7.0);
    patch[0] = Null();
    ASSERT_EQ(band->RasterIO(GF_Write, 245, 245, 20, 20, patch.data(), 20, 20, GDT_Float64, 0, 0, nullptr), CE_None);
    for (int r = 0; r < 20; ++r) {
      for (int c = 0; c < 20; ++c) want[(245 + r) * k.cols + 245 + c] = patch[r * 20 + c];
    }
    ds->FlushCache(false);
    // The range kept by the layer is the cells' (GDAL computes it from them here); statistics go
    // to the .aux.xml and come back after reopening.
    range = {band->GetMinimum(), band->GetMaximum()};
    std::array<double, 4> st{};
    ASSERT_EQ(band->ComputeStatistics(FALSE, &st[0], &st[1], &st[2], &st[3], nullptr, nullptr), CE_None);
    EXPECT_EQ((std::pair{st[0], st[1]}), range);
    mean = band->GetMetadataItem("STATISTICS_MEAN");
  }
  {
    GDALDatasetUniquePtr ds = Open(Path("a.dem"));
    ASSERT_TRUE(ds);
    ASSERT_NO_FATAL_FAILURE(ExpectPlaced(*ds));
    GDALRasterBand* band = ds->GetRasterBand(1);
    EXPECT_EQ(Read(band), want);
    EXPECT_EQ((std::pair{band->GetMinimum(), band->GetMaximum()}), range);
    EXPECT_STREQ(ds->GetMetadataItem("SOURCE"), "gdal_driver_test");
    EXPECT_EQ(band->GetMetadataItem("STATISTICS_MEAN"), mean);
  }
  // gdaladdo builds the levels the tool builds.
  ASSERT_EQ(Tool("cp " + Path("a") + " " + Path("c")), 0);
  ASSERT_EQ(Tool("pyramid --levels 3 " + Path("c")), 0);
  ASSERT_EQ(Sh(DEMBASE_GDAL_TOOL_ENV "gdaladdo -q -r average " + Path("a.dem") + " 2 4"), 0);
  {
    GDALDatasetUniquePtr built = Open(Path("a.dem"));
    GDALDatasetUniquePtr byTool = Open(Path("c.dem"));
    ASSERT_TRUE(built && byTool);
    GDALRasterBand* a = built->GetRasterBand(1);
    ASSERT_EQ(a->GetOverviewCount(), 2);
    ASSERT_EQ(byTool->GetRasterBand(1)->GetOverviewCount(), 2);
    for (int i = 0; i < 2; ++i) EXPECT_EQ(Read(a->GetOverview(i)), Read(byTool->GetRasterBand(1)->GetOverview(i))) << i;
  }
  // What a layer cannot hold is refused with an error, never a crash; so is an update of a layer
  // the library holds open elsewhere.
  const std::string dem = Path("a.dem");
  const auto created = [&](int bands, GDALDataType type) {
    return GDALDatasetUniquePtr(Driver()->Create(Path("n.dem").c_str(), 9, 9, bands, type, nullptr));
  };
  // Refused to place DS with a rotation ROT or with its top at TOP.
  const auto placed = [](const GDALDatasetUniquePtr& ds, double rot, double top) {
    std::array<double, 6> gt = {0, 1, rot, top, 0, -1};
    return ds && ds->SetGeoTransform(gt.data()) == CE_Failure;
  };
  const std::vector<std::pair<const char*, std::function<bool()>>> rows = {
      {"two bands", [&] { return !created(2, GDT_Int32); }},
      {"byte cells", [&] { return !created(1, GDT_Byte); }},
      {"rotation", [&] { return placed(created(1, GDT_Int32), 0.5, 0); }},
      {"moving an existing layer", [&] { return placed(Open(dem, true), 0, 0); }},
      {"other nodata",
       [&] {
         GDALDatasetUniquePtr ds = Open(dem, true);
         return ds && ds->GetRasterBand(1)->SetNoDataValue(-9999) == CE_Failure;
       }},
      {"two-band copy",
       [&] {
         WriteTiff(Path("two.tif"), Case{"two", GDT_Int32, 5, 5}, 2);
         GDALDatasetUniquePtr src(GDALDataset::Open(Path("two.tif").c_str(), GDAL_OF_RASTER));
         return src && !GDALDatasetUniquePtr(
                           Driver()->CreateCopy(Path("d.dem").c_str(), src.get(), FALSE, nullptr, nullptr, nullptr));
       }},
      {"missing database", [&] { return !Open("DEMBASE:sqlite:" + Path("none.sqlite") + "#set/x"); }},
      {"bad prefix", [&] { return !Open("DEMBASE:" + dem); }},
      {"held open elsewhere",
       [&] {
         DemBaseAI* h = _hxCreateDemBaseAI();
         const int32_t set = _hxOpenDataSet(h, nullptr, 0.125f);
         const int32_t id = _hxOpenDataLayer(h, set, dem.c_str(), 0);
         const bool refused = set != 0 && id >= 1 && !Open(dem, true);
         EXPECT_EQ(_hxCloseDataLayer(h, set, id), 1);
         EXPECT_EQ(_hxDeleteDemBaseAI(h), 1);
         return refused;
       }},
      {"damaged tiles",
       [&] {
         EXPECT_EQ(Tool("import " + tiff_ + " " + Path("g")), 0);
         for (const auto& f : fs::directory_iterator(Path("g"))) {
           std::fstream io(f.path(), std::ios::in | std::ios::out | std::ios::binary);
           if (f.path().extension() != ".Hdr") io.write(std::string(64, '\x5a').data(), 64);
         }
         GDALDatasetUniquePtr ds = Open(Path("g.dem"));
         std::vector<double> cells;
         return !ds || ReadInto(ds->GetRasterBand(1), cells) == CE_Failure;
       }},
  };
  CPLPushErrorHandler(CPLQuietErrorHandler);
  for (const auto& [what, refused] : rows) {
    CPLErrorReset();
    EXPECT_TRUE(refused()) << what;
    EXPECT_STRNE(CPLGetLastErrorMsg(), "") << what;
  }
  CPLPopErrorHandler();
  EXPECT_TRUE(Open(dem, true));  // released, and nothing refused left a mark
  EXPECT_EQ(Tool("check " + Path("a")), 0);
  // Rename and delete go through the library's layer calls.
  ASSERT_EQ(Driver()->Rename(Path("b.dem").c_str(), Path("a.dem").c_str()), CE_None);
  EXPECT_FALSE(fs::exists(Path("a.dem")));
  ASSERT_TRUE(Open(Path("b.dem")));
  ASSERT_EQ(Driver()->Delete(Path("b.dem").c_str()), CE_None);
  EXPECT_FALSE(fs::exists(Path("b.dem")));
}

INSTANTIATE_TEST_SUITE_P(Layers, DriverTest,
                         ::testing::Values(Case{"int", GDT_Int32, 530, 600}, Case{"float", GDT_Float32, 300, 520}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
