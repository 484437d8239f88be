// What a whole-level write makes of a prepared tile over the tile stored before: the one
// rule both layer kinds follow. Without blending the caller's cells and statistics are
// taken as given; blending merges them into the stored cells (a null-like new cell keeps
// the stored one) and recounts the statistics over the merged tile.
#ifndef DEMBASE_LOCALSTORE_PREPARED_TILE_H_
#define DEMBASE_LOCALSTORE_PREPARED_TILE_H_

#include <cstdint>
#include <functional>
#include <optional>

#include "cells/cell_value.h"
#include "cells/store_rule.h"
#include "dembase/dembase.h"

namespace dembase {

struct PreparedTileOutcome {
  enum class Action : uint8_t { kKeepStored, kStoreEmpty, kStoreCells };
  Action action = Action::kKeepStored;
  const uint8_t* cells = nullptr;  // kStoreCells: the block to store (the caller's or merge)
  float minimum = 0;
  float maximum = 0;
};

// info and cells are the caller's (cells may be null when info.size is 0); merge is a
// block of scratch; readStored fills it with the stored cells and answers false when
// they cannot be read, which makes the result nullopt.
[[nodiscard]] std::optional<PreparedTileOutcome> ResolvePreparedTile(CellType type, const OneTileInfo& info,
                                                                     const uint8_t* cells, bool storedEmpty,
                                                                     const BlendSettings& blend, uint8_t* merge,
                                                                     const std::function<bool(uint8_t*)>& readStored);

}  // namespace dembase

#endif  // DEMBASE_LOCALSTORE_PREPARED_TILE_H_
