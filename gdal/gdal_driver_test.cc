// The DEMBASE plugin through GDAL's own API, loaded from the build tree as any GDAL client
// loads it; layers are made and checked with the dembase tool.
#include <cpl_json.h>
#include <gdal_alg.h>
#include <gdal_priv.h>
#include <gtest/gtest.h>
#include <ogr_spatialref.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

#include "dembase/dembase.h"

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

int Sh(const std::string& command, const std::string& out = "/dev/null") {
  return std::system((command + " >" + out + " 2>/dev/null").c_str());
}
int Tool(const std::string& args, const std::string& out = "/dev/null") {
  return Sh(std::string(DEMBASE_TOOL) + " -q " + args, out);
}
// gdalinfo, gdal_translate, gdaladdo.
int GdalTool(const std::string& args, const std::string& out = "/dev/null") {
  return Sh(std::string(DEMBASE_GDAL_TOOL_ENV) + args, out);
}

CPLJSONObject JsonOf(const std::string& path) {
  CPLJSONDocument doc;
  EXPECT_TRUE(doc.Load(path)) << path;
  return doc.GetRoot();
}

struct Case {
  const char* name;
  GDALDataType type;
  int rows, cols;
};

// A hill with holes of nodata, so tiles hold values, nulls and both.
double Cell(int r, int c, GDALDataType type) {
  if ((r * 7 + c * 3) % 97 == 0) return -9999;
  const double v = 1000 + 300 * std::sin(r / 40.0) * std::cos(c / 55.0) + r * 0.25;
  return type == GDT_Int32 ? std::round(v) : static_cast<float>(v);
}

const std::array<double, 6> kTransform = {500000, 10, 0, 4600000, 0, -10};

std::string Utm33() {
  OGRSpatialReference srs;
  EXPECT_EQ(srs.importFromEPSG(32633), OGRERR_NONE);
  char* wkt = nullptr;
  EXPECT_EQ(srs.exportToWkt(&wkt), OGRERR_NONE);
  std::string s = wkt;
  CPLFree(wkt);
  return s;
}

std::vector<double> Cells(const Case& k) {
  std::vector<double> v(static_cast<size_t>(k.rows) * k.cols);
  for (int r = 0; r < k.rows; ++r) {
    for (int c = 0; c < k.cols; ++c) v[static_cast<size_t>(r) * k.cols + c] = Cell(r, c, k.type);
  }
  return v;
}

void WriteTiff(const std::string& path, const Case& k, int bands = 1) {
  GDALDriver* gtiff = GetGDALDriverManager()->GetDriverByName("GTiff");
  GDALDatasetUniquePtr ds(gtiff->Create(path.c_str(), k.cols, k.rows, bands, k.type, nullptr));
  ASSERT_TRUE(ds);
  ASSERT_EQ(ds->SetGeoTransform(const_cast<double*>(kTransform.data())), CE_None);
  ASSERT_EQ(ds->SetProjection(Utm33().c_str()), CE_None);
  ASSERT_EQ(ds->SetMetadataItem("SOURCE", "tiff"), CE_None);
  std::vector<double> cells = Cells(k);
  for (int b = 1; b <= bands; ++b) {
    ASSERT_EQ(ds->GetRasterBand(b)->SetNoDataValue(-9999), CE_None);
    ASSERT_EQ(ds->GetRasterBand(b)->RasterIO(GF_Write, 0, 0, k.cols, k.rows, cells.data(), k.cols, k.rows, GDT_Float64,
                                             0, 0, nullptr),
              CE_None);
  }
}

std::vector<double> Read(GDALRasterBand* band) {
  const int w = band->GetXSize(), h = band->GetYSize();
  std::vector<double> v(static_cast<size_t>(w) * h);
  EXPECT_EQ(band->RasterIO(GF_Read, 0, 0, w, h, v.data(), w, h, GDT_Float64, 0, 0, nullptr), CE_None);
  return v;
}

// The smallest and largest cell other than null.
std::pair<double, double> RangeOf(const std::vector<double>& cells, double null) {
  std::pair<double, double> r{1e300, -1e300};
  for (double v : cells) {
    if (v != null) r = {std::min(r.first, v), std::max(r.second, v)};
  }
  return r;
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
    dir_ = fs::temp_directory_path() / ("gdal_driver_test_" + std::to_string(::getpid()) + "_" + GetParam().name);
    fs::remove_all(dir_);
    ASSERT_TRUE(fs::create_directories(dir_));
    tiff_ = Path("src.tif");
    WriteTiff(tiff_, GetParam());
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  double Null() const {
    return GetParam().type == GDT_Int32 ? DEMBASE_NULL_INT32 : std::bit_cast<float>(DEMBASE_NULL_FLOAT32_BITS);
  }
  // The source's cells with its nodata as the layer's null.
  std::vector<double> Expected(double null) const {
    std::vector<double> v = Cells(GetParam());
    for (double& x : v) x = x == -9999 ? null : x;
    return v;
  }

  fs::path dir_;
  std::string tiff_;
};

