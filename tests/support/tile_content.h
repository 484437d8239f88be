// Recognisable tile contents for end-to-end tests: a tile is written whole through the
// tile-write sequence of the exports and later classified, from a grid of sampled
// cells, as holding one of two expected contents, only nulls, or something else.
// Tests only.
#ifndef DEMBASE_TESTS_SUPPORT_TILE_CONTENT_H_
#define DEMBASE_TESTS_SUPPORT_TILE_CONTENT_H_

#include <cstdint>
#include <optional>
#include <ostream>

#include "dembase/dembase.h"

namespace dembase::testing {

enum class Pattern : uint8_t {
  kNull,    // every cell null
  kNoise,   // hashed values: compresses poorly
  kSmooth,  // a ramp: compresses well
};

struct TileContent {
  Pattern pattern = Pattern::kNull;
  int32_t seed = 0;

  // The value of in-tile cell (r, c); nullopt for a null cell. Whole numbers below
  // 2^24, so integer and float layers hold them exactly.
  std::optional<double> Cell(int32_t r, int32_t c) const {
    switch (pattern) {
      case Pattern::kNull:
        return std::nullopt;
      case Pattern::kSmooth:
        return seed * 1000.0 + r + c;
      case Pattern::kNoise: {
        uint32_t h = static_cast<uint32_t>(seed) * 0x9E3779B1u ^ static_cast<uint32_t>(r) * 0x85EBCA77u ^
                     static_cast<uint32_t>(c) * 0xC2B2AE3Du;
        h ^= h >> 15;
        h *= 0x2C1B3C6Du;
        h ^= h >> 13;
        return static_cast<double>(h % 2000001u) - 1000000.0;
      }
    }
    return std::nullopt;
  }
  friend bool operator==(const TileContent&, const TileContent&) = default;
};

inline std::ostream& operator<<(std::ostream& os, const TileContent& c) {
  return os << (c.pattern == Pattern::kNull ? "null" : c.pattern == Pattern::kNoise ? "noise" : "smooth") << "/"
            << c.seed;
}

inline constexpr TileContent kNullTile{Pattern::kNull, 0};
inline constexpr TileContent Noise(int32_t seed) { return {Pattern::kNoise, seed}; }
inline constexpr TileContent Smooth(int32_t seed) { return {Pattern::kSmooth, seed}; }

// Writes all 256 x 256 cells of a tile of the open level; true when every call succeeded.
inline bool WriteTile(DemBaseAI* h, int32_t layer, int16_t level, int32_t tileRow, int32_t tileCol,
                      const TileContent& content) {
  if (_hxBeginWriteTile(h, LOCAL_DATASET_ID, layer, level, 0, tileRow, tileCol) != 1) return false;
  const double null = _hxGetNullValue(h, LOCAL_DATASET_ID, layer);
  for (int32_t r = 0; r < 256; ++r) {
    for (int32_t c = 0; c < 256; ++c) _hxWriteCellOfTile(h, r, c, content.Cell(r, c).value_or(null));
  }
  return _hxEndWriteTile(h, 1) == 1;
}

enum class Seen : uint8_t { kFirst, kSecond, kNulls, kOther };

inline std::ostream& operator<<(std::ostream& os, Seen s) {
  const char* names[] = {"first", "second", "nulls", "other"};
  return os << names[static_cast<int>(s)];
}

// What the sampled cells of a tile of the open level hold: first (every sample as in
// `first`), second, only nulls, or anything else. The samples start at the tile's first
// cell (a short payload overwriting a longer one in place changes only the first cells)
// and avoid the last row and column, which belong to the neighbouring tiles.
inline Seen ClassifyTile(DemBaseAI* h, int32_t layer, int16_t level, int32_t tileRow, int32_t tileCol,
                         const TileContent& first, const TileContent& second) {
  bool isFirst = true, isSecond = true, nulls = true;
  for (int32_t r = 0; r < 255; r += 13) {
    for (int32_t c = 0; c < 255; c += 11) {
      uint8_t isNull = 9;
      const double v = _hxGetCell(h, LOCAL_DATASET_ID, layer, level, 0, tileRow * 255 + r, tileCol * 255 + c, &isNull);
      const auto matches = [&](const TileContent& want) {
        const std::optional<double> cell = want.Cell(r, c);
        return cell ? isNull == 0 && v == *cell : isNull == 1;
      };
      isFirst = isFirst && matches(first);
      isSecond = isSecond && matches(second);
      nulls = nulls && isNull == 1 && v == _hxGetNullValue(h, LOCAL_DATASET_ID, layer);
    }
  }
  if (isFirst) return Seen::kFirst;
  if (isSecond) return Seen::kSecond;
  return nulls ? Seen::kNulls : Seen::kOther;
}

}  // namespace dembase::testing

#endif  // DEMBASE_TESTS_SUPPORT_TILE_CONTENT_H_
