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
// A level of an integer layer may have a value attribute table, kept by libdemvat
// (vat_library.h); at most one table per layer is open at a time, whatever level is open.
//
// Thread safety: none; one thread at a time per handle.
#ifndef DEMBASE_LOCALSTORE_DEM_FILE_LAYER_H_
#define DEMBASE_LOCALSTORE_DEM_FILE_LAYER_H_

#include <cstdint>
#include <memory>
#include <optional>
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
#include "localstore/tiled_layer.h"
#include "localstore/vat_library.h"
#include "platform/env.h"

namespace dembase {

class CDemFileLayer final : public CTiledLayer {
 public:
  explicit CDemFileLayer(CTileCache* cache) : CTiledLayer(cache) {}
  // Closes what is still open; an open level is written back first.
  ~CDemFileLayer() override;

  // Writes the header file of a new layer; see CreateLayerHeaderFile. Never opens it.
  static int16_t CreateLayerFiles(const char* path, const DataLayerParam* param);

  /* 4 */ int32_t OpenDataLayer(int32_t dataSetId, const char* name, uint32_t mode) override;
  /* 5 */ int16_t CloseDataLayer(int32_t dataSetId, int32_t layerId) override;
  /* 6 */ int16_t GetDataLayerParam(int32_t layerId, DataLayerParam* out) override;
  /* 9 */ int16_t CreatePyramidLayer(int32_t layerId, int16_t level, double cellSizeX, double cellSizeY) override;
  /* 10 */ int16_t DeletePyramidLayer(int32_t layerId, int16_t level) override;
  /* 11 */ int16_t GetPyramidLayerInfo(int32_t layerId, int16_t level, PyramidLayerInfo* out) override;
  /* 12 */ int16_t OpenPyramidLayer(int32_t layerId, int16_t level) override;
  /* 13 */ int16_t ClosePyramidLayer(int32_t layerId) override;
  // Value attribute tables (dem_file_layer_vat.cc). nameOut needs DEMBASE_MAX_PATH bytes
  // and receives the system path of the table; level 0 answers 0.
  /* 15 */ int16_t GetPyLayerVatName(int32_t layerId, int16_t level, char* nameOut) override;
  /* 16 */ int16_t OpenPyLayerVAT(int32_t layerId, int16_t level, uint32_t create) override;
  /* 17 */ int16_t ClosePyLayerVAT(int32_t layerId) override;
  /* 18 */ int16_t GetItemNum(int32_t item) override;
  /* 19 */ int16_t SetBaseItemSet(int32_t itemSet, int32_t count) override;
  /* 20 */ int16_t GetBaseItemSet(int32_t itemSet) override;
  /* 30 */ int16_t BeginWritePyramidLayer(int16_t level) override;
  /* 31 */ int16_t EndWritePyramidLayer() override;
  /* 32 */ int16_t WriteOneTile(int32_t reserved, int32_t tileIndex, OneTileInfo* info, const void* cells) override;
  /* 33 */ int16_t BeginReadTileData(int16_t level, int32_t reserved, int32_t tileRow, int32_t tileCol) override;
  /* 34 */ int16_t EndReadTileData() override;
  /* 35 */ double ReadCellOfTileData(int32_t row, int32_t col, uint8_t* isNull) override;

  bool is_open() const { return header_ != nullptr; }

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
  // SaveHeader, with memory running out counted as a failure that left the old header.
  [[nodiscard]] bool SaveHeaderOrUndo(const DataLayerParam& param, std::vector<PyramidLevelRec> created);
  // Ends a running whole-level write; false when something of it was not written.
  bool EndLevelWrite();
  // Tiles a tile-data read inflated ahead are not handed out after this: for every
  // operation that may change a level's files.
  void DropReadAhead() {
    if (spareReader_) spareReader_->DropReadAhead();
    if (tileData_) tileData_->DropReadAhead();
  }
  int16_t CreatedLevels() const { return param_.levelCount; }
  // The system path of a created level's table file; nullopt for a float layer.
  std::optional<std::string> VatPathOf(int16_t level) const;

  // The layer as opened.
  std::unique_ptr<platform::File> header_;  // held unshared while open
  std::string infoPath_;
  std::string layerDir_;
  std::string layerName_;
  DataLayerParam param_{};
  // levelCount created records; a layer without levels keeps one uncreated level-1 record.
  std::vector<PyramidLevelRec> levels_;
  bool infoDirty_ = false;


  // The whole-level write, while it runs; it has its own files and never uses the cache.
  std::unique_ptr<LevelWriter> writer_;
  // The tile of a running tile-data read and the level it came from (reported as the
  // open level while the sequence runs, though no level tables exist).
  std::unique_ptr<TileDataReader> tileData_;
  // The reader of the last tile-data read, kept for its buffers.
  std::unique_ptr<TileDataReader> spareReader_;

  // The open value attribute table and the level it belongs to; null when none is open.
  std::unique_ptr<CVatLibrary> vat_;
  int16_t vatLevel_ = 0;
};

}  // namespace dembase

#endif  // DEMBASE_LOCALSTORE_DEM_FILE_LAYER_H_
