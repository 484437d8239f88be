// The dembase tool end to end: the built binary runs on small rasters, and what it writes is read
// back with GDAL and compared with the sources and with averages computed here.
#include <gdal_priv.h>
#include <gtest/gtest.h>
#include <ogr_spatialref.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "dembase/dembase.h"
#include "vat/demvat.h"

namespace {

namespace fs = std::filesystem;
constexpr auto npos = std::string::npos;

constexpr double kIntNull = DEMBASE_NULL_INT32;
const double kFloatNull = [] {
  const uint32_t bits = DEMBASE_NULL_FLOAT32_BITS;
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return static_cast<double>(f);
}();

struct Raster {
  int rows = 0;
  int cols = 0;
  std::array<double, 6> gt{};
  GDALDataType type = GDT_Float32;
  std::optional<double> nodata;
  std::string crs;  // WKT, or "" for none
  std::vector<double> cells;

  double At(int r, int c) const { return cells[static_cast<size_t>(r) * cols + c]; }
  bool IsNull(double v) const { return std::isnan(v) || (nodata && v == *nodata); }
};

std::string Wkt(const char* userInput) {
  OGRSpatialReference srs;
  EXPECT_EQ(srs.SetFromUserInput(userInput), OGRERR_NONE);
  char* wkt = nullptr;
  EXPECT_EQ(srs.exportToWkt(&wkt), OGRERR_NONE);
  std::string text = wkt;
  CPLFree(wkt);
  return text;
}

void WriteTiff(const std::string& path, const Raster& r, int bands = 1) {
  GDALDriver* gtiff = GetGDALDriverManager()->GetDriverByName("GTiff");
  GDALDatasetUniquePtr ds(gtiff->Create(path.c_str(), r.cols, r.rows, bands, r.type, nullptr));
  ASSERT_TRUE(ds);
  ASSERT_EQ(ds->SetGeoTransform(const_cast<double*>(r.gt.data())), CE_None);
  if (!r.crs.empty()) {
    ASSERT_EQ(ds->SetProjection(r.crs.c_str()), CE_None);
  }
  for (int b = 1; b <= bands; ++b) {
    GDALRasterBand* band = ds->GetRasterBand(b);
    if (r.nodata) {
      ASSERT_EQ(band->SetNoDataValue(*r.nodata), CE_None);
    }
    ASSERT_EQ(band->RasterIO(GF_Write, 0, 0, r.cols, r.rows, const_cast<double*>(r.cells.data()), r.cols, r.rows,
                             GDT_Float64, 0, 0, nullptr),
              CE_None);
  }
}

Raster ReadTiff(const std::string& path) {
  Raster r;
  GDALDatasetUniquePtr ds(GDALDataset::Open(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY));
  EXPECT_TRUE(ds) << path;
  if (!ds) return r;
  r.rows = ds->GetRasterYSize();
  r.cols = ds->GetRasterXSize();
  EXPECT_EQ(ds->GetGeoTransform(r.gt.data()), CE_None) << path;
  if (const OGRSpatialReference* srs = ds->GetSpatialRef()) {
    char* wkt = nullptr;
    EXPECT_EQ(srs->exportToWkt(&wkt), OGRERR_NONE);
    r.crs = wkt;
    CPLFree(wkt);
  }
  GDALRasterBand* band = ds->GetRasterBand(1);
  r.type = band->GetRasterDataType();
  int has = 0;
  const double nodata = band->GetNoDataValue(&has);
  if (has) r.nodata = nodata;
  r.cells.resize(static_cast<size_t>(r.rows) * r.cols);
  EXPECT_EQ(band->RasterIO(GF_Read, 0, 0, r.cols, r.rows, r.cells.data(), r.cols, r.rows, GDT_Float64, 0, 0, nullptr),
            CE_None);
  return r;
}

// 530 x 600 float cells (3 x 3 tiles) on a non-square grid, with nodata cells, NaN cells, a null
// disc and a null block that leaves whole tiles empty.
Raster FloatRaster() {
  Raster r{530, 600, {300000, 2.5, 0, 5200000, 0, -3.0}, GDT_Float32, -9999.0, Wkt("EPSG:32633"), {}};
  for (int row = 0; row < r.rows; ++row) {
    for (int c = 0; c < r.cols; ++c) {
      double v = std::round((500 + 80 * std::sin(row / 37.0) * std::cos(c / 23.0) + row * 0.3 - c * 0.1) * 64) / 64;
      if (std::hypot(row - 300, c - 150) < 40) v = -9999;
      if (row < 256 && c >= 255 && c < 511) v = -9999;
      if ((row * 31 + c * 17) % 97 == 0) v = std::nan("");
      r.cells.push_back(v);
    }
  }
  return r;
}

// 260 x 300 int16 cells with nodata, in geographic coordinates.
Raster IntRaster() {
  Raster r{260, 300, {5.5, 0.01, 0, 50.25, 0, -0.005}, GDT_Int16, -32768.0, Wkt("EPSG:4326"), {}};
  for (int row = 0; row < r.rows; ++row) {
    for (int c = 0; c < r.cols; ++c) {
      const int v = (row * 7919 + c * 104729) % 3001 - 500;
      r.cells.push_back((row + c) % 13 == 0 ? -32768 : v);
    }
  }
  return r;
}

// What a layer stores for each source cell; NaN for null.
std::vector<double> StoredCells(const Raster& src, bool floatCells) {
  std::vector<double> out;
  for (double v : src.cells) out.push_back(src.IsNull(v) ? std::nan("") : floatCells ? static_cast<float>(v) : v);
  return out;
}

// Level L from level L - 1, gathered 2 x 2 here (nulls left out, NaN where all are null).
std::vector<double> Halve(const std::vector<double>& below, int rows, int cols, bool floatCells) {
  std::vector<double> out;
  for (int r = 0; r < (rows + 1) / 2; ++r) {
    for (int c = 0; c < (cols + 1) / 2; ++c) {
      double sum = 0;
      int n = 0;
      for (const auto& [rr, cc] :
           {std::pair{2 * r, 2 * c}, {2 * r, 2 * c + 1}, {2 * r + 1, 2 * c}, {2 * r + 1, 2 * c + 1}}) {
        const double v = rr < rows && cc < cols ? below[static_cast<size_t>(rr) * cols + cc] : std::nan("");
        if (!std::isnan(v)) {
          sum += v;
          ++n;
        }
      }
      out.push_back(n == 0 ? std::nan("") : floatCells ? static_cast<float>(sum / n) : std::round(sum / n));
    }
  }
  return out;
}

// Every cell of OUT equals WANT's, where NaN stands for the layer's null.
void ExpectCells(const Raster& out, const std::vector<double>& want) {
  ASSERT_EQ(out.cells.size(), want.size());
  ASSERT_TRUE(out.nodata);
  int differing = 0;
  for (size_t i = 0; i < want.size(); ++i) {
    const double w = std::isnan(want[i]) ? *out.nodata : want[i];
    if (out.cells[i] != w && differing++ < 5) ADD_FAILURE() << "cell " << i << ": " << out.cells[i] << " != " << w;
  }
  EXPECT_EQ(differing, 0);
}

void ExpectSameTransform(const std::array<double, 6>& got, const std::array<double, 6>& want) {
  for (size_t i = 0; i < 6; ++i) EXPECT_NEAR(got[i], want[i], 1e-12 * std::max(1.0, std::fabs(want[i]))) << i;
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Overwrites bytes of a file in place, as a faulty writer or a bad disk could.
template <typename T>
void Patch(const std::string& path, uintmax_t at, T v) {
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(static_cast<std::streamoff>(at));
  f.write(reinterpret_cast<const char*>(&v), sizeof v);
  ASSERT_TRUE(f) << path;
}

// Runs SQL on a database as a faulty writer could.
void Sql(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  EXPECT_EQ(sqlite3_close(db), SQLITE_OK);
}

// The library in this process: to the tool, a layer it holds open is held by another process.
struct Library {
  DemBaseAI* h = _hxCreateDemBaseAI();
  ~Library() { EXPECT_EQ(_hxDeleteDemBaseAI(h), 1); }
  // The local store for db "", else data set "ds" of the database at DB; 0 on failure.
  int32_t DataSet(const std::string& db = "") {
    if (db.empty()) return _hxOpenDataSet(h, nullptr, 0.125f);
    DbConnectInfo conn{"ds", 1, {}, {}, {}};
    std::snprintf(conn.connectArg1, sizeof conn.connectArg1, "%s", db.c_str());
    return _hxOpenDataSet(h, &conn, 0.125f);
  }
};

// Writes one copy of a shared cell through the library, as a faulty writer could.
void SplitSharedEdge(const std::string& header) {
  Library lib;
  const int32_t ds = lib.DataSet();
  const int32_t id = _hxOpenDataLayer(lib.h, ds, header.c_str(), 0);
  ASSERT_GE(id, 1);
  ASSERT_EQ(_hxOpenPyramidLayer(lib.h, ds, id, 1), 1);
  ASSERT_EQ(_hxBeginWriteTile(lib.h, ds, id, 1, 0, 0, 0), 1);
  _hxWriteCellOfTile(lib.h, 3, 255, 12345.0);  // tile 0,1 holds the same cell at its column 0
  ASSERT_EQ(_hxEndWriteTile(lib.h, 1), 1);
  ASSERT_EQ(_hxClosePyramidLayer(lib.h, ds, id), 1);
}

struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
};

class ToolTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { GDALAllRegister(); }
  void SetUp() override {
    char pattern[] = "/tmp/dembase-tool-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  // A layer of data set "ds" in the test's SQLite database.
  std::string Db(const std::string& name) const { return "sqlite:" + Path("t.db") + "#ds/" + name; }
  // The layer NAME in the local store (db false) or in the database.
  std::string Layer(const std::string& name, bool db) const { return db ? Db(name) : Path(name); }
  // f.tif, FloatRaster() written on first use.
  std::string FloatTif() const {
    if (!fs::exists(Path("f.tif"))) WriteTiff(Path("f.tif"), FloatRaster());
    return Path("f.tif");
  }

  ToolRun Tool(const std::vector<std::string>& args) const {
    std::string command = Quote(DEMBASE_TOOL);
    for (const std::string& a : args) command += " " + Quote(a);
    command += " </dev/null >" + Quote(Path("stdout")) + " 2>" + Quote(Path("stderr"));
    const int raw = std::system(command.c_str());
    return ToolRun{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, Slurp(Path("stdout")), Slurp(Path("stderr"))};
  }

  // Runs a command that must succeed quietly.
  std::string Ok(const std::vector<std::string>& args) const {
    const ToolRun r = Tool(args);
    EXPECT_EQ(r.status, 0) << args[0] << ": " << r.err;
    EXPECT_EQ(r.err, "") << args[0];
    return r.out;
  }

  std::string dir_;
};

// Export gives the imported source back, and each pyramid level holds the averages of the level
// below; info counts the levels and tiles.
TEST_F(ToolTest, ImportPyramidExportKeepTheCells) {
  struct Case {
    std::string name;
    std::string source;  // a file, or "" to write `raster`
    Raster raster;
    bool db = false;
    int levels = 0;  // of the pyramid down to one tile, which is then built to 4; 0: none
  };
  std::vector<Case> cases = {{"float", "", FloatRaster(), false, 3},
                             {"int", "", IntRaster(), false, 2},
                             {"float_db", "", FloatRaster(), true, 3},
                             {"int_db", "", IntRaster(), true, 2}};
  // An ASCII grid without a reference system, as GDAL reads it back.
  {
    Raster grid = IntRaster();
    grid.crs = "";
    grid.gt[5] = -grid.gt[1];  // the format has square cells
    WriteTiff(Path("grid.tif"), grid);
    GDALDatasetUniquePtr tif(GDALDataset::Open(Path("grid.tif").c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY));
    GDALDriver* asc = GetGDALDriverManager()->GetDriverByName("AAIGrid");
    ASSERT_TRUE(
        GDALDatasetUniquePtr(asc->CreateCopy(Path("grid.asc").c_str(), tif.get(), false, nullptr, nullptr, nullptr)));
    cases.push_back({"ascii", Path("grid.asc"), ReadTiff(Path("grid.asc"))});
  }
  if (fs::exists(DEMBASE_SAMPLE_DEM)) {
    cases.push_back({"sample", DEMBASE_SAMPLE_DEM, ReadTiff(DEMBASE_SAMPLE_DEM)});
    cases.push_back({"sample_db", DEMBASE_SAMPLE_DEM, ReadTiff(DEMBASE_SAMPLE_DEM), true});
  } else {
    ADD_FAILURE() << "no sample DEM at " << DEMBASE_SAMPLE_DEM << " (scripts/setup.sh fetches it)";
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Raster& src = c.raster;
    const std::string source = c.source.empty() ? Path(c.name + ".tif") : c.source;
    if (c.source.empty()) WriteTiff(source, src);
    const std::string layer = Layer(c.name, c.db);
    // A database layer has no place for the reference system, and says so.
    EXPECT_EQ(Ok({"import", source, layer}).find("reference system not kept") != npos, c.db && !src.crs.empty());
    Ok({"export", layer, Path(c.name + "_out.tif")});
    const Raster out = ReadTiff(Path(c.name + "_out.tif"));
    const bool floatCells = GDALDataTypeIsFloating(src.type);
    ASSERT_EQ(out.rows, src.rows);
    ASSERT_EQ(out.cols, src.cols);
    EXPECT_EQ(out.type, floatCells ? GDT_Float32 : GDT_Int32);
    ExpectSameTransform(out.gt, src.gt);
    ASSERT_TRUE(out.nodata);
    EXPECT_EQ(*out.nodata, floatCells ? kFloatNull : kIntNull);
    if (src.crs.empty() || c.db) {
      EXPECT_EQ(out.crs, "");
      EXPECT_FALSE(fs::exists(Path(c.name + ".prj")));
    } else {
      OGRSpatialReference want;
      OGRSpatialReference got;
      ASSERT_EQ(want.importFromWkt(src.crs.c_str()), OGRERR_NONE);
      ASSERT_EQ(got.importFromWkt(out.crs.c_str()), OGRERR_NONE);
      EXPECT_TRUE(got.IsSame(&want));
    }
    std::vector<double> want = StoredCells(src, floatCells);
    ExpectCells(out, want);
    if (c.levels == 0) continue;

    Ok({"pyramid", layer});
    const std::string text = Ok({"info", layer});
    EXPECT_NE(text.find("levels      " + std::to_string(c.levels) + "\n"), npos) << text;
    const std::string crs = c.db ? "not kept in a database" : floatCells ? "WGS 84 / UTM zone 33N" : "WGS 84";
    EXPECT_NE(text.find("crs         " + crs), npos) << text;
    if (floatCells) {
      const std::string json = Ok({"info", layer, "--json"});
      EXPECT_NE(json.find("\"rows\": 530, \"cols\": 600"), npos) << json;
      EXPECT_NE(json.find("\"tilesStored\": 8, \"tilesEmpty\": 1"), npos) << json;  // the null block
      EXPECT_NE(json.find("\"level\": 3, \"rows\": 133, \"cols\": 150"), npos) << json;
      EXPECT_EQ(json.find("\"level\": 4"), npos);
    }
    Ok({"pyramid", layer, "--levels", "4"});
    int rows = src.rows;
    int cols = src.cols;
    for (int level = 2; level <= 4; ++level) {
      SCOPED_TRACE("level " + std::to_string(level));
      want = Halve(want, rows, cols, floatCells);
      rows = (rows + 1) / 2;
      cols = (cols + 1) / 2;
      const std::string tif = Path(c.name + "_" + std::to_string(level) + ".tif");
      Ok({"export", layer, tif, "--level", std::to_string(level)});
      const Raster at = ReadTiff(tif);
      ASSERT_EQ(at.rows, rows);
      ASSERT_EQ(at.cols, cols);
      const double scale = std::pow(2.0, level - 1);
      ExpectSameTransform(at.gt, {src.gt[0], src.gt[1] * scale, 0, src.gt[3], 0, src.gt[5] * scale});
      ExpectCells(at, want);
    }
  }
}

// Refused without --allow-lossy (a row of the bad-input table for doubles).
TEST_F(ToolTest, LossyTypesImportOnlyWhenAsked) {
  Raster doubles = FloatRaster();
  doubles.type = GDT_Float64;
  doubles.cells[0] = 0.1;  // not a float
  WriteTiff(Path("d.tif"), doubles);
  Ok({"import", Path("d.tif"), Path("d"), "--allow-lossy"});
  EXPECT_EQ(Ok({"get", Path("d"), "0", "0"}), "0.100000001\n");

  Raster wide = IntRaster();
  wide.type = GDT_UInt32;
  wide.nodata.reset();
  wide.cells[0] = 3e9;  // beyond int32: null
  wide.cells[1] = 2147483647;
  for (double& v : wide.cells) v = std::fabs(v);
  WriteTiff(Path("u.tif"), wide);
  EXPECT_NE(Tool({"import", Path("u.tif"), Path("u")}).status, 0);
  const std::string lossy = Ok({"import", Path("u.tif"), Path("u"), "--allow-lossy"});
  EXPECT_NE(lossy.find("\n1 value the layer's cell type cannot hold"), npos) << lossy;
  EXPECT_EQ(Ok({"get", Path("u"), "0", "0"}), "null\n");
  EXPECT_EQ(Ok({"get", Path("u"), "0", "1"}), "2147483647\n");
}

// The bar is drawn only on a terminal (here a pseudo-terminal), and --quiet silences it.
TEST_F(ToolTest, ProgressShowsOnlyOnATerminal) {
  const std::string tif = Quote(FloatTif());
  const auto onTerminal = [&](const std::string& args) {
    const std::string command = std::string("script -qec ") + Quote(Quote(DEMBASE_TOOL) + " " + args) + " /dev/null >" +
                                Quote(Path("tty")) + " 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << args;
    return Slurp(Path("tty"));
  };
  EXPECT_NE(onTerminal("import " + tif + " " + Quote(Path("a"))).find("100%"), npos);
  EXPECT_EQ(onTerminal("--quiet import " + tif + " " + Quote(Path("b"))).find('%'), npos);
  EXPECT_EQ(Tool({"import", FloatTif(), Path("c")}).err, "");  // not a terminal
}

TEST_F(ToolTest, CellsAreFoundByMapCoordinates) {
  const Raster src = FloatRaster();
  for (const bool db : {false, true}) {
    SCOPED_TRACE(db ? "database" : "local");
    const std::string f = Layer("f", db);
    Ok({"import", FloatTif(), f});
    for (const auto& [r, c] : {std::pair{0, 0}, {529, 599}, {255, 255}, {100, 7}}) {
      SCOPED_TRACE(std::to_string(r) + "," + std::to_string(c));
      const std::string x = std::to_string(src.gt[0] + (c + 0.5) * src.gt[1]);
      const std::string y = std::to_string(src.gt[3] + (r + 0.5) * src.gt[5]);
      char want[64];
      std::snprintf(want, sizeof want, "%.9g\n", static_cast<double>(static_cast<float>(src.At(r, c))));
      EXPECT_EQ(Ok({"get", f, "--xy", x, y}), src.IsNull(src.At(r, c)) ? "null\n" : want);
      Ok({"set", f, "--xy", x, y, "42.5"});
      EXPECT_EQ(Ok({"get", f, std::to_string(r), std::to_string(c)}), "42.5\n");
      Ok({"set", f, std::to_string(r), std::to_string(c), "null"});
      EXPECT_EQ(Ok({"get", f, "--xy", x, y}), "null\n");
    }
    // Values the option parser could mistake for options, and one the cell rounds.
    for (const auto& [value, said, got] : {std::tuple{"-5", "to -5\n", "-5\n"},
                                           {"-.5", "to -0.5\n", "-0.5\n"},
                                           {"1e-50", "to 0 (the nearest the cell holds to 1e-50)\n", "0\n"}}) {
      const std::string out = Ok({"set", f, "0", "0", value});
      EXPECT_EQ(out.substr(out.find(" to ")), std::string(" ") + said) << value;
      EXPECT_EQ(Ok({"get", f, "0", "0"}), got) << value;
    }
  }
}

TEST_F(ToolTest, CreateMakesTheGridItIsAskedFor) {
  for (const bool db : {false, true}) {
    SCOPED_TRACE(db ? "database" : "local");
    const std::string c = Layer("c", db);
    std::vector<std::string> args = {"create",      c,    "--extent", "0",    "0", "1005", "500",
                                     "--cell-size", "10", "--type",   "int32"};
    if (!db) args.insert(args.end(), {"--crs", "EPSG:4326"});  // a database layer cannot keep it
    Ok(args);
    const std::string json = Ok({"info", c, "--json"});
    EXPECT_NE(json.find("\"rows\": 50, \"cols\": 101"), npos) << json;  // the partial cell completed
    EXPECT_NE(json.find("\"dataType\": 6"), npos);
    EXPECT_EQ(json.find("\"name\": \"WGS 84\"") != npos, !db);
    EXPECT_NE(json.find("\"geoTransform\": [0, 10, 0, 500, 0, -10]"), npos);
    EXPECT_NE(json.find("\"minValue\": null"), npos);
    EXPECT_EQ(Ok({"get", c, "49", "100"}), "null\n");
    EXPECT_NE(Ok({"check", c}).find("clean (1 level, 1 tile read"), npos);
  }
}

// Each step moves, copies or deletes what the steps before left, for an int and a float layer of
// two levels: every level keeps its cells, the reference system follows within the local store,
// and what comes out checks clean. The layer that went from the local store through two databases
// and back has the cells it had.
TEST_F(ToolTest, LayersMoveAndCopyWithTheirCells) {
  struct Step {
    const char* command;
    char fromStore;  // 'l' local, 'd' the test's database, 'o' another database
    const char* from;
    char toStore;
    const char* to;  // "" for rm
    const char* says;
  };
  const std::vector<Step> steps = {
      {"cp", 'l', "src", 'd', "a", "reference system not kept"},
      {"mv", 'd', "a", 'd', "b", "moved"},
      {"mv", 'd', "b", 'o', "c", "moved"},
      {"mv", 'o', "c", 'l', "back/c", "moved"},
      {"cp", 'l', "src", 'l', "copies/d", "copied"},
      {"mv", 'l', "copies/d", 'l', "e", "renamed"},
      {"mv", 'l', "e", 'l', "copies/e", "renamed"},
      {"rm", 'l', "copies/e", 'l', "", "deleted"},
  };
  for (const auto& [type, src] : {std::pair{"f", FloatRaster()}, {"i", IntRaster()}}) {
    SCOPED_TRACE(type);
    const auto at = [&](char store, const std::string& name) {
      const std::string n = name + type;
      return store == 'l' ? Path(n) : store == 'd' ? Db(n) : "sqlite:" + Path("other.db") + "#ds2/" + n;
    };
    WriteTiff(Path(type + std::string(".tif")), src);
    Ok({"import", Path(type + std::string(".tif")), at('l', "src")});
    Ok({"pyramid", at('l', "src"), "--levels", "2"});
    const auto levels = [&](const std::string& layer) {
      std::vector<std::vector<double>> cells;
      for (const char* level : {"1", "2"}) {
        Ok({"export", layer, Path("level.tif"), "--level", level, "--overwrite"});
        cells.push_back(ReadTiff(Path("level.tif")).cells);
      }
      return cells;
    };
    const std::vector<std::vector<double>> want = levels(at('l', "src"));
    for (const Step& step : steps) {
      const std::string from = at(step.fromStore, step.from);
      const std::string to = step.to[0] != '\0' ? at(step.toStore, step.to) : "";
      SCOPED_TRACE(std::string(step.command) + " " + from + " " + to);
      std::vector<std::string> args = {step.command, from};
      if (!to.empty()) args.push_back(to);
      EXPECT_NE(Ok(args).find(step.says), npos);
      const bool copied = step.command == std::string("cp");
      EXPECT_EQ(Tool({"info", from}).status == 0, copied);
      if (step.fromStore == 'l') {
        EXPECT_EQ(fs::exists(from + ".prj"), copied);
      }
      if (to.empty()) continue;
      EXPECT_EQ(fs::exists(to + ".prj"), step.fromStore == 'l' && step.toStore == 'l');
      EXPECT_FALSE(fs::exists(to + ".dem.part.dem"));
      EXPECT_TRUE(levels(to) == want);
      EXPECT_NE(Ok({"check", to}).find("clean (2 levels"), npos);
    }
  }
  // A database layer whose level 2 was deleted: its levels 1 and 3 are 1 and 2 of a local copy.
  Ok({"cp", Path("srcf"), Db("gap")});
  Ok({"pyramid", Db("gap"), "--levels", "3"});
  {
    Library lib;
    const int32_t ds = lib.DataSet(Path("t.db"));
    ASSERT_NE(ds, 0);
    const int32_t id = _hxOpenDataLayer(lib.h, ds, "gap", 0);
    ASSERT_GE(id, 1);
    EXPECT_EQ(_hxDeletePyramidLayer(lib.h, ds, id, 2), 1);
  }
  EXPECT_NE(Ok({"cp", Db("gap"), Path("gap")}).find("numbered 1 .. 2"), npos);
  Ok({"export", Db("gap"), Path("db3.tif"), "--level", "3"});
  Ok({"export", Path("gap"), Path("local2.tif"), "--level", "2"});
  EXPECT_TRUE(ReadTiff(Path("db3.tif")).cells == ReadTiff(Path("local2.tif")).cells);
}

// A copy of a checked layer of two levels, damaged one way per case: check must name each damage.
// Where a killed pyramid run could have left it, a rerun repairs it; a level 1 that cannot be read
// fails the rerun and leaves the old levels as they were.
TEST_F(ToolTest, CheckReportsEachDamage) {
  fs::create_directory(Path("good"));
  Ok({"import", FloatTif(), Path("good/f")});
  Ok({"pyramid", Path("good/f"), "--levels", "2"});
  EXPECT_NE(Ok({"check", Path("good/f")}).find("clean (2 levels, 13 tiles read"), npos);

  using Damage = std::function<void(const std::string& dir)>;
  const auto put = [](const char* file, uintmax_t at, auto v) -> Damage {
    return [=](const std::string& d) { Patch(d + "/" + file, at, v); };
  };
  const auto cut = [](const char* file, uintmax_t size) -> Damage {
    return [=](const std::string& d) { fs::resize_file(d + "/" + file, size); };
  };
  // FILE replaced by a directory ("dir"), a FIFO ("fifo") or a link to a device.
  const auto replace = [](const char* file, const std::string& by) -> Damage {
    return [=](const std::string& d) {
      const std::string path = d + "/" + file;
      ASSERT_TRUE(fs::remove(path));
      if (by == "dir") {
        ASSERT_TRUE(fs::create_directory(path));
      } else if (by == "fifo") {
        ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
      } else {
        fs::create_symlink(by, path);
      }
    };
  };
  const auto orphan = [](const char* level, bool header) -> Damage {
    return [=](const std::string& d) {
      ASSERT_TRUE(fs::create_directory(d + "/" + level));
      if (header) std::ofstream(d + "/" + level + "/" + level + ".Hdr") << "half";
    };
  };
  const uintmax_t record = 39 + 4;  // tile 0,0's in a level header of one data file
  const uintmax_t param = 13;       // the layer description in f.dem
  const char* const leftOver = ": left over from an interrupted pyramid build";
  struct Case {
    const char* name;
    Damage damage;
    std::vector<std::string> reported;
    int rerun = -1;         // pyramid --levels 3 afterwards: 1 repairs, 0 fails; -1 not run
    bool heldOpen = false;  // by this process while the check runs
  };
  const std::vector<Case> cases = {
      {"payload byte",
       [](const std::string& d) { Patch(d + "/f/f.Dem", 1000, static_cast<char>(Slurp(d + "/f/f.Dem")[1000] ^ 0x5a)); },
       {"level 1: tile 0,0: cannot be read"}},
      {"short level header",
       cut("f/f.Hdr", 191),
       {"level 1: cannot open its files", "f.Hdr: 191 bytes, expected 196 for 9 tiles"}},
      {"short data file",
       cut("f/f.Dem", 4000),
       {"4000 bytes, but the level header has", "runs past the 4000 bytes", "cannot be read"}},
      {"statistics", put("f/f.Hdr", record + 13, -1e30f), {"level 1: tile 0,0: cells range", "beyond its recorded"}},
      {"layer header", cut("f.dem", 1000), {"f.dem: cannot open", "f.dem: 1000 bytes, expected 2662 for 2 levels"}},
      {"shared edge",
       [](const std::string& d) { SplitSharedEdge(d + "/f.dem"); },
       {"level 1: tile 0,1: its first column differs from tile 0,0 at row 3 (null against 12345)"}},
      {"level file missing",
       [](const std::string& d) { ASSERT_TRUE(fs::remove(d + "/f_1/f_1.Dem")); },
       {"level 2: cannot open its files", "f_1.Dem: missing data file"}},
      {"recorded end",
       put("f/f.Hdr", 39, uint32_t{0}),
       {"tile 0,0: payload at 0..", "runs past the recorded end 0 of"}},
      {"level rows",
       put("f_1/f_1.Hdr", 17, int32_t{260}),
       {"level 2: ", "260 x 300 cells, but the layer's extent at this cell size gives 265 x 300"}},
      {"NaN cell size", put("f.dem", param + 35, std::nan("")), {"cell size along x is nan"}},
      {"zero cell size", put("f.dem", param + 43, 0.0), {"cell size along y is 0"}},
      {"negative cell size", put("f.dem", param + 35, -2.5), {"cell size along x is -2.5"}},
      {"infinite extent", put("f.dem", param + 11, HUGE_VAL), {"f.dem: extent x 300001.25 .. inf is not finite"}},
      {"inverted extent", put("f.dem", param + 19, 1e10), {"f.dem: extent y 10000000000 .. ", "runs backwards"}},
      {"cell type", put("f.dem", param + 1, uint16_t{9}), {"unknown cell type 9"}},
      {"NaN minimum",
       put("f/f.Hdr", record + 9, std::nanf("")),
       {"level 1: tile 0,0: its recorded minimum or maximum is NaN"}},
      {"no bytes but statistics",
       put("f/f.Hdr", record + 5, uint32_t{0}),
       {"level 1: tile 0,0: stores no bytes, yet its record claims values",
        "level 1: tile 0,0: reads as empty, yet its record claims values"}},
      {"level directory gone", [](const std::string& d) { fs::remove_all(d + "/f_1"); }, {"f_1.Hdr: missing"}, 1},
      {"empty orphan level directory", orphan("f_5", false), {std::string("/f_5/") + leftOver}, 1},
      {"empty next level directory", orphan("f_2", false), {std::string("/f_2/") + leftOver}, 1},
      {"orphan level header", orphan("f_2", true), {std::string("/f_2/") + leftOver}, 1},
      // A payload of 100 bytes cannot inflate.
      {"level 1 unreadable", put("f/f.Hdr", record + 5, uint32_t{100}), {"level 1: tile 0,0: cannot be read"}, 0},
      {"header is a directory", replace("f.dem", "dir"), {"f.dem: not a regular file"}},
      {"header is a FIFO", replace("f.dem", "fifo"), {"f.dem: not a regular file"}},
      {"data file is a device", replace("f/f.Dem", "/dev/urandom"), {"f.Dem: not a regular file"}},
      {"header is a device", replace("f.dem", "/dev/urandom"), {"f.dem: not a regular file"}},
      {"shared level file",
       [](const std::string& d) { fs::create_hard_link(d + "/f_1/f_1.Dem", d + "/old.Dem"); },
       {"level 2: ",
        "f_1/f_1.Dem is shared with another layer (an interrupted rename: remove the old name with dembase rm)"}},
      {"open elsewhere", [](const std::string&) {}, {"open in another process"}, -1, true},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    const std::string copy = Path("case" + std::to_string(i));
    const std::string layer = copy + "/f";
    fs::copy(Path("good"), copy, fs::copy_options::recursive);
    c.damage(copy);
    ToolRun r;
    {
      Library lib;
      if (c.heldOpen) {
        ASSERT_GE(_hxOpenDataLayer(lib.h, lib.DataSet(), (layer + ".dem").c_str(), 0), 1);
      }
      r = Tool({"check", layer});
    }
    EXPECT_EQ(r.status, 1);
    // Held open: one line on stderr and nothing else, not a list of false problems.
    EXPECT_EQ(r.err.empty(), !c.heldOpen) << r.err;
    EXPECT_EQ(r.out.empty(), c.heldOpen) << r.out;
    for (const std::string& text : c.reported)
      EXPECT_NE((r.out + r.err).find(text), npos) << text << "\n" << r.out << r.err;
    if (c.rerun < 0) continue;
    for (int run = 0; run < 2; ++run) {
      const ToolRun rerun = Tool({"pyramid", layer, "--levels", "3"});
      EXPECT_EQ(rerun.status == 0, c.rerun == 1) << run << ": " << rerun.err;
    }
    // Whatever the reruns did, the levels above 1 are whole; only the leftover may remain.
    Ok({"export", layer, copy + "/top.tif", "--level", c.rerun == 1 ? "3" : "2"});
    std::istringstream after(Tool({"check", layer}).out);
    for (std::string line; std::getline(after, line);) {
      const bool allowed = line.find("left over") != npos || line.find(" problem") != npos ||
                           line.find("clean") != npos || (c.rerun == 0 && line.find("level 1:") != npos);
      EXPECT_TRUE(allowed) << line;
    }
  }

  // A database layer, checked through the library alone; each case damages a copy of one database.
  const std::string clean = Path("clean.db");
  Ok({"import", FloatTif(), "sqlite:" + clean + "#ds/f"});
  Ok({"pyramid", "sqlite:" + clean + "#ds/f", "--levels", "2"});
  ASSERT_FALSE(fs::exists(clean + "-wal"));  // all of it is in the one file
  const std::string tile00 = " WHERE level = 1 AND tile_number = 1";
  const std::vector<std::pair<std::string, std::vector<const char*>>> dbCases = {
      {"", {}},
      {"UPDATE tiles SET data = x'00112233445566778899'" + tile00, {"level 1: tile 0,0: cannot be read"}},
      // The record's maximum becomes -1e30, below its cells.
      {"UPDATE tiles SET rec = CAST(substr(rec, 1, 13) || x'caf249f1' AS BLOB)" + tile00 + " AND length(rec) = 17",
       {"level 1: tile 0,0: cells range", "beyond its recorded"}},
      {"DELETE FROM levels WHERE level = 2", {"counts 2 levels, but only 1 can be read"}},
  };
  for (size_t i = 0; i < dbCases.size(); ++i) {
    const auto& [sql, reported] = dbCases[i];
    SCOPED_TRACE(sql);
    const std::string db = Path("damaged" + std::to_string(i) + ".db");
    const std::string layer = "sqlite:" + db + "#ds/f";
    ASSERT_TRUE(fs::copy_file(clean, db));
    if (!sql.empty()) Sql(db, sql);
    const ToolRun r = Tool({"check", layer});
    EXPECT_EQ(r.status, reported.empty() ? 0 : 1);
    EXPECT_EQ(r.err, "");
    if (reported.empty()) {
      EXPECT_NE(r.out.find("clean (2 levels, 13 tiles read"), npos) << r.out;
    }
    for (const char* text : reported) EXPECT_NE(r.out.find(text), npos) << text << "\n" << r.out;
  }
}

TEST_F(ToolTest, BadInputGetsOneLineAndAFailingStatus) {
  const Raster src = FloatRaster();
  Ok({"import", FloatTif(), Path("good")});
  WriteTiff(Path("two.tif"), src, 2);
  const auto variant = [&](const char* name, const std::function<void(Raster&)>& change) {
    Raster r = src;
    change(r);
    WriteTiff(Path(name), r);
  };
  variant("rotated.tif", [](Raster& r) { r.gt[2] = 0.1; });
  variant("unplaced.tif", [](Raster& r) { r.gt[0] = std::nan(""); });
  variant("tiny.tif", [](Raster& r) { r.gt[1] = 1e-300; });  // x + cell == x: the layer would collapse to one column
  variant("doubles.tif", [](Raster& r) { r.type = GDT_Float64; });
  WriteTiff(Path("i.tif"), IntRaster());
  Ok({"import", Path("i.tif"), Path("int")});
  for (const auto& [name, text] : {std::pair{"text.tif", "not a raster\n"},
                                   {"fake.dem", "not a layer header, but long enough to be read as one ..........\n"},
                                   {"stray.prj", "a reference system whose layer is gone\n"},
                                   {"leftover.dem.part.dem", "what a killed copy left\n"}}) {
    std::ofstream(Path(name)) << text;
  }
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
  ASSERT_EQ(mkfifo(Path("pipe.dem").c_str(), 0600), 0);
  ASSERT_TRUE(fs::create_directory(Path("sub")));
  // Layers whose stored bytes of tile 0,0 are lost in three ways: a payload of 100 bytes that
  // cannot inflate, no bytes yet statistics, no tiles across.
  for (const auto& [name, at, v] :
       {std::tuple{"garbled", 43 + 5, 100u}, {"sizeless", 43 + 5, 0u}, {"acrossless", 33, 0u}}) {
    Ok({"import", FloatTif(), Path(name)});
    Patch(Path(name) + "/" + name + ".Hdr", static_cast<uintmax_t>(at), uint32_t{v});
  }
  const std::string longName(130, 'n');
  const std::string longHeader = longName + ".dem";
  // An int32 layer with too many values for a table, and one whose table is cut short.
  Raster many = IntRaster();
  for (size_t i = 0; i < many.cells.size(); ++i) many.cells[i] = static_cast<double>(i);
  WriteTiff(Path("many.tif"), many);
  Ok({"import", Path("many.tif"), Path("many")});
  Ok({"import", Path("i.tif"), Path("cut")});
  Ok({"vat", "build", Path("cut")});
  fs::resize_file(Path("cut/cut.WB"), 30);
  Ok({"import", FloatTif(), Db("good")});
  // Reads fail once the layer exists: the attempt must delete it.
  const std::string tif = Slurp(FloatTif());
  std::ofstream(Path("cut.tif"), std::ios::binary) << tif.substr(0, tif.size() * 2 / 3);

  struct Case {
    std::vector<std::string> args;
    const char* says = "";
  };
  const std::vector<Case> cases = {
      {{}},
      {{"frobnicate"}},
      {{"import"}},
      {{"import", Path("missing.tif"), Path("a")}},
      {{"import", Path("text.tif"), Path("a")}},
      {{"import", Path("two.tif"), Path("a")}},
      {{"import", Path("rotated.tif"), Path("a")}, "rotated"},
      {{"import", Path("unplaced.tif"), Path("a")}, "not finite"},
      {{"import", Path("tiny.tif"), Path("a")}, "too small"},
      {{"import", Path("tiny.tif"), Path("gone/a")}, "too small"},
      {{"import", Path("doubles.tif"), Path("a")}, "in a float32 layer"},
      {{"import", FloatTif(), Path("good")}},
      {{"import", FloatTif(), Path(longName)}, "name too long"},
      {{"import", "--band", "0", FloatTif(), Path("a")}, "--band: bands are numbered from 1"},
      {{"info", Path("missing")}},
      {{"info", Path("fake")}},
      {{"info", Path("pipe")}, "not a regular file"},
      {{"info", "sqlite:" + Path("x.db") + "#world/a"}, "no such database"},
      {{"check", "sqlite:" + Path("x.db") + "#world/a"}, "no such database"},
      {{"get", Db("missing"), "0", "0"}, "no such layer in data set ds"},
      {{"get", Db("good"), "0", "0", "--level", "2"}, "has no level 2"},
      {{"import", FloatTif(), Db("good")}, "already exists"},
      {{"import", FloatTif(), "sqlite:" + Path("no/such/x.db") + "#ds/a"}, "no such directory"},
      {{"import", FloatTif(), "sqlite:" + Path("text.tif") + "#ds/a"}, "not a dembase database"},
      {{"import", FloatTif(), "postgresql:host=" + Path("no_server") + " connect_timeout=2#ds/a"}, "not reachable"},
      {{"import", Path("tiny.tif"), Db("a")}, "too small"},
      {{"import", Path("cut.tif"), Db("a")}, "IReadBlock failed"},
      {{"import", Path("cut.tif"), Path("a")}, "IReadBlock failed"},
      {{"create", Db("a"), "--extent", "0", "0", "10", "10", "--cell-size", "1", "--crs", "EPSG:4326"},
       "cannot keep a reference system"},
      {{"export", Db("good"), Path("t.db"), "--overwrite"}, "the database of layer"},
      {{"get", Path("good"), "abc", "0"}},
      {{"get", Path("good"), "530", "0"}},
      {{"get", Path("good"), "0"}},
      {{"get", Path("good"), "--xy", "0", "0"}},
      {{"get", Path("good"), "0", "0", "--level", "2"}},
      {{"get", Path("garbled"), "1", "1"}, "tile 0,0 cannot be read"},
      {{"get", Path("sizeless"), "1", "1"}, "tile 0,0 cannot be read: its record claims values"},
      {{"set", Path("good"), "0", "0", "abc"}},
      {{"set", Path("good"), "0", "0", "1e30"}},
      {{"set", Path("good"), "0", "0", "-inf"}, "VALUE: '-inf' is not a number"},
      {{"set", Path("int"), "0", "0", "0.5"}, "an int32 layer"},
      {{"export", Path("good"), FloatTif()}},
      {{"export", Path("good"), Path("no/such/dir/out.tif")}},
      {{"export", Path("good"), Path("good.dem"), "--overwrite"}, "one of the files of layer"},
      {{"export", Path("good"), Path("good"), "--overwrite"}, "not a regular file"},
      {{"export", Path("good"), Path("good.prj"), "--overwrite"}, "one of the files of layer"},
      {{"export", Path("good"), Path("good/good.Dem"), "--overwrite"}, "one of the files of layer"},
      {{"export", Path("good"), Path("good/../good/good.Hdr"), "--overwrite"}, "one of the files of layer"},
      {{"export", Path("good"), Path("fifo"), "--overwrite"}, "not a regular file"},
      {{"export", Path("good"), Path("sub"), "--overwrite"}, "not a regular file"},
      {{"export", Path("garbled"), Path("out.tif")}, "tile 0,0 cannot be read"},
      {{"export", Path("sizeless"), Path("out.tif")}, "tile 0,0 cannot be read: its record claims values"},
      {{"export", Path("acrossless"), Path("out.tif")}, "geometry does not add up"},
      {{"pyramid", Path("good"), "--levels", "0"}},
      {{"create", Path("a"), "--extent", "0", "0", "10", "10", "--cell-size", "0"}},
      {{"create", Path("a"), "--extent", "0", "0", "10", "10", "--cell-size", "1", "--type", "int64"}},
      {{"create", Path("a"), "--extent", "0", "0", "10", "10", "--cell-size", "1", "--crs", "EPSG:0"}},
      {{"create", Path("a"), "--extent", "0", "0", "1000000", "1000000", "--cell-size", "0.1", "--crs", "EPSG:4326"},
       "too many tiles"},
      {{"create", Path("a"), "--extent", "1e17", "0", "100000000000001000", "10", "--cell-size", "1"}, "too small"},
      {{"check", Path("missing")}},
      {{"vat"}},
      {{"vat", "build", Path("good")}, "a float32 layer has no value attribute tables"},
      {{"vat", "build", Db("good")}, "kept only in the local store"},
      {{"vat", "build", Path("int"), "--level", "2"}, "has no level 2"},
      {{"vat", "build", Path("many")}, "more than 32767 distinct values"},
      {{"vat", "show", Path("int")}, "has no value attribute table"},
      {{"vat", "show", Path("cut"), "--json"}, "damaged"},
      {{"vat", "show", Path("missing")}},
      {{"mv", Path("good")}},
      {{"rm", Path("missing")}, "missing.dem: no such layer"},
      {{"mv", Path("missing"), Db("b")}, "missing.dem: no such layer"},
      {{"cp", Db("missing"), Path("b")}, "no such layer in data set ds"},
      {{"rm", Db("missing")}, "no such layer in data set ds"},
      {{"cp", "sqlite:" + Path("x.db") + "#ds/a", Path("b")}, "no such database"},
      {{"rm", Path("fake")}, "not a layer header"},
      {{"mv", Path("fake"), Path("b")}, "not a layer header"},
      {{"cp", Path("fake"), Db("b")}, "not a layer header"},
      {{"rm", Path("pipe")}, "not a regular file"},
      {{"cp", Path("good"), Path("int")}, "int.dem: already exists"},
      {{"mv", Path("good"), Db("good")}, "already exists"},
      {{"cp", Db("good"), Path("int")}, "int.dem: already exists"},
      {{"cp", Db("good"), Path("stray")}, "stray.prj: already exists"},
      {{"cp", Db("good"), Path("leftover")}, "interrupted copy; remove it with dembase rm"},
      {{"cp", Path("good"), "sqlite:" + Path("t.db") + "#ds/"}, "not a layer name"},
      {{"mv", Path("good"), Path("sub/")}, "not a layer name"},
      {{"rm", Path("held")}, "open in another process"},
      {{"rm", Db("held")}, "open in another process"},
      {{"mv", Path("held"), Db("b")}, "open in another process"},
      {{"mv", Path("held"), Path("b")}, "open in another process"},
      {{"cp", Path("held"), Path("b")}, "open in another process"},
      // A copy that fails half way leaves nothing, not even the database file it made.
      {{"cp", Path("garbled"), "sqlite:" + Path("y.db") + "#ds/a"}, "tile 0,0 cannot be read"},
      {{"mv", Path("garbled"), Db("a")}, "tile 0,0 cannot be read"},
      {{"cp", "sqlite:" + Path("broken.db") + "#ds/f", Path("made/a")}, "level 1: tile 0,0 cannot be read"},
  };
  // Open in this process while the tool runs: to the tool, another process holds it.
  Ok({"import", FloatTif(), Path("held")});
  Ok({"import", FloatTif(), Db("held")});
  Ok({"import", FloatTif(), "sqlite:" + Path("broken.db") + "#ds/f"});
  Sql(Path("broken.db"), "UPDATE tiles SET data = x'00112233445566778899' WHERE level = 1 AND tile_number = 1");
  {
    Library lib;
    ASSERT_GE(_hxOpenDataLayer(lib.h, lib.DataSet(), Path("held.dem").c_str(), 0), 1);
    ASSERT_GE(_hxOpenDataLayer(lib.h, lib.DataSet(Path("t.db")), "held", 0), 1);
    for (const Case& c : cases) {
      std::string line;
      for (const std::string& a : c.args) line += a + " ";
      SCOPED_TRACE(line);
      const ToolRun r = Tool(c.args);
      EXPECT_NE(r.status, 0);
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
      EXPECT_EQ(r.err.rfind("dembase: ", 0), 0u) << r.err;
      EXPECT_NE(r.err.find(c.says), npos) << r.err;
      EXPECT_LT(r.err.size(), 400u) << r.err;
    }
  }
  // Nothing was made by the refused commands, the good layer is intact and so is what export refused to replace.
  for (const char* left : {"a.dem", "a", "a.prj", "gone", "out.tif", "out.tif.part", "x.db", "no", "b.dem", "y.db",
                           "y.db-wal", "made", "a.dem.part.dem", longHeader.c_str()}) {
    EXPECT_FALSE(fs::exists(Path(left))) << left;
  }
  for (const std::string& kept : {Path("held"), Db("held"), Path("garbled")}) Ok({"info", kept});
  EXPECT_TRUE(fs::exists(Path("fake.dem")));
  EXPECT_TRUE(fs::is_fifo(Path("fifo")));
  EXPECT_EQ(Slurp(Path("text.tif")), "not a raster\n");
  EXPECT_NE(Ok({"check", Path("good")}).find("clean"), npos);
  EXPECT_NE(Ok({"check", Db("good")}).find("clean"), npos);
  EXPECT_NE(Tool({"info", Db("a")}).status, 0);
  Ok({"import", FloatTif(), Db("a")});
  // A missing directory is made for a new layer.
  Ok({"import", FloatTif(), Path("made/here/a")});
  EXPECT_NE(Ok({"check", Path("made/here/a")}).find("clean"), npos);
}

// A table built from a 4097 x 4097 level (17 x 17 tiles, so every shared tile edge is crossed)
// holds exactly the counts made here from the cells written; a rebuild keeps the classes of the
// values that remain.
TEST_F(ToolTest, VatTableCountsEveryCellOnce) {
  constexpr int kSide = 4097;
  const auto value = [](int r, int c) {
    if (r == 255 && c == 255) return 555555;  // on four tiles at once
    if (r == kSide - 1 && c == kSide - 1) return 777777;
    if ((r * 31 + c * 17) % 1013 == 0) return -9999;  // nodata
    return (r / 37 * 7 + c / 91 * 3) % 200 - 50;
  };
  std::map<int32_t, uint64_t> want;
  {
    GDALDriver* gtiff = GetGDALDriverManager()->GetDriverByName("GTiff");
    GDALDatasetUniquePtr ds(gtiff->Create(Path("big.tif").c_str(), kSide, kSide, 1, GDT_Int32, nullptr));
    ASSERT_TRUE(ds);
    std::array<double, 6> gt = {0, 1, 0, kSide, 0, -1};
    ASSERT_EQ(ds->SetGeoTransform(gt.data()), CE_None);
    GDALRasterBand* band = ds->GetRasterBand(1);
    ASSERT_EQ(band->SetNoDataValue(-9999), CE_None);
    std::vector<int32_t> row(kSide);
    for (int r = 0; r < kSide; ++r) {
      for (int c = 0; c < kSide; ++c) {
        row[static_cast<size_t>(c)] = value(r, c);
        if (row[static_cast<size_t>(c)] != -9999) ++want[row[static_cast<size_t>(c)]];
      }
      ASSERT_EQ(band->RasterIO(GF_Write, 0, r, kSide, 1, row.data(), kSide, 1, GDT_Int32, 0, 0, nullptr), CE_None);
    }
  }
  const std::string layer = Path("big");
  Ok({"import", Path("big.tif"), layer});
  EXPECT_NE(
      Ok({"vat", "build", layer})
          .find("built the value attribute table of " + layer + " level 1: " + std::to_string(want.size()) + " values"),
      npos);
  const auto shown = [&] {
    std::map<int32_t, std::pair<uint64_t, int>> got;
    std::istringstream json(Ok({"vat", "show", layer, "--json"}));
    for (std::string line; std::getline(json, line);) {
      long long item = 0, v = 0, cells = 0, cls = 0;
      if (std::sscanf(line.c_str(), " {\"item\": %lld, \"value\": %lld, \"cells\": %lld, \"class\": %lld}", &item, &v,
                      &cells, &cls) == 4) {
        EXPECT_EQ(item, static_cast<long long>(got.size()) + 1);
        got[static_cast<int32_t>(v)] = {static_cast<uint64_t>(cells), static_cast<int>(cls)};
      }
    }
    return got;
  };
  std::map<int32_t, std::pair<uint64_t, int>> got = shown();
  ASSERT_EQ(got.size(), want.size());
  for (const auto& [v, n] : want) EXPECT_EQ(got[v].first, n) << v;

  // Classes given through the library survive a rebuild.
  const std::string table = Path("big/big.WB");
  std::vector<DemVatItem> items(want.size());
  ASSERT_EQ(DemVatReadTable(table.c_str(), items.data(), static_cast<int32_t>(items.size())),
            static_cast<int32_t>(items.size()));
  items.front().itemSet = 4;
  ASSERT_EQ(DemVatWriteTable(table.c_str(), items.data(), static_cast<int32_t>(items.size())), 1);
  Ok({"set", layer, "0", "1", "123456"});
  Ok({"vat", "build", layer, "-q"});
  got = shown();
  EXPECT_EQ(got[items.front().value].second, 4);
  EXPECT_EQ(got[123456].first, 1u);
  EXPECT_NE(Ok({"info", layer}).find("\nvat tables  1\n"), npos);
  EXPECT_NE(Ok({"info", layer, "--json"}).find("\"vatLevels\": [1],"), npos);
  EXPECT_NE(Ok({"vat", "show", layer}).find("  item        value             cells  class\n"), npos);
}

TEST_F(ToolTest, DemoRunsOnASmallScale) {
  for (const bool db : {false, true}) {
    SCOPED_TRACE(db ? "database" : "local");
    const std::string dir = Path(db ? "demo_db" : "demo");
    std::vector<std::string> args = {"demo", dir, "--terrain", "700", "--grid", "300"};
    if (fs::exists(DEMBASE_SAMPLE_DEM)) args.insert(args.end(), {"--sample", DEMBASE_SAMPLE_DEM});
    if (db) args.push_back("--sqlite");
    const std::string out = Ok(args);
    for (const char* step :
         {"1. sample", "2. terrain", "3. cells", "3. tiles", "4. pyramid", "5. export", "total time"}) {
      EXPECT_NE(out.find(step), std::string::npos) << step << "\n" << out;
    }
    EXPECT_TRUE(fs::exists(dir + "/terrain_level3.tif"));
    EXPECT_EQ(fs::exists(dir + "/demo.db"), db);
    EXPECT_EQ(fs::exists(dir + "/terrain.dem"), !db);
    EXPECT_NE(Tool({"demo", dir}).status, 0);  // not empty any more
  }
  EXPECT_NE(Ok({"check", "sqlite:" + Path("demo_db/demo.db") + "#demo/terrain"}).find("clean (3 levels"),
            std::string::npos);
}

}  // namespace
