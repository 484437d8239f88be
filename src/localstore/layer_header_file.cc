#include "localstore/layer_header_file.h"

#include <new>
#include <optional>
#include <string_view>

#include "localstore/file_names.h"

namespace dembase {
namespace {

using platform::Access;
using platform::CurrentEnv;
using platform::Disposition;
using platform::OpenOptions;
using platform::Share;

std::span<const std::byte> AsBytes(const std::vector<std::byte>& v) { return {v.data(), v.size()}; }

}  // namespace

int16_t CreateLayerHeaderFile(const std::string& path, const DataLayerParam& param) {
  if (path.empty() || path.size() > kMaxPathLength) return 0;
  if (!LayerDirectory(path) || !LayerName(path)) return 0;
  platform::Env* env = CurrentEnv();
  if (env->Exists(path)) return kAlreadyExists;
  const std::optional<std::string> name = LayerName(path);
  const std::optional<PyramidLevelRec> level1 = MakeLevelRecord(*name, 1);
  if (!level1) return 0;
  const auto image = EncodeDemInfoFile(param, std::span<const PyramidLevelRec>(&*level1, 1));
  if (!image) return 0;

  // Create-new: a file that appeared since the test above is not replaced.
  auto file = env->OpenFile(path, OpenOptions{Access::kWrite, Share::kNone, Disposition::kCreateNew, true});
  if (!file) return env->Exists(path) ? kAlreadyExists : 0;
  if (!file->WriteAt(0, AsBytes(*image)) || !file->Sync()) {
    file.reset();
    env->RemoveFile(path);  // no half-written header is left for a later open to trip on
    return 0;
  }
  return 1;
}

int16_t OpenLayerHeaderFile(const std::string& path, OpenedLayerHeader* out) {
  if (path.empty() || path.size() > kMaxPathLength) return 0;
  auto file = CurrentEnv()->OpenFile(path, OpenOptions{Access::kRead, Share::kNone, Disposition::kOpenExisting, true});
  if (!file) return 0;
  uint64_t size = 0;
  if (!file->Size(&size)) return 0;

  std::byte head[DemInfoHeader::kEncodedLength];
  const size_t headLength = size < sizeof head ? static_cast<size_t>(size) : sizeof head;
  if (!file->ReadAt(0, std::span<std::byte>(head, headLength))) return 0;
  DemInfoHeader header;
  switch (header.DecodeFrom(std::span<const std::byte>(head, headLength))) {
    case DemInfoStatus::kOk: break;
    case DemInfoStatus::kNotDemInfo: return kNotDemInfoFile;
    case DemInfoStatus::kWrongVersion: return kWrongVersion;
    case DemInfoStatus::kTruncated: return 0;
  }

  // The level count decides how much is read; it must fit the file before anything is
  // allocated from it.
  const std::optional<size_t> count = LevelRecordsToRead(header.param.levelCount, size);
  if (!count) return 0;
  std::vector<std::byte> records(*count * PyramidLevelRec::kEncodedLength);
  if (!file->ReadAt(DemInfoHeader::kEncodedLength, records)) return 0;
  std::vector<PyramidLevelRec> levels(*count);
  for (size_t i = 0; i < *count; ++i) {
    auto bytes = std::span<const std::byte>(records).subspan(i * PyramidLevelRec::kEncodedLength,
                                                            PyramidLevelRec::kEncodedLength);
    if (!levels[i].DecodeFrom(bytes)) return 0;
  }
  out->file = std::move(file);
  out->param = header.param;
  out->levels = std::move(levels);
  return 1;
}

SavedLayerHeader SaveLayerHeaderFile(const std::string& path, const DataLayerParam& param,
                                     std::span<const PyramidLevelRec> levels) {
  const auto image = EncodeDemInfoFile(param, levels);
  const std::optional<std::string> dir = LayerDirectory(path);
  if (!image || !dir) return {};
  platform::Env* env = CurrentEnv();
  const std::string temp = path + ".new";
  if (temp.size() > kMaxPathLength) return {};

  // A temporary left by an earlier crash holds nothing the header needs; one that
  // another holder of this layer is writing cannot exist, since the layer is ours.
  if (env->Exists(temp) && !env->RemoveFile(temp)) return {};
  auto file = env->OpenFile(temp, OpenOptions{Access::kReadWrite, Share::kNone, Disposition::kCreateNew, true});
  if (!file) return {};
  // Synced before the rename: otherwise a crash could leave the new name on empty data.
  // The rename swaps old for new in one step; syncing the directory makes it survive a
  // crash. Memory running out before the swap fails the save like an I/O failure.
  bool replaced = false;
  try {
    replaced = file->WriteAt(0, AsBytes(*image)) && file->Sync() && env->ReplaceFile(temp, path);
  } catch (const std::bad_alloc&) {
  }
  if (!replaced) {
    file.reset();
    (void)env->RemoveFile(temp);  // best effort; the next save removes it too
    return {};
  }
  // Once renamed, the new header is the layer's whatever the sync answers. Should a
  // crash still bring back the old header, it differs from the new one by one level
  // whose files are either missing (deletable) or not named (a leftover that no new
  // level reuses), or by level 1's range, and the next open copes with each.
  bool durable = false;
  try {
    durable = env->SyncDir(dir->empty() ? std::string_view(".") : std::string_view(*dir));
  } catch (const std::bad_alloc&) {
  }
  return SavedLayerHeader{std::move(file), durable};
}

}  // namespace dembase
