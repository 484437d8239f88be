#include "localstore/layer_maintenance.h"

#include <new>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "localstore/file_names.h"
#include "localstore/layer_header_file.h"
#include "localstore/level_files.h"
#include "localstore/result_codes.h"
#include "platform/env.h"

namespace dembase {
namespace {

using platform::Access;
using platform::CurrentEnv;
using platform::Disposition;
using platform::OpenOptions;
using platform::Share;

enum class Transfer { kCopy, kRename };

std::string DirOrDot(const std::string& dir) { return dir.empty() ? std::string(".") : dir; }

// One level of the old layer and its record in the new one.
struct LevelPlan {
  PyramidLevelRec from;
  PyramidLevelRec to;
  int dataFiles = 0;
};

// The new record of the level at `level` (1-based position): named for the new layer,
// in a directory that nothing occupies when the level has files to go there.
std::optional<PyramidLevelRec> NewLevelRecord(const std::string& dir, std::string_view name, int level, bool created,
                                              std::span<const PyramidLevelRec> taken) {
  for (int n = 0; n < kLevelNameTries; ++n) {
    std::optional<PyramidLevelRec> rec = MakeLevelRecord(name, level + n);
    if (!rec) return std::nullopt;
    if (!created || LevelDirectoryFree(dir, *rec, taken)) {
      rec->created = created;
      return rec;
    }
  }
  return std::nullopt;
}

// Removes what an interrupted rename or copy to the same new name left: its staged
// header names every level directory it made. False when the staged header is held (an
// attempt is running) or something it names cannot be removed.
bool ClearStaging(const std::string& staging, const std::string& dir) {
  platform::Env* env = CurrentEnv();
  if (!env->Exists(staging)) return true;
  OpenedLayerHeader left;
  if (OpenLayerHeaderFile(staging, &left) == 1) {
    for (const PyramidLevelRec& rec : left.levels) {
      if (rec.created && DeleteLevelFiles(dir, rec) < 1) return false;
    }
  } else if (env->OpenFile(staging, OpenOptions{Access::kRead, Share::kNone, Disposition::kOpenExisting, false}) ==
             nullptr) {
    return false;
  }
  // A staged header that does not read was never synced, so no directory was made
  // after it.
  left.file.reset();
  return env->RemoveFile(staging);
}

// Every path a level's transfer makes, worked out before the first change on disk so
// that recording and undoing what was made needs no memory.
struct LevelPaths {
  std::string dir;
  std::vector<std::pair<std::string, std::string>> files;  // from, to: header, data files, value table
};

std::optional<LevelPaths> PlanLevelPaths(const std::string& fromDir, const std::string& toDir,
                                         const LevelPlan& level) {
  const auto dir = SystemPath(toDir, level.to.directory);
  const auto fromData = SystemPath(fromDir, level.from.dataPath);
  const auto toData = SystemPath(toDir, level.to.dataPath);
  const auto fromHeader = SystemPath(fromDir, level.from.headerPath);
  const auto toHeader = SystemPath(toDir, level.to.headerPath);
  if (!dir || !fromData || !toData || !fromHeader || !toHeader) return std::nullopt;
  LevelPaths paths{*dir, {}};
  paths.files.emplace_back(*fromHeader, *toHeader);
  for (int i = 0; i < level.dataFiles; ++i) {
    auto from = DataFilePath(*fromData, i);
    auto to = DataFilePath(*toData, i);
    if (!from || !to) return std::nullopt;
    paths.files.emplace_back(std::move(*from), std::move(*to));
  }
  const auto fromVat = VatFilePath(fromDir, level.from.headerPath);
  if (fromVat && CurrentEnv()->Exists(*fromVat)) {
    auto toVat = VatFilePath(toDir, level.to.headerPath);
    if (!toVat) return std::nullopt;
    paths.files.emplace_back(*fromVat, std::move(*toVat));
  }
  return paths;
}

// What a transfer has made, removed again unless Keep() was called: files newest first,
// then their directories, then the header (staged or already renamed), so a removal
// that fails still leaves the staged header naming what stays. It only refers to paths
// that outlive it, and records into room reserved up front.
class StagedLayer {
 public:
  StagedLayer(std::string_view header, const std::vector<LevelPaths>& levels) : header_(header) {
    size_t files = 0;
    for (const LevelPaths& level : levels) files += level.files.size();
    dirs_.reserve(levels.size());
    files_.reserve(files);
  }
  ~StagedLayer() {
    if (kept_) return;
    platform::Env* env = CurrentEnv();
    // A step that runs out of memory is skipped like one that fails: the next attempt
    // at the same name clears what the staged header names.
    const auto attempt = [](auto&& step) {
      try {
        (void)step();
      } catch (...) {
      }
    };
    for (auto it = files_.rbegin(); it != files_.rend(); ++it) attempt([&] { return env->RemoveFile(*it); });
    for (auto it = dirs_.rbegin(); it != dirs_.rend(); ++it) attempt([&] { return env->RemoveDir(*it); });
    if (headerMade_) attempt([&] { return env->RemoveFile(header_); });
  }
  StagedLayer(const StagedLayer&) = delete;
  StagedLayer& operator=(const StagedLayer&) = delete;

