#include "api/dem_base_ai.h"

#include "cells/tile_stats.h"

using dembase::CDataLayer;

DemBaseAI::DemBaseAI(dembase::LayerFactory* factory) : registry_(factory) {
  registry_.set_layer_gone_listener([this](CDataLayer* layer) { OnLayerGone(layer); });
}

DemBaseAI::~DemBaseAI() { registry_.set_layer_gone_listener(nullptr); }

// A closed layer must never be reached through a sequence member again.
void DemBaseAI::OnLayerGone(CDataLayer* layer) {
  if (tile_layer_ == layer) {
    tile_layer_ = nullptr;
    tile_sequence_ = TileSequence::kNone;
  }
  if (pyramid_write_layer_ == layer) pyramid_write_layer_ = nullptr;
}

CDataLayer* DemBaseAI::LayerAtLevel(int32_t ds, int32_t layerId, int16_t level) {
  // Level 0 would match a layer with no level open, which has no tiles to address.
  if (level < 1) return nullptr;
  CDataLayer* layer = registry_.FindLayer(ds, layerId);
  if (layer == nullptr || layer->GetOpenPyramidLayer() != level) return nullptr;
  return layer;
}

void DemBaseAI::StartTileSequence(CDataLayer* layer, TileSequence kind) {
  tile_layer_ = layer;
  tile_sequence_ = kind;
}

// --- layer description ---

int16_t DemBaseAI::GetDataLayerParam(int32_t ds, int32_t layerId, DataLayerParam* out) {
  CDataLayer* layer = registry_.FindLayer(ds, layerId);
  if (layer == nullptr || out == nullptr) return 0;
  return layer->GetDataLayerParam(layerId, out);
}

int16_t DemBaseAI::SetLayerOperParam(int32_t ds, int32_t layerId, const LayerOperParam* p) {
  CDataLayer* layer = registry_.FindLayer(ds, layerId);
  if (layer == nullptr || p == nullptr) return 0;
  layer->SetLayerOperParam(p);
  return 1;
}

int16_t DemBaseAI::GetLayerOperParam(int32_t ds, int32_t layerId, LayerOperParam* out) {
  CDataLayer* layer = registry_.FindLayer(ds, layerId);
  if (layer == nullptr || out == nullptr) return 0;
  layer->GetLayerOperParam(out);
  return 1;
}

double DemBaseAI::GetNullValue(int32_t ds, int32_t layerId) {
  CDataLayer* layer = registry_.FindLayer(ds, layerId);
  return layer == nullptr ? 0.0 : layer->GetNullValue();
}

int16_t DemBaseAI::IsNullValue(int32_t ds, int32_t layerId, double value) {
  CDataLayer* layer = registry_.FindLayer(ds, layerId);
  return layer == nullptr ? 0 : static_cast<int16_t>(layer->IsNullValue(value) != 0);
}

// --- pyramid levels ---

int16_t DemBaseAI::CreatePyramidLayer(int32_t ds, int32_t layerId, int16_t level, double cellSizeFirst,
                                      double cellSizeSecond) {
  CDataLayer* layer = registry_.FindLayer(ds, layerId);
  return layer == nullptr ? 0 : layer->CreatePyramidLayer(layerId, level, cellSizeFirst, cellSizeSecond);
}

int16_t DemBaseAI::DeletePyramidLayer(int32_t ds, int32_t layerId, int16_t level) {
  CDataLayer* layer = registry_.FindLayer(ds, layerId);
  return layer == nullptr ? 0 : layer->DeletePyramidLayer(layerId, level);
}

int16_t DemBaseAI::GetPyramidLayerInfo(int32_t ds, int32_t layerId, int16_t level, PyramidLayerInfo* out) {
  CDataLayer* layer = registry_.FindLayer(ds, layerId);
  if (layer == nullptr || out == nullptr) return 0;
  return layer->GetPyramidLayerInfo(layerId, level, out);
}

