#include "localstore/layer_maintenance.h"

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

// What a transfer has made, removed again unless Keep() was called: files newest first,
// then their directories, then the header (staged or already renamed), so a removal
// that fails still leaves the staged header naming what stays.
class StagedLayer {
 public:
  explicit StagedLayer(std::string header) : header_(std::move(header)) {}
  ~StagedLayer() {
    if (kept_) return;
    platform::Env* env = CurrentEnv();
    for (auto it = files_.rbegin(); it != files_.rend(); ++it) (void)env->RemoveFile(*it);
    for (auto it = dirs_.rbegin(); it != dirs_.rend(); ++it) (void)env->RemoveDir(*it);
    if (headerMade_) (void)env->RemoveFile(header_);
  }
  StagedLayer(const StagedLayer&) = delete;
  StagedLayer& operator=(const StagedLayer&) = delete;

  void HeaderMade() { headerMade_ = true; }
  void HeaderRenamed(std::string to) { header_ = std::move(to); }
  void DirMade(std::string dir) { dirs_.push_back(std::move(dir)); }
  void FileMade(std::string file) { files_.push_back(std::move(file)); }
  void Keep() { kept_ = true; }

 private:
  std::string header_;
  bool headerMade_ = false;
  std::vector<std::string> dirs_;
  std::vector<std::string> files_;
  bool kept_ = false;
};

// A rename gives the same bytes a second name; across file systems it copies them.
bool TransferFile(Transfer kind, const std::string& from, const std::string& to) {
  platform::Env* env = CurrentEnv();
  if (kind == Transfer::kRename && env->LinkFile(from, to)) return true;
  return env->CopyFile(from, to);
}

// Makes the level's new directory and fills it: header, data files, value table.
bool TransferLevel(Transfer kind, const std::string& fromDir, const std::string& toDir, const LevelPlan& level,
                   StagedLayer* staged) {
  platform::Env* env = CurrentEnv();
  const auto dir = SystemPath(toDir, level.to.directory);
  const auto fromData = SystemPath(fromDir, level.from.dataPath);
  const auto toData = SystemPath(toDir, level.to.dataPath);
  if (!dir || !fromData || !toData || !env->CreateDir(*dir)) return false;
  staged->DirMade(*dir);

  std::vector<std::pair<std::optional<std::string>, std::optional<std::string>>> files;
  files.emplace_back(SystemPath(fromDir, level.from.headerPath), SystemPath(toDir, level.to.headerPath));
  for (int i = 0; i < level.dataFiles; ++i) files.emplace_back(DataFilePath(*fromData, i), DataFilePath(*toData, i));
  const auto fromVat = VatFilePath(fromDir, level.from.headerPath);
  if (fromVat && env->Exists(*fromVat)) files.emplace_back(fromVat, VatFilePath(toDir, level.to.headerPath));
  for (const auto& [from, to] : files) {
    if (!from || !to || !TransferFile(kind, *from, *to)) return false;
    staged->FileMade(*to);
  }
  return env->SyncDir(*dir);
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
  std::vector<LevelPlan> plan;
  std::vector<PyramidLevelRec> records;
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
    plan.push_back(std::move(level));
  }
  const auto image = EncodeDemInfoFile(source.param, records);
  if (!image) return 0;

  StagedLayer staged(staging);
  auto header = env->OpenFile(staging, OpenOptions{Access::kReadWrite, Share::kNone, Disposition::kCreateNew, true});
  if (!header) return 0;
  staged.HeaderMade();
  if (!header->WriteAt(0, *image) || !header->Sync() || !env->SyncDir(DirOrDot(*toDir))) return 0;
  for (const LevelPlan& level : plan) {
    if (level.from.created && !TransferLevel(kind, *fromDir, *toDir, level, &staged)) return 0;
  }
  if (!env->SyncDir(DirOrDot(*toDir))) return 0;
  // The new layer appears here, whole; a target made meanwhile is not replaced.
  if (!env->Rename(staging, toPath)) return env->Exists(toPath) ? kAlreadyExists : 0;
  staged.HeaderRenamed(toPath);
  if (!env->SyncDir(DirOrDot(*toDir))) return 0;
  if (kind == Transfer::kCopy) {
    staged.Keep();
    return 1;
  }

  // Until the old header goes, both names hold the same files: a failure here takes the
  // new name back.
  if (!env->RemoveFile(fromPath)) return 0;
  staged.Keep();
  // The layer is renamed from here on. Should the removal not survive a crash, both
  // headers name the same files again, which the layer check reports; old names that
  // stay below are leftovers no header names.
  (void)env->SyncDir(DirOrDot(*fromDir));
  for (const PyramidLevelRec& rec : source.levels) {
    if (rec.created) (void)DeleteLevelFiles(*fromDir, rec);
  }
  return 1;
}

}  // namespace

int16_t DeleteLayerFiles(const std::string& path) {
  const auto dir = LayerDirectory(path);
  if (!dir) return 0;
  OpenedLayerHeader opened;
  const int16_t r = OpenLayerHeaderFile(path, &opened);
  if (r < 1) return r;
  platform::Env* env = CurrentEnv();
  if (!env->RemoveFile(path)) return 0;
  // Level files that stay are reported by the layer check as leftovers; the layer
  // itself is gone either way.
  for (const PyramidLevelRec& rec : opened.levels) {
    if (rec.created) (void)DeleteLevelFiles(*dir, rec);
  }
  return 1;
}

int16_t RenameLayerFiles(const std::string& oldPath, const std::string& newPath) {
  return TransferLayer(Transfer::kRename, oldPath, newPath);
}

int16_t CopyLayerFiles(const std::string& sourcePath, const std::string& targetPath) {
  return TransferLayer(Transfer::kCopy, sourcePath, targetPath);
}

}  // namespace dembase
