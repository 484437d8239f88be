// DemBaseAI: the library handle. It owns the registry of data sets and remembers which
// layer runs a tile sequence (tile write, tile read, tile-data read) and which runs a
// whole-level write, so the per-cell calls of a sequence need not name a layer.
//
// Each member answers one export after the null-handle test; results are the exports'.
// One thread at a time per handle.
#ifndef DEMBASE_API_DEM_BASE_AI_H_
#define DEMBASE_API_DEM_BASE_AI_H_

#include <cstdint>

#include "cells/cell_address.h"
#include "dembase/dembase.h"
#include "registry/registry.h"

class DemBaseAI {
 public:
  explicit DemBaseAI(dembase::LayerFactory* factory = dembase::LayerFactory::Default());
  // Closes every data set; running sequences are not ended.
  virtual ~DemBaseAI();
  DemBaseAI(const DemBaseAI&) = delete;
  DemBaseAI& operator=(const DemBaseAI&) = delete;

  int32_t OpenDataSet(const DbConnectInfo* conn, float fraction) { return registry_.OpenDataSet(conn, fraction); }
  int16_t CloseDataSet(int32_t ds) { return registry_.CloseDataSet(ds); }
  int16_t CreateDataLayer(int32_t ds, const char* name, DataLayerParam* param, uint32_t dbExtra, uint8_t roundUp) {
    return registry_.CreateDataLayer(ds, name, param, dbExtra, roundUp);
  }
  int16_t DeleteDataLayer(int32_t ds, const char* name) { return registry_.DeleteDataLayer(ds, name); }
  int16_t RenameDataLayer(int32_t ds, const char* from, const char* to) {
    return registry_.RenameDataLayer(ds, from, to);
  }
  int16_t CopyDataLayer(int32_t ds, const char* from, const char* to) { return registry_.CopyDataLayer(ds, from, to); }
  int32_t OpenDataLayer(int32_t ds, const char* name, uint32_t mode) {
    return registry_.OpenDataLayer(ds, name, mode);
  }
  int16_t CloseDataLayer(int32_t ds, int32_t layerId) { return registry_.CloseDataLayer(ds, layerId); }

  int16_t GetDataLayerParam(int32_t ds, int32_t layerId, DataLayerParam* out);
  int16_t SetLayerOperParam(int32_t ds, int32_t layerId, const LayerOperParam* p);
  int16_t GetLayerOperParam(int32_t ds, int32_t layerId, LayerOperParam* out);
  double GetNullValue(int32_t ds, int32_t layerId);
  int16_t IsNullValue(int32_t ds, int32_t layerId, double value);

  int16_t CreatePyramidLayer(int32_t ds, int32_t layerId, int16_t level, double cellSizeFirst, double cellSizeSecond);
  int16_t DeletePyramidLayer(int32_t ds, int32_t layerId, int16_t level);
  int16_t GetPyramidLayerInfo(int32_t ds, int32_t layerId, int16_t level, PyramidLayerInfo* out);
  int16_t OpenPyramidLayer(int32_t ds, int32_t layerId, int16_t level);
  int16_t ClosePyramidLayer(int32_t ds, int32_t layerId);

  int16_t GetOneTileInfo(int32_t ds, int32_t layerId, int16_t level, int32_t reserved, int32_t tileRow,
                         int32_t tileCol, OneTileInfo* out);
  int16_t SetCell(int32_t ds, int32_t layerId, int16_t level, int32_t reserved, int32_t row, int32_t col,
                  double value);
  double GetCell(int32_t ds, int32_t layerId, int16_t level, int32_t reserved, int32_t row, int32_t col,
                 uint8_t* isNull);

  int16_t BeginWriteTile(int32_t ds, int32_t layerId, int16_t level, int32_t reserved, int32_t tileRow,
                         int32_t tileCol);
  void WriteCellOfTile(int32_t row, int32_t col, double value);
  int16_t EndWriteTile(uint8_t keep);
  int16_t BeginReadTile(int32_t ds, int32_t layerId, int16_t level, int32_t reserved, int32_t tileRow,
                        int32_t tileCol);
  int16_t ReadCellOfTile(int32_t row, int32_t col, double* value, uint8_t* isNull) {
    return ReadCellOfSequence(TileSequence::kReadTile, row, col, value, isNull);
  }
  int16_t EndReadTile();

