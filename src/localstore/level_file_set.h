// LevelFileSet: the opened files of one pyramid level — its header (geometry, data-file
// count, DataFileEnd table, tile records) and its data files — with every count checked
// against the header file before anything is sized from it.
//
// Data files after the first open when a tile of theirs is first used: a level of
// 100 000 tiles has 25 of them, and most users touch one.
#ifndef DEMBASE_LOCALSTORE_LEVEL_FILE_SET_H_
#define DEMBASE_LOCALSTORE_LEVEL_FILE_SET_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "dembase/dembase.h"
#include "localstore/level_geometry.h"
#include "localstore/records.h"
#include "platform/env.h"

namespace dembase {

class LevelFileSet {
 public:
  // Opens the header, and the first data file when withData, for reading and writing,
  // shared (exclusion between users rests on the layer's header file). False, nothing
  // held, when a file is missing or the header does not fit its file.
  [[nodiscard]] bool Open(const std::string& layerDir, const PyramidLevelRec& rec, bool withData);
  void Close();

  const PyramidLayerInfo& info() const { return prefix_.info; }
  const LevelGeometry& geometry() const { return geometry_; }
  int32_t tile_count() const { return static_cast<int32_t>(geometry_.tileCount); }
  // The data file holding tile t (0 <= t < tile_count()), opened on first use; null when
  // it cannot be opened or the set was opened without data.
  platform::File* data_file_of(int64_t t) { return DataFile(static_cast<size_t>(DataFileOfTile(t))); }
  platform::File* DataFile(size_t f);

  // Open with every data file, then the append positions from the DataFileEnd table:
  // what a writer of the whole level needs first. False (nothing held) on failure.
  [[nodiscard]] bool OpenForAppends(const std::string& layerDir, const PyramidLevelRec& rec,
                                    std::vector<uint64_t>* positions);

  [[nodiscard]] bool ReadDataFileEnds(std::vector<uint32_t>* ends);
  // Where the next payload of data file f goes: the table's figure tableEnd, or the
  // file's real end when a crash left it beyond the table (a record may point there).
  // Never offset 1, which means "nothing stored". nullopt when the file cannot be sized.
  [[nodiscard]] std::optional<uint64_t> AppendPosition(size_t f, uint32_t tableEnd);
  // Writes the table from the append positions (and, when index is not empty, the
  // tile index right after it), after syncing the data files that were opened: the
  // tables never point at bytes that could still be lost.
  [[nodiscard]] bool WriteTables(const std::vector<uint64_t>& positions, std::span<const TileIndexRec> index);

  [[nodiscard]] bool ReadRecord(int32_t t, TileIndexRec* rec);
  // The records of tiles [first, first + out.size()).
  [[nodiscard]] bool ReadRecords(int32_t first, std::span<TileIndexRec> out);
  [[nodiscard]] bool ReadIndex(std::vector<TileIndexRec>* index);
  // Sets closedOnce in the header the first time the level is closed.
  [[nodiscard]] bool MarkClosedOnce();

 private:
  LevelHeaderPrefix prefix_;
  LevelGeometry geometry_;
  std::unique_ptr<platform::File> header_;
  std::string firstDataPath_;
  std::vector<std::unique_ptr<platform::File>> dataFiles_;  // null until opened
};

}  // namespace dembase

#endif  // DEMBASE_LOCALSTORE_LEVEL_FILE_SET_H_
