// dembase demo: the main job on the embedded defaults. In the local store of DIR (or a
// temporary directory, removed afterwards), in an SQLite database there, or on a PostgreSQL
// server (a private one for the run when none is named), it imports a
// real DEM, generates and imports a large terrain, writes two layers cell by cell and tile
// by tile and reads them back, builds every pyramid and verifies it cell by cell, exports
// a level, and prints a summary.
#include <ogr_spatialref.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <vector>

#include "tools/commands.h"
#include "tools/crs_sidecar.h"
#include "tools/demo_cells.h"
#include "tools/demo_sources.h"
#include "tools/demo_verify.h"
#include "tools/export_level.h"
#include "tools/gdal_source.h"
#include "tools/import_raster.h"
#include "tools/layer_facts.h"
#include "tools/private_server.h"
#include "tools/pyramid_builder.h"
#include "tools/text_format.h"

namespace dembase::tool {
namespace {

namespace fs = std::filesystem;

struct DemoArgs {
  std::string dir;
  std::string sample;
  int terrain = 8193;
  int grid = 4097;
  bool sqlite = false;
  bool postgresql = false;
  std::string conninfo;  // empty with postgresql: a private server for the run
};

class Stopwatch {
 public:
  double Seconds() const { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count(); }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

std::string Rate(double cells, double seconds) {
  return Fixed(cells / std::max(seconds, 1e-9) / 1e6, 1) + " M cells/s";
}

// A layer of the demo and where its level 1 comes from.
struct DemoLayer {
  LayerRef ref;
  std::unique_ptr<RasterSource> source;
};

class Demo {
 public:
  Demo(const DemoArgs& args, const ToolOptions& options) : args_(args), quiet_(options.quiet) {}

  Status Run() {
    if (args_.sqlite && args_.postgresql) return Status::Error("demo: give --sqlite or --postgresql, not both");
    if (args_.postgresql && args_.conninfo.empty()) {
      StatusOr<std::unique_ptr<PrivateServer>> server = PrivateServer::Start();
      if (!server.ok()) return server.status();
      server_ = std::move(*server);
      args_.conninfo = server_->conninfo();
    }
    if (Status s = PrepareDirectory(); !s.ok()) return s;
    std::printf("dembase demo in %s\n", args_.postgresql ? ("PostgreSQL " + args_.conninfo).c_str()
                                        : args_.sqlite   ? DatabasePath().c_str()
                                                         : dir_.c_str());
    StatusOr<std::unique_ptr<Session>> session = Session::Open(Ref("terrain"), DatabaseUse::kMayCreate);
    if (!session.ok()) return session.status();
    session_ = std::move(*session);
    for (Status (Demo::*step)() :
         {&Demo::ImportSample, &Demo::ImportTerrain, &Demo::WriteCells, &Demo::BuildPyramids, &Demo::Export}) {
      if (Status s = (this->*step)(); !s.ok()) return s;
    }
    return PrintSummary();
  }

