// CTileCache: one data set's pool of 256 KiB tile blocks, shared by all its layers.
// A layer asks for a block with Acquire; when every block is taken a clock sweep with a
// second chance picks a victim, whose owner writes it back first if it is dirty.
//
// The pool is sized once, on the first Setup, from the physical memory figure of the
// current Env and the data set's cache fraction. Blocks never move while the pool exists,
// so a layer may address cells through its TileRef's block pointer.
//
// Ownership: layers own their TileRef arrays; a slot only points at one. A layer must
// Release every slot it holds (after flushing what it wants kept) before it or its
// TileRef array goes away, so the sweep never reaches a dangling owner or TileRef.
//
// Thread safety: none; used from its data set's thread only.
#ifndef DEMBASE_CACHE_TILE_CACHE_H_
#define DEMBASE_CACHE_TILE_CACHE_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "cache/tile_ref.h"

namespace dembase {

class CDataLayer;

struct CacheSlot {
  CDataLayer* owner = nullptr;  // null when the slot is free
  TileRef* ref = nullptr;       // the owner's TileRef of the tile in the block; null when free
  int32_t tag = -1;             // the owner's tag for the tile (its index in the level); -1 when free
  uint8_t* block = nullptr;     // fixed by Setup: pool + index x CACHE_BLOCK_SIZE
};

class CTileCache {
 public:
  static constexpr int16_t kMinSlots = 64;
  static constexpr int16_t kMaxSlots = 32767;

  CTileCache() = default;
  virtual ~CTileCache();
  CTileCache(const CTileCache&) = delete;
  CTileCache& operator=(const CTileCache&) = delete;

  // Makes the pool if there is none: total physical memory x fraction / block size
  // blocks, clamped to 64..32767. 1 when the pool exists (a later fraction changes
  // nothing), 0 when it cannot be made (the cache stays empty; a later call retries).
  [[nodiscard]] int16_t Setup(float fraction);

  // Gives a block to the tile of ref: ref gets slot, block, statsCurrent 0 and state 1;
  // its dirty flag is left alone. May evict, and write back through its owner's
  // WriteBackTile, a tile of any layer of the data set. False, with nothing touched,
  // when there is no pool or an argument is null; true without change when ref already
  // holds a block.
  bool Acquire(CDataLayer* owner, TileRef* ref, uint32_t tag);

  // Frees one slot and steps the hand back by one. The caller resets its TileRef.
  // Out-of-range slots are ignored.
  void Release(int16_t slot);

  // Frees the pool and the table; nothing is written back. REQUIRES: no layer still
  // holds a block.
  void Clear();

  int16_t slot_count() const { return slotCount_; }
  int16_t hand() const { return hand_; }
  int32_t block_size() const { return blockSize_; }
  // REQUIRES: 0 <= i < slot_count().
  const CacheSlot& slot(int16_t i) const { return slots_[i]; }

 private:
  void Take(int16_t s, CDataLayer* owner, TileRef* ref, uint32_t tag);
  void Advance() { hand_ = static_cast<int16_t>((hand_ + 1) % slotCount_); }

  std::unique_ptr<CacheSlot[]> slots_;
  int16_t slotCount_ = 0;
  int16_t hand_ = 0;  // next slot the sweep examines
  const int32_t blockSize_ = CACHE_BLOCK_SIZE;
  uint8_t* blockMemory_ = nullptr;
  size_t blockBytes_ = 0;
};

}  // namespace dembase

#endif  // DEMBASE_CACHE_TILE_CACHE_H_
