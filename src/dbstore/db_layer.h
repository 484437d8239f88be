// CDbLayer: a layer kept in the raster database (librasterdb). It shares everything a
// tiled layer does with the local kind (CTiledLayer: cells, tiles, statistics, the cache);
// here is how its description, levels, whole-level writes and tile-data reads reach the
// database. Seen from a caller it behaves like a local layer, except that its id is the
// database's, levels keep their numbers when another is deleted, and it has no value
// attribute tables.
//
// Thread safety: none; one thread at a time per handle (and per connection).
#ifndef DEMBASE_DBSTORE_DB_LAYER_H_
#define DEMBASE_DBSTORE_DB_LAYER_H_

#include <cstdint>
#include <memory>
#include <span>

#include "cache/buffers.h"
#include "dembase/dembase.h"
#include "localstore/background_inflater.h"
#include "localstore/tiled_layer.h"

namespace dembase {

class CDbLayer final : public CTiledLayer {
 public:
  explicit CDbLayer(CTileCache* cache) : CTiledLayer(cache) {}
  // Closes what is still open; an open level is written back first.
  ~CDbLayer() override;

  /* 1 */ void AttachConnection(uint32_t connection) override;
  /* 4 */ int32_t OpenDataLayer(int32_t dataSetId, const char* name, uint32_t mode) override;
  /* 5 */ int16_t CloseDataLayer(int32_t dataSetId, int32_t layerId) override;
  /* 6 */ int16_t GetDataLayerParam(int32_t layerId, DataLayerParam* out) override;
  /* 9 */ int16_t CreatePyramidLayer(int32_t layerId, int16_t level, double cellSizeX, double cellSizeY) override;
  /* 10 */ int16_t DeletePyramidLayer(int32_t layerId, int16_t level) override;
  /* 11 */ int16_t GetPyramidLayerInfo(int32_t layerId, int16_t level, PyramidLayerInfo* out) override;
  /* 12 */ int16_t OpenPyramidLayer(int32_t layerId, int16_t level) override;
  /* 13 */ int16_t ClosePyramidLayer(int32_t layerId) override;
  /* 30 */ int16_t BeginWritePyramidLayer(int16_t level) override;
  /* 31 */ int16_t EndWritePyramidLayer() override;
  /* 32 */ int16_t WriteOneTile(int32_t reserved, int32_t tileIndex, OneTileInfo* info, const void* cells) override;
  /* 33 */ int16_t BeginReadTileData(int16_t level, int32_t reserved, int32_t tileRow, int32_t tileCol) override;
  /* 34 */ int16_t EndReadTileData() override;
  /* 35 */ double ReadCellOfTileData(int32_t row, int32_t col, uint8_t* isNull) override;

  bool is_open() const { return layerId_ > 0; }

 private:
  // Closes the open level and ends the sequences. False when anything was lost.
  bool CloseEverything();
  bool EndLevelWrite();
  // Sets the layer's range from level 1's stored records (info: level 1's description).
  [[nodiscard]] bool StoreLevelOneRange(const PyramidLayerInfo& info);
  // Reads the tile rec describes (as the database holds it) into block, inflating through
  // scratch (kPayloadScratchBytes). 1; 2 when nothing is stored (block untouched); 0 when
  // it cannot be read.
  int16_t ReadStoredTile(const TileIndexRec& rec, uint8_t* block, std::span<uint8_t> scratch);
  // The tile-data buffer (one block, then payload scratch), allocated on first use.
  [[nodiscard]] bool HaveTileDataBuffer();
  // Has the tiles after tile t of a tile-data read inflated on another core. The database
  // is read on this thread only; the worker only inflates.
  void ReadAhead(int16_t level, const PyramidLayerInfo& info, int32_t t);

  uint32_t connection_ = 0;
  int32_t dataSetId_ = 0;
  int32_t layerId_ = 0;
  DataLayerParam param_{};

  // The whole-level write: its batch and its buffer (one block, then payload scratch).
  bool writerFailed_ = false;
  bool writerTorn_ = false;  // a tile's bytes are in the batch without their record
  HeapBuffer writerBuffer_;
  // The tile of a running tile-data read; empty for a tile with nothing stored.
  HeapBuffer tileDataBuffer_;
  bool tileDataHasCells_ = false;
  const uint8_t* tileDataBlock_ = nullptr;  // what the tile-data view reads through
  // A rewritten tile keeps its key and may keep its record: results are taken only for the
  // very payload read at Begin.
  std::unique_ptr<BackgroundInflater> ahead_;
  // Only where reading a payload twice is cheap: over a network the second read of each
  // tile costs more than the inflation saved.
  bool readAhead_ = false;
  int16_t aheadLevel_ = 0;  // the level and first tile ahead_ has not looked at yet
  int32_t aheadNext_ = 0;
};

}  // namespace dembase

#endif  // DEMBASE_DBSTORE_DB_LAYER_H_