int16_t DemBaseAI::OpenPyramidLayer(int32_t ds, int32_t layerId, int16_t level) {
  CDataLayer* layer = registry_.FindLayerForPyramidOpen(ds, layerId);
  return layer == nullptr ? 0 : layer->OpenPyramidLayer(layerId, level);
}

int16_t DemBaseAI::ClosePyramidLayer(int32_t ds, int32_t layerId) {
  CDataLayer* layer = registry_.FindLayer(ds, layerId);
  if (layer == nullptr) return 0;
  // A tile sequence on the open level ends with it: its per-cell calls are refused
  // rather than answered from a level that is gone.
  if (layer == tile_layer_ &&
      (tile_sequence_ == TileSequence::kWriteTile || tile_sequence_ == TileSequence::kReadTile)) {
    StartTileSequence(nullptr, TileSequence::kNone);
  }
  return layer->ClosePyramidLayer(layerId);
}

// --- cells and tiles of the open level ---

int16_t DemBaseAI::GetOneTileInfo(int32_t ds, int32_t layerId, int16_t level, int32_t reserved, int32_t tileRow,
                                  int32_t tileCol, OneTileInfo* out) {
  CDataLayer* layer = LayerAtLevel(ds, layerId, level);
  if (layer == nullptr || out == nullptr) return 0;
  return layer->GetOneTileInfo(reserved, tileRow, tileCol, out);
}

int16_t DemBaseAI::SetCell(int32_t ds, int32_t layerId, int16_t level, int32_t reserved, int32_t row, int32_t col,
                           double value) {
  CDataLayer* layer = LayerAtLevel(ds, layerId, level);
  return layer == nullptr ? 0 : layer->SetCell(reserved, row, col, value);
}

double DemBaseAI::GetCell(int32_t ds, int32_t layerId, int16_t level, int32_t reserved, int32_t row, int32_t col,
                          uint8_t* isNull) {
  CDataLayer* layer = LayerAtLevel(ds, layerId, level);
  if (layer == nullptr) return 0.0;
  uint8_t ignored = 0;
  return layer->GetCell(reserved, row, col, isNull != nullptr ? isNull : &ignored);
}

int16_t DemBaseAI::BeginWriteTile(int32_t ds, int32_t layerId, int16_t level, int32_t reserved, int32_t tileRow,
                                  int32_t tileCol) {
  CDataLayer* layer = LayerAtLevel(ds, layerId, level);
  if (layer == nullptr || layer->BeginWriteTile(reserved, tileRow, tileCol) < 1) return 0;
  StartTileSequence(layer, TileSequence::kWriteTile);
  return 1;
}

void DemBaseAI::WriteCellOfTile(int32_t row, int32_t col, double value) {
  if (CDataLayer* layer = TileLayerOf(TileSequence::kWriteTile)) layer->WriteCellOfTile(row, col, value);
}

int16_t DemBaseAI::EndWriteTile(uint8_t keep) {
  CDataLayer* layer = TileLayerOf(TileSequence::kWriteTile);
  if (layer == nullptr) return 0;
  StartTileSequence(nullptr, TileSequence::kNone);
  return layer->EndWriteTile(keep);
}

int16_t DemBaseAI::BeginReadTile(int32_t ds, int32_t layerId, int16_t level, int32_t reserved, int32_t tileRow,
                                 int32_t tileCol) {
  CDataLayer* layer = LayerAtLevel(ds, layerId, level);
  // A read must not take the place of a running tile write: its End would be lost.
  if (layer == nullptr || tile_sequence_ == TileSequence::kWriteTile) return 0;
  const int16_t r = layer->BeginReadTile(reserved, tileRow, tileCol);
  if (r > 0) StartTileSequence(layer, TileSequence::kReadTile);
  return r;
}

int16_t DemBaseAI::EndReadTile() {
  CDataLayer* layer = TileLayerOf(TileSequence::kReadTile);
  if (layer == nullptr) return 0;
  StartTileSequence(nullptr, TileSequence::kNone);
  return layer->EndReadTile();
}