TEST_P(DriverTest, ReadsWhatTheToolImportedLikeItsExport) {
  const Case& k = GetParam();
  ASSERT_EQ(Tool("import " + tiff_ + " " + Path("a")), 0);
  ASSERT_EQ(Tool("pyramid " + Path("a")), 0);
  // Exported first: the tool refuses a layer held open elsewhere.
  for (int level = 1; level <= 3; ++level) {
    const std::string out = Path("level" + std::to_string(level) + ".tif");
    ASSERT_EQ(Tool("export --level " + std::to_string(level) + " " + Path("a") + " " + out), 0);
    // gdal_translate of the same level through the plugin.
    const std::string ovr = level == 1 ? "" : " -ovr " + std::to_string(level - 2);
    ASSERT_EQ(GdalTool("gdal_translate -q" + ovr + " " + Path("a.dem") + " " + Path("t" + std::to_string(level))), 0);
  }
  // gdalinfo agrees with dembase info.
  ASSERT_EQ(GdalTool("gdalinfo -json " + Path("a.dem"), Path("gdalinfo.json")), 0);
  ASSERT_EQ(Tool("info --json " + Path("a"), Path("info.json")), 0);
  {
    const CPLJSONObject gi = JsonOf(Path("gdalinfo.json")), di = JsonOf(Path("info.json"));
    const CPLJSONArray levels = di.GetArray("levels");
    const CPLJSONObject b = gi.GetArray("bands")[0];
    ASSERT_EQ(levels.Size(), 3);
    EXPECT_EQ(gi.GetString("driverShortName"), "DEMBASE");
    EXPECT_EQ(b.GetArray("overviews").Size(), 2);
    for (int l = 0; l < levels.Size(); ++l) {
      const CPLJSONArray size = l == 0 ? gi.GetArray("size") : b.GetArray("overviews")[l - 1].GetArray("size");
      EXPECT_EQ(size[0].ToInteger(), levels[l].GetInteger("cols")) << "level " << l + 1;
      EXPECT_EQ(size[1].ToInteger(), levels[l].GetInteger("rows")) << "level " << l + 1;
    }
    for (int i = 0; i < 6; ++i) {
      EXPECT_EQ(gi.GetArray("geoTransform")[i].ToDouble(), levels[0].GetArray("geoTransform")[i].ToDouble());
    }
    // gdalinfo prints six digits of nodata, three decimals of the range.
    EXPECT_NEAR(b.GetDouble("noDataValue"), di.GetDouble("null"), 1e-5 * std::fabs(di.GetDouble("null")));
    EXPECT_NEAR(b.GetDouble("min"), di.GetDouble("minValue"), 5e-4);
    EXPECT_NEAR(b.GetDouble("max"), di.GetDouble("maxValue"), 5e-4);
  }
  GDALDatasetUniquePtr ds = Open(Path("a.dem"));
  ASSERT_TRUE(ds);
  EXPECT_STREQ(ds->GetDriver()->GetDescription(), "DEMBASE");
  std::array<double, 6> gt{};
  ASSERT_EQ(ds->GetGeoTransform(gt.data()), CE_None);
  EXPECT_EQ(gt, kTransform);
  OGRSpatialReference utm;
  ASSERT_EQ(utm.importFromEPSG(32633), OGRERR_NONE);
  ASSERT_NE(ds->GetSpatialRef(), nullptr);
  EXPECT_TRUE(ds->GetSpatialRef()->IsSame(&utm));
  GDALRasterBand* band = ds->GetRasterBand(1);
  EXPECT_EQ(band->GetRasterDataType(), k.type);
  int blockX = 0, blockY = 0;
  band->GetBlockSize(&blockX, &blockY);
  EXPECT_EQ(blockX, 255);
  EXPECT_EQ(blockY, 255);
  int hasNoData = 0;
  const double null = band->GetNoDataValue(&hasNoData);
  EXPECT_TRUE(hasNoData);
  EXPECT_EQ(null, k.type == GDT_Int32 ? DEMBASE_NULL_INT32 : static_cast<double>(static_cast<float>(null)));
  const std::vector<double> want = Expected(null);
  EXPECT_EQ(Read(band), want);
  // Every level agrees with the tool's export of it, checksums included.
  ASSERT_EQ(band->GetOverviewCount(), 2);
  for (int level = 1; level <= band->GetOverviewCount() + 1; ++level) {
    GDALRasterBand* b = level == 1 ? band : band->GetOverview(level - 2);
    const std::string out = Path("level" + std::to_string(level) + ".tif");
    GDALDatasetUniquePtr exported(GDALDataset::Open(out.c_str(), GDAL_OF_RASTER));
    ASSERT_TRUE(exported);
    GDALRasterBand* e = exported->GetRasterBand(1);
    ASSERT_EQ(b->GetXSize(), e->GetXSize());
    ASSERT_EQ(b->GetYSize(), e->GetYSize());
    EXPECT_EQ(Read(b), Read(e)) << "level " << level;
    GDALDatasetUniquePtr translated(GDALDataset::Open(Path("t" + std::to_string(level)).c_str(), GDAL_OF_RASTER));
    ASSERT_TRUE(translated);
    EXPECT_EQ(Read(translated->GetRasterBand(1)), Read(e)) << "gdal_translate, level " << level;
    EXPECT_EQ(GDALChecksumImage(b, 0, 0, b->GetXSize(), b->GetYSize()),
              GDALChecksumImage(e, 0, 0, e->GetXSize(), e->GetYSize()));
    int okMin = 0, okMax = 0;
    EXPECT_EQ((std::pair{b->GetMinimum(&okMin), b->GetMaximum(&okMax)}), RangeOf(Read(e), null)) << "level " << level;
    EXPECT_TRUE(okMin && okMax);
  }
}

