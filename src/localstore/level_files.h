// The files of one pyramid level that is not open: making them when the level is
// created, removing them when it is deleted, and reading its description.
#ifndef DEMBASE_LOCALSTORE_LEVEL_FILES_H_
#define DEMBASE_LOCALSTORE_LEVEL_FILES_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "cells/cell_value.h"
#include "dembase/dembase.h"
#include "localstore/records.h"

namespace dembase {

// Makes the level's directory, its header (geometry from the layer's extent and these
// cell sizes, every tile empty) and its empty data files, then marks rec created.
// 1; 0 (cannot create a file; nothing is left behind); -3 (the directory exists or
// cannot be made); -4 (more than 4096 data files). Nothing is made on a refusal.
int16_t CreateLevelFiles(const std::string& layerDir, const DataLayerParam& param, double cellSizeX,
                         double cellSizeY, PyramidLevelRec* rec);

// Removes the level's header, data files, value attribute table and directory; a level
// whose header is already missing is removed too. 0 when the header exists but cannot
// be opened (the level is open) and nothing was removed, or when something stayed.
int16_t DeleteLevelFiles(const std::string& layerDir, const PyramidLevelRec& rec);

// DeleteLevelFiles in two steps, for callers with a point of no return between them:
// every path is found first, so the removal itself needs no memory but the platform's.
struct LevelRemoval {
  std::string dir;
  std::vector<std::string> files;  // header first
};
// nullopt when the level's header is held by an open level, or on a bad path.
[[nodiscard]] std::optional<LevelRemoval> PlanLevelRemoval(const std::string& layerDir, const PyramidLevelRec& rec);
// Never throws; false when something stayed.
bool RemoveLevel(const LevelRemoval& plan);

// The number of data files a created level's header records; nullopt when the header
// cannot be opened for reading (missing, or the level is open) or does not add up.
[[nodiscard]] std::optional<int> ReadDataFileCount(const std::string& layerDir, const PyramidLevelRec& rec);

// How many directory names a new level tries before it gives up.
inline constexpr int kLevelNameTries = 64;

// Whether candidate's directory is free for a new level: no record in taken uses it and
// nothing on disk occupies it.
[[nodiscard]] bool LevelDirectoryFree(const std::string& layerDir, const PyramidLevelRec& candidate,
                                      std::span<const PyramidLevelRec> taken);

// Reads the description of a level from its header file. False when unreadable.
[[nodiscard]] bool ReadLevelInfo(const std::string& layerDir, const PyramidLevelRec& rec, PyramidLayerInfo* out);

}  // namespace dembase

#endif  // DEMBASE_LOCALSTORE_LEVEL_FILES_H_
