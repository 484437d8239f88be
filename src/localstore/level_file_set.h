// LevelFileSet: the opened files of one pyramid level — its header (geometry, data-file
// count, DataFileEnd table, tile records) and its data files — with every count checked
// against the header file before anything is sized from it.
#ifndef DEMBASE_LOCALSTORE_LEVEL_FILE_SET_H_
#define DEMBASE_LOCALSTORE_LEVEL_FILE_SET_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dembase/dembase.h"
#include "localstore/level_geometry.h"
#include "localstore/records.h"
#include "platform/env.h"

namespace dembase {

class LevelFileSet {
 public:
  // Opens the header, and the data files when withData, for reading and writing, shared
  // (exclusion between users rests on the layer's header file). False, nothing held,
  // when a file is missing or the header does not fit its file.
  [[nodiscard]] bool Open(const std::string& layerDir, const PyramidLevelRec& rec, bool withData);
  void Close();

  const PyramidLayerInfo& info() const { return prefix_.info; }
  const LevelGeometry& geometry() const { return geometry_; }
  int32_t tile_count() const { return static_cast<int32_t>(geometry_.tileCount); }
  platform::File& data_file_of(int64_t t) { return *dataFiles_[static_cast<size_t>(DataFileOfTile(t))]; }

  // Open, then the append positions from the DataFileEnd table: what every writer of
  // the level needs first. False (nothing held) on failure.
  [[nodiscard]] bool OpenForAppends(const std::string& layerDir, const PyramidLevelRec& rec,
                                    std::vector<uint64_t>* positions);

  [[nodiscard]] bool ReadDataFileEnds(std::vector<uint32_t>* ends);
  // Where the next payload of each data file goes: the table's figure, or the file's
  // real end when a crash left it beyond the table (a record may point there). Never
  // offset 1, which means "nothing stored".
  [[nodiscard]] bool AppendPositions(const std::vector<uint32_t>& ends, std::vector<uint64_t>* positions);
  // Writes the table from the append positions (and, when index is not empty, the
  // tile index right after it), after syncing the data files: the tables never point at
  // bytes that could still be lost.
  [[nodiscard]] bool WriteTables(const std::vector<uint64_t>& positions, std::span<const TileIndexRec> index);

  [[nodiscard]] bool ReadRecord(int32_t t, TileIndexRec* rec);
  [[nodiscard]] bool ReadIndex(std::vector<TileIndexRec>* index);
  // Sets closedOnce in the header the first time the level is closed.
  [[nodiscard]] bool MarkClosedOnce();

 private:
  LevelHeaderPrefix prefix_;
  LevelGeometry geometry_;
  std::unique_ptr<platform::File> header_;
  std::vector<std::unique_ptr<platform::File>> dataFiles_;
};

}  // namespace dembase

#endif  // DEMBASE_LOCALSTORE_LEVEL_FILE_SET_H_
