// TileDataReader: the cells of one tile of a level that is not open, read once at Begin
// and handed out cell by cell. A reader keeps its buffers from one tile to the next, so
// a pass over a level allocates them once, and inflates the next tiles in row-major
// order on another core while the caller reads the current one.
#ifndef DEMBASE_LOCALSTORE_TILE_DATA_READER_H_
#define DEMBASE_LOCALSTORE_TILE_DATA_READER_H_

#include <cstdint>
#include <memory>
#include <string>

#include "cache/buffers.h"
#include "cells/cell_value.h"
#include "cells/cell_views.h"
#include "localstore/background_inflater.h"
#include "localstore/level_file_set.h"
#include "localstore/records.h"

namespace dembase {

class TileDataReader {
 public:
  explicit TileDataReader(CellType type) : type_(type) {}

  // 1 when the tile's cells were read, 2 when the tile holds only nulls (nothing is
  // read), 0 on failure (no such tile, unreadable files). No file stays open.
  int16_t Begin(const std::string& layerDir, const PyramidLevelRec& rec, int32_t tileRow, int32_t tileCol);
  // Forgets the tile; the buffers stay for the next Begin.
  void End() { current_ = nullptr; }

  // In-tile (row, col); the null value with isNull 1 outside the tile or for an all-null tile.
  double ReadCell(int32_t row, int32_t col, uint8_t* isNull) const;
  // The held tile's cells, valid until End, the next Begin or the reader's end.
  ActiveTileView view() const { return ActiveTileView{&current_, type_}; }
  // Forgets the tile inflated ahead; for callers about to change a level's files.
  void DropReadAhead() {
    if (ahead_) ahead_->Drop();
  }

 private:
  // Reads the payloads of tiles t + 1 and t + 2 and has them inflated in the background.
  void ReadAhead(LevelFileSet& files, const PyramidLevelRec& rec, int32_t t);

  CellType type_;
  HeapBuffer cells_;
  HeapBuffer scratch_;
  const uint8_t* current_ = nullptr;  // cells_ while they hold the tile of the last Begin
  std::unique_ptr<BackgroundInflater> ahead_;
  std::string aheadLevel_;  // data file of the level ahead_ works for
};

}  // namespace dembase

#endif  // DEMBASE_LOCALSTORE_TILE_DATA_READER_H_