  int16_t BeginWritePyramidLayer(int32_t ds, int32_t layerId, int16_t level);
  int16_t WriteOneTile(int32_t reserved, int32_t tileIndex, OneTileInfo* info, const void* cells);
  int16_t EndWritePyramidLayer();

  int16_t BeginReadTileData(int32_t ds, int32_t layerId, int16_t level, int32_t reserved, int32_t tileRow,
                            int32_t tileCol);
  int16_t ReadCellOfTileData(int32_t row, int32_t col, double* value, uint8_t* isNull) {
    return ReadCellOfSequence(TileSequence::kReadTileData, row, col, value, isNull);
  }
  int16_t EndReadTileData();

  int16_t GetPyLayerVatName(int32_t ds, int32_t layerId, int16_t level, char* nameOut);
  int16_t OpenPyLayerVAT(int32_t ds, int32_t layerId, int16_t level, uint32_t create);
  int16_t ClosePyLayerVAT(int32_t ds, int32_t layerId);
  int16_t GetItemNum(int32_t ds, int32_t layerId, int32_t item);
  int16_t SetBaseItemSet(int32_t ds, int32_t layerId, int32_t itemSet, int32_t count);
  int16_t GetBaseItemSet(int32_t ds, int32_t layerId, int32_t itemSet);

  dembase::Registry& registry() { return registry_; }
  // Closes everything below the handle; false when something could not be written.
  [[nodiscard]] bool CloseEverything() noexcept { return registry_.CloseAllDataSets(); }

  // For the exports' per-cell fast paths (cells/cell_views.h): what each read call may
  // read without calling a layer. Each answers nothing when the full call must run.
  const dembase::OpenLevelView* RecentLevelView(int32_t ds, int32_t layerId) const {
    const dembase::CDataLayer* layer = registry_.RecentLayer(ds, layerId);
    return layer != nullptr ? &layer->open_level_view() : nullptr;
  }
  const dembase::ActiveTileView* ReadTileView() const {
    const dembase::CDataLayer* layer = TileLayerOf(TileSequence::kReadTile);
    return layer != nullptr ? &layer->read_tile_view() : nullptr;
  }
  const dembase::ActiveTileView* TileDataView() const {
    const dembase::CDataLayer* layer = TileLayerOf(TileSequence::kReadTileData);
    return layer != nullptr ? &layer->tile_data_view() : nullptr;
  }

 private:
  // The three tile sequences share one current layer; the kind tells an End or a per-cell
  // call of another kind to stay away from it.
  enum class TileSequence : uint8_t { kNone, kWriteTile, kReadTile, kReadTileData };

  // The layer when it is open and level (>= 1) is its open level; null otherwise.
  dembase::CDataLayer* LayerAtLevel(int32_t ds, int32_t layerId, int16_t level);
  void StartTileSequence(dembase::CDataLayer* layer, TileSequence kind);
  // The current tile layer when the running sequence is of this kind.
  dembase::CDataLayer* TileLayerOf(TileSequence kind) const {
    return tile_sequence_ == kind ? tile_layer_ : nullptr;
  }
  void OnLayerGone(dembase::CDataLayer* layer);
  int16_t ReadCellOfSequence(TileSequence kind, int32_t row, int32_t col, double* value, uint8_t* isNull) {
    dembase::CDataLayer* layer = TileLayerOf(kind);
    // Cells outside the tile are refused, as cell writes there are.
    if (layer == nullptr || value == nullptr || !dembase::InTile(row, col)) return 0;
    uint8_t ignored = 0;
    uint8_t* flag = isNull != nullptr ? isNull : &ignored;
    *value = kind == TileSequence::kReadTile ? layer->ReadCellOfTile(row, col, flag)
                                             : layer->ReadCellOfTileData(row, col, flag);
    return 1;
  }

  dembase::Registry registry_;
  dembase::CDataLayer* tile_layer_ = nullptr;
  TileSequence tile_sequence_ = TileSequence::kNone;
  dembase::CDataLayer* pyramid_write_layer_ = nullptr;
};

#endif  // DEMBASE_API_DEM_BASE_AI_H_
