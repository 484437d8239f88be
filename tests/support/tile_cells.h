// Tile contents for tests, written out here rather than taken from the library, so a fault
// in the library's cell rules (null test, conversion, merge) shows up as a mismatch. A
// CellBlock fills a whole-level write's block, a TileContent a tile sequence.
#ifndef DEMBASE_TESTS_SUPPORT_TILE_CELLS_H_
#define DEMBASE_TESTS_SUPPORT_TILE_CELLS_H_

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <ostream>
#include <utility>
#include <vector>

#include "dembase/dembase.h"

namespace dembase::testing {

inline constexpr int32_t kEdge = 256;
inline constexpr int32_t kStep = 255;  // tiles overlap by one row and one column
inline constexpr int32_t kBlockBytes = kEdge * kEdge * 4;

inline double NullOf(uint16_t type) {
  return type == DEMBASE_TYPE_FLOAT32 ? static_cast<double>(std::bit_cast<float>(DEMBASE_NULL_FLOAT32_BITS))
                                      : static_cast<double>(DEMBASE_NULL_INT32);
}

inline bool IsNullOf(uint16_t type, double v) {
  if (type == DEMBASE_TYPE_FLOAT32) return std::isnan(v) || std::fabs(v) > 1e18 || std::fabs(v - NullOf(type)) < 1e-6;
  return v == NullOf(type);
}

class CellBlock {
 public:
  explicit CellBlock(uint16_t type) : type_(type), bits_(kEdge * kEdge, Bits(NullOf(type))) {}

  uint16_t type() const { return type_; }
  void Set(int32_t r, int32_t c, double v) { bits_[Index(r, c)] = Bits(v); }
  double Get(int32_t r, int32_t c) const {
    const uint32_t b = bits_[Index(r, c)];
    return type_ == DEMBASE_TYPE_FLOAT32 ? static_cast<double>(std::bit_cast<float>(b))
                                         : static_cast<double>(std::bit_cast<int32_t>(b));
  }
  bool IsNull(int32_t r, int32_t c) const { return IsNullOf(type_, Get(r, c)); }
  bool AllNull() const { return !Range(); }
  const void* data() const { return bits_.data(); }
  void* data() { return bits_.data(); }

  // size 262144 and the range of the non-null cells (0, 0 when there are none).
  OneTileInfo Info() const {
    const auto range = Range();
    return range ? OneTileInfo{kBlockBytes, range->first, range->second} : OneTileInfo{kBlockBytes, 0, 0};
  }

  // Every cell as a blending write with weights oldW and newW stores `written` over it:
  // a null on either side keeps the other; the sum is rounded to float or truncated.
  void MergeFrom(const CellBlock& written, float oldW, float newW) {
    for (int32_t r = 0; r < kEdge; ++r) {
      for (int32_t c = 0; c < kEdge; ++c) {
        if (written.IsNull(r, c)) continue;
        const double sum = IsNull(r, c) ? written.Get(r, c) : oldW * Get(r, c) + newW * written.Get(r, c);
        Set(r, c, type_ == DEMBASE_TYPE_FLOAT32 ? static_cast<double>(static_cast<float>(sum)) : std::trunc(sum));
      }
    }
  }

  friend bool operator==(const CellBlock& a, const CellBlock& b) { return a.type_ == b.type_ && a.bits_ == b.bits_; }

 private:
  static size_t Index(int32_t r, int32_t c) { return static_cast<size_t>(r) * kEdge + static_cast<size_t>(c); }
  uint32_t Bits(double v) const {
    return type_ == DEMBASE_TYPE_FLOAT32 ? std::bit_cast<uint32_t>(static_cast<float>(v))
                                         : std::bit_cast<uint32_t>(static_cast<int32_t>(v));
  }
  std::optional<std::pair<float, float>> Range() const {
    std::optional<std::pair<float, float>> range;
    for (int32_t r = 0; r < kEdge; ++r) {
      for (int32_t c = 0; c < kEdge; ++c) {
        if (IsNull(r, c)) continue;
        const auto v = static_cast<float>(Get(r, c));
        range = range ? std::pair{std::min(range->first, v), std::max(range->second, v)} : std::pair{v, v};
      }
    }
    return range;
  }

