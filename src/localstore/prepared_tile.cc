#include "localstore/prepared_tile.h"

#include "cells/cell_address.h"
#include "cells/null_test.h"
#include "cells/tile_stats.h"

namespace dembase {

std::optional<PreparedTileOutcome> ResolvePreparedTile(CellType type, const OneTileInfo& info, const uint8_t* cells,
                                                       bool storedEmpty, const BlendSettings& blend, uint8_t* merge,
                                                       const std::function<bool(uint8_t*)>& readStored) {
  using Action = PreparedTileOutcome::Action;
  if (info.size == 0) {
    // A tile without data changes nothing when merging; replacing, it empties the tile.
    if (storedEmpty || blend.blendValues) return PreparedTileOutcome{Action::kKeepStored};
    return PreparedTileOutcome{Action::kStoreEmpty};
  }
  if (storedEmpty || !blend.blendValues) {
    // The caller's statistics are taken as given.
    return PreparedTileOutcome{Action::kStoreCells, cells, info.minimum, info.maximum};
  }
  // Merging: the stored cells first, then the caller's over them.
  if (!readStored(merge)) return std::nullopt;
  for (size_t i = 0; i < kTileBlockBytes; i += kCellBytes) {
    if (IsNullCellBits(type, LoadCellBits(cells + i))) continue;
    StoreIntoCell(type, blend, merge + i, LoadCellValue(type, cells + i));
  }
  // The range covers the stored cells that were kept as well as the merged ones.
  const TileStats stats = ComputeTileStats(type, TileBlock(merge, kTileBlockBytes));
  if (stats.empty) return PreparedTileOutcome{Action::kStoreEmpty};
  return PreparedTileOutcome{Action::kStoreCells, merge, stats.minimum, stats.maximum};
}

}  // namespace dembase
