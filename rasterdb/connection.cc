#include "connection.h"

#include <cstring>
#include <span>
#include <string_view>

namespace dembase::rasterdb {
namespace {

// Longest layer name accepted, in bytes.
constexpr std::size_t kMaxLayerName = 255;

// The NUL-terminated text of a caller's string of at most max_len bytes; empty when the pointer
// is null, the text is empty or longer.
std::string_view CheckedName(const char* s, std::size_t max_len) {
  if (s == nullptr) return {};
  const std::size_t n = strnlen(s, max_len + 1);
  return n <= max_len ? std::string_view(s, n) : std::string_view();
}

bool ValidDataType(uint16_t dataType) { return dataType == DEMBASE_TYPE_INT32 || dataType == DEMBASE_TYPE_FLOAT32; }

int64_t TileCount(const PyramidLayerInfo& info) { return int64_t{info.tilesDown} * info.tilesAcross; }

bool ValidGeometry(const PyramidLayerInfo& info) {
  return info.rows > 0 && info.cols > 0 && info.tileRows > 0 && info.tileCols > 0 && info.tilesDown > 0 &&
         info.tilesAcross > 0 && TileCount(info) <= kMaxTilesPerLevel;
}

bool ValidTileBytes(const void* bytes, uint32_t length) {
  return length <= kMaxTileBytes && (length == 0 || bytes != nullptr);
}

std::span<const uint8_t> Bytes(const void* p, uint32_t length) {
  return length == 0 ? std::span<const uint8_t>() : std::span(static_cast<const uint8_t*>(p), length);
}

}  // namespace

void Connection::Close() {
  if (backend_ == nullptr) return;
  if (batch_) backend_->RollbackBatch();
  batch_.reset();
  open_layers_.clear();
  open_data_sets_.clear();
  known_tile_counts_.clear();
  backend_.reset();
}

int32_t Connection::OpenDataSet(const DbConnectInfo* info) {
  if (info == nullptr) return 0;
  const std::string_view name = CheckedName(info->dataSet, sizeof(info->dataSet) - 1);
  if (name.empty()) return 0;
  const int32_t id = backend_->OpenDataSet(name);
  if (id > 0) ++open_data_sets_[id];
  return id;
}

void Connection::CloseDataSet(int32_t dataSetId) {
  auto it = open_data_sets_.find(dataSetId);
  if (it == open_data_sets_.end() || --it->second > 0) return;
  open_data_sets_.erase(it);
  for (auto layer = open_layers_.begin(); layer != open_layers_.end();) {
    const int32_t id = layer->first;
    const bool mine = layer->second.dataSetId == dataSetId;
    ++layer;  // DropLayer erases the entry
    if (mine) DropLayer(id);
  }
}

int16_t Connection::CreateLayer(int32_t dataSetId, const char* name, const DataLayerParam* param,
                                uint32_t dbExtra) {
  const std::string_view checked = CheckedName(name, kMaxLayerName);
  if (!open_data_sets_.contains(dataSetId) || checked.empty() || param == nullptr ||
      !ValidDataType(param->dataType)) {
    return kRefused;
  }
  return backend_->CreateLayer(dataSetId, checked, *param, dbExtra);
}

int16_t Connection::DeleteLayer(int32_t dataSetId, const char* name) {
  const std::string_view checked = CheckedName(name, kMaxLayerName);
  if (!open_data_sets_.contains(dataSetId) || checked.empty()) return kRefused;
  const int32_t id = backend_->FindLayer(dataSetId, checked);
  // Deleting the layer under its own batch would leave the batch writing to nothing.
  if (id < 1 || (batch_ && batch_->layerId == id)) return kRefused;
  const int16_t result = backend_->DeleteLayer(dataSetId, id);
  if (result >= 1) DropLayer(id);
  return result;
}

int32_t Connection::OpenLayer(int32_t dataSetId, const char* name) {
  const std::string_view checked = CheckedName(name, kMaxLayerName);
  if (!open_data_sets_.contains(dataSetId) || checked.empty()) return 0;
  const int32_t id = backend_->FindLayer(dataSetId, checked);
  if (id < 1) return 0;
  if (!open_layers_.contains(id) && !backend_->HoldLayer(id)) return 0;
  OpenLayerState& state = open_layers_[id];
  state.dataSetId = dataSetId;
  ++state.opens;
  return id;
}

void Connection::CloseLayer(int32_t dataSetId, int32_t layerId) {
  auto it = open_layers_.find(layerId);
  if (it == open_layers_.end() || it->second.dataSetId != dataSetId) return;
  if (--it->second.opens == 0) DropLayer(layerId);
}

int16_t Connection::GetLayerParam(int32_t layerId, DataLayerParam* out) {
  if (!LayerOpen(layerId) || out == nullptr) return kRefused;
  return backend_->GetLayerParam(layerId, out);
}

int16_t Connection::SetLayerParam(int32_t layerId, const DataLayerParam* param) {
  if (!LayerOpen(layerId) || param == nullptr) return kRefused;
  return backend_->SetLayerParam(layerId, *param);
}

int16_t Connection::CreateLevel(int32_t layerId, int16_t level, const PyramidLayerInfo* info) {
  if (!LayerOpen(layerId) || level < 1 || info == nullptr || !ValidGeometry(*info)) return kRefused;
  const int16_t result = backend_->CreateLevel(layerId, level, *info);
  if (result >= 1) known_tile_counts_[{layerId, level}] = TileCount(*info);
  return result;
}

int16_t Connection::DeleteLevel(int32_t layerId, int16_t level) {
  if (!LayerOpen(layerId) || level < 1) return kRefused;
  if (batch_ && batch_->layerId == layerId && batch_->level == level) return kRefused;
  const int16_t result = backend_->DeleteLevel(layerId, level);
  if (result >= 1) known_tile_counts_.erase({layerId, level});
  return result;
}

int16_t Connection::GetLevelInfo(int32_t layerId, int16_t level, PyramidLayerInfo* out) {
  if (!LayerOpen(layerId) || level < 1 || out == nullptr) return kRefused;
  PyramidLayerInfo info;
  const int16_t result = backend_->GetLevelInfo(layerId, level, &info);
  if (result < 1) return result;
  known_tile_counts_[{layerId, level}] = TileCount(info);
  *out = info;
  return result;
}

int16_t Connection::SetLevelInfo(int32_t layerId, int16_t level, const PyramidLayerInfo* info) {
  if (!LayerOpen(layerId) || level < 1 || info == nullptr) return kRefused;
  return backend_->SetLevelInfo(layerId, level, *info);
}

int16_t Connection::ReadTileIndex(int32_t layerId, int16_t level, TileIndexRec* out) {
  if (!LayerOpen(layerId) || level < 1 || out == nullptr) return kRefused;
  // The caller sized out from the geometry it was told; if the level changed since, the
  // backend refuses rather than write past that room.
  auto known = known_tile_counts_.find({layerId, level});
  if (known == known_tile_counts_.end() || known->second < 1 || known->second > kMaxTilesPerLevel) return kRefused;
  return backend_->ReadTileIndex(layerId, level, std::span(out, static_cast<std::size_t>(known->second)));
}

int16_t Connection::WriteTileIndex(int32_t layerId, int16_t level, const TileIndexRec* index, int32_t count) {
  if (!LayerOpen(layerId) || level < 1 || index == nullptr || count < 1 || count > kMaxTilesPerLevel) {
    return kRefused;
  }
  return backend_->WriteTileIndex(layerId, level, std::span(index, static_cast<std::size_t>(count)));
}

int16_t Connection::ReadTileRec(int32_t layerId, int16_t level, int32_t tileNumber, TileIndexRec* out) {
  if (!LayerOpen(layerId) || level < 1 || tileNumber < 1 || out == nullptr) return kRefused;
  return backend_->ReadTileRec(layerId, level, tileNumber, out);
}

int16_t Connection::WriteTileRec(int32_t layerId, int16_t level, int32_t tileNumber, const TileIndexRec* rec) {
  if (!LayerOpen(layerId) || level < 1 || tileNumber < 1 || rec == nullptr) return kRefused;
  return backend_->WriteTileRec(layerId, level, tileNumber, *rec);
}

int16_t Connection::ReadTileData(int32_t layerId, uint32_t tileKey, uint32_t length, void* buffer) {
  if (!LayerOpen(layerId) || tileKey == 0 || !ValidTileBytes(buffer, length)) return kRefused;
  std::span<uint8_t> out;
  if (length > 0) out = std::span(static_cast<uint8_t*>(buffer), length);
  return backend_->ReadTileData(layerId, tileKey, out);
}

int16_t Connection::WriteTileData(int32_t layerId, uint32_t tileKey, const void* bytes, uint32_t length) {
  if (!LayerOpen(layerId) || tileKey == 0 || !ValidTileBytes(bytes, length)) return kRefused;
  return backend_->WriteTileData(layerId, 0, tileKey, Bytes(bytes, length));
}

int16_t Connection::BeginWrite(int32_t layerId, int16_t level) {
  // One batch per connection; a batch that died unended still waits for its DbEndWrite.
  if (!LayerOpen(layerId) || level < 1 || batch_) return kRefused;
  int16_t result = kRefused;
  try {
    result = backend_->BeginBatch(layerId, level);
  } catch (...) {
    // Memory ran out with the transaction begun: no batch may stay open that nobody ends.
    backend_->RollbackBatch();
    throw;
  }
  if (result >= 1) batch_ = Batch{layerId, level};
  return result;
}

int16_t Connection::PutTileRec(int32_t tileNumber, const TileIndexRec* rec) {
  const Batch* batch = LiveBatch();
  if (batch == nullptr || tileNumber < 1 || rec == nullptr) return kRefused;
  return backend_->WriteTileRec(batch->layerId, batch->level, tileNumber, *rec);
}

int16_t Connection::PutTileData(uint32_t tileKey, const void* bytes, uint32_t length) {
  const Batch* batch = LiveBatch();
  if (batch == nullptr || tileKey == 0 || !ValidTileBytes(bytes, length)) return kRefused;
  return backend_->WriteTileData(batch->layerId, batch->level, tileKey, Bytes(bytes, length));
}

int16_t Connection::EndWrite() {
  if (!batch_) return kRefused;
  batch_.reset();
  // A batch whose transaction the engine rolled back (an I/O error, a full disk) fails here,
  // so the caller learns that none of it was stored.
  if (!backend_->BatchAlive()) return kRefused;
  return backend_->CommitBatch();
}

int16_t Connection::AbortWrite() {
  if (!batch_) return kRefused;
  batch_.reset();
  backend_->RollbackBatch();
  return kOk;
}

bool Connection::LayerOpen(int32_t layerId) const { return open_layers_.contains(layerId); }

void Connection::DropLayer(int32_t layerId) {
  if (batch_ && batch_->layerId == layerId) {
    backend_->RollbackBatch();
    batch_.reset();
  }
  if (open_layers_.erase(layerId) > 0) backend_->ReleaseLayer(layerId);
  std::erase_if(known_tile_counts_, [layerId](const auto& entry) { return entry.first.first == layerId; });
}

const Connection::Batch* Connection::LiveBatch() {
  if (!batch_ || !backend_->BatchAlive()) return nullptr;
  return &*batch_;
}

}  // namespace dembase::rasterdb