TEST_P(DriverTest, CreateCopyMakesTheLayerImportMakes) {
  ASSERT_EQ(Tool("import " + tiff_ + " " + Path("a")), 0);
  GDALDatasetUniquePtr src(GDALDataset::Open(tiff_.c_str(), GDAL_OF_RASTER));
  ASSERT_TRUE(src);
  ASSERT_EQ(GdalTool("gdal_translate -q -of DEMBASE " + tiff_ + " " + Path("b.dem")), 0);
  GDALDatasetUniquePtr copy = Open(Path("b.dem"));
  ASSERT_TRUE(copy);
  GDALDatasetUniquePtr imported = Open(Path("a.dem"));
  ASSERT_TRUE(imported);
  EXPECT_EQ(Read(copy->GetRasterBand(1)), Read(imported->GetRasterBand(1)));
  EXPECT_EQ(Read(copy->GetRasterBand(1)), Expected(Null()));
  EXPECT_STREQ(copy->GetMetadataItem("SOURCE"), "tiff");
  copy.reset();
  ASSERT_EQ(Tool("check " + Path("b")), 0);
  // The same through the prefix, into a database.
  const std::string db = "DEMBASE:sqlite:" + Path("x.sqlite") + "#set/b";
  GDALDatasetUniquePtr inDb(Driver()->CreateCopy(db.c_str(), src.get(), FALSE, nullptr, nullptr, nullptr));
  ASSERT_TRUE(inDb);
  inDb.reset();
  GDALDatasetUniquePtr reopened = Open(db);
  ASSERT_TRUE(reopened);
  EXPECT_EQ(Read(reopened->GetRasterBand(1)), Expected(Null()));
}

