#include "localstore/level_files.h"

#include <algorithm>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "localstore/file_names.h"
#include "localstore/level_geometry.h"
#include "localstore/result_codes.h"
#include "platform/env.h"

namespace dembase {
namespace {

using platform::Access;
using platform::CurrentEnv;
using platform::Disposition;
using platform::OpenOptions;
using platform::Share;

// Records are written in runs of this many, so huge levels need no huge buffer.
constexpr int64_t kRecordsPerWrite = 65536;

bool WriteNewHeader(platform::File& file, const LevelGeometry& g, const LevelHeaderPrefix& prefix, CellType type) {
  std::vector<std::byte> head(g.TileIndexOffset());
  std::vector<uint32_t> ends(static_cast<size_t>(g.dataFileCount), 0);
  if (!prefix.EncodeTo(head) ||
      !EncodeDataFileEnds(ends, std::span<std::byte>(head).subspan(LevelHeaderPrefix::kEncodedLength)) ||
      !file.WriteAt(0, head)) {
    return false;
  }
  const std::vector<TileIndexRec> empty(static_cast<size_t>(std::min(g.tileCount, kRecordsPerWrite)),
                                        EmptyTileIndexRec(type));
  std::vector<std::byte> bytes(empty.size() * TileIndexRecCodec::kEncodedLength);
  for (int64_t t = 0; t < g.tileCount; t += kRecordsPerWrite) {
    const size_t n = static_cast<size_t>(std::min(kRecordsPerWrite, g.tileCount - t));
    const auto chunk = std::span<std::byte>(bytes).first(n * TileIndexRecCodec::kEncodedLength);
    if (!EncodeTileIndex(std::span<const TileIndexRec>(empty).first(n), chunk) ||
        !file.WriteAt(g.TileRecordOffset(t), chunk)) {
      return false;
    }
  }
  return file.Sync();
}

// Removes what a failed creation made, newest first, so the level can be created again.
// Every path is known before the directory is made, so undoing needs no memory but the
// platform's; a removal that cannot run leaves a directory no later level takes.
struct CreationUndo {
  std::vector<std::string> files;  // header first, then the data files
  size_t made = 0;
  std::string_view dir;  // set once made
  bool done = false;
  ~CreationUndo() {
    if (done) return;
    platform::Env* env = CurrentEnv();
    const auto attempt = [](auto&& step) {
      try {
        (void)step();
      } catch (...) {
      }
    };
    while (made > 0) attempt([&] { return env->RemoveFile(files[--made]); });
    if (!dir.empty()) attempt([&] { return env->RemoveDir(dir); });
  }
};

}  // namespace

int16_t CreateLevelFiles(const std::string& layerDir, const DataLayerParam& param, double cellSizeX,
                         double cellSizeY, PyramidLevelRec* rec) {
  if (rec->created) return 1;
  const auto cols = CountCells(param.xMin, param.xMax, cellSizeX);
  const auto rows = CountCells(param.yMin, param.yMax, cellSizeY);
  if (!cols || !rows) return 0;
  const auto geometry = LevelGeometry::FromCells(*rows, *cols);
  if (!geometry || !geometry->grid.Addressable()) return 0;
  if (!geometry->WithinDataFileLimit()) return kTooManyDataFiles;
  const int files = static_cast<int>(geometry->dataFileCount);

  const auto dir = SystemPath(layerDir, rec->directory);
  const auto header = SystemPath(layerDir, rec->headerPath);
  const auto firstData = SystemPath(layerDir, rec->dataPath);
  if (!dir || !header || !firstData || !LevelPathsFit(layerDir, *rec, files)) return 0;

  CreationUndo undo;
  undo.files.reserve(static_cast<size_t>(files) + 1);
  undo.files.push_back(*header);
  for (int i = 0; i < files; ++i) {
    auto path = DataFilePath(*firstData, i);
    if (!path) return 0;
    undo.files.push_back(std::move(*path));
  }
  const std::string_view parent = layerDir.empty() ? std::string_view(".") : std::string_view(layerDir);

  platform::Env* env = CurrentEnv();
  if (!env->CreateDir(*dir)) return kAlreadyExists;
  undo.dir = *dir;

  const OpenOptions create{Access::kWrite, Share::kNone, Disposition::kCreateNew, true};
  for (const std::string& path : undo.files) {
    const bool isHeader = undo.made == 0;
    auto file = env->OpenFile(path, create);
    if (!file) return 0;
    ++undo.made;
    if (isHeader &&
        !WriteNewHeader(*file, *geometry, geometry->NewHeader(cellSizeX, cellSizeY), CellTypeOf(param.dataType))) {
      return 0;
    }
  }
  // The new entries must survive a crash before the layer header names the level.
  if (!env->SyncDir(*dir) || !env->SyncDir(parent)) return 0;
  undo.done = true;
  rec->created = true;
  return 1;
}

std::optional<int> ReadDataFileCount(const std::string& layerDir, const PyramidLevelRec& rec) {
  const auto header = SystemPath(layerDir, rec.headerPath);
  if (!header || rec.headerPath.empty()) return std::nullopt;
  // Shared for reading only: an open level holds its header with write access.
  auto file = CurrentEnv()->OpenFile(*header, OpenOptions{Access::kRead, Share::kRead, Disposition::kOpenExisting, true});
  std::byte bytes[LevelHeaderPrefix::kEncodedLength];
  LevelHeaderPrefix prefix;
  uint64_t size = 0;
  if (!file || !file->Size(&size) || size < sizeof bytes || !file->ReadAt(0, bytes) || !prefix.DecodeFrom(bytes)) {
    return std::nullopt;
  }
  const auto g = ValidateLevelHeader(prefix, size);
  if (!g) return std::nullopt;
  return static_cast<int>(g->dataFileCount);
}

bool LevelDirectoryFree(const std::string& layerDir, const PyramidLevelRec& candidate,
                        std::span<const PyramidLevelRec> taken) {
  const bool used = std::any_of(taken.begin(), taken.end(),
                                [&](const PyramidLevelRec& other) { return other.directory == candidate.directory; });
  const auto dir = SystemPath(layerDir, candidate.directory);
  return !used && dir && !CurrentEnv()->Exists(*dir);
}

std::optional<LevelRemoval> PlanLevelRemoval(const std::string& layerDir, const PyramidLevelRec& rec) {
  const auto dir = SystemPath(layerDir, rec.directory);
  const auto header = SystemPath(layerDir, rec.headerPath);
  const auto firstData = SystemPath(layerDir, rec.dataPath);
  if (!dir || !header || !firstData || rec.headerPath.empty()) return std::nullopt;
  platform::Env* env = CurrentEnv();

  int64_t files = 0;
  if (const auto count = ReadDataFileCount(layerDir, rec)) {
    files = *count;
  } else if (env->Exists(*header)) {
    // Held by an open level: nothing is removed. A damaged header still lets the level
    // go; only data files it proves are removed.
    auto probe = env->OpenFile(*header, OpenOptions{Access::kRead, Share::kRead, Disposition::kOpenExisting, true});
    if (!probe) return std::nullopt;
  } else {
    // The header is already gone (a crash, or removed by hand): the data files that
    // remain, in order, go too, so the level can still be deleted.
    while (files < kMaxDataFiles) {
      const auto path = DataFilePath(*firstData, static_cast<int>(files));
      if (!path || !env->Exists(*path)) break;
      ++files;
    }
  }
  LevelRemoval plan{*dir, {}};
  plan.files.reserve(static_cast<size_t>(files) + 2);
  plan.files.push_back(*header);
  for (int i = 0; i < files; ++i) {
    auto path = DataFilePath(*firstData, i);
    if (!path) return std::nullopt;
    plan.files.push_back(std::move(*path));
  }
  if (auto vat = VatFilePath(layerDir, rec.headerPath)) plan.files.push_back(std::move(*vat));
  return plan;
}

bool RemoveLevel(const LevelRemoval& plan) {
  platform::Env* env = CurrentEnv();
  // Best effort: a file that stays keeps its directory, which is then a leftover no
  // level record names. What is already gone counts as removed; a step that runs out of
  // memory counts as failed and the next one still runs.
  const auto step = [](auto&& removal) {
    try {
      return removal();
    } catch (const std::bad_alloc&) {
      return false;
    }
  };
  bool ok = true;
  for (const std::string& path : plan.files) {
    ok = step([&] { return !env->Exists(path) || env->RemoveFile(path); }) && ok;
  }
  return step([&] { return !env->Exists(plan.dir) || env->RemoveDir(plan.dir); }) && ok;
}

int16_t DeleteLevelFiles(const std::string& layerDir, const PyramidLevelRec& rec) {
  const std::optional<LevelRemoval> plan = PlanLevelRemoval(layerDir, rec);
  return plan && RemoveLevel(*plan) ? 1 : 0;
}

bool ReadLevelInfo(const std::string& layerDir, const PyramidLevelRec& rec, PyramidLayerInfo* out) {
  const auto header = SystemPath(layerDir, rec.headerPath);
  if (!header || rec.headerPath.empty()) return false;
  auto file =
      CurrentEnv()->OpenFile(*header, OpenOptions{Access::kRead, Share::kReadWrite, Disposition::kOpenExisting, true});
  std::byte bytes[PyramidLayerInfoCodec::kEncodedLength];
  return file && file->ReadAt(0, bytes) && PyramidLayerInfoCodec::DecodeFrom(bytes, out);
}

}  // namespace dembase
