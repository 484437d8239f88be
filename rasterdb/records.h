// The three records the raster database keeps verbatim — DataLayerParam (71 bytes),
// PyramidLayerInfo (37) and TileIndexRec (17) — as the byte arrays the backends store and
// return. The layouts are the shared codecs' (format/record_codecs.h), built into this
// library from the same source as into libdembase.
#ifndef DEMBASE_RASTERDB_RECORDS_H_
#define DEMBASE_RASTERDB_RECORDS_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "dembase/dembase.h"

namespace dembase::rasterdb {

inline constexpr std::size_t kLayerParamSize = 71;
inline constexpr std::size_t kLevelInfoSize = 37;
inline constexpr std::size_t kTileRecSize = 17;

using LayerParamBytes = std::array<uint8_t, kLayerParamSize>;
using LevelInfoBytes = std::array<uint8_t, kLevelInfoSize>;
using TileRecBytes = std::array<uint8_t, kTileRecSize>;

[[nodiscard]] LayerParamBytes EncodeLayerParam(const DataLayerParam& p);
// False when the buffer is not exactly kLayerParamSize bytes.
[[nodiscard]] bool DecodeLayerParam(std::span<const uint8_t> in, DataLayerParam* out);

[[nodiscard]] LevelInfoBytes EncodeLevelInfo(const PyramidLayerInfo& info);
[[nodiscard]] bool DecodeLevelInfo(std::span<const uint8_t> in, PyramidLayerInfo* out);

[[nodiscard]] TileRecBytes EncodeTileRec(const TileIndexRec& rec);
[[nodiscard]] bool DecodeTileRec(std::span<const uint8_t> in, TileIndexRec* out);

// The record of a tile with nothing stored: key in the offset field, packed 0, storedSize 0,
// minimum and maximum the layer's null value as float.
[[nodiscard]] TileIndexRec EmptyTileRec(uint16_t dataType, uint32_t tileKey);

// Byte offset of the tile key (TileIndexRec.offset) inside an encoded record.
inline constexpr std::size_t kTileRecKeyOffset = 0;
void PutTileKey(std::span<uint8_t, kTileRecSize> rec, uint32_t tileKey);

// Tile keys fill the record's 32 bits; 0 names no tile.
inline constexpr int64_t kMaxTileKey = 4294967295;
// Whether the count keys from first on are all tile keys. A damaged row may hold any
// first key: nothing here can overflow.
inline constexpr bool TileKeysFit(int64_t first, int64_t count) {
  return first >= 1 && count >= 0 && count <= kMaxTileKey && first - 1 <= kMaxTileKey - count;
}

}  // namespace dembase::rasterdb

#endif  // DEMBASE_RASTERDB_RECORDS_H_