TEST_P(DriverTest, CreateWriteUpdateReopen) {
  const Case& k = GetParam();
  {
    GDALDatasetUniquePtr ds(Driver()->Create(Path("a.dem").c_str(), k.cols, k.rows, 1, k.type, nullptr));
    ASSERT_TRUE(ds);
    ASSERT_EQ(ds->SetGeoTransform(const_cast<double*>(kTransform.data())), CE_None);
    OGRSpatialReference utm;
    ASSERT_EQ(utm.importFromEPSG(32633), OGRERR_NONE);
    ASSERT_EQ(ds->SetSpatialRef(&utm), CE_None);
    GDALRasterBand* band = ds->GetRasterBand(1);
    ASSERT_EQ(band->SetNoDataValue(band->GetNoDataValue()), CE_None);
    ASSERT_EQ(ds->SetMetadataItem("SOURCE", "gdal_driver_test"), CE_None);
    std::vector<double> cells = Expected(band->GetNoDataValue());
    ASSERT_EQ(band->RasterIO(GF_Write, 0, 0, k.cols, k.rows, cells.data(), k.cols, k.rows, GDT_Float64, 0, 0, nullptr),
              CE_None);
  }
  const double null = Null();
  std::vector<double> want = Expected(null);
  std::pair<double, double> range;
  std::string mean;
  int checksum = 0;
  {
    GDALDatasetUniquePtr ds = Open(Path("a.dem"), true);
    ASSERT_TRUE(ds);
    std::array<double, 6> gt{};
    ASSERT_EQ(ds->GetGeoTransform(gt.data()), CE_None);
    EXPECT_EQ(gt, kTransform);
    ASSERT_NE(ds->GetSpatialRef(), nullptr);
    EXPECT_EQ(Read(ds->GetRasterBand(1)), want);
    // In place, across the tile corner at 255,255: the shared edges must follow.
    std::vector<double> patch(20 * 20, 7.0);
    patch[0] = null;
    ASSERT_EQ(
        ds->GetRasterBand(1)->RasterIO(GF_Write, 245, 245, 20, 20, patch.data(), 20, 20, GDT_Float64, 0, 0, nullptr),
        CE_None);
    for (int r = 0; r < 20; ++r) {
      for (int c = 0; c < 20; ++c) want[(245 + r) * k.cols + 245 + c] = patch[r * 20 + c];
    }
    ds->FlushCache(false);
    EXPECT_EQ(Read(ds->GetRasterBand(1)), want);
    range = {ds->GetRasterBand(1)->GetMinimum(), ds->GetRasterBand(1)->GetMaximum()};
    // Statistics go to the .aux.xml and come back with the checksum after reopening.
    std::array<double, 4> st{};
    ASSERT_EQ(ds->GetRasterBand(1)->ComputeStatistics(FALSE, &st[0], &st[1], &st[2], &st[3], nullptr, nullptr),
              CE_None);
    EXPECT_EQ((std::pair{st[0], st[1]}), range);
    mean = ds->GetRasterBand(1)->GetMetadataItem("STATISTICS_MEAN");
    checksum = GDALChecksumImage(ds->GetRasterBand(1), 0, 0, k.cols, k.rows);
  }
  EXPECT_EQ(range, RangeOf(want, null));
  GDALDatasetUniquePtr ds = Open(Path("a.dem"));
  ASSERT_TRUE(ds);
  EXPECT_EQ(Read(ds->GetRasterBand(1)), want);
  EXPECT_EQ((std::pair{ds->GetRasterBand(1)->GetMinimum(), ds->GetRasterBand(1)->GetMaximum()}), range);
  EXPECT_STREQ(ds->GetMetadataItem("SOURCE"), "gdal_driver_test");
  EXPECT_EQ(ds->GetRasterBand(1)->GetMetadataItem("STATISTICS_MEAN"), mean);
  EXPECT_EQ(GDALChecksumImage(ds->GetRasterBand(1), 0, 0, k.cols, k.rows), checksum);
  ds.reset();
  EXPECT_EQ(Tool("check " + Path("a")), 0);
  // gdaladdo builds the levels the tool builds.
  ASSERT_EQ(Tool("cp " + Path("a") + " " + Path("c")), 0);
  ASSERT_EQ(Tool("pyramid --levels 3 " + Path("c")), 0);
  ASSERT_EQ(GdalTool("gdaladdo -q -r average " + Path("a.dem") + " 2 4"), 0);
  {
    GDALDatasetUniquePtr built = Open(Path("a.dem"), true);
    GDALDatasetUniquePtr byTool = Open(Path("c.dem"));
    ASSERT_TRUE(built && byTool);
    const int odd[] = {2, 8};
    CPLPushErrorHandler(CPLQuietErrorHandler);
    EXPECT_EQ(built->BuildOverviews("AVERAGE", 2, odd, 0, nullptr, nullptr, nullptr, nullptr), CE_Failure);
    CPLPopErrorHandler();
    GDALRasterBand* a = built->GetRasterBand(1);
    GDALRasterBand* c = byTool->GetRasterBand(1);
    ASSERT_EQ(a->GetOverviewCount(), 2);
    ASSERT_EQ(c->GetOverviewCount(), 2);
    for (int i = 0; i < 2; ++i) EXPECT_EQ(Read(a->GetOverview(i)), Read(c->GetOverview(i))) << "overview " << i;
  }
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

class RefusalTest : public DriverTest {};

// What a layer cannot hold is refused with an error, never a crash.
TEST_P(RefusalTest, RefusesWithAGdalError) {
  ASSERT_EQ(Tool("import " + tiff_ + " " + Path("a")), 0);
  const std::string dem = Path("a.dem");
  struct Row {
    const char* what;
    std::function<bool()> refused;
  };
  const std::vector<Row> rows = {
      {"two bands",
       [&] { return !GDALDatasetUniquePtr(Driver()->Create(Path("c.dem").c_str(), 9, 9, 2, GDT_Int32, nullptr)); }},
      {"byte cells",
       [&] { return !GDALDatasetUniquePtr(Driver()->Create(Path("c.dem").c_str(), 9, 9, 1, GDT_Byte, nullptr)); }},
      {"rotation",
       [&] {
         GDALDatasetUniquePtr ds(Driver()->Create(Path("c.dem").c_str(), 9, 9, 1, GDT_Int32, nullptr));
         double gt[6] = {0, 1, 0.5, 0, 0, -1};
         return ds && ds->SetGeoTransform(gt) == CE_Failure;
       }},
      {"other nodata",
       [&] {
         GDALDatasetUniquePtr ds = Open(dem, true);
         return ds && ds->GetRasterBand(1)->SetNoDataValue(-9999) == CE_Failure;
       }},
      {"moving an existing layer",
       [&] {
         GDALDatasetUniquePtr ds = Open(dem, true);
         double gt[6] = {0, 1, 0, 0, 0, -1};
         return ds && ds->SetGeoTransform(gt) == CE_Failure;
       }},
      {"two-band copy",
       [&] {
         WriteTiff(Path("two.tif"), Case{"two", GDT_Int32, 5, 5}, 2);
         GDALDatasetUniquePtr src(GDALDataset::Open(Path("two.tif").c_str(), GDAL_OF_RASTER));
         return src && !GDALDatasetUniquePtr(
                           Driver()->CreateCopy(Path("d.dem").c_str(), src.get(), FALSE, nullptr, nullptr, nullptr));
       }},
      {"missing layer", [&] { return !Open(Path("none.dem")); }},
      {"missing database", [&] { return !Open("DEMBASE:sqlite:" + Path("none.sqlite") + "#set/x"); }},
      {"bad prefix", [&] { return !Open("DEMBASE:" + dem); }},
      {"damaged header",
       [&] {
         fs::copy_file(dem, Path("e.dem"));
         fs::resize_file(Path("e.dem"), 20);
         return !Open(Path("e.dem"));
       }},
      {"damaged tiles",
       [&] {
         for (const auto& f : fs::directory_iterator(Path("a"))) {
           if (f.path().extension() == ".Hdr") continue;
           std::fstream io(f.path(), std::ios::in | std::ios::out | std::ios::binary);
           const std::string junk(64, '\x5a');
           io.seekp(0);
           io.write(junk.data(), static_cast<std::streamsize>(junk.size()));
         }
         GDALDatasetUniquePtr ds = Open(dem);
         if (!ds) return true;
         std::vector<double> all(static_cast<size_t>(ds->GetRasterXSize()) * ds->GetRasterYSize());
         return ds->GetRasterBand(1)->RasterIO(GF_Read, 0, 0, ds->GetRasterXSize(), ds->GetRasterYSize(), all.data(),
                                               ds->GetRasterXSize(), ds->GetRasterYSize(), GDT_Float64, 0, 0,
                                               nullptr) == CE_Failure;
       }},
  };
  CPLPushErrorHandler(CPLQuietErrorHandler);
  for (const Row& row : rows) {
    CPLErrorReset();
    EXPECT_TRUE(row.refused()) << row.what;
    EXPECT_STRNE(CPLGetLastErrorMsg(), "") << row.what;
  }
  CPLPopErrorHandler();
}

// A layer the library holds open elsewhere is not opened for update.
TEST_P(RefusalTest, RefusesUpdateWhileOpenElsewhere) {
  ASSERT_EQ(Tool("import " + tiff_ + " " + Path("a")), 0);
  DemBaseAI* h = _hxCreateDemBaseAI();
  ASSERT_NE(h, nullptr);
  const int32_t set = _hxOpenDataSet(h, nullptr, 0.125f);
  ASSERT_NE(set, 0);
  const int32_t id = _hxOpenDataLayer(h, set, Path("a.dem").c_str(), 0);
  ASSERT_GE(id, 1);
  CPLPushErrorHandler(CPLQuietErrorHandler);
  CPLErrorReset();
  EXPECT_FALSE(Open(Path("a.dem"), true));
  EXPECT_STRNE(CPLGetLastErrorMsg(), "");
  CPLPopErrorHandler();
  EXPECT_EQ(_hxCloseDataLayer(h, set, id), 1);
  EXPECT_EQ(_hxDeleteDemBaseAI(h), 1);
  EXPECT_TRUE(Open(Path("a.dem"), true));
}

INSTANTIATE_TEST_SUITE_P(Layers, RefusalTest, ::testing::Values(Case{"small", GDT_Int32, 300, 300}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
