// OpenLevel: the open pyramid level of a layer of either kind — the tile index, one
// TileRef per tile — and the movement of tiles between its LevelStore (files or the
// raster database) and the data set's tile cache.
//
// The records and the per-tile tables are read a part at a time, when a tile of the part
// is first used: opening a level of 100 000 tiles reads its header and nothing else.
// Every entry point that addresses a tile calls LoadRecordOf first; record(), IsEmpty()
// and the rest of the per-tile state may be read only for a tile whose part is loaded.
//
// Durability rules kept here:
// - a tile's record changes only after its payload was stored completely, so no record
//   ever points at bytes that were not written;
// - every failed read, inflate or write is remembered, and Close reports it.
//
// Thread safety: none; the owning layer's thread only.
#ifndef DEMBASE_LOCALSTORE_OPEN_LEVEL_H_
#define DEMBASE_LOCALSTORE_OPEN_LEVEL_H_

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "cache/buffers.h"
#include "cache/tile_cache.h"
#include "cache/tile_ref.h"
#include "cells/cell_address.h"
#include "cells/cell_value.h"
#include "dembase/dembase.h"
#include "localstore/background_inflater.h"
#include "localstore/level_store.h"
#include "localstore/records.h"
#include "localstore/tile_payload.h"
#include "registry/data_layer.h"

namespace dembase {

class OpenLevel {
 public:
  // owner: the layer whose tiles these are (the cache calls it back); borrowed.
  // store: where the tiles live; owned from Open on.
  OpenLevel(CDataLayer* owner, CTileCache* cache, CellType type);
  // Releases the level's cache slots without writing anything.
  ~OpenLevel();
  OpenLevel(const OpenLevel&) = delete;
  OpenLevel& operator=(const OpenLevel&) = delete;

  // Takes the level's store and sizes the per-tile tables (untouched until used). False
  // (nothing held) when memory is short.
  [[nodiscard]] bool Open(std::unique_ptr<LevelStore> store);

  // Makes sure the records of tile t's part are in memory. False when they cannot be
  // read (nothing of the part is then trusted; the next call tries again).
  [[nodiscard]] bool LoadRecordOf(int32_t t) { return partLoaded_[PartOf(t)] != 0 || LoadPart(PartOf(t)); }

  // The value range of the stored tiles, from their records, when asked for (for the
  // layer's minimum and maximum).
  struct CloseOutcome {
    bool ok = true;  // every tile and table reached the disk
    bool indexChanged = false;
    double minValue = 3.402823e38;
    double maxValue = -3.402823e38;
  };
  // Writes every dirty tile, releases the cache slots, writes the tables when they
  // changed and marks the level closed once; with wantRange, the range of every stored
  // tile. The level is unusable afterwards.
  CloseOutcome Close(bool wantRange);

  // Makes sure tile t has a cache block holding its cells, loading its part's records
  // first. An empty tile fetched for reading gets no block (callers test the record);
  // fetched for writing it gets a block of null cells and is marked dirty. False when
  // the records or the stored payload cannot be read.
  [[nodiscard]] bool FetchTile(int32_t t, bool forWrite);
  // Has tiles t + 1 and t + 2 inflated on another core when they are stored compressed
  // and not in the cache: tile-read sequences usually go on there, and their fetches
  // then only copy.
  void ReadAhead(int32_t t);
  // Recomputes tile t's statistics and empty state from its block. Touches tile t alone,
  // so a worker may run it for a tile of its own.
  void ComputeTileStats(int32_t t);
  // Tile t's record with statistics of its current cells: the record lags behind cells
  // written since its statistics were made.
  const TileIndexRec& CurrentRecord(int32_t t) {
    if (ref(t).dirty && !ref(t).statsCurrent) ComputeTileStats(t);
    return record(t);
  }
  // The cache's callback: writes tile t back and clears its dirty flag.
  void WriteBack(int32_t t);
  // Forgets tile t's cached cells (its unwritten changes are lost); a record those changes
  // emptied goes back to the stored one.
  void DropTile(int32_t t);

