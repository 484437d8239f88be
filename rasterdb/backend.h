// The storage behind one connection. A backend keeps data sets, layers, levels, tile records and
// tile bytes and answers with the codes of rasterdb.h (>= 1 success, 0 refused, kLevelExists).
// It trusts its caller (Connection) for what the session knows: handles, open ids, the batch in
// force, pointer and name validity. It checks everything that lives in the database: that a row
// exists, that a tile number lies inside its level, that a key belongs to the layer (and level),
// that lengths match the stored bytes. A refused call changes nothing.
//
// Transactions: a call that writes is atomic. While a batch is open every call joins it and
// commits or rolls back with it.
#ifndef DEMBASE_RASTERDB_BACKEND_H_
#define DEMBASE_RASTERDB_BACKEND_H_

#include <cstdint>
#include <span>
#include <string_view>

#include "dembase/dembase.h"

namespace dembase::rasterdb {

inline constexpr int16_t kOk = 1;
inline constexpr int16_t kRefused = 0;
inline constexpr int16_t kLevelExists = -5;

// Levels are 1..32767; a level holds at most this many tiles.
inline constexpr int64_t kMaxTilesPerLevel = int64_t{1} << 24;
// Largest tile payload kept under one key (a raw tile is 256 KiB; zlib output may be a bit more).
inline constexpr uint32_t kMaxTileBytes = 4u << 20;

class Backend {
 public:
  virtual ~Backend() = default;

  // Id (>= 1) of the data set with that name, created when missing; 0 on failure.
  [[nodiscard]] virtual int32_t OpenDataSet(std::string_view name) = 0;

  // REQUIRES: param.dataType is 6 or 7. levelCount is stored as 0 whatever param says.
  [[nodiscard]] virtual int16_t CreateLayer(int32_t dataSetId, std::string_view name, const DataLayerParam& param,
                                            uint32_t dbExtra) = 0;
  // Layer id (>= 1) of that name in the data set, or 0.
  [[nodiscard]] virtual int32_t FindLayer(int32_t dataSetId, std::string_view name) = 0;
  // Refused while another connection, in any process, holds the layer open.
  [[nodiscard]] virtual int16_t DeleteLayer(int32_t dataSetId, int32_t layerId) = 0;
  // Tells other connections that this one has the layer open, until ReleaseLayer. False
  // when the layer is being deleted.
  [[nodiscard]] virtual bool HoldLayer(int32_t layerId) = 0;
  virtual void ReleaseLayer(int32_t layerId) = 0;
  [[nodiscard]] virtual int16_t GetLayerParam(int32_t layerId, DataLayerParam* out) = 0;
  // Keeps the stored levelCount (the database counts levels itself); refuses a new dataType.
  [[nodiscard]] virtual int16_t SetLayerParam(int32_t layerId, const DataLayerParam& param) = 0;

  // REQUIRES: info has a tile count in 1..kMaxTilesPerLevel. kLevelExists when it exists.
  [[nodiscard]] virtual int16_t CreateLevel(int32_t layerId, int16_t level, const PyramidLayerInfo& info) = 0;
  [[nodiscard]] virtual int16_t DeleteLevel(int32_t layerId, int16_t level) = 0;
  [[nodiscard]] virtual int16_t GetLevelInfo(int32_t layerId, int16_t level, PyramidLayerInfo* out) = 0;
  // Refuses a record whose tilesDown or tilesAcross differ from the level's: the tile records
  // were made for that geometry.
  [[nodiscard]] virtual int16_t SetLevelInfo(int32_t layerId, int16_t level, const PyramidLayerInfo& info) = 0;

  // out.size() and index.size() must equal the level's tile count.
  [[nodiscard]] virtual int16_t ReadTileIndex(int32_t layerId, int16_t level, std::span<TileIndexRec> out) = 0;
  [[nodiscard]] virtual int16_t WriteTileIndex(int32_t layerId, int16_t level,
                                               std::span<const TileIndexRec> index) = 0;
  [[nodiscard]] virtual int16_t ReadTileRec(int32_t layerId, int16_t level, int32_t tileNumber,
                                            TileIndexRec* out) = 0;
  [[nodiscard]] virtual int16_t WriteTileRec(int32_t layerId, int16_t level, int32_t tileNumber,
                                             const TileIndexRec& rec) = 0;

  // out.size() must equal the number of bytes stored under the key (0 when nothing is stored).
  [[nodiscard]] virtual int16_t ReadTileData(int32_t layerId, uint32_t tileKey, std::span<uint8_t> out) = 0;
  // level 0: the key may belong to any level of the layer. Empty bytes store nothing.
  [[nodiscard]] virtual int16_t WriteTileData(int32_t layerId, int16_t level, uint32_t tileKey,
                                              std::span<const uint8_t> bytes) = 0;

  // Opens the batch transaction; refused when the level does not exist.
  [[nodiscard]] virtual int16_t BeginBatch(int32_t layerId, int16_t level) = 0;
  // False once the batch transaction is gone (never begun, or rolled back by the engine).
  [[nodiscard]] virtual bool BatchAlive() = 0;
  [[nodiscard]] virtual int16_t CommitBatch() = 0;
  virtual void RollbackBatch() = 0;
};

}  // namespace dembase::rasterdb

#endif  // DEMBASE_RASTERDB_BACKEND_H_