// --- whole-level write and tile-data read ---

int16_t DemBaseAI::BeginWritePyramidLayer(int32_t ds, int32_t layerId, int16_t level) {
  CDataLayer* layer = registry_.FindLayer(ds, layerId);
  if (layer == nullptr || layer->BeginWritePyramidLayer(level) < 1) return 0;
  pyramid_write_layer_ = layer;
  return 1;
}

int16_t DemBaseAI::WriteOneTile(int32_t reserved, int32_t tileIndex, OneTileInfo* info, const void* cells) {
  if (pyramid_write_layer_ == nullptr || info == nullptr) return 0;
  if (!dembase::IsStorableTileInfo(info->size, info->minimum, info->maximum)) return 0;
  return pyramid_write_layer_->WriteOneTile(reserved, tileIndex, info, cells);
}

int16_t DemBaseAI::EndWritePyramidLayer() {
  CDataLayer* layer = pyramid_write_layer_;
  if (layer == nullptr) return 0;
  pyramid_write_layer_ = nullptr;
  // A write whose tiles or tables did not all reach the files must not look complete.
  return layer->EndWritePyramidLayer() > 0 ? 1 : 0;
}

int16_t DemBaseAI::BeginReadTileData(int32_t ds, int32_t layerId, int16_t level, int32_t reserved, int32_t tileRow,
                                     int32_t tileCol) {
  CDataLayer* layer = registry_.FindLayer(ds, layerId);
  if (layer == nullptr || tile_sequence_ == TileSequence::kWriteTile) return 0;
  const int16_t r = layer->BeginReadTileData(level, reserved, tileRow, tileCol);
  if (r > 0) StartTileSequence(layer, TileSequence::kReadTileData);
  return r;
}

int16_t DemBaseAI::EndReadTileData() {
  CDataLayer* layer = TileLayerOf(TileSequence::kReadTileData);
  if (layer == nullptr) return 0;
  StartTileSequence(nullptr, TileSequence::kNone);
  return layer->EndReadTileData();
}

// --- value attribute tables ---

int16_t DemBaseAI::GetPyLayerVatName(int32_t ds, int32_t layerId, int16_t level, char* nameOut) {
  CDataLayer* layer = registry_.FindLayer(ds, layerId);
  if (layer == nullptr || nameOut == nullptr) return 0;
  return layer->GetPyLayerVatName(layerId, level, nameOut);
}

int16_t DemBaseAI::OpenPyLayerVAT(int32_t ds, int32_t layerId, int16_t level, uint32_t create) {
  CDataLayer* layer = registry_.FindLayer(ds, layerId);
  return layer == nullptr ? 0 : layer->OpenPyLayerVAT(layerId, level, create);
}

int16_t DemBaseAI::ClosePyLayerVAT(int32_t ds, int32_t layerId) {
  CDataLayer* layer = registry_.FindLayer(ds, layerId);
  return layer == nullptr ? 0 : layer->ClosePyLayerVAT(layerId);
}

int16_t DemBaseAI::GetItemNum(int32_t ds, int32_t layerId, int32_t item) {
  CDataLayer* layer = registry_.FindLayer(ds, layerId);
  return layer == nullptr ? 0 : layer->GetItemNum(item);
}

int16_t DemBaseAI::SetBaseItemSet(int32_t ds, int32_t layerId, int32_t itemSet, int32_t count) {
  CDataLayer* layer = registry_.FindLayer(ds, layerId);
  return layer == nullptr ? 0 : layer->SetBaseItemSet(itemSet, count);
}

int16_t DemBaseAI::GetBaseItemSet(int32_t ds, int32_t layerId, int32_t itemSet) {
  CDataLayer* layer = registry_.FindLayer(ds, layerId);
  return layer == nullptr ? 0 : layer->GetBaseItemSet(itemSet);
}