  // Cells of tile t's block. REQUIRES: the tile holds a block.
  uint8_t* block(int32_t t) { return refs_[static_cast<size_t>(t)].block; }
  // Valid for every tile: a tile outside the loaded parts is not cached.
  TileRef& ref(int32_t t) { return refs_[static_cast<size_t>(t)]; }
  TileRef* refs() const { return refs_.data(); }
  // REQUIRES: LoadRecordOf(t) succeeded.
  const TileIndexRec& record(int32_t t) const { return index_[static_cast<size_t>(t)]; }
  bool IsEmpty(int32_t t) const { return IsEmptyTileRec(index_[static_cast<size_t>(t)]); }
  const PyramidLayerInfo& info() const { return store_->info(); }
  const TileGrid& grid() const { return store_->geometry().grid; }
  int32_t tile_count() const { return tileCount_; }

  void set_compress(bool compress) { compress_ = compress; }
  // Whether an I/O failure has happened since the level was opened.
  bool failed() const { return failed_; }

 private:
  [[nodiscard]] bool ReadTileBlock(int32_t t);
  [[nodiscard]] bool WriteTileBlock(int32_t t);
  // Stores an encoded payload of tile t, then its record.
  [[nodiscard]] bool PlacePayload(int32_t t, const EncodedPayload& payload);
  // Records that tile t, all null now, stores nothing; false (and failed_) when the store refused.
  [[nodiscard]] bool RecordEmptied(int32_t t);
  // Writes every dirty tile back (compressing on every core) and releases all slots.
  // False when a tile could not be written.
  [[nodiscard]] bool FlushTiles();
  [[nodiscard]] bool FlushInOrder(const std::vector<int32_t>& dirty);
  [[nodiscard]] bool FlushInParallel(const std::vector<int32_t>& dirty, unsigned workers, size_t window,
                                     std::span<uint8_t> scratch);
  void ReleaseSlot(int32_t t);

  // Tiles of one part: 17 KiB of records, a few pages of each per-tile table.
  static constexpr int32_t kTilesPerPart = 1024;
  static size_t PartOf(int32_t t) { return static_cast<size_t>(t) / kTilesPerPart; }
  // Tiles [first, end) of part p.
  int32_t PartBegin(size_t p) const { return static_cast<int32_t>(p) * kTilesPerPart; }
  int32_t PartEnd(size_t p) const { return std::min(tileCount_, PartBegin(p) + kTilesPerPart); }
  // Calls f(t) for every tile of the loaded parts: only those can have been fetched.
  template <typename F>
  void ForEachLoadedTile(F f) {
    for (size_t p = 0; p < partLoaded_.size(); ++p) {
      for (int32_t t = PartBegin(p); partLoaded_[p] && t < PartEnd(p); ++t) f(t);
    }
  }
  [[nodiscard]] bool LoadPart(size_t p);
  [[nodiscard]] bool LoadAllParts();
  // The range of every stored tile: loaded parts from what is written, the others read
  // a few parts at a time through one buffer, without loading them.
  [[nodiscard]] bool RangeOfStoredTiles(LevelRange* range);
  CDataLayer* owner_;
  CTileCache* cache_;
  CellType type_;
  bool compress_ = true;
  bool failed_ = false;
  bool indexDirty_ = false;

  std::unique_ptr<LevelStore> store_;
  int32_t tileCount_ = 0;
  ZeroedArray<uint8_t> partLoaded_;  // by part: its records are in index_ and written_
  ZeroedArray<TileIndexRec> index_;  // live: statistics follow the cached cells
  // What the files hold: a record changes here only once its payload is stored, so a
  // failed write-back leaves the former payload with its own statistics at close.
  ZeroedArray<TileIndexRec> written_;
  ZeroedArray<TileRef> refs_;
  HeapBuffer packBuffer_;                      // one payload on its way to or from disk: 2 x 262144 bytes
  std::unique_ptr<BackgroundInflater> ahead_;  // the tiles after the last read sequence's
};

// Test hook: level closes on this thread use this many workers (0: one per core, up to 8).
void SetFlushWorkersForTesting(unsigned workers);

}  // namespace dembase

#endif  // DEMBASE_LOCALSTORE_OPEN_LEVEL_H_
