// CDemFileLayer: a layer of the local file store — a DEM_INFO header file and one
// directory of files per pyramid level beside it. It composes the header file
// (layer_header_file.h), the files of closed levels (level_files.h) and the open level
// with its tile I/O (open_level.h); the virtual operations keep their slots.
//
// While open, the layer holds its header file without sharing, so no second open of the
// same layer succeeds, in this process or another; a rewritten header is locked before
// it replaces the old one, so the hold has no gap. The header file is rewritten, whole
// and atomically, as soon as a level is created or deleted (level files are made before
// the header names them and removed after it stops naming them, so the two never
// disagree in a way the next open cannot cope with), and at close after level 1's range
// changed.
//
// Thread safety: none; one thread at a time per handle.
#ifndef DEMBASE_LOCALSTORE_DEM_FILE_LAYER_H_
#define DEMBASE_LOCALSTORE_DEM_FILE_LAYER_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cells/cell_value.h"
#include "cells/store_rule.h"
#include "dembase/dembase.h"
#include "localstore/layer_header_file.h"
#include "localstore/level_writer.h"
#include "localstore/open_level.h"
#include "localstore/tile_data_reader.h"
#include "localstore/records.h"
#include "platform/env.h"
#include "registry/data_layer.h"

namespace dembase {

class CDemFileLayer final : public CDataLayer {
 public:
  explicit CDemFileLayer(CTileCache* cache) : CDataLayer(cache) {}
  // Closes what is still open; an open level is written back first.
  ~CDemFileLayer() override;

  // Writes the header file of a new layer; see CreateLayerHeaderFile. Never opens it.
  static int16_t CreateLayerFiles(const char* path, const DataLayerParam* param);

  /* 2 */ void SetLayerOperParam(const LayerOperParam* p) override;
  /* 3 */ void GetLayerOperParam(LayerOperParam* out) override;
  /* 4 */ int32_t OpenDataLayer(int32_t dataSetId, const char* name, uint32_t mode) override;
  /* 5 */ int16_t CloseDataLayer(int32_t dataSetId, int32_t layerId) override;
  /* 6 */ int16_t GetDataLayerParam(int32_t layerId, DataLayerParam* out) override;
  /* 7 */ double GetNullValue() override;
  /* 8 */ int32_t IsNullValue(double value) override;
  /* 9 */ int16_t CreatePyramidLayer(int32_t layerId, int16_t level, double cellSizeX, double cellSizeY) override;
  /* 10 */ int16_t DeletePyramidLayer(int32_t layerId, int16_t level) override;
  /* 11 */ int16_t GetPyramidLayerInfo(int32_t layerId, int16_t level, PyramidLayerInfo* out) override;
  /* 12 */ int16_t OpenPyramidLayer(int32_t layerId, int16_t level) override;
  /* 13 */ int16_t ClosePyramidLayer(int32_t layerId) override;
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
  /* 30 */ int16_t BeginWritePyramidLayer(int16_t level) override;
  /* 31 */ int16_t EndWritePyramidLayer() override;
  /* 32 */ int16_t WriteOneTile(int32_t reserved, int32_t tileIndex, OneTileInfo* info, const void* cells) override;
  /* 33 */ int16_t BeginReadTileData(int16_t level, int32_t reserved, int32_t tileRow, int32_t tileCol) override;
  /* 34 */ int16_t EndReadTileData() override;
  /* 35 */ double ReadCellOfTileData(int32_t row, int32_t col, uint8_t* isNull) override;
  /* 36 */ void WriteBackTile(uint32_t tag) override;

  bool is_open() const { return header_ != nullptr; }

  // How many directory names a new level tries before it gives up with -3.
  static constexpr int kLevelNameTries = 64;

 private:
  // Closes the open level (writing it back) and the header file, and rewrites the
  // header file when the value range changed. False when anything was lost.
  bool CloseEverything();
  // Replaces the header file with param and the created levels, the layer held all the
  // while. A layer without levels keeps an uncreated level-1 record, so it can be
  // opened and given one again. On success levels_ follows created; *durable (when not
  // null) tells whether the new header was also made durable.
  [[nodiscard]] bool SaveHeader(const DataLayerParam& param, std::vector<PyramidLevelRec> created,
                                bool* durable = nullptr);
  // Ends a running whole-level write; false when something of it was not written.
  bool EndLevelWrite();
  // Tiles a tile-data read inflated ahead are not handed out after this: for every
  // operation that may change a level's files.
  void DropReadAhead() {
    if (spareReader_) spareReader_->DropReadAhead();
    if (tileData_) tileData_->DropReadAhead();
  }
  // The null value answered for cells that are absent or cannot be read.
  double NullCell(uint8_t* isNull) const;
  // The cell at in-tile (r, c) of tile t, fetching the tile if the cache let it go.
  double ReadCell(int32_t t, int32_t r, int32_t c, uint8_t* isNull);
  BlendSettings blend() const { return BlendSettings{blendValues_ != 0, oldWeight_, newWeight_}; }
  int16_t CreatedLevels() const { return param_.levelCount; }

  // The layer as opened.
  std::unique_ptr<platform::File> header_;  // held unshared while open
  std::string infoPath_;
  std::string layerDir_;
  std::string layerName_;
  DataLayerParam param_{};
  CellType type_ = CellType::kInt32;
  // levelCount created records; a layer without levels keeps one uncreated level-1 record.
  std::vector<PyramidLevelRec> levels_;
  bool infoDirty_ = false;

  // How written cells are stored; per object, never stored.
  uint8_t compressTiles_ = 1;
  uint8_t blendValues_ = 1;
  float oldWeight_ = 0.0f;
  float newWeight_ = 1.0f;

  int16_t openLevel_ = 0;
  std::unique_ptr<OpenLevel> level_;

  // The whole-level write, while it runs; it has its own files and never uses the cache.
  std::unique_ptr<LevelWriter> writer_;
  int16_t writerLevel_ = 0;
  // The tile of a running tile-data read and the level it came from (reported as the
  // open level while the sequence runs, though no level tables exist).
  std::unique_ptr<TileDataReader> tileData_;
  int16_t tileDataLevel_ = 0;
  // The reader of the last tile-data read, kept for its buffers.
  std::unique_ptr<TileDataReader> spareReader_;

  // The tile of a running tile-write or tile-read sequence, -1 when none.
  int32_t activeTile_ = -1;
  bool activeWasDirty_ = false;  // it held unwritten changes when the write sequence began
  bool activeFailed_ = false;    // a cell of the running sequence could not be written
};

}  // namespace dembase

#endif  // DEMBASE_LOCALSTORE_DEM_FILE_LAYER_H_