  uint16_t type_;
  std::vector<uint32_t> bits_;
};

// Cells base + 3r + c, null in the first nullRows rows and the first nullCols columns.
inline CellBlock Slope(uint16_t type, double base, int32_t nullRows = 0, int32_t nullCols = 0) {
  CellBlock b(type);
  for (int32_t r = nullRows; r < kEdge; ++r) {
    for (int32_t c = nullCols; c < kEdge; ++c) b.Set(r, c, base + 3 * r + c);
  }
  return b;
}
// Float tile t of a level: cells base + t * 1000 + 3r + c, null in the first nullCols columns.
inline CellBlock Cells(double base, int32_t t, int32_t nullCols = 0) {
  return Slope(DEMBASE_TYPE_FLOAT32, base + t * 1000.0, 0, nullCols);
}

inline int16_t SetOperParam(DemBaseAI* h, int32_t id, bool compress, bool blend, float oldW = 0.0f, float newW = 1.0f,
                            int32_t ds = LOCAL_DATASET_ID) {
  const LayerOperParam p{static_cast<uint8_t>(compress), static_cast<uint8_t>(blend), oldW, newW};
  return _hxSetLayerOperParam(h, ds, id, &p);
}

// Writes tile t of the running whole-level write with the range the cells have.
inline int16_t WriteTile(DemBaseAI* h, int32_t t, const CellBlock& cells) {
  OneTileInfo info = cells.Info();
  return _hxWriteOneTile(h, 0, t, &info, cells.data());
}

// Writes tile t as a tile without data (info size 0).
inline int16_t WriteNoDataTile(DemBaseAI* h, int32_t t, const CellBlock& cells) {
  OneTileInfo info{0, 0, 0};
  return _hxWriteOneTile(h, 0, t, &info, cells.data());
}

// Reads one tile of a level that is not open: the Begin result (1 cells, 2 only nulls,
// 0 refused). out receives every cell read (all null for 2); the sequence is ended.
inline int16_t ReadTileData(DemBaseAI* h, int32_t id, int16_t level, int32_t tileRow, int32_t tileCol, CellBlock* out,
                            int32_t ds = LOCAL_DATASET_ID) {
  const int16_t r = _hxBeginReadTileData(h, ds, id, level, 0, tileRow, tileCol);
  if (r < 1) return r;
  for (int32_t row = 0; row < kEdge; ++row) {
    for (int32_t col = 0; col < kEdge; ++col) {
      double v = 0;
      uint8_t isNull = 9;
      if (_hxReadCellOfTileData(h, row, col, &v, &isNull) != 1 || isNull != (IsNullOf(out->type(), v) ? 1 : 0)) {
        (void)_hxEndReadTileData(h);
        return 0;
      }
      out->Set(row, col, v);
    }
  }
  return _hxEndReadTileData(h) == 1 ? r : 0;
}

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
    if (pattern == Pattern::kNull) return std::nullopt;
    if (pattern == Pattern::kSmooth) return seed * 1000.0 + r + c;
    uint32_t h = static_cast<uint32_t>(seed) * 0x9E3779B1u ^ static_cast<uint32_t>(r) * 0x85EBCA77u ^
                 static_cast<uint32_t>(c) * 0xC2B2AE3Du;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 13;
    return static_cast<double>(h % 2000001u) - 1000000.0;
  }
  friend bool operator==(const TileContent&, const TileContent&) = default;
};

inline constexpr TileContent kNullTile{Pattern::kNull, 0};
inline constexpr TileContent Noise(int32_t seed) { return {Pattern::kNoise, seed}; }
inline constexpr TileContent Smooth(int32_t seed) { return {Pattern::kSmooth, seed}; }

// Writes all 256 x 256 cells of a tile of the open level; true when every call succeeded.
inline bool WriteTile(DemBaseAI* h, int32_t layer, int16_t level, int32_t tileRow, int32_t tileCol,
                      const TileContent& content) {
  if (_hxBeginWriteTile(h, LOCAL_DATASET_ID, layer, level, 0, tileRow, tileCol) != 1) return false;
  const double null = _hxGetNullValue(h, LOCAL_DATASET_ID, layer);
  for (int32_t r = 0; r < kEdge; ++r) {
    for (int32_t c = 0; c < kEdge; ++c) _hxWriteCellOfTile(h, r, c, content.Cell(r, c).value_or(null));
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
  for (int32_t r = 0; r < kStep; r += 13) {
    for (int32_t c = 0; c < kStep; c += 11) {
      uint8_t isNull = 9;
      const double v =
          _hxGetCell(h, LOCAL_DATASET_ID, layer, level, 0, tileRow * kStep + r, tileCol * kStep + c, &isNull);
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

#endif  // DEMBASE_TESTS_SUPPORT_TILE_CELLS_H_