  ~Demo() {
    session_.reset();
    server_.reset();
    if (!temporary_) return;
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

 private:
  LayerRef Ref(const std::string& name) const { return *ParseLayerRef(RefText(name)); }

  std::string RefText(const std::string& name) const {
    if (args_.postgresql) return "postgresql:" + args_.conninfo + "#demo/" + name;
    if (!args_.sqlite) return (fs::path(dir_) / name).string();
    return "sqlite:" + DatabasePath() + "#demo/" + name;
  }
  std::string DatabasePath() const { return (fs::path(dir_) / "demo.db").string(); }

  Status PrepareDirectory() {
    std::error_code ec;
    if (args_.dir.empty()) {
      std::string pattern = (fs::temp_directory_path(ec) / "dembase-demo-XXXXXX").string();
      if (mkdtemp(pattern.data()) == nullptr) return Error(pattern, "cannot make a temporary directory");
      dir_ = pattern;
      temporary_ = true;
    } else {
      dir_ = args_.dir;
      fs::create_directories(dir_, ec);
      if (ec) return Error(dir_, ec.message());
      if (!fs::is_empty(dir_, ec)) return Error(dir_, "not empty; give a new or empty directory");
    }
    // No layer name below is longer than this one, so Ref() cannot fail afterwards.
    StatusOr<LayerRef> longest = ParseLayerRef(RefText("terrain"));
    return longest.ok() ? Status() : longest.status();
  }

  Status ImportSample() {
    const bool given = !args_.sample.empty();
    const std::string path = given ? args_.sample : DEMBASE_SAMPLE_DEM;
    std::error_code ec;
    if (!given && !fs::exists(path, ec)) {
      std::printf("1. sample   skipped: no sample DEM at %s (scripts/setup.sh fetches it)\n", path.c_str());
      return {};
    }
    StatusOr<GdalRaster> raster = OpenGdalRaster(path, 0, false);
    if (!raster.ok()) return raster.status();
    DemoLayer layer{Ref("sample"), std::move(raster->source)};
    const Stopwatch clock;
    const ImportPlan plan{raster->dataType, raster->transform, raster->crsWkt};
    StatusOr<ImportResult> result = ImportRaster(*session_, layer.ref, *layer.source, plan, quiet_);
    if (!result.ok()) return result.status();
    std::printf("1. sample   imported %s: %d x %d cells in %s s\n", path.c_str(), result->level.rows,
                result->level.cols, Fixed(clock.Seconds(), 3).c_str());
    layers_.push_back(std::move(layer));
    return {};
  }

  Status ImportTerrain() {
    DemoLayer layer{Ref("terrain"), std::make_unique<TerrainSource>(args_.terrain)};
    ImportPlan plan{DEMBASE_TYPE_FLOAT32, GeoTransform{500000, 10, 4000000 + 10.0 * args_.terrain, 10}, ""};
    OGRSpatialReference srs;
    char* wkt = nullptr;
    if (srs.importFromEPSG(32633) == OGRERR_NONE && srs.exportToWkt(&wkt) == OGRERR_NONE) plan.crsWkt = wkt;
    CPLFree(wkt);
    const Stopwatch clock;
    StatusOr<ImportResult> result = ImportRaster(*session_, layer.ref, *layer.source, plan, quiet_);
    if (!result.ok()) return result.status();
    const double seconds = clock.Seconds();
    const double cells = double(args_.terrain) * args_.terrain;
    std::printf("2. terrain  generated and imported %d x %d float cells (%lld tiles, %lld empty) in %s s, %s\n",
                args_.terrain, args_.terrain, static_cast<long long>(result->tilesStored + result->tilesEmpty),
                static_cast<long long>(result->tilesEmpty), Fixed(seconds, 2).c_str(), Rate(cells, seconds).c_str());
    layers_.push_back(std::move(layer));
    return {};
  }

  // One grid layer: created, filled by `write`, closed, reopened and read back.
  Status GridLayer(const std::string& name, bool floatCells, Status (*write)(Layer&, const GridSource&, bool),
                   const char* how) {
    auto grid = std::make_unique<GridSource>(args_.grid, floatCells);
    const LayerRef ref = Ref(name);
    DataLayerParam p = LayerParamFor(GeoTransform{500000, 20, 4000000 + 20.0 * args_.grid, 20}, args_.grid, args_.grid,
                                     floatCells ? DEMBASE_TYPE_FLOAT32 : DEMBASE_TYPE_INT32);
    if (Status s = CreateLayer(*session_, ref, &p, false); !s.ok()) return s;
    const double cells = double(args_.grid) * args_.grid;
    const Stopwatch writing;
    {
      StatusOr<std::unique_ptr<Layer>> layer = Layer::Open(*session_, ref);
      if (!layer.ok()) return layer.status();
      if (Status s = write(**layer, *grid, quiet_); !s.ok()) return s;
      if (Status s = (*layer)->Close(); !s.ok()) return s;
    }
    const double written = writing.Seconds();
    const Stopwatch reading;
    StatusOr<std::unique_ptr<Layer>> layer = Layer::Open(*session_, ref);
    if (!layer.ok()) return layer.status();
    if (Status s = VerifyCells(**layer, *grid, quiet_); !s.ok()) return s;
    if (Status s = (*layer)->Close(); !s.ok()) return s;
    const double read = reading.Seconds();
    std::printf("3. %-7s  wrote %d x %d %s cells %s in %s s (%s), reopened and verified each in %s s (%s)\n",
                name.c_str(), args_.grid, args_.grid, floatCells ? "float" : "int32", how, Fixed(written, 2).c_str(),
                Rate(cells, written).c_str(), Fixed(read, 2).c_str(), Rate(cells, read).c_str());
    layers_.push_back({ref, std::move(grid)});
    return {};
  }

  Status WriteCells() {
    if (Status s = GridLayer("cells", true, &WriteCellByCell, "one by one"); !s.ok()) return s;
    return GridLayer("tiles", false, &WriteTileByTile, "tile by tile");
  }

  Status BuildPyramids() {
    double building = 0;
    double verifying = 0;
    int64_t compared = 0;
    int levels = 0;
    for (DemoLayer& d : layers_) {
      StatusOr<std::unique_ptr<Layer>> layer = Layer::Open(*session_, d.ref);
      if (!layer.ok()) return layer.status();
      StatusOr<PyramidLayerInfo> base = (*layer)->LevelInfo(1);
      if (!base.ok()) return base.status();
      const int16_t n = LevelsToOneTile(base->rows, base->cols);
      const Stopwatch build;
      if (Status s = BuildPyramid(**layer, n, quiet_); !s.ok()) return s;
      building += build.Seconds();
      const Stopwatch verify;
      StatusOr<int64_t> cells = VerifyPyramid(**layer, *d.source, quiet_);
      if (!cells.ok()) return cells.status();
      verifying += verify.Seconds();
      compared += *cells;
      levels += n;
      if (Status s = (*layer)->Close(); !s.ok()) return s;
    }
    std::printf(
        "4. pyramid  built %d levels over %zu layers in %s s; read back and verified %s cells against an\n"
        "            independent averaging in %s s (%s)\n",
        levels, layers_.size(), Fixed(building, 2).c_str(), Fixed(double(compared), 0).c_str(),
        Fixed(verifying, 2).c_str(), Rate(double(compared), verifying).c_str());
    return {};
  }

  Status Export() {
    const LayerRef ref = Ref("terrain");
    StatusOr<std::unique_ptr<Layer>> layer = Layer::Open(*session_, ref);
    if (!layer.ok()) return layer.status();
    StatusOr<DataLayerParam> p = (*layer)->Param();
    if (!p.ok()) return p.status();
    const auto level = static_cast<int16_t>(std::min<int>(3, p->levelCount));
    StatusOr<PyramidLayerInfo> info = (*layer)->LevelInfo(level);
    if (!info.ok()) return info.status();
    StatusOr<std::string> crs = ReadCrs(ref);
    if (!crs.ok()) return crs.status();
    const std::string dst = (fs::path(dir_) / ("terrain_level" + std::to_string(level) + ".tif")).string();
    const Stopwatch clock;
    if (Status s = ExportLevel(**layer, level, dst, *crs, quiet_); !s.ok()) return s;
    const double seconds = clock.Seconds();
    std::error_code ec;
    std::printf("5. export   terrain level %d (%d x %d) to %s, %s, in %s s\n", level, info->rows, info->cols,
                dst.c_str(), Bytes(fs::file_size(dst, ec)).c_str(), Fixed(seconds, 2).c_str());
    return (*layer)->Close();
  }

  Status PrintSummary() {
    std::printf("\n  layer    type     levels  tiles  empty  cells        raw          on disk      ratio\n");
    int levels = 0;
    int64_t tiles = 0;
    int64_t empty = 0;
    uint64_t raw = 0;
    uint64_t disk = 0;
    const bool database = args_.sqlite || args_.postgresql;
    for (const DemoLayer& d : layers_) {
      StatusOr<LayerFacts> f = GatherLayerFacts(d.ref);
      if (!f.ok()) return f.status();
      int64_t t = 0;
      int64_t e = 0;
      uint64_t cells = 0;
      for (const LevelFacts& l : f->levels) {
        t += l.tilesStored + l.tilesEmpty;
        e += l.tilesEmpty;
        cells += uint64_t(l.info.rows) * uint64_t(l.info.cols);
      }
      std::printf("  %-7s  %-7s  %6zu  %5lld  %5lld  %-11s  %-11s  %-11s  %5s\n", d.ref.name.c_str(),
                  f->param.dataType == DEMBASE_TYPE_INT32 ? "int32" : "float32", f->levels.size(),
                  static_cast<long long>(t), static_cast<long long>(e), Fixed(double(cells), 0).c_str(),
                  Bytes(cells * 4).c_str(), database ? "-" : Bytes(f->bytes).c_str(),
                  database ? "-" : Fixed(double(cells * 4) / double(f->bytes), 2).c_str());
      levels += static_cast<int>(f->levels.size());
      tiles += t;
      empty += e;
      raw += cells * 4;
      disk += f->bytes;
    }
    // A database's bytes are not told apart by layer: the total is the file's.
    if (args_.sqlite) {
      std::error_code ec;
      const std::uintmax_t size = fs::file_size(DatabasePath(), ec);
      if (ec) return Error(DatabasePath(), ec.message());
      disk = size;
    }
    // A server's storage is its own: no size to show.
    const bool sized = !args_.postgresql;
    std::printf("  total    %zu layers %5d  %5lld  %5lld  %-11s  %-11s  %-11s  %5s\n", layers_.size(), levels,
                static_cast<long long>(tiles), static_cast<long long>(empty), "", Bytes(raw).c_str(),
                sized ? Bytes(disk).c_str() : "-",
                sized ? Fixed(double(raw) / double(std::max<uint64_t>(disk, 1)), 2).c_str() : "-");
    std::printf("total time %s s%s\n", Fixed(total_.Seconds(), 1).c_str(),
                temporary_ ? " (the temporary directory is removed now)" : "");
    return {};
  }

  DemoArgs args_;
  bool quiet_;
  std::string dir_;
  bool temporary_ = false;
  std::unique_ptr<PrivateServer> server_;  // outlives the session on it
  std::unique_ptr<Session> session_;
  std::vector<DemoLayer> layers_;
  Stopwatch total_;
};

}  // namespace

Command AddDemoCommand(CLI::App& parent, const ToolOptions& options) {
  auto a = std::make_shared<DemoArgs>();
  CLI::App* app = parent.add_subcommand("demo", "Run the main job: import, write, pyramid, verify, export, summary");
  app->footer(
      "Works in the local store of DIR (made when missing; it must be empty) or of a temporary directory\n"
      "that is removed afterwards; with --sqlite, in data set demo of the SQLite database DIR/demo.db;\n"
      "with --postgresql, in data set demo on the server CONNINFO names, or on a private server started\n"
      "for the run (scripts/pg_server.sh) when none is named. DIR then keeps the exported level only.\n"
      "The sample DEM comes from scripts/setup.sh.\n"
      "Examples: dembase demo /tmp/demo; dembase demo --postgresql='host=/run/postgresql dbname=dem'");
  app->add_option("dir", a->dir, "Directory for the demo's layers");
  app->add_option("--sample", a->sample, "Real DEM to import first (default: the one setup.sh fetched)");
  app->add_option("--terrain", a->terrain, "Side of the generated terrain, in cells")
      ->check(CLI::Range(2, 65536))
      ->capture_default_str();
  app->add_option("--grid", a->grid, "Side of the layers written cell by cell and tile by tile")
      ->check(CLI::Range(2, 16384))
      ->capture_default_str();
  app->add_flag("--sqlite", a->sqlite, "Keep the layers in an SQLite database in DIR");
  CLI::Option* pg =
      app->add_option("--postgresql", a->conninfo,
                      "Keep the layers on the PostgreSQL server of --postgresql=CONNINFO (libpq), or alone on a "
                      "private server for the run")
          ->expected(0, 1);
  return {app, [a, pg, &options] {
            a->postgresql = pg->count() > 0;
            return Finish(Demo(*a, options).Run());
          }};
}

}  // namespace dembase::tool
