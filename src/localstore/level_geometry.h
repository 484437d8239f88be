// Geometry of a local pyramid level and the layout of its level header file: cell and
// tile counts, data files (4096 tiles each), and where each tile's record lies.
// All arithmetic is 64-bit, so no level size can overflow into a plausible value.
#ifndef DEMBASE_LOCALSTORE_LEVEL_GEOMETRY_H_
#define DEMBASE_LOCALSTORE_LEVEL_GEOMETRY_H_

#include <cstdint>
#include <optional>

#include "cells/cell_address.h"
#include "localstore/records.h"

namespace dembase {

inline constexpr int64_t kTilesPerDataFile = 4096;
inline constexpr int kTileToDataFileShift = 12;
// A level that would need more data files is refused (the layer answers -4).
inline constexpr int64_t kMaxDataFiles = 4096;

// Data file that holds tile t.
constexpr int64_t DataFileOfTile(int64_t t) { return t >> kTileToDataFileShift; }

struct LevelGeometry {
  TileGrid grid;
  int64_t tileCount = 0;      // T = tilesDown * tilesAcross
  int64_t dataFileCount = 0;  // F = ceil(T / 4096); may exceed kMaxDataFiles

  // nullopt unless 1 <= rows, cols <= INT32_MAX.
  static std::optional<LevelGeometry> FromCells(int64_t rows, int64_t cols);

  bool WithinDataFileLimit() const { return dataFileCount <= kMaxDataFiles; }

  // Offsets in the level header file.
  uint64_t DataFileEndsOffset() const { return LevelHeaderPrefix::kEncodedLength; }
  uint64_t TileIndexOffset() const {
    return LevelHeaderPrefix::kEncodedLength + static_cast<uint64_t>(dataFileCount) * kDataFileEndLength;
  }
  // REQUIRES: 0 <= t < tileCount.
  uint64_t TileRecordOffset(int64_t t) const {
    return TileIndexOffset() + static_cast<uint64_t>(t) * TileIndexRecCodec::kEncodedLength;
  }
  uint64_t HeaderFileSize() const { return TileRecordOffset(tileCount); }

  // The level header prefix of a new level with these cell sizes (closedOnce 0).
  // REQUIRES: WithinDataFileLimit().
  LevelHeaderPrefix NewHeader(double cellSizeX, double cellSizeY) const;
};

// Cells along one axis of a level: q = (max - min) / cellSize; q is rounded down,
// unless it falls short of the next whole number by less than 1e-6, and one is added.
// nullopt for non-finite input, cellSize <= 0, max < min, or a count beyond INT32_MAX.
[[nodiscard]] std::optional<int32_t> CountCells(double min, double max, double cellSize);

// Checks a level header prefix read from a file of fileSize bytes before anything is
// allocated from it: 256 x 256 tiles, tile counts that follow from the cell counts,
// F == ceil(T / 4096) <= 4096, and the whole tile index inside the file.
[[nodiscard]] std::optional<LevelGeometry> ValidateLevelHeader(const LevelHeaderPrefix& header, uint64_t fileSize);

}  // namespace dembase

#endif  // DEMBASE_LOCALSTORE_LEVEL_GEOMETRY_H_
