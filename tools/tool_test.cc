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
#include <bit>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "dembase/dembase.h"
#include "src/platform/test_temp_dir.h"
#include "vat/demvat.h"

namespace {

namespace fs = std::filesystem;
constexpr auto npos = std::string::npos;

struct Raster {
  int rows = 0;
  int cols = 0;
  std::array<double, 6> gt{};
  GDALDataType type = GDT_Float32;
  std::optional<double> nodata;
  std::string crs;  // as GDAL takes it, or "" for none
  std::vector<double> cells;

  bool IsNull(double v) const { return std::isnan(v) || (nodata && v == *nodata); }
};

void WriteTiff(const std::string& path, const Raster& r, int bands = 1) {
  GDALDriver* gtiff = GetGDALDriverManager()->GetDriverByName("GTiff");
  GDALDatasetUniquePtr ds(gtiff->Create(path.c_str(), r.cols, r.rows, bands, r.type, nullptr));
  ASSERT_TRUE(ds);
  ASSERT_EQ(ds->SetGeoTransform(const_cast<double*>(r.gt.data())), CE_None);
  OGRSpatialReference srs;
  ASSERT_EQ(r.crs.empty() ? OGRERR_NONE : srs.SetFromUserInput(r.crs.c_str()), OGRERR_NONE);
  ASSERT_EQ(r.crs.empty() ? CE_None : ds->SetSpatialRef(&srs), CE_None);
  for (int b = 1; b <= bands; ++b) {
    GDALRasterBand* band = ds->GetRasterBand(b);
    ASSERT_EQ(r.nodata ? band->SetNoDataValue(*r.nodata) : CE_None, CE_None);
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
  r.crs = ds->GetProjectionRef();
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

bool SameCrs(const std::string& a, const std::string& b) {
  OGRSpatialReference x;
  OGRSpatialReference y;
  return x.SetFromUserInput(a.c_str()) == OGRERR_NONE && y.SetFromUserInput(b.c_str()) == OGRERR_NONE && x.IsSame(&y);
}

// 530 x 600 float cells (3 x 3 tiles) on a non-square grid, with nodata cells, NaN cells, a null
// disc and a null block that leaves whole tiles empty.
Raster FloatRaster() {
  Raster r{530, 600, {300000, 2.5, 0, 5200000, 0, -3.0}, GDT_Float32, -9999.0, "EPSG:32633", {}};
  for (int row = 0; row < r.rows; ++row) {
    for (int c = 0; c < r.cols; ++c) {
      double v = std::round((500 + 80 * std::sin(row / 37.0) * std::cos(c / 23.0) + row * 0.3 - c * 0.1) * 64) / 64;
      if (std::hypot(row - 300, c - 150) < 40 || (row < 256 && c >= 255 && c < 511)) v = -9999;
      r.cells.push_back((row * 31 + c * 17) % 97 == 0 ? std::nan("") : v);
    }
  }
  return r;
}

// 260 x 300 int16 cells with nodata, in geographic coordinates.
Raster IntRaster() {
  Raster r{260, 300, {5.5, 0.01, 0, 50.25, 0, -0.005}, GDT_Int16, -32768.0, "EPSG:4326", {}};
  for (int row = 0; row < r.rows; ++row) {
    for (int c = 0; c < r.cols; ++c)
      r.cells.push_back((row + c) % 13 == 0 ? -32768 : (row * 7919 + c * 104729) % 3001 - 500);
  }
  return r;
}

// Level L from level L - 1, gathered 2 x 2 here (nulls left out, NaN where all are null).
std::vector<double> Halve(const std::vector<double>& below, int rows, int cols, bool floatCells) {
  std::vector<double> out;
  for (int r = 0; r < rows; r += 2) {
    for (int c = 0; c < cols; c += 2) {
      double sum = 0;
      int n = 0;
      for (const auto& [rr, cc] : {std::pair{r, c}, {r, c + 1}, {r + 1, c}, {r + 1, c + 1}}) {
        const double v = rr < rows && cc < cols ? below[static_cast<size_t>(rr) * cols + cc] : std::nan("");
        sum += std::isnan(v) ? 0 : v;
        n += std::isnan(v) ? 0 : 1;
      }
      out.push_back(n == 0 ? std::nan("") : floatCells ? static_cast<float>(sum / n) : std::round(sum / n));
    }
  }
  return out;
}

// OUT is ROWS x COLS cells placed by GT holding WANT's, where NaN stands for the layer's null.
void ExpectRaster(const Raster& out, int rows, int cols, const std::array<double, 6>& gt,
                  const std::vector<double>& want) {
  ASSERT_EQ(std::pair(out.rows, out.cols), std::pair(rows, cols));
  for (size_t i = 0; i < 6; ++i) EXPECT_NEAR(out.gt[i], gt[i], 1e-12 * std::max(1.0, std::fabs(gt[i]))) << i;
  ASSERT_EQ(out.cells.size(), want.size());
  ASSERT_TRUE(out.nodata);
  int differing = 0;
  for (size_t i = 0; i < want.size(); ++i) {
    const double w = std::isnan(want[i]) ? *out.nodata : want[i];
    if (out.cells[i] != w && differing++ < 5) ADD_FAILURE() << "cell " << i << ": " << out.cells[i] << " != " << w;
  }
  EXPECT_EQ(differing, 0);
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
    DbConnectInfo conn{"ds", 1, {}, {}, {}};
    std::snprintf(conn.connectArg1, sizeof conn.connectArg1, "%s", db.c_str());
    return _hxOpenDataSet(h, db.empty() ? nullptr : &conn, 0.125f);
  }
  // Opens layer NAME (a header path, or a name in DB) as another process would hold it.
  int32_t Hold(const std::string& name, const std::string& db = "") {
    return _hxOpenDataLayer(h, DataSet(db), name.c_str(), 0);
  }
};

// Writes one copy of a shared cell of layer DIR/f through the library, as a faulty writer could.
void SplitSharedEdge(const std::string& dir) {
  Library lib;
  const int32_t ds = lib.DataSet();
  const int32_t id = _hxOpenDataLayer(lib.h, ds, (dir + "/f.dem").c_str(), 0);
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

// The tool's arguments are given as one line split at spaces, where "@" stands for the test's
// directory and a leading "%" for data set "ds" of its SQLite database. f.tif holds FloatRaster().
class ToolTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { GDALAllRegister(); }
  void SetUp() override {
    ASSERT_FALSE(dir_.empty());
    WriteTiff(Path("f.tif"), FloatRaster());
  }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  std::string Arg(std::string a) const {
    if (a.starts_with('%')) a = "sqlite:@t.db#ds/" + a.substr(1);
    for (size_t at = a.find('@'); at != npos; at = a.find('@', at)) a.replace(at, 1, dir_ + "/");
    return a;
  }

  ToolRun Tool(const std::string& args) const {
    std::string command = Quote(DEMBASE_TOOL);
    std::istringstream words(args);
    for (std::string a; words >> a;) command += " " + Quote(Arg(a));
    command += " </dev/null >" + Quote(Path("stdout")) + " 2>" + Quote(Path("stderr"));
    const int raw = std::system(command.c_str());
    return ToolRun{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, Slurp(Path("stdout")), Slurp(Path("stderr"))};
  }
  // Runs a command that must succeed quietly.
  std::string Ok(const std::string& args) const {
    const ToolRun r = Tool(args);
    EXPECT_EQ(r.status, 0) << args << ": " << r.err;
    EXPECT_EQ(r.err, "") << args;
    return r.out;
  }
  // Runs a command that must succeed quietly and print SAYS.
  void Says(const std::string& args, const std::string& says) const {
    const std::string out = Ok(args);
    EXPECT_NE(out.find(says), npos) << args << " does not say " << says << ":\n" << out;
  }

  dembase::platform::TestTempDir tmp_;
  const std::string dir_ = tmp_.path();
};

// Export gives the imported source back, and each pyramid level holds the averages of the level
// below; info counts the levels and tiles.
TEST_F(ToolTest, ImportPyramidExportKeepTheCells) {
  struct Case {
    std::string name;
    Raster raster;
    std::string source = "";  // a file, or "" to write `raster`
    bool db = false;
    int levels = 0;  // of the pyramid down to one tile, which is then built to 4; 0: none
  };
  Raster bare = IntRaster();  // no reference system: no .prj, none exported
  bare.crs = "";
  // The pyramid, built by the tool for both stores, is checked once per cell type.
  std::vector<Case> cases = {{"float", FloatRaster(), "", false, 3},
                             {"float_db", FloatRaster(), "", true},
                             {"int_db", IntRaster(), "", true, 2},
                             {"bare", bare}};
  if (fs::exists(DEMBASE_SAMPLE_DEM)) {
    cases.push_back({"sample", ReadTiff(DEMBASE_SAMPLE_DEM), DEMBASE_SAMPLE_DEM});
  } else {
    ADD_FAILURE() << "no sample DEM at " << DEMBASE_SAMPLE_DEM << " (scripts/setup.sh fetches it)";
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Raster& src = c.raster;
    const std::string source = c.source.empty() ? Path(c.name + ".tif") : c.source;
    if (c.source.empty()) WriteTiff(source, src);
    const std::string layer = (c.db ? "%" : "@") + c.name;
    const bool crsKept = !c.db && !src.crs.empty();
    // A database layer has no place for the reference system, and says so.
    EXPECT_EQ(Ok("import " + source + " " + layer).find("reference system not kept") != npos, c.db && !src.crs.empty());
    Ok("export " + layer + " @out.tif --overwrite");
    const Raster out = ReadTiff(Path("out.tif"));
    const bool floatCells = GDALDataTypeIsFloating(src.type);
    EXPECT_EQ(out.type, floatCells ? GDT_Float32 : GDT_Int32);
    ASSERT_TRUE(out.nodata);
    EXPECT_EQ(*out.nodata, floatCells ? std::bit_cast<float>(DEMBASE_NULL_FLOAT32_BITS) : DEMBASE_NULL_INT32);
    EXPECT_TRUE(crsKept ? SameCrs(out.crs, src.crs) : out.crs.empty()) << out.crs;
    EXPECT_EQ(fs::exists(Path(c.name + ".prj")), crsKept);
    std::vector<double> want;
    for (double v : src.cells) want.push_back(src.IsNull(v) ? std::nan("") : floatCells ? static_cast<float>(v) : v);
    ExpectRaster(out, src.rows, src.cols, src.gt, want);
    if (c.levels == 0) continue;

    Ok("pyramid " + layer);
    Says("info " + layer, "levels      " + std::to_string(c.levels) + "\n");
    Says("info " + layer, std::string("crs         ") + (c.db ? "not kept in a database" : "WGS 84 / UTM zone 33N"));
    // The null block leaves a tile empty, and it is not stored.
    if (floatCells) {
      EXPECT_NE(Ok("info " + layer + " --json").find("\"tilesStored\": 8, \"tilesEmpty\": 1"), npos);
    }
    Ok("pyramid " + layer + " --levels 4");
    int rows = src.rows;
    int cols = src.cols;
    for (int level = 2; level <= 4; ++level) {
      SCOPED_TRACE("level " + std::to_string(level));
      want = Halve(want, rows, cols, floatCells);
      rows = (rows + 1) / 2;
      cols = (cols + 1) / 2;
      Ok("export " + layer + " @out.tif --overwrite --level " + std::to_string(level));
      const double scale = std::pow(2.0, level - 1);
      const std::array<double, 6> gt = {src.gt[0], src.gt[1] * scale, 0, src.gt[3], 0, src.gt[5] * scale};
      ExpectRaster(ReadTiff(Path("out.tif")), rows, cols, gt, want);
    }
  }
}

// Cells by map coordinates, values the option parser could mistake for options or the cell
// rounds, the grid create makes, and lossy imports only when asked.
TEST_F(ToolTest, CellsAreFoundByMapCoordinates) {
  const Raster src = FloatRaster();
  for (const std::string store : {"@", "%"}) {
    SCOPED_TRACE(store);
    Ok("import @f.tif " + store + "f");
    // The mapping's edges are pinned by GeoMappingTest; here the two ends of the layer.
    for (const auto& [r, c] : {std::pair{0, 0}, {529, 599}}) {
      SCOPED_TRACE(std::to_string(r) + "," + std::to_string(c));
      const std::string xy =
          std::to_string(src.gt[0] + (c + 0.5) * src.gt[1]) + " " + std::to_string(src.gt[3] + (r + 0.5) * src.gt[5]);
      const std::string rc = std::to_string(r) + " " + std::to_string(c);
      const double v = src.cells[static_cast<size_t>(r) * src.cols + c];
      char want[64];
      std::snprintf(want, sizeof want, "%.9g\n", static_cast<double>(static_cast<float>(v)));
      EXPECT_EQ(Ok("get " + store + "f --xy " + xy), src.IsNull(v) ? "null\n" : want);
      Ok("set " + store + "f --xy " + xy + " 42.5");
      EXPECT_EQ(Ok("get " + store + "f " + rc), "42.5\n");
      Ok("set " + store + "f " + rc + " null");
      EXPECT_EQ(Ok("get " + store + "f --xy " + xy), "null\n");
    }
    for (const auto& [value, said, got] : {std::tuple{"-5", "to -5\n", "-5\n"},
                                           {"-.5", "to -0.5\n", "-0.5\n"},
                                           {"1e-50", "to 0 (the nearest the cell holds to 1e-50)\n", "0\n"}}) {
      const std::string out = Ok("set " + store + "f 0 0 " + value);
      EXPECT_EQ(out.substr(out.find(" to ")), std::string(" ") + said) << value;
      EXPECT_EQ(Ok("get " + store + "f 0 0"), got) << value;
    }
    // A database layer cannot keep a reference system.
    Ok("create " + store + "c --extent 0 0 1005 500 --cell-size 10 --type int32" +
       (store == "@" ? " --crs EPSG:4326" : ""));
    const std::string json = Ok("info " + store + "c --json");
    EXPECT_NE(json.find("\"rows\": 50, \"cols\": 101"), npos) << json;  // the partial cell completed
    EXPECT_NE(json.find("\"dataType\": 6"), npos);
    EXPECT_EQ(json.find("\"name\": \"WGS 84\"") != npos, store == "@");
    EXPECT_NE(json.find("\"geoTransform\": [0, 10, 0, 500, 0, -10]"), npos);
    EXPECT_NE(json.find("\"minValue\": null"), npos);
    EXPECT_EQ(Ok("get " + store + "c 49 100"), "null\n");
    Says("check " + store + "c", "clean (1 level, 1 tile read");
  }
  Raster doubles = src;
  doubles.type = GDT_Float64;
  doubles.cells[0] = 0.1;  // not a float
  WriteTiff(Path("d.tif"), doubles);
  EXPECT_NE(Tool("import @d.tif @d").status, 0);
  Ok("import @d.tif @d --allow-lossy");
  EXPECT_EQ(Ok("get @d 0 0"), "0.100000001\n");
  Raster wide = IntRaster();
  wide.type = GDT_UInt32;
  wide.nodata.reset();
  for (double& v : wide.cells) v = std::fabs(v);
  wide.cells[0] = 3e9;  // beyond int32: null
  wide.cells[1] = 2147483647;
  WriteTiff(Path("u.tif"), wide);
  EXPECT_NE(Tool("import @u.tif @u").status, 0);
  Says("import @u.tif @u --allow-lossy", "\n1 value the layer's cell type cannot hold");
  EXPECT_EQ(Ok("get @u 0 0"), "null\n");
  EXPECT_EQ(Ok("get @u 0 1"), "2147483647\n");
}

// Each step moves, copies or deletes what the steps before left, for an int and a float layer of
// two levels: every level keeps its cells, the reference system follows within the local store,
// and what comes out checks clean. The layer that went from the local store through two databases
// and back has the cells it had.
TEST_F(ToolTest, LayersMoveAndCopyWithTheirCells) {
  const std::vector<std::array<std::string, 4>> steps = {{"cp", "@src", "%a", "reference system not kept"},
                                                         {"mv", "%a", "%b", "moved"},
                                                         {"mv", "%b", "sqlite:@o.db#ds2/c", "moved"},
                                                         {"mv", "sqlite:@o.db#ds2/c", "@back/c", "moved"},
                                                         {"cp", "@src", "@copies/d", "copied"},
                                                         {"mv", "@copies/d", "@e", "renamed"},
                                                         {"rm", "@e", "", "deleted"}};
  for (const auto& [type, src] : {std::pair{std::string("f"), FloatRaster()}, {std::string("i"), IntRaster()}}) {
    SCOPED_TRACE(type);
    WriteTiff(Path(type + ".tif"), src);
    Ok("import @" + type + ".tif @src" + type);
    Ok("pyramid @src" + type + " --levels 2");
    const auto levels = [&](const std::string& layer) {
      std::vector<std::vector<double>> cells;
      for (const char* level : {"1", "2"}) {
        Ok("export " + layer + " @level.tif --overwrite --level " + level);
        cells.push_back(ReadTiff(Path("level.tif")).cells);
      }
      return cells;
    };
    const std::vector<std::vector<double>> want = levels("@src" + type);
    for (const auto& [command, fromName, toName, says] : steps) {
      const std::string from = fromName + type;
      const std::string to = toName.empty() ? "" : toName + type;
      SCOPED_TRACE(command + " " + from + " " + to);
      Says(command + " " + from + " " + to, says);
      EXPECT_EQ(Tool("info " + from).status == 0, command == "cp");
      EXPECT_EQ(fs::exists(Arg(from) + ".prj"), from[0] == '@' && command == "cp");
      if (to.empty()) continue;
      EXPECT_EQ(fs::exists(Arg(to) + ".prj"), from[0] == '@' && to[0] == '@');
      EXPECT_FALSE(fs::exists(Arg(to) + ".dem.part.dem"));
      EXPECT_TRUE(levels(to) == want);
      Says("check " + to, "clean (2 levels");
    }
  }
  // A database layer whose level 2 was deleted: its levels 1 and 3 are 1 and 2 of a local copy.
  Ok("cp @srcf %gap");
  Ok("pyramid %gap --levels 3");
  {
    Library lib;
    const int32_t ds = lib.DataSet(Path("t.db"));
    const int32_t id = _hxOpenDataLayer(lib.h, ds, "gap", 0);
    ASSERT_GE(id, 1);
    EXPECT_EQ(_hxDeletePyramidLayer(lib.h, ds, id, 2), 1);
  }
  Says("cp %gap @gap", "numbered 1 .. 2");
  Ok("export %gap @db3.tif --level 3");
  Ok("export @gap @local2.tif --level 2");
  EXPECT_TRUE(ReadTiff(Path("db3.tif")).cells == ReadTiff(Path("local2.tif")).cells);
}

// A copy of a checked layer of two levels, damaged one way per case: check must name each damage.
// Where a killed pyramid run could have left it, a rerun repairs it; a level 1 that cannot be read
// fails the rerun and leaves the old levels as they were. A database layer is checked through the
// library alone. Headers cut or garbled anywhere are reported or survived.
TEST_F(ToolTest, CheckReportsEachDamage) {
  for (const std::string layer : {"@good/f", "sqlite:@good/t.db#ds/f"}) {
    Ok("import @f.tif " + layer);
    Ok("pyramid " + layer + " --levels 2");
    Says("check " + layer, "clean (2 levels, 13 tiles read");
  }
  ASSERT_FALSE(fs::exists(Path("good/t.db-wal")));  // all of the database is in the one file

  using Damage = std::function<void(const std::string& dir)>;
  const auto put = [](const char* file, uintmax_t at, auto v) -> Damage {
    return [=](const std::string& d) { Patch(d + "/" + file, at, v); };
  };
  const auto cut = [](const char* file, uintmax_t size) -> Damage {
    return [=](const std::string& d) { fs::resize_file(d + "/" + file, size); };
  };
  const auto gone = [](const char* file) -> Damage {
    return [=](const std::string& d) { EXPECT_GT(fs::remove_all(d + "/" + file), 0u); };
  };
  // FILE replaced by a FIFO ("fifo") or a link to a device.
  const auto replace = [](const char* file, const std::string& by) -> Damage {
    return [=](const std::string& d) {
      const std::string path = d + "/" + file;
      ASSERT_TRUE(fs::remove(path));
      if (by == "fifo") {
        ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
      } else {
        fs::create_symlink(by, path);
      }
    };
  };
  const uintmax_t record = 39 + 4;  // tile 0,0's in a level header of one data file
  const uintmax_t param = 13;       // the layer description in f.dem
  struct Case {
    std::string name;
    Damage damage;
    std::vector<std::string> reported;
    int rerun = -1;  // pyramid --levels 3 afterwards: 1 repairs, 0 fails; -1 not run
  };
  const std::vector<Case> cases = {
      {"short level header", cut("f/f.Hdr", 191), {"f.Hdr: 191 bytes, expected 196 for 9 tiles"}},
      {"short data file", cut("f/f.Dem", 4000), {"4000 bytes, but the level header has", "runs past the 4000 bytes"}},
      {"statistics", put("f/f.Hdr", record + 13, -1e30f), {"level 1: tile 0,0: cells range", "beyond its recorded"}},
      {"layer header", cut("f.dem", 1000), {"f.dem: cannot open", "f.dem: 1000 bytes, expected 2662 for 2 levels"}},
      {"shared edge", SplitSharedEdge, {"tile 0,1: its first column differs from tile 0,0 at row 3", "12345)"}},
      {"level file missing", gone("f_1/f_1.Dem"), {"level 2: cannot open its files", "f_1.Dem: missing data file"}},
      {"recorded end", put("f/f.Hdr", 39, uint32_t{0}), {"tile 0,0: payload at 0..", "past the recorded end 0 of"}},
      {"level rows", put("f_1/f_1.Hdr", 17, int32_t{260}), {"level 2: ", "260 x 300 cells, but", "gives 265 x 300"}},
      {"NaN cell size", put("f.dem", param + 35, std::nan("")), {"cell size along x is nan"}},
      {"zero cell size", put("f.dem", param + 43, 0.0), {"cell size along y is 0"}},
      {"infinite extent", put("f.dem", param + 11, HUGE_VAL), {"f.dem: extent x 300001.25 .. inf is not finite"}},
      {"inverted extent", put("f.dem", param + 19, 1e10), {"f.dem: extent y 10000000000 .. ", "runs backwards"}},
      {"cell type", put("f.dem", param + 1, uint16_t{9}), {"unknown cell type 9"}},
      {"NaN minimum", put("f/f.Hdr", record + 9, std::nanf("")), {"tile 0,0: its recorded minimum or maximum is NaN"}},
      {"no bytes but statistics",
       put("f/f.Hdr", record + 5, uint32_t{0}),
       {"tile 0,0: stores no bytes, yet its record claims values", "tile 0,0: reads as empty, yet its record claims"}},
      {"level directory gone", gone("f_1"), {"f_1.Hdr: missing"}, 1},
      // What a killed pyramid run leaves: a level directory with half a header.
      {"orphan level header",
       [](const std::string& d) {
         ASSERT_TRUE(fs::create_directory(d + "/f_2"));
         EXPECT_TRUE(std::ofstream(d + "/f_2/f_2.Hdr") << "half");
       },
       {"/f_2/: left over from an interrupted pyramid build"},
       1},
      // A payload of 100 bytes cannot inflate.
      {"level 1 unreadable", put("f/f.Hdr", record + 5, uint32_t{100}), {"level 1: tile 0,0: cannot be read"}, 0},
      {"header is a FIFO", replace("f.dem", "fifo"), {"f.dem: not a regular file"}},
      {"data file is a device", replace("f/f.Dem", "/dev/urandom"), {"f.Dem: not a regular file"}},
      {"shared level file",
       [](const std::string& d) { fs::create_hard_link(d + "/f_1/f_1.Dem", d + "/old.Dem"); },
       {"level 2: ", "f_1/f_1.Dem is shared with another layer (an interrupted rename: remove the old name"}},
      {"held open", [](const std::string&) {}, {"open in another process"}},
      {"db level gone",
       [](const std::string& d) { Sql(d + "/t.db", "DELETE FROM levels WHERE level = 2"); },
       {"counts 2 levels, but only 1 can be read"}},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    // "db" rows damage the database; "held open" is held open by this process while the check runs.
    const bool db = c.name.starts_with("db "), held = c.name == "held open";
    const std::string copy = "@case" + std::to_string(i);
    const std::string layer = db ? "sqlite:" + copy + "/t.db#ds/f" : copy + "/f";
    fs::copy(Path("good"), Arg(copy), fs::copy_options::recursive);
    c.damage(Arg(copy));
    ToolRun r;
    {
      Library lib;
      ASSERT_TRUE(!held || lib.Hold(Arg(layer) + ".dem") >= 1);
      r = Tool("check " + layer);
    }
    EXPECT_EQ(r.status, 1);
    // Held open: one line on stderr and nothing else, not a list of false problems.
    EXPECT_EQ(r.err.empty(), !held) << r.err;
    EXPECT_EQ(r.out.empty(), held) << r.out;
    for (const std::string& text : c.reported)
      EXPECT_NE((r.out + r.err).find(text), npos) << text << "\n" << r.out << r.err;
    if (c.rerun < 0) continue;
    for (int run = 0; run < 2; ++run) {
      const ToolRun rerun = Tool("pyramid " + layer + " --levels 3");
      EXPECT_EQ(rerun.status == 0, c.rerun == 1) << run << ": " << rerun.err;
    }
    // Whatever the reruns did, the levels above 1 are whole; only the leftover may remain.
    Ok("export " + layer + " " + copy + "/top.tif --level " + (c.rerun == 1 ? "3" : "2"));
    std::istringstream after(Tool("check " + layer).out);
    for (std::string line; std::getline(after, line);) {
      const bool allowed = line.find("left over") != npos || line.find(" problem") != npos ||
                           line.find("clean") != npos || (c.rerun == 0 && line.find("level 1:") != npos);
      EXPECT_TRUE(allowed) << line;
    }
  }

  // Every prefix of each header is reported; garbled bytes anywhere end in a verdict, not a crash.
  fs::copy(Path("good"), Path("fuzz"), fs::copy_options::recursive);
  uint32_t seed = 12345;
  for (const std::string name : {"f.dem", "f/f.Hdr", "f_1/f_1.Hdr"}) {
    SCOPED_TRACE(name);
    const std::string path = Path("fuzz/" + name);
    const std::string good = Slurp(path);
    ASSERT_FALSE(good.empty());
    const auto write = [&](const std::string& bytes) {
      EXPECT_TRUE(std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes);
    };
    for (size_t n = 0; n < good.size(); n += good.size() / 16 + 1) {
      write(good.substr(0, n));
      const ToolRun r = Tool("check @fuzz/f");
      EXPECT_EQ(r.status, 1) << n << " bytes";
      EXPECT_NE(r.out + r.err, "") << n << " bytes";
    }
    for (int i = 0; i < 24; ++i) {
      std::string bad = good;
      seed = seed * 1103515245 + 12345;
      bad[(seed >> 8) % bad.size()] ^= static_cast<char>(1 + (seed >> 24) % 255);
      write(bad);
      const int status = Tool("check @fuzz/f").status;
      EXPECT_TRUE(status == 0 || status == 1) << status;
    }
    write(good);
  }
  Says("check @fuzz/f", "clean");
}

// One row per way the tool refuses: each ends with one line on stderr and a failing status.
TEST_F(ToolTest, BadInputGetsOneLineAndAFailingStatus) {
  Raster r = FloatRaster();
  WriteTiff(Path("two.tif"), r, 2);
  r.gt[2] = 0.1;
  WriteTiff(Path("rotated.tif"), r);
  r.gt[2] = 0;
  r.gt[1] = 1e-300;  // x + cell == x: the layer would collapse to one column
  WriteTiff(Path("tiny.tif"), r);
  Raster many = IntRaster();  // too many values for a table
  WriteTiff(Path("i.tif"), many);
  for (size_t i = 0; i < many.cells.size(); ++i) many.cells[i] = static_cast<double>(i);
  WriteTiff(Path("many.tif"), many);
  for (const char* made : {"@i.tif @int", "@f.tif @good", "@f.tif %good", "@many.tif @many", "@i.tif @cut",
                           "@f.tif @held", "@f.tif %held", "@f.tif sqlite:@broken.db#ds/f"}) {
    Ok("import " + std::string(made));
  }
  Ok("vat build @cut");
  fs::resize_file(Path("cut/cut.WB"), 30);
  Sql(Path("broken.db"), "UPDATE tiles SET data = x'00112233445566778899' WHERE level = 1 AND tile_number = 1");
  for (const auto& [name, text] : {std::pair{"text.tif", "not a raster\n"},
                                   {"fake.dem", "not a layer header, but long enough to be read as one ..........\n"},
                                   {"stray.prj", "a reference system whose layer is gone\n"},
                                   {"leftover.dem.part.dem", "what a killed copy left\n"}}) {
    std::ofstream(Path(name)) << text;
  }
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
  ASSERT_EQ(mkfifo(Path("pipe.dem").c_str(), 0600), 0);
  // Layers whose stored bytes of tile 0,0 are lost in three ways: a payload of 100 bytes that
  // cannot inflate, no bytes yet statistics, no tiles across.
  for (const auto& [name, at, v] : {std::tuple{"garbled", 48, 100u}, {"sizeless", 48, 0u}, {"acrossless", 33, 0u}}) {
    Ok("import @f.tif @" + std::string(name));
    Patch(Path(name) + "/" + name + ".Hdr", static_cast<uintmax_t>(at), uint32_t{v});
  }
  // Reads fail once the layer exists: the attempt must delete it.
  const std::string tif = Slurp(Path("f.tif"));
  std::ofstream(Path("cut.tif"), std::ios::binary) << tif.substr(0, tif.size() * 2 / 3);
  const std::string longName(130, 'n');

  // The arguments, then after "|" what the one line on stderr must hold.
  const std::vector<std::string> cases = {
      "frobnicate", "import @text.tif @a", "import @two.tif @a", "import @rotated.tif @a|rotated",
      "import @tiny.tif @gone/a|too small", "import @f.tif @good|already exists",
      "import @f.tif @" + longName + "|name too long", "import --band 0 @f.tif @a|--band: bands are numbered from 1",
      "info @missing|no such layer", "info @fake|not a layer header", "info @pipe|not a regular file",
      "info sqlite:@x.db#world/a|no such database", "get %missing 0 0|no such layer in data set ds",
      "get %good 0 0 --level 2|has no level 2", "import @f.tif sqlite:@no/such/x.db#ds/a|no such directory",
      "import @f.tif sqlite:@text.tif#ds/a|not a dembase database", "import @cut.tif %a|IReadBlock failed",
      "import @cut.tif @a|IReadBlock failed",
      "create %a --extent 0 0 10 10 --cell-size 1 --crs EPSG:4326|cannot keep a reference system",
      "export %good @t.db --overwrite|the database of layer", "get @good abc 0", "get @good 0", "get @good 530 0",
      "get @good --xy 0 0", "get @garbled 1 1|tile 0,0 cannot be read",
      "get @sizeless 1 1|tile 0,0 cannot be read: its record claims values", "set @good 0 0 1e30|would read as null",
      "set @good 0 0 -inf|VALUE: '-inf' is not a number", "set @int 0 0 0.5|an int32 layer",
      "export @good @f.tif|already exists", "export @good @no/such/dir/out.tif",
      "export @good @good.dem --overwrite|one of the files of layer",
      "export @good @good/../good/good.Hdr --overwrite|one of the files of layer",
      "export @good @fifo --overwrite|not a regular file", "export @garbled @out.tif|tile 0,0 cannot be read",
      "export @sizeless @out.tif|tile 0,0 cannot be read: its record claims values",
      "export @acrossless @out.tif|geometry does not add up", "create @a --extent 0 0 10 10 --cell-size 0",
      "create @a --extent 0 0 10 10 --cell-size 1 --crs EPSG:0",
      "create @a --extent 0 0 1000000 1000000 --cell-size 0.1 --crs EPSG:4326|too many tiles",
      "create @a --extent 1e17 0 100000000000001000 10 --cell-size 1|too small",
      "vat build @good|a float32 layer has no value attribute tables", "vat build %good|kept only in the local store",
      "vat build @many|more than 32767 distinct values", "vat show @int|has no value attribute table",
      "vat show @cut --json|damaged", "rm @pipe|not a regular file", "cp sqlite:@x.db#ds/a @b|no such database",
      "cp @good @int|int.dem: already exists", "mv @good %good|already exists",
      "cp %good @stray|stray.prj: already exists", "cp %good @leftover|interrupted copy; remove it with dembase rm",
      "rm @held|open in another process", "rm %held|open in another process", "mv @held %b|open in another process",
      "cp @held @b|open in another process",
      // A copy that fails half way leaves nothing, not even the database file it made.
      "cp @garbled sqlite:@y.db#ds/a|tile 0,0 cannot be read", "mv @garbled %a|tile 0,0 cannot be read",
      "cp sqlite:@broken.db#ds/f @made/a|level 1: tile 0,0 cannot be read"};
  {
    Library lib;  // holds "held" open while the tool runs
    ASSERT_GE(lib.Hold(Path("held.dem")), 1);
    ASSERT_GE(lib.Hold("held", Path("t.db")), 1);
    for (const std::string& c : cases) {
      SCOPED_TRACE(c);
      const ToolRun r = Tool(c.substr(0, c.find('|')));
      EXPECT_NE(r.status, 0);
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
      EXPECT_EQ(r.err.rfind("dembase: ", 0), 0u) << r.err;
      EXPECT_NE(r.err.find(c.find('|') == npos ? "" : c.substr(c.find('|') + 1)), npos) << r.err;
      EXPECT_LT(r.err.size(), 400u) << r.err;
    }
  }
  // Nothing was made by the refused commands; what they refused to touch is intact.
  for (const std::string& left :
       std::vector<std::string>{"a.dem", "a", "a.prj", "gone", "out.tif", "out.tif.part", "x.db", "no", "b.dem", "y.db",
                                "y.db-wal", "made", "a.dem.part.dem", longName + ".dem"}) {
    EXPECT_FALSE(fs::exists(Path(left))) << left;
  }
  for (const char* kept : {"@held", "%held", "@garbled"}) Ok("info " + std::string(kept));
  EXPECT_TRUE(fs::exists(Path("fake.dem")));
  EXPECT_TRUE(fs::is_fifo(Path("fifo")));
  EXPECT_EQ(Slurp(Path("text.tif")), "not a raster\n");
  Says("check @good", "clean");
  Says("check %good", "clean");
  EXPECT_NE(Tool("info %a").status, 0);
  Ok("import @f.tif %a");
  Ok("import @f.tif @made/here/a");  // a missing directory is made for a new layer
  Says("check @made/here/a", "clean");
}

// A table built from a 766 x 766 level (4 x 4 tiles, the last a strip of one cell, so every shared
// tile edge is crossed) holds exactly the counts made here from the cells written; a rebuild keeps
// the classes of the values that remain.
TEST_F(ToolTest, VatTableCountsEveryCellOnce) {
  constexpr int kSide = 766;
  Raster big{kSide, kSide, {0, 1, 0, kSide, 0, -1}, GDT_Int32, -9999.0, "", {}};
  std::map<int32_t, uint64_t> want;
  for (int r = 0; r < kSide; ++r) {
    for (int c = 0; c < kSide; ++c) {
      int32_t v = (r * 31 + c * 17) % 1013 == 0 ? -9999 : (r / 37 * 7 + c / 91 * 3) % 200 - 50;
      if (r == c && (r == 255 || r == kSide - 1)) v = 555555 + r;  // on four tiles at once; the last cell
      if (v != -9999) ++want[v];
      big.cells.push_back(v);
    }
  }
  WriteTiff(Path("big.tif"), big);
  Ok("import @big.tif @big");
  Says("vat build @big", "table of " + Path("big") + " level 1: " + std::to_string(want.size()) + " values");
  const auto shown = [&] {
    std::map<int32_t, std::pair<uint64_t, int>> got;
    std::istringstream json(Ok("vat show @big --json"));
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
  const int32_t n = static_cast<int32_t>(items.size());
  ASSERT_EQ(DemVatReadTable(table.c_str(), items.data(), n), n);
  items.front().itemSet = 4;
  ASSERT_EQ(DemVatWriteTable(table.c_str(), items.data(), n), 1);
  Ok("set @big 0 1 123456");
  Ok("vat build @big -q");
  got = shown();
  EXPECT_EQ(got[items.front().value].second, 4);
  EXPECT_EQ(got[123456].first, 1u);
  Says("info @big", "\nvat tables  1\n");
  Says("info @big --json", "\"vatLevels\": [1],");
}

TEST_F(ToolTest, DemoRunsOnASmallScale) {
  for (const std::string store : {"", " --sqlite"}) {
    SCOPED_TRACE(store);
    const std::string dir = "@demo" + std::to_string(store.size());
    const std::string sample = fs::exists(DEMBASE_SAMPLE_DEM) ? " --sample " DEMBASE_SAMPLE_DEM : "";
    Ok("demo " + dir + " --terrain 700 --grid 300" + sample + store);
    EXPECT_TRUE(fs::exists(Arg(dir) + "/terrain_level3.tif"));
    EXPECT_EQ(fs::exists(Arg(dir) + "/demo.db"), !store.empty());
    EXPECT_EQ(fs::exists(Arg(dir) + "/terrain.dem"), store.empty());
    EXPECT_NE(Tool("demo " + dir).status, 0);  // not empty any more
  }
  Says("check sqlite:@demo9/demo.db#demo/terrain", "clean (3 levels");
}

}  // namespace
