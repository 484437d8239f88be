// OpenLevel: the open pyramid level of a local layer — its header and data files, the
// DataFileEnd table, the tile index, one TileRef per tile — and the movement of tiles
// between the data files and the data set's tile cache.
//
// Durability rules kept here:
// - a tile's record changes only after its payload was written completely, so no record
//   ever points at bytes that were not written;
// - appends go to the real end of a data file, even when the table's figure lags behind
//   it after a crash, so no stored payload is ever overwritten by another tile;
// - a payload that fits its old place, in the same form (zlib or raw), is rewritten in
//   place; anything else is appended (files only grow);
// - every failed read, inflate or write is remembered, and Close reports it.
//
// Thread safety: none; the owning layer's thread only.
#ifndef DEMBASE_LOCALSTORE_OPEN_LEVEL_H_
#define DEMBASE_LOCALSTORE_OPEN_LEVEL_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "cache/buffers.h"
#include "cache/tile_cache.h"
#include "cache/tile_ref.h"
#include "cells/cell_address.h"
#include "cells/cell_value.h"
#include "dembase/dembase.h"
#include "localstore/background_inflater.h"
#include "localstore/level_file_set.h"
#include "localstore/records.h"
#include "localstore/tile_payload.h"
#include "registry/data_layer.h"

namespace dembase {

class OpenLevel {
 public:
  // owner: the layer whose tiles these are (the cache calls it back); borrowed.
  OpenLevel(CDataLayer* owner, CTileCache* cache, CellType type);
  // Releases the level's cache slots without writing anything.
  ~OpenLevel();
  OpenLevel(const OpenLevel&) = delete;
  OpenLevel& operator=(const OpenLevel&) = delete;

  // Opens the level's files and loads its tables. False (nothing held) when a file is
  // missing or held elsewhere, a read fails, or the header does not fit its file.
  [[nodiscard]] bool Open(const std::string& layerDir, const PyramidLevelRec& rec);

  // The value range of the stored tiles, from their records, when the index changed
  // since the level was opened (for the layer's minimum and maximum).
  struct CloseOutcome {
    bool ok = true;            // every tile and table reached the disk
    bool indexChanged = false;
    double minValue = 3.402823e38;
    double maxValue = -3.402823e38;
  };
  // Writes every dirty tile, releases the cache slots, writes the tables when they
  // changed and marks the level closed once. The level is unusable afterwards.
  CloseOutcome Close();

  // Makes sure tile t has a cache block holding its cells. An empty tile fetched for
  // reading gets no block (callers test the record); fetched for writing it gets a block
  // of null cells and is marked dirty. False when the stored payload cannot be read.
  [[nodiscard]] bool FetchTile(int32_t t, bool forWrite);
  // Has tiles t + 1 and t + 2 inflated on another core when they are stored compressed
  // and not in the cache: tile-read sequences usually go on there, and their fetches
  // then only copy.
  void ReadAhead(int32_t t);
  // Recomputes tile t's statistics and empty state from its block. When that empties the
  // record of a stored tile, the stored place is noted so DropTile can go back to it.
  void ComputeTileStats(int32_t t);
  // Tile t's record with statistics of its current cells: the record lags behind cells
  // written since its statistics were made.
  const TileIndexRec& CurrentRecord(int32_t t) {
    if (ref(t).dirty && !ref(t).statsCurrent) ComputeTileStats(t);
    return record(t);
  }
  // The cache's callback: writes tile t back and clears its dirty flag.
  void WriteBack(int32_t t);
  // Forgets tile t's cached cells (its unwritten changes are lost).
  void DropTile(int32_t t);

  // Cells of tile t's block. REQUIRES: the tile holds a block.
  uint8_t* block(int32_t t) { return refs_[static_cast<size_t>(t)].block; }
  TileRef& ref(int32_t t) { return refs_[static_cast<size_t>(t)]; }
  const TileRef* refs() const { return refs_.get(); }
  const TileIndexRec& record(int32_t t) const { return index_[static_cast<size_t>(t)]; }
  bool IsEmpty(int32_t t) const { return index_[static_cast<size_t>(t)].offset == kEmptyTileOffset; }
  const PyramidLayerInfo& info() const { return files_.info(); }
  const TileGrid& grid() const { return files_.geometry().grid; }
  int32_t tile_count() const { return files_.tile_count(); }

  void set_compress(bool compress) { compress_ = compress; }
  // Whether an I/O failure has happened since the level was opened.
  bool failed() const { return failed_; }

 private:
  [[nodiscard]] bool ReadTileBlock(int32_t t);
  // ComputeTileStats without the note; safe on a worker for a tile of its own.
  void RecountTile(int32_t t);
  [[nodiscard]] bool WriteTileBlock(int32_t t);
  // Writes an encoded payload of tile t in place or at its data file's end, then its record.
  [[nodiscard]] bool PlacePayload(int32_t t, const EncodedPayload& payload);
  // Writes every dirty tile back (compressing on every core) and releases all slots.
  // False when a tile could not be written.
  [[nodiscard]] bool FlushTiles();
  [[nodiscard]] bool FlushInOrder(const std::vector<int32_t>& dirty);
  [[nodiscard]] bool FlushInParallel(const std::vector<int32_t>& dirty, unsigned workers, size_t window,
                                     std::span<uint8_t> scratch);
  void ReleaseSlot(int32_t t);

  CDataLayer* owner_;
  CTileCache* cache_;
  CellType type_;
  bool compress_ = true;
  bool failed_ = false;
  bool indexDirty_ = false;

  LevelFileSet files_;
  std::vector<uint64_t> appendAt_;  // where the next payload of each data file goes
  std::vector<TileIndexRec> index_;
  std::unique_ptr<TileRef[]> refs_;
  HeapBuffer packBuffer_;  // one payload on its way to or from disk: 2 x 262144 bytes
  // Records of stored tiles that statistics of unwritten changes emptied, by tile: a
  // discard of those changes goes back to them; a write-back forgets them. Owner thread.
  std::unordered_map<int32_t, TileIndexRec> emptiedPlaces_;
  std::unique_ptr<BackgroundInflater> ahead_;  // the tiles after the last read sequence's
};

// Test hook: level closes on this thread use this many workers (0: one per core, up to 8).
void SetFlushWorkersForTesting(unsigned workers);

}  // namespace dembase

#endif  // DEMBASE_LOCALSTORE_OPEN_LEVEL_H_
