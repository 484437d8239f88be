#include "tools/session.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "tools/file_probe.h"
#include "tools/tile_strip.h"

namespace dembase::tool {
namespace {

// The smallest share of memory the library accepts: the tool streams tile by tile.
constexpr float kCacheFraction = 0.125f;
// Levels are numbered 1 .. 32767.
constexpr int32_t kMaxLevelNumber = 32767;

}  // namespace

std::string ResultText(int32_t result, const std::string& whenZero) {
  switch (result) {
    case -1: return "not a layer header file (no DEM_INFO signature)";
    case -2: return "layer header of an unsupported format version";
    case -3: return "something already exists where the layer's files go";
    case -4: return "the level would need more than 4096 data files (too many tiles)";
    case -5: return "the pyramid level exists already";
    case -6: return "no such pyramid level";
    case 0: return whenZero;
    default: return "refused by the library (result " + std::to_string(result) + ")";
  }
}

namespace {

// Opening an SQLite data set makes the file when missing: only a command that makes a
// layer may let it. A server database exists before anyone connects.
Status CheckDatabaseFile(const LayerRef& ref, DatabaseUse use) {
  if (ref.kind != StoreKind::kSqlite) return {};
  const std::string path = ref.connection.connectArg1;
  const FileKind kind = KindOf(path);
  if (kind == FileKind::kRegular) return {};
  if (kind != FileKind::kMissing) return Error(path, "not a regular file");
  if (use == DatabaseUse::kExisting) return Error(path, "no such database");
  const std::filesystem::path dir = std::filesystem::path(path).parent_path();
  std::error_code ec;
  if (!dir.empty() && !std::filesystem::is_directory(dir, ec)) return Error(dir.string(), "no such directory");
  return {};
}

}  // namespace

StatusOr<std::unique_ptr<Session>> Session::Open(const LayerRef& ref, DatabaseUse use) {
  std::string madeDatabase;
  if (!ref.local()) {
    if (Status s = CheckDatabaseFile(ref, use); !s.ok()) return s;
    if (ref.kind == StoreKind::kSqlite && KindOf(ref.connection.connectArg1) == FileKind::kMissing) {
      madeDatabase = ref.connection.connectArg1;
    }
  }
  DemBaseAI* h = _hxCreateDemBaseAI();
  if (h == nullptr) return Status::Error("out of memory");
  const int32_t ds = _hxOpenDataSet(h, ref.local() ? nullptr : &ref.connection, kCacheFraction);
  if (ds == 0) {
    _hxDeleteDemBaseAI(h);
    if (ref.local()) return Error(ref.text, "cannot open the local store");
    return Error(ref.connection.connectArg1, "cannot open data set " + std::string(ref.connection.dataSet) +
                                                 ": not a dembase database, not writable, or not reachable");
  }
  return std::unique_ptr<Session>(new Session(h, ds, madeDatabase));
}

Session::~Session() {
  _hxDeleteDemBaseAI(handle_);
  if (!discardDatabase_ || madeDatabase_.empty()) return;
  // The database's own companions go with it (the log of its write-ahead journal mode).
  for (const char* suffix : {"", "-wal", "-shm", "-journal", "-locks"}) std::remove((madeDatabase_ + suffix).c_str());
}

namespace {

Status CreateLocalLayer(Session& session, const LayerRef& ref, DataLayerParam* param, bool roundUp) {
  if (Occupied(ref.headerPath)) return Error(ref.headerPath, "already exists");
  std::error_code ec;
  if (!std::filesystem::is_directory(ref.dir, ec)) return Error(ref.dir, "no such directory");
  // The library keeps level paths within its path limit; say so before it refuses.
  const std::string levelFile = ref.dir + "/" + ref.name + "/" + ref.name + ".Hdr";
  if (levelFile.size() >= DEMBASE_MAX_PATH) {
    return Error(ref.text, "name too long: the level files' paths would pass " + std::to_string(DEMBASE_MAX_PATH - 1) +
                               " characters");
  }
  if (access(ref.dir.c_str(), W_OK | X_OK) != 0) return Error(ref.dir, "the directory is not writable");
  const int16_t r = _hxCreateDataLayer(session.handle(), session.dataSet(), ref.libraryName().c_str(), param, 0,
                                       roundUp ? 1 : 0);
  if (r == 1) return {};
  const std::string levelDir = (std::filesystem::path(ref.dir) / ref.name).string() + "/";
  if (r == -3) return Error(levelDir, "already exists (left over from another layer?)");
  return Error(ref.headerPath, "cannot create the layer: " + ResultText(r, "its files could not be written"));
}

Status CreateDatabaseLayer(Session& session, const LayerRef& ref, DataLayerParam* param, bool roundUp) {
  // The database refuses a taken name without saying why.
  const int32_t id = _hxOpenDataLayer(session.handle(), session.dataSet(), ref.name.c_str(), 0);
  if (id >= 1) {
    if (_hxCloseDataLayer(session.handle(), session.dataSet(), id) != 1) {
      return Error(ref.text, "exists already, and cannot be closed again");
    }
    return Error(ref.text, "already exists");
  }
  const int16_t r =
      _hxCreateDataLayer(session.handle(), session.dataSet(), ref.name.c_str(), param, 0, roundUp ? 1 : 0);
  if (r == 1) return {};
  return Error(ref.text, "cannot create the layer: " + ResultText(r, "the database refused it"));
}

}  // namespace

Status CreateLayer(Session& session, const LayerRef& ref, DataLayerParam* param, bool roundUp) {
  return ref.local() ? CreateLocalLayer(session, ref, param, roundUp)
                     : CreateDatabaseLayer(session, ref, param, roundUp);
}

StatusOr<std::unique_ptr<Layer>> Layer::Open(Session& session, const LayerRef& ref) {
  if (ref.local()) {
    const FileKind kind = KindOf(ref.headerPath);
    if (kind == FileKind::kMissing) return Error(ref.headerPath, "no such layer");
    // The library would block on a FIFO or read a device without end.
    if (kind != FileKind::kRegular) return Error(ref.headerPath, "not a regular file");
  }
  const int32_t id = _hxOpenDataLayer(session.handle(), session.dataSet(), ref.libraryName().c_str(), 0);
  if (id < 1) {
    std::string cause = ref.local() ? "cannot open: unreadable or damaged (dembase check " + ref.text + " tells more)"
                                    : "cannot open: no such layer in data set " + std::string(ref.connection.dataSet) +
                                          ", or its records are damaged";
    if (ref.local() && HeldOpenElsewhere(ref.headerPath)) cause = "open in another process; try again once it closes";
    return Error(ref.local() ? ref.headerPath : ref.text, ResultText(id, cause));
  }
  DataLayerParam p{};
  if (_hxGetDataLayerParam(session.handle(), session.dataSet(), id, &p) != 1) {
    _hxCloseDataLayer(session.handle(), session.dataSet(), id);
    return Error(ref.text, "cannot read the layer description");
  }
  return std::unique_ptr<Layer>(new Layer(session, ref, id, p.dataType == DEMBASE_TYPE_FLOAT32));
}

StatusOr<OpenedLayer> OpenLayerByName(const LayerRef& ref) {
  OpenedLayer opened;
  StatusOr<std::unique_ptr<Session>> session = Session::Open(ref);
  if (!session.ok()) return session.status();
  opened.session = std::move(*session);
  StatusOr<std::unique_ptr<Layer>> layer = Layer::Open(*opened.session, ref);
  if (!layer.ok()) return layer.status();
  opened.layer = std::move(*layer);
  return opened;
}

Layer::~Layer() { (void)Close(); }

Status Layer::Close() {
  if (id_ == 0) return {};
  Status status = openLevel_ != 0 ? CloseLevel() : Status();
  if (_hxCloseDataLayer(h(), ds(), id_) != 1 && status.ok()) status = Error(ref_.text, "cannot close the layer");
  id_ = 0;
  return status;
}

StatusOr<DataLayerParam> Layer::Param() const {
  DataLayerParam p{};
  if (_hxGetDataLayerParam(h(), ds(), id_, &p) != 1) return Error(ref_.text, "cannot read the layer description");
  return p;
}

double Layer::NullValue() const { return _hxGetNullValue(h(), ds(), id_); }

bool Layer::IsNull(double v) const { return _hxIsNullValue(h(), ds(), id_, v) == 1; }

std::string Layer::LevelText(int16_t level, const std::string& what) const {
  return ref_.text + " level " + std::to_string(level) + ": " + what;
}

StatusOr<PyramidLayerInfo> Layer::LevelInfo(int16_t level) const {
  PyramidLayerInfo info{};
  if (_hxGetPyramidLayerInfo(h(), ds(), id_, level, &info) != 1) {
    return Status::Error(LevelText(level, "cannot read the level header"));
  }
  const bool cellsOk = std::isfinite(info.cellSizeX) && info.cellSizeX > 0 && std::isfinite(info.cellSizeY) &&
                       info.cellSizeY > 0;
  if (info.rows < 1 || info.cols < 1 || info.tileRows != kTileEdge || info.tileCols != kTileEdge ||
      info.tilesDown != TilesFor(info.rows) || info.tilesAcross != TilesFor(info.cols) || !cellsOk) {
    return Status::Error(LevelText(level, "its header's geometry does not add up (" + std::to_string(info.rows) +
                                              " x " + std::to_string(info.cols) + " cells in " +
                                              std::to_string(info.tilesDown) + " x " +
                                              std::to_string(info.tilesAcross) + " tiles)"));
  }
  return info;
}

StatusOr<std::vector<int16_t>> Layer::Levels() const {
  StatusOr<DataLayerParam> p = Param();
  if (!p.ok()) return p.status();
  std::vector<int16_t> levels;
  if (ref_.local()) {
    for (int16_t l = 1; l <= p->levelCount; ++l) levels.push_back(l);
    return levels;
  }
  // Only the count is recorded: probe until that many are found.
  for (int32_t l = 1; l <= kMaxLevelNumber && static_cast<int32_t>(levels.size()) < p->levelCount; ++l) {
    PyramidLayerInfo info{};
    if (_hxGetPyramidLayerInfo(h(), ds(), id_, static_cast<int16_t>(l), &info) == 1) {
      levels.push_back(static_cast<int16_t>(l));
    }
  }
  return levels;
}

Status Layer::CheckLevel(int16_t level) const {
  StatusOr<std::vector<int16_t>> levels = Levels();
  if (!levels.ok()) return levels.status();
  if (std::find(levels->begin(), levels->end(), level) != levels->end()) return {};
  std::string have;
  // Appended piece by piece: g++ 12 at -O3 warns (-Wrestrict) on the temporary that
  // "" + std::to_string(...) makes.
  for (int16_t l : *levels) {
    if (!have.empty()) have += ' ';
    have += std::to_string(l);
  }
  return Error(ref_.text,
               "has no level " + std::to_string(level) + " (levels: " + (have.empty() ? "none" : have) + ")");
}

Status Layer::OpenLevel(int16_t level) {
  if (Status s = CheckLevel(level); !s.ok()) return s;
  const int16_t r = _hxOpenPyramidLayer(h(), ds(), id_, level);
  if (r != 1) return Status::Error(LevelText(level, ResultText(r, "cannot open its files")));
  openLevel_ = level;
  return {};
}

Status Layer::CloseLevel() {
  const int16_t level = openLevel_;
  openLevel_ = 0;
  if (_hxClosePyramidLayer(h(), ds(), id_) != 1) return Status::Error(LevelText(level, "tiles could not be written"));
  return {};
}

StatusOr<OneTileInfo> Layer::TileInfo(int16_t level, int32_t tr, int32_t tc) const {
  OneTileInfo tile{};
  if (_hxGetOneTileInfo(h(), ds(), id_, level, 0, tr, tc, &tile) != 1) {
    return Status::Error(
        LevelText(level, "cannot read the record of tile " + std::to_string(tr) + "," + std::to_string(tc)));
  }
  return tile;
}

Status Layer::ReplaceOnWrite() {
  const LayerOperParam op{1, 0, 0.0f, 1.0f};
  if (_hxSetLayerOperParam(h(), ds(), id_, &op) != 1) return Error(ref_.text, "cannot set how cells are written");
  return {};
}

}  // namespace dembase::tool
