// FileLevelStore: the LevelStore of a local level — its .Hdr file with the DataFileEnd
// table and the tile index, and its data files.
//
// Durability rules kept here:
// - appends go to the real end of a data file, even when the table's figure lags behind
//   it after a crash, so no stored payload is ever overwritten by another tile;
// - a payload that a record on disk may name is never overwritten: a tile's new payload
//   is appended, and rewritten in place only over a payload appended since the level was
//   opened and no bigger than that, which no record on disk names yet. A writer killed at
//   any moment thus leaves every record naming the payload it describes (files only grow,
//   by at most one copy of each tile changed per open);
// - the tables are written at Finish, after the data files were synced.
#ifndef DEMBASE_LOCALSTORE_FILE_LEVEL_STORE_H_
#define DEMBASE_LOCALSTORE_FILE_LEVEL_STORE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "localstore/level_file_set.h"
#include "localstore/level_store.h"
#include "localstore/records.h"
#include "localstore/writeback_pacer.h"

namespace dembase {

class FileLevelStore final : public LevelStore {
 public:
  // Opens the level's header and first data file; the other data files open when a
  // tile of theirs is first read or written. False (nothing held) when a file is missing
  // or held elsewhere, or the header does not fit its file.
  [[nodiscard]] bool Open(const std::string& layerDir, const PyramidLevelRec& rec);

  const PyramidLayerInfo& info() const override { return files_.info(); }
  const LevelGeometry& geometry() const override { return files_.geometry(); }
  [[nodiscard]] bool LoadRecords(int32_t first, std::span<TileIndexRec> out) override;
  [[nodiscard]] std::optional<std::span<const uint8_t>> ReadBytes(int32_t t, const TileIndexRec& rec,
                                                                 std::span<uint8_t> scratch) override;
  [[nodiscard]] bool StoreBytes(int32_t t, TileIndexRec* rec, const EncodedPayload& payload) override;
  [[nodiscard]] bool RecordChanged(int32_t, const TileIndexRec&) override { return true; }
  [[nodiscard]] bool Finish(std::span<const TileIndexRec> index, bool indexChanged) override;

 private:
  // Sizes data file f on its first write: the appends of a file go behind whatever it
  // holds, even behind a table that lags after a crash.
  [[nodiscard]] bool PrepareAppends(size_t f);

  LevelFileSet files_;
  // Where the next payload of each data file goes; the DataFileEnd table's figure until
  // the file's first write of this open.
  std::vector<uint64_t> appendAt_;
  std::vector<uint64_t> openedEnd_;  // each data file's append position before its first write
  std::vector<char> prepared_;       // PrepareAppends ran for the file
  WritebackPacer pacer_;
};

}  // namespace dembase

#endif  // DEMBASE_LOCALSTORE_FILE_LEVEL_STORE_H_
