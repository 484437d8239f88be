// One connection handle's state: its backend, the data sets and layers opened through it, the
// level geometry it has reported, and the write batch in force. Checks every argument that does
// not need the database (pointers, names, level and tile-number ranges, open ids, batch rules)
// before the backend sees the call.
//
// Batches: at most one per connection. While it runs, every other write on the connection joins
// its transaction (an embedded database has one writer) and commits or rolls back with it.
//
// Not thread-safe: callers hold mutex() around every call (the handle table does).
#ifndef DEMBASE_RASTERDB_CONNECTION_H_
#define DEMBASE_RASTERDB_CONNECTION_H_

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "backend.h"
#include "dembase/dembase.h"

namespace dembase::rasterdb {

class Connection {
 public:
  Connection(int32_t kind, std::unique_ptr<Backend> backend) : kind_(kind), backend_(std::move(backend)) {}
  ~Connection() { Close(); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  [[nodiscard]] std::mutex& mutex() { return mutex_; }
  [[nodiscard]] bool closed() const { return backend_ == nullptr; }
  [[nodiscard]] int32_t kind() const { return kind_; }
  // Rolls back a batch that was not ended and releases the backend. Idempotent.
  void Close();

  [[nodiscard]] int32_t OpenDataSet(const DbConnectInfo* info);
  void CloseDataSet(int32_t dataSetId);

  [[nodiscard]] int16_t CreateLayer(int32_t dataSetId, const char* name, const DataLayerParam* param,
                                    uint32_t dbExtra);
  [[nodiscard]] int16_t DeleteLayer(int32_t dataSetId, const char* name);
  [[nodiscard]] int32_t OpenLayer(int32_t dataSetId, const char* name);
  void CloseLayer(int32_t dataSetId, int32_t layerId);
  [[nodiscard]] int16_t GetLayerParam(int32_t layerId, DataLayerParam* out);
  [[nodiscard]] int16_t SetLayerParam(int32_t layerId, const DataLayerParam* param);

  [[nodiscard]] int16_t CreateLevel(int32_t layerId, int16_t level, const PyramidLayerInfo* info);
  [[nodiscard]] int16_t DeleteLevel(int32_t layerId, int16_t level);
  [[nodiscard]] int16_t GetLevelInfo(int32_t layerId, int16_t level, PyramidLayerInfo* out);
  [[nodiscard]] int16_t SetLevelInfo(int32_t layerId, int16_t level, const PyramidLayerInfo* info);

  [[nodiscard]] int16_t ReadTileIndex(int32_t layerId, int16_t level, TileIndexRec* out);
  [[nodiscard]] int16_t WriteTileIndex(int32_t layerId, int16_t level, const TileIndexRec* index, int32_t count);
  [[nodiscard]] int16_t ReadTileRec(int32_t layerId, int16_t level, int32_t tileNumber, TileIndexRec* out);
  [[nodiscard]] int16_t WriteTileRec(int32_t layerId, int16_t level, int32_t tileNumber, const TileIndexRec* rec);
  [[nodiscard]] int16_t ReadTileData(int32_t layerId, uint32_t tileKey, uint32_t length, void* buffer);
  [[nodiscard]] int16_t WriteTileData(int32_t layerId, uint32_t tileKey, const void* bytes, uint32_t length);

  [[nodiscard]] int16_t BeginWrite(int32_t layerId, int16_t level);
  [[nodiscard]] int16_t PutTileRec(int32_t tileNumber, const TileIndexRec* rec);
  [[nodiscard]] int16_t PutTileData(uint32_t tileKey, const void* bytes, uint32_t length);
  [[nodiscard]] int16_t EndWrite();
  [[nodiscard]] int16_t AbortWrite();

 private:
  struct OpenLayerState {
    int32_t dataSetId = 0;
    int opens = 0;
  };
  struct Batch {
    int32_t layerId = 0;
    int16_t level = 0;
  };
  using LevelKey = std::pair<int32_t, int16_t>;

  [[nodiscard]] bool LayerOpen(int32_t layerId) const;
  // Forgets a layer: its open count, the geometry reported for it, and rolls back its batch.
  void DropLayer(int32_t layerId);
  // The batch, when one runs and its transaction is still alive.
  [[nodiscard]] const Batch* LiveBatch();

  std::mutex mutex_;
  int32_t kind_;
  std::unique_ptr<Backend> backend_;
  std::map<int32_t, int> open_data_sets_;  // id -> open count
  std::map<int32_t, OpenLayerState> open_layers_;
  // Tile count of each level as last reported by GetLevelInfo or CreateLevel: the room the
  // caller made for DbReadTileIndex.
  std::map<LevelKey, int64_t> known_tile_counts_;
  std::optional<Batch> batch_;
};

}  // namespace dembase::rasterdb

#endif  // DEMBASE_RASTERDB_CONNECTION_H_
