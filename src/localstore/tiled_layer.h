// CTiledLayer: what every layer kind with an open level of 256 x 256 tiles shares — the
// operation parameters, the null value, the open level (OpenLevel over the kind's
// LevelStore) and the cell and tile operations on it (slots 21 to 29 and 36). The local
// kind (CDemFileLayer) and the database kind (CDbLayer) add how levels are found,
// created, opened and closed, and their whole-level writes and tile-data reads.
//
// Thread safety: none; one thread at a time per handle.
#ifndef DEMBASE_LOCALSTORE_TILED_LAYER_H_
#define DEMBASE_LOCALSTORE_TILED_LAYER_H_

#include <cstdint>
#include <memory>

#include "cells/cell_value.h"
#include "cells/store_rule.h"
#include "dembase/dembase.h"
#include "localstore/open_level.h"
#include "registry/data_layer.h"

namespace dembase {

class CTiledLayer : public CDataLayer {
 public:
  explicit CTiledLayer(CTileCache* cache) : CDataLayer(cache) {}

  /* 2 */ void SetLayerOperParam(const LayerOperParam* p) override;
  /* 3 */ void GetLayerOperParam(LayerOperParam* out) override;
  /* 7 */ double GetNullValue() override;
  /* 8 */ int32_t IsNullValue(double value) override;
  /* 14 */ int16_t GetOpenPyramidLayer() override { return level_ ? openLevel_ : tileDataLevel_; }
  /* 21 */ int16_t GetOneTileInfo(int32_t reserved, int32_t tileRow, int32_t tileCol, OneTileInfo* out) override;
  /* 22 */ int16_t SetCell(int32_t reserved, int32_t row, int32_t col, double value) override;
  /* 23 */ double GetCell(int32_t reserved, int32_t row, int32_t col, uint8_t* isNull) override;
  /* 24 */ int16_t BeginWriteTile(int32_t reserved, int32_t tileRow, int32_t tileCol) override;
  /* 25 */ int16_t EndWriteTile(uint8_t keep) override;
  /* 26 */ void WriteCellOfTile(int32_t row, int32_t col, double value) override;
  /* 27 */ int16_t BeginReadTile(int32_t reserved, int32_t tileRow, int32_t tileCol) override;
  /* 28 */ int16_t EndReadTile() override;
  /* 29 */ double ReadCellOfTile(int32_t row, int32_t col, uint8_t* isNull) override;
  /* 36 */ void WriteBackTile(uint32_t tag) override;

 protected:
  // Opens `level` over its store; cells and tiles reach it from now on. False (nothing
  // open) when memory is short.
  [[nodiscard]] bool OpenLevelOn(std::unique_ptr<LevelStore> store, int16_t level);
  // Closes the open level (writing every dirty tile to its store), with the range of its
  // stored tiles when it is level 1, whose range is the layer's. REQUIRES: a level open.
  OpenLevel::CloseOutcome CloseLevel();
  // Renumbers the levels above a deleted one.
  void LevelDeleted(int16_t level);

  // The null value answered for cells that are absent or cannot be read.
  double NullCell(uint8_t* isNull) const;
  BlendSettings blend() const { return BlendSettings{blendValues_ != 0, oldWeight_, newWeight_}; }

  CellType type_ = CellType::kInt32;
  // How written cells are stored; per object, never stored.
  uint8_t compressTiles_ = 1;
  uint8_t blendValues_ = 1;
  float oldWeight_ = 0.0f;
  float newWeight_ = 1.0f;

  int16_t openLevel_ = 0;
  std::unique_ptr<OpenLevel> level_;
  // The level of a running tile-data read (reported as the open level while the read
  // runs, though no level tables exist), and of a running whole-level write.
  int16_t tileDataLevel_ = 0;
  int16_t writerLevel_ = 0;

 private:
  // The cell at in-tile (r, c) of tile t, fetching the tile if the cache let it go.
  double ReadCell(int32_t t, int32_t r, int32_t c, uint8_t* isNull);

  // The tile of a running tile-write or tile-read sequence, -1 when none.
  int32_t activeTile_ = -1;
  bool activeWasDirty_ = false;  // it held unwritten changes when the write sequence began
  bool activeFailed_ = false;    // a cell of the running sequence could not be written
};

}  // namespace dembase

#endif  // DEMBASE_LOCALSTORE_TILED_LAYER_H_
