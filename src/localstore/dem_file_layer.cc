#include "localstore/dem_file_layer.h"

#include <cstring>
#include <new>

#include "cells/null_test.h"
#include "localstore/file_level_store.h"
#include "localstore/file_names.h"
#include "localstore/level_files.h"
#include "platform/env.h"

namespace dembase {

CDemFileLayer::~CDemFileLayer() {
  // A destructor must not throw: what a close that ran out of memory had not written is
  // lost, and the members still release the files and cache slots.
  try {
    (void)CloseEverything();
  } catch (...) {
  }
}

int16_t CDemFileLayer::CreateLayerFiles(const char* path, const DataLayerParam* param) {
  if (path == nullptr || param == nullptr || path[0] == '\0') return 0;
  return CreateLayerHeaderFile(path, *param);
}

int32_t CDemFileLayer::OpenDataLayer(int32_t dataSetId, const char* name, uint32_t /*mode*/) {
  if (dataSetId != LOCAL_DATASET_ID || is_open() || name == nullptr || name[0] == '\0') return 0;
  const auto dir = LayerDirectory(name);
  const auto layerName = LayerName(name);
  if (!dir || !layerName) return 0;
  OpenedLayerHeader opened;
  const int16_t r = OpenLayerHeaderFile(name, &opened);
  if (r < 1) return r;
  header_ = std::move(opened.file);
  param_ = opened.param;
  levels_ = std::move(opened.levels);
  type_ = CellTypeOf(param_.dataType);
  infoPath_ = name;
  layerDir_ = *dir;
  layerName_ = *layerName;
  infoDirty_ = false;
  return 1;
}

int16_t CDemFileLayer::CloseDataLayer(int32_t dataSetId, int32_t /*layerId*/) {
  if (dataSetId != LOCAL_DATASET_ID || !is_open()) return 0;
  return CloseEverything() ? 1 : 0;
}

bool CDemFileLayer::CloseEverything() {
  if (!is_open()) return true;
  // Closing with a level open writes the level back rather than leaving dirty tiles and
  // cache slots behind for a layer that no longer exists.
  bool ok = openLevel_ == 0 || ClosePyramidLayer(0) == 1;
  ok = EndLevelWrite() && ok;
  EndReadTileData();
  // An open table is closed rather than dropped: libdemvat would otherwise keep its handle
  // for the life of the process and lose the classes set since it was opened.
  if (vat_) ok = ClosePyLayerVAT(0) == 1 && ok;
  if (infoDirty_) {
    // The range is all this rewrite carries, so a header not made durable is a failure.
    bool durable = false;
    ok = SaveHeader(param_, std::vector<PyramidLevelRec>(levels_.begin(), levels_.begin() + CreatedLevels()),
                    &durable) &&
         durable && ok;
    infoDirty_ = false;
  }
  header_.reset();
  levels_.clear();
  infoPath_.clear();
  layerDir_.clear();
  return ok;
}

bool CDemFileLayer::SaveHeader(const DataLayerParam& param, std::vector<PyramidLevelRec> created, bool* durable) {
  if (created.empty()) {
    auto rec = MakeLevelRecord(layerName_, 1);
    if (!rec) return false;
    created.push_back(*rec);
  }
  SavedLayerHeader saved = SaveLayerHeaderFile(infoPath_, param, created);
  if (!saved.file) return false;
  header_ = std::move(saved.file);  // the old header is let go only now that the new one is held
  if (durable != nullptr) *durable = saved.durable;
  levels_ = std::move(created);
  return true;
}

bool CDemFileLayer::SaveHeaderOrUndo(const DataLayerParam& param, std::vector<PyramidLevelRec> created) {
  try {
    return SaveHeader(param, std::move(created));
  } catch (const std::bad_alloc&) {
    // Runs out only before the swap: the old header is still the layer's.
    return false;
  }
}

int16_t CDemFileLayer::GetDataLayerParam(int32_t /*layerId*/, DataLayerParam* out) {
  if (!is_open() || out == nullptr) return 0;
  *out = param_;
  return 1;
}

// --- pyramid levels ---

int16_t CDemFileLayer::CreatePyramidLayer(int32_t /*layerId*/, int16_t level, double cellSizeX, double cellSizeY) {
  if (!is_open() || level < 1) return 0;
  const int16_t count = CreatedLevels();
  if (level <= count && levels_[static_cast<size_t>(level - 1)].created) return kLevelExists;
  if (count == INT16_MAX) return 0;

  // The new level goes after the existing ones, in a directory no level of this layer
  // uses and nothing on disk occupies.
  // Room for the new record is made before its files exist, so nothing in between can
  // run out of memory and leave them behind.
  std::vector<PyramidLevelRec> records;
  records.reserve(static_cast<size_t>(count) + 1);
  records.assign(levels_.begin(), levels_.begin() + count);
  PyramidLevelRec rec;
  PyramidLevelRec undo;  // a copy made before the files exist, to remove them by
  int16_t r = kAlreadyExists;
  for (int n = 0; n < kLevelNameTries && r == kAlreadyExists; ++n) {
    auto made = MakeLevelRecord(layerName_, level + n);
    if (!made) return 0;
    if (!LevelDirectoryFree(layerDir_, *made, records)) continue;
    rec = *made;
    undo = std::move(*made);
    r = CreateLevelFiles(layerDir_, param_, cellSizeX, cellSizeY, &rec);
  }
  if (r < 1) return r;
  records.push_back(std::move(rec));
  DataLayerParam param = param_;
  param.levelCount = static_cast<int16_t>(count + 1);
  if (!SaveHeaderOrUndo(param, std::move(records))) {
    // No header names the new files; what a failed removal leaves is a directory that
    // no later level takes.
    try {
      (void)DeleteLevelFiles(layerDir_, undo);
    } catch (const std::bad_alloc&) {
    }
    return 0;
  }
  param_.levelCount = param.levelCount;
  return 1;
}

int16_t CDemFileLayer::DeletePyramidLayer(int32_t /*layerId*/, int16_t level) {
  if (!is_open() || level < 1 || level > CreatedLevels() || !levels_[static_cast<size_t>(level - 1)].created) {
    return kNoSuchLevel;
  }
  // The level of an open table stays too: closing the table writes its file back.
  if (level == openLevel_ || level == writerLevel_ || level == tileDataLevel_ || (vat_ && level == vatLevel_)) {
    return 0;
  }
  DropReadAhead();
  // What to remove is found while the header still names the level, so running out of
  // memory afterwards cannot leave its files whole.
  const std::optional<LevelRemoval> gone = PlanLevelRemoval(layerDir_, levels_[static_cast<size_t>(level - 1)]);
  std::vector<PyramidLevelRec> records(levels_.begin(), levels_.begin() + CreatedLevels());
  records.erase(records.begin() + (level - 1));
  DataLayerParam param = param_;
  param.levelCount = static_cast<int16_t>(param_.levelCount - 1);
  // The header stops naming the level before its files go, so no header ever names a
  // level whose files are half removed.
  if (!SaveHeaderOrUndo(param, std::move(records))) return 0;
  param_.levelCount = param.levelCount;
  // The level is gone from the layer whatever this answers; files it could not remove
  // stay as a leftover that no header names and no new level reuses.
  if (gone) (void)RemoveLevel(*gone);
  LevelDeleted(level);
  if (vatLevel_ > level) --vatLevel_;
  return 1;
}

int16_t CDemFileLayer::GetPyramidLayerInfo(int32_t /*layerId*/, int16_t level, PyramidLayerInfo* out) {
  if (!is_open() || out == nullptr || level < 1 || level > CreatedLevels()) return 0;
  if (level == openLevel_) {
    *out = level_->info();
    return 1;
  }
  return ReadLevelInfo(layerDir_, levels_[static_cast<size_t>(level - 1)], out) ? 1 : 0;
}

int16_t CDemFileLayer::OpenPyramidLayer(int32_t /*layerId*/, int16_t level) {
  if (!is_open() || level < 1 || level > CreatedLevels() || !levels_[static_cast<size_t>(level - 1)].created) {
    return kNoSuchLevel;
  }
  // A level that a whole-level write is filling cannot also be opened: the two would
  // write the same records and append over each other.
  if (openLevel_ != 0 || tileData_ || level == writerLevel_) return 0;
  DropReadAhead();
  auto store = std::make_unique<FileLevelStore>();
  if (!store->Open(layerDir_, levels_[static_cast<size_t>(level - 1)])) return 0;
  return OpenLevelOn(std::move(store), level) ? 1 : 0;
}

int16_t CDemFileLayer::ClosePyramidLayer(int32_t /*layerId*/) {
  if (openLevel_ < 1) return 0;
  const bool first = openLevel_ == 1;
  const OpenLevel::CloseOutcome out = CloseLevel();
  // Also when only the range differs from stored tiles' (an empty level keeps the range
  // given at creation): a header rewrite that failed after level 1's records were written
  // left it behind them.
  const bool stale =
      out.minValue <= out.maxValue && (param_.minValue != out.minValue || param_.maxValue != out.maxValue);
  if (first && (out.indexChanged || stale)) {
    param_.minValue = out.minValue;
    param_.maxValue = out.maxValue;
    infoDirty_ = true;
  }
  return out.ok ? 1 : 0;
}

}  // namespace dembase
