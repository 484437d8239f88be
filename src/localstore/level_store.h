// LevelStore: where the tiles of an open level live — a local level's header and data
// files, or a level in the raster database. OpenLevel keeps everything any tiled level
// does (cache residency, dirty flags, statistics, discard notes, flush order, read-ahead)
// and asks its store only to load the records, move tile bytes and record changes.
//
// Records cross this interface in one in-memory form for every store: a tile with
// nothing stored has offset kEmptyTileOffset (IsEmptyTileRec); a tile with cells but no
// bytes yet has offset 0 and storedSize 0; a stored tile has storedSize > 0. A store that
// keeps other values in its records (the database's tile keys) translates at its edge.
//
// Thread safety: the owning layer's thread only.
#ifndef DEMBASE_LOCALSTORE_LEVEL_STORE_H_
#define DEMBASE_LOCALSTORE_LEVEL_STORE_H_

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "dembase/dembase.h"
#include "localstore/level_geometry.h"
#include "localstore/tile_payload.h"

namespace dembase {

class LevelStore {
 public:
  virtual ~LevelStore() = default;

  // The level's description and geometry.
  virtual const PyramidLayerInfo& info() const = 0;
  virtual const LevelGeometry& geometry() const = 0;

  // The records of tiles [first, first + out.size()), in the in-memory form. An open
  // level asks for its records a part at a time, as its tiles are first used. False when
  // they cannot be read.
  [[nodiscard]] virtual bool LoadRecords(int32_t first, std::span<TileIndexRec> out) = 0;

  // The stored bytes of tile t as rec describes them (storedSize > 0), read into
  // scratch (kPayloadScratchBytes); nullopt when they cannot be read.
  [[nodiscard]] virtual std::optional<std::span<const uint8_t>> ReadBytes(int32_t t, const TileIndexRec& rec,
                                                                         std::span<uint8_t> scratch) = 0;
  // Stores payload as tile t's bytes and, on success, sets rec's offset (for the file
  // store), storedSize and packed to describe them. False leaves rec describing the
  // former bytes, which are still readable.
  [[nodiscard]] virtual bool StoreBytes(int32_t t, TileIndexRec* rec, const EncodedPayload& payload) = 0;
  // Tile t's record changed after its bytes were stored or it became empty. A store that
  // keeps records per tile writes it now; the file store writes the whole index at Finish.
  [[nodiscard]] virtual bool RecordChanged(int32_t t, const TileIndexRec& rec) = 0;

  // The level closes: the whole index as it stands (indexChanged: since it was loaded),
  // after every tile was stored; an unchanged index may be empty. False when something
  // did not reach the store.
  [[nodiscard]] virtual bool Finish(std::span<const TileIndexRec> index, bool indexChanged) = 0;
};

}  // namespace dembase

#endif  // DEMBASE_LOCALSTORE_LEVEL_STORE_H_
