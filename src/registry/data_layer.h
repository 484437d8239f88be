// CDataLayer: the one interface behind which both layer kinds (local files and the
// raster database) sit. The handle, the registry and the tile cache reach a layer only
// through these virtual operations; their declaration order is the fixed slot order.
//
// Results: int16 >= 1 success, 0 failure, negative codes from the layer kind. The base
// class answers 0 (0.0, nothing) for every operation a kind does not override.
#ifndef DEMBASE_REGISTRY_DATA_LAYER_H_
#define DEMBASE_REGISTRY_DATA_LAYER_H_

#include <cstdint>

#include "cells/cell_views.h"
#include "dembase/dembase.h"

namespace dembase {

class CTileCache;

class CDataLayer {
 public:
  // cache: the data set's tile cache; borrowed, outlives the layer.
  explicit CDataLayer(CTileCache* cache) : cache_(cache) {}
  CDataLayer(const CDataLayer&) = delete;
  CDataLayer& operator=(const CDataLayer&) = delete;

  /* 0 */ virtual ~CDataLayer();
  /* 1 */ virtual void AttachConnection(uint32_t /*connection*/) {}
  /* 2 */ virtual void SetLayerOperParam(const LayerOperParam* /*p*/) {}
  /* 3 */ virtual void GetLayerOperParam(LayerOperParam* /*out*/) {}
  /* 4 */ virtual int32_t OpenDataLayer(int32_t /*dataSetId*/, const char* /*name*/, uint32_t /*mode*/) {
    return 0;
  }
  /* 5 */ virtual int16_t CloseDataLayer(int32_t /*dataSetId*/, int32_t /*layerId*/) { return 0; }
  /* 6 */ virtual int16_t GetDataLayerParam(int32_t /*layerId*/, DataLayerParam* /*out*/) { return 0; }
  /* 7 */ virtual double GetNullValue() { return 0.0; }
  /* 8 */ virtual int32_t IsNullValue(double /*value*/) { return 0; }
  /* 9 */ virtual int16_t CreatePyramidLayer(int32_t /*layerId*/, int16_t /*level*/, double /*cellSizeFirst*/,
                                             double /*cellSizeSecond*/) {
    return 0;
  }
  /* 10 */ virtual int16_t DeletePyramidLayer(int32_t /*layerId*/, int16_t /*level*/) { return 0; }
  /* 11 */ virtual int16_t GetPyramidLayerInfo(int32_t /*layerId*/, int16_t /*level*/, PyramidLayerInfo* /*out*/) {
    return 0;
  }
  /* 12 */ virtual int16_t OpenPyramidLayer(int32_t /*layerId*/, int16_t /*level*/) { return 0; }
  /* 13 */ virtual int16_t ClosePyramidLayer(int32_t /*layerId*/) { return 0; }
  /* 14 */ virtual int16_t GetOpenPyramidLayer() { return 0; }
  /* 15 */ virtual int16_t GetPyLayerVatName(int32_t /*layerId*/, int16_t /*level*/, char* /*nameOut*/) {
    return 0;
  }
  /* 16 */ virtual int16_t OpenPyLayerVAT(int32_t /*layerId*/, int16_t /*level*/, uint32_t /*create*/) {
    return 0;
  }
  /* 17 */ virtual int16_t ClosePyLayerVAT(int32_t /*layerId*/) { return 0; }
  /* 18 */ virtual int16_t GetItemNum(int32_t /*item*/) { return 0; }
  /* 19 */ virtual int16_t SetBaseItemSet(int32_t /*itemSet*/, int32_t /*count*/) { return 0; }
  /* 20 */ virtual int16_t GetBaseItemSet(int32_t /*itemSet*/) { return 0; }
  /* 21 */ virtual int16_t GetOneTileInfo(int32_t /*reserved*/, int32_t /*tileRow*/, int32_t /*tileCol*/,
                                          OneTileInfo* /*out*/) {
    return 0;
  }
  /* 22 */ virtual int16_t SetCell(int32_t /*reserved*/, int32_t /*row*/, int32_t /*col*/, double /*value*/) {
    return 0;
  }
  /* 23 */ virtual double GetCell(int32_t /*reserved*/, int32_t /*row*/, int32_t /*col*/, uint8_t* /*isNull*/) {
    return 0.0;
  }
  /* 24 */ virtual int16_t BeginWriteTile(int32_t /*reserved*/, int32_t /*tileRow*/, int32_t /*tileCol*/) {
    return 0;
  }
  /* 25 */ virtual int16_t EndWriteTile(uint8_t /*keep*/) { return 0; }
  /* 26 */ virtual void WriteCellOfTile(int32_t /*row*/, int32_t /*col*/, double /*value*/) {}
  /* 27 */ virtual int16_t BeginReadTile(int32_t /*reserved*/, int32_t /*tileRow*/, int32_t /*tileCol*/) {
    return 0;
  }
  /* 28 */ virtual int16_t EndReadTile() { return 0; }
  /* 29 */ virtual double ReadCellOfTile(int32_t /*row*/, int32_t /*col*/, uint8_t* /*isNull*/) { return 0.0; }
  /* 30 */ virtual int16_t BeginWritePyramidLayer(int16_t /*level*/) { return 0; }
  /* 31 */ virtual int16_t EndWritePyramidLayer() { return 0; }
  /* 32 */ virtual int16_t WriteOneTile(int32_t /*reserved*/, int32_t /*tileIndex*/, OneTileInfo* /*info*/,
                                        const void* /*cells*/) {
    return 0;
  }
  /* 33 */ virtual int16_t BeginReadTileData(int16_t /*level*/, int32_t /*reserved*/, int32_t /*tileRow*/,
                                             int32_t /*tileCol*/) {
    return 0;
  }
  /* 34 */ virtual int16_t EndReadTileData() { return 0; }
  /* 35 */ virtual double ReadCellOfTileData(int32_t /*row*/, int32_t /*col*/, uint8_t* /*isNull*/) {
    return 0.0;
  }
  // Called by the tile cache before it reuses the block of a dirty tile of this layer;
  // tag is what the layer gave to Acquire. The layer writes the cells and clears dirty.
  /* 36 */ virtual void WriteBackTile(uint32_t /*tag*/) {}

  // What the per-cell read calls may read without calling the layer; empty views make
  // every call take the virtual operation.
  const OpenLevelView& open_level_view() const { return openLevelView_; }
  const ActiveTileView& read_tile_view() const { return readTileView_; }
  const ActiveTileView& tile_data_view() const { return tileDataView_; }

 protected:
  CTileCache* cache() const { return cache_; }

  OpenLevelView openLevelView_;
  ActiveTileView readTileView_;  // the tile of a running tile-read sequence
  ActiveTileView tileDataView_;  // the tile of a running tile-data read

 private:
  CTileCache* cache_;
};

}  // namespace dembase

#endif  // DEMBASE_REGISTRY_DATA_LAYER_H_
