// TileRef: where one tile of a layer's open level sits in its data set's tile cache.
// One per tile, in an array owned by the layer; the cache points into that array
// while the tile holds a block.
#ifndef DEMBASE_CACHE_TILE_REF_H_
#define DEMBASE_CACHE_TILE_REF_H_

#include <cstdint>

namespace dembase {

// The cells of one 256 x 256 tile of 4-byte cells.
inline constexpr int32_t CACHE_BLOCK_SIZE = 262144;

// All zero bits is a tile out of the cache, so a level's table of them can start as
// untouched zero pages.
struct TileRef {
  static constexpr uint8_t kNotCached = 0;
  static constexpr uint8_t kEvictable = 1;
  static constexpr uint8_t kSecondChance = 2;

  int16_t slot = 0;          // cache slot holding the tile; meaningful only while cached()
  uint8_t* block = nullptr;  // the slot's block; null when not cached
  uint8_t dirty = 0;         // set and cleared by the layer; the cache only reads it
  uint8_t statsCurrent = 0;  // the tile's min and max are up to date; cleared by the cache
  uint8_t state = kNotCached;

  bool cached() const { return state != kNotCached; }
  void Reset() { *this = TileRef{}; }
};

}  // namespace dembase

#endif  // DEMBASE_CACHE_TILE_REF_H_
