// LevelWriter: the whole-level write of a local layer — prepared tiles stored straight
// into a level that is not open, merged with what is stored or replacing it, without
// the tile cache.
//
// Each tile's payload is appended (never rewritten in place) and its record is written
// to the level header at once, only after the payload was written completely; the
// DataFileEnd table follows at End. After a crash the table can lag behind the files,
// so appends always go to a data file's real end.
#ifndef DEMBASE_LOCALSTORE_LEVEL_WRITER_H_
#define DEMBASE_LOCALSTORE_LEVEL_WRITER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "cache/buffers.h"
#include "cells/cell_value.h"
#include "cells/store_rule.h"
#include "dembase/dembase.h"
#include "localstore/level_file_set.h"
#include "localstore/records.h"
#include "localstore/writeback_pacer.h"

namespace dembase {

class LevelWriter {
 public:
  explicit LevelWriter(CellType type) : type_(type) {}

  // Opens the level's files and reads its tables and tile index. False (nothing held) on
  // failure.
  [[nodiscard]] bool Begin(const std::string& layerDir, const PyramidLevelRec& rec);

  // Stores tile t from info and 262144 bytes of cells (the layer's cell type, row-major).
  // blend merges with the stored tile (a null-like new cell keeps the stored one);
  // otherwise the new cells replace it, and info->size 0 empties the tile.
  // 1 when the tile was stored, 0 when nothing was changed. A failure to read or write
  // (not a refused argument) also makes End answer false. Records stay in memory until
  // End: on disk the level keeps its old records until every new payload is durable.
  int16_t WriteOneTile(int32_t t, const OneTileInfo& info, const uint8_t* cells, const BlendSettings& blend,
                       bool compress);

  // The range of the level's non-empty tiles, from their records.
  struct ValueRange {
    bool known = false;  // false when the records could not be read
    double minValue = 3.402823e38;
    double maxValue = -3.402823e38;
  };
  // Makes the new payloads durable, then writes the DataFileEnd table and the records in
  // one write, and marks the level closed once; range receives the level's value range
  // when it is not null. False when anything written during the sequence failed. The
  // writer is unusable afterwards.
  bool End(ValueRange* range);

 private:
  // Notes a failure that End must report; answers WriteOneTile's 0.
  int16_t Fail() {
    failed_ = true;
    return 0;
  }
  // Appends the payload of block and updates the record; false when nothing changed.
  [[nodiscard]] bool Store(int32_t t, const uint8_t* block, bool compress, TileIndexRec rec);

  CellType type_;
  bool running_ = false;
  bool failed_ = false;
  LevelFileSet files_;
  std::vector<uint64_t> appendAt_;
  std::vector<TileIndexRec> index_;  // the level's records as this write leaves them
  HeapBuffer buffer_;  // the merge block, then room for one compressed payload
  WritebackPacer pacer_;
};

}  // namespace dembase

#endif  // DEMBASE_LOCALSTORE_LEVEL_WRITER_H_