  void HeaderMade() { headerMade_ = true; }
  void HeaderRenamed(std::string_view to) { header_ = to; }
  void DirMade(std::string_view dir) { dirs_.push_back(dir); }
  void FileMade(std::string_view file) { files_.push_back(file); }
  void Keep() { kept_ = true; }

 private:
  std::string_view header_;
  bool headerMade_ = false;
  std::vector<std::string_view> dirs_;
  std::vector<std::string_view> files_;
  bool kept_ = false;
};

// A rename gives the same bytes a second name; across file systems it copies them.
bool TransferFile(Transfer kind, const std::string& from, const std::string& to) {
  platform::Env* env = CurrentEnv();
  if (kind == Transfer::kRename && env->LinkFile(from, to)) return true;
  return env->CopyFile(from, to);
}

// Makes the level's new directory and fills it: header, data files, value table.
bool TransferLevel(Transfer kind, const LevelPaths& paths, StagedLayer* staged) {
  platform::Env* env = CurrentEnv();
  if (!env->CreateDir(paths.dir)) return false;
  staged->DirMade(paths.dir);
  for (const auto& [from, to] : paths.files) {
    if (!TransferFile(kind, from, to)) return false;
    staged->FileMade(to);
  }
  return env->SyncDir(paths.dir);
}

int16_t TransferLayer(Transfer kind, const std::string& fromPath, const std::string& toPath) {
  const auto fromDir = LayerDirectory(fromPath);
  const auto toDir = LayerDirectory(toPath);
  const auto toName = LayerName(toPath);
  if (fromPath.empty() || !fromDir || !toDir || !toName) return 0;
  const std::string staging = toPath + std::string(kStagingSuffix);
  if (staging.size() > kMaxPathLength) return 0;
  platform::Env* env = CurrentEnv();
  if (env->Exists(toPath)) return kAlreadyExists;

  OpenedLayerHeader source;
  const int16_t r = OpenLayerHeaderFile(fromPath, &source);
  if (r < 1) return r;
  if (!ClearStaging(staging, *toDir)) return 0;

  // Every level goes along or nothing does: a level whose header cannot be read refuses
  // the whole operation rather than leaving the new layer a level short.
  std::vector<PyramidLevelRec> records;
  std::vector<LevelPaths> paths;
  for (size_t i = 0; i < source.levels.size(); ++i) {
    LevelPlan level{source.levels[i], {}, 0};
    if (level.from.created) {
      const std::optional<int> count = ReadDataFileCount(*fromDir, level.from);
      if (!count) return 0;
      level.dataFiles = *count;
    }
    auto to = NewLevelRecord(*toDir, *toName, static_cast<int>(i) + 1, level.from.created, records);
    if (!to || !LevelPathsFit(*toDir, *to, level.dataFiles)) return 0;
    level.to = *to;
    records.push_back(*to);
    if (level.from.created) {
      auto levelPaths = PlanLevelPaths(*fromDir, *toDir, level);
      if (!levelPaths) return 0;
      paths.push_back(std::move(*levelPaths));
    }
  }
  const auto image = EncodeDemInfoFile(source.param, records);
  if (!image) return 0;
  const std::string toDirOrDot = DirOrDot(*toDir);
  const std::string fromDirOrDot = DirOrDot(*fromDir);

  StagedLayer staged(staging, paths);
  auto header = env->OpenFile(staging, OpenOptions{Access::kReadWrite, Share::kNone, Disposition::kCreateNew, true});
  if (!header) return 0;
  staged.HeaderMade();
  if (!header->WriteAt(0, *image) || !header->Sync() || !env->SyncDir(toDirOrDot)) return 0;
  for (const LevelPaths& level : paths) {
    if (!TransferLevel(kind, level, &staged)) return 0;
  }
  if (!env->SyncDir(toDirOrDot)) return 0;
  // The new layer appears here, whole; a target made meanwhile is not replaced.
  if (!env->Rename(staging, toPath)) return env->Exists(toPath) ? kAlreadyExists : 0;
  staged.HeaderRenamed(toPath);
  if (!env->SyncDir(toDirOrDot)) return 0;
  if (kind == Transfer::kCopy) {
    staged.Keep();
    return 1;
  }

  std::vector<LevelRemoval> oldNames;
  oldNames.reserve(source.levels.size());
  for (const PyramidLevelRec& rec : source.levels) {
    if (!rec.created) continue;
    auto removal = PlanLevelRemoval(*fromDir, rec);
    if (removal) oldNames.push_back(std::move(*removal));
  }
  // Until the old header goes, both names hold the same files: a failure here takes the
  // new name back.
  if (!env->RemoveFile(fromPath)) return 0;
  staged.Keep();
  // The layer is renamed from here on. Should the removal not survive a crash, both
  // headers name the same files again, which the layer check reports; old names that
  // stay below are leftovers no header names.
  try {
    (void)env->SyncDir(fromDirOrDot);
  } catch (const std::bad_alloc&) {
  }
  for (const LevelRemoval& removal : oldNames) (void)RemoveLevel(removal);
  return 1;
}

// Memory running out before the point of no return fails the operation, after the
// staged layer's destructor has undone what was made.
int16_t GuardedTransfer(Transfer kind, const std::string& fromPath, const std::string& toPath) {
  try {
    return TransferLayer(kind, fromPath, toPath);
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

}  // namespace

int16_t DeleteLayerFiles(const std::string& path) {
  // What to remove is found before the header goes, so running out of memory afterwards
  // cannot leave a level whole.
  std::vector<LevelRemoval> levels;
  try {
    const auto dir = LayerDirectory(path);
    if (!dir) return 0;
    OpenedLayerHeader opened;
    const int16_t r = OpenLayerHeaderFile(path, &opened);
    if (r < 1) return r;
    levels.reserve(opened.levels.size());
    for (const PyramidLevelRec& rec : opened.levels) {
      if (!rec.created) continue;
      auto removal = PlanLevelRemoval(*dir, rec);
      if (removal) levels.push_back(std::move(*removal));
    }
    if (!CurrentEnv()->RemoveFile(path)) return 0;
  } catch (const std::bad_alloc&) {
    return 0;
  }
  // Level files that stay are reported by the layer check as leftovers; the layer
  // itself is gone either way.
  for (const LevelRemoval& removal : levels) (void)RemoveLevel(removal);
  return 1;
}

int16_t RenameLayerFiles(const std::string& oldPath, const std::string& newPath) {
  return GuardedTransfer(Transfer::kRename, oldPath, newPath);
}

int16_t CopyLayerFiles(const std::string& sourcePath, const std::string& targetPath) {
  return GuardedTransfer(Transfer::kCopy, sourcePath, targetPath);
}

}  // namespace dembase
