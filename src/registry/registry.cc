#include "registry/registry.h"

#include <algorithm>
#include <climits>
#include <new>

#include "dembase/rasterdb.h"
#include "registry/connect_info.h"

namespace dembase {
namespace {

// Makes room for one more element so the append that follows cannot fail half-way.
template <typename T>
[[nodiscard]] bool ReserveOneMore(std::vector<T>& v) {
  try {
    v.reserve(v.size() + 1);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

std::unique_ptr<DataSetRec> NewDataSetRec(float fraction) {
  std::unique_ptr<DataSetRec> rec(new (std::nothrow) DataSetRec);
  if (!rec) return nullptr;
  rec->cache.reset(new (std::nothrow) CTileCache);
  if (!rec->cache) return nullptr;
  rec->cacheFraction = fraction;
  return rec;
}

}  // namespace

int32_t Registry::OpenDataSet(const DbConnectInfo* conn, float fraction) {
  fraction = ClampCacheFraction(fraction);
  return conn == nullptr ? OpenLocalDataSet(fraction) : OpenDbDataSet(*conn, fraction);
}

int32_t Registry::OpenLocalDataSet(float fraction) {
  if (FindDataSet(LOCAL_DATASET_ID) != nullptr) return LOCAL_DATASET_ID;  // a later fraction is ignored
  std::unique_ptr<DataSetRec> rec = NewDataSetRec(fraction);
  if (!rec || !ReserveOneMore(data_sets_)) return 0;
  rec->id = LOCAL_DATASET_ID;
  rec->nextLocalLayerId = 1;
  data_sets_.push_back(std::move(rec));
  return LOCAL_DATASET_ID;
}

int32_t Registry::OpenDbDataSet(const DbConnectInfo& conn, float fraction) {
  if (!ConnectInfoIsTerminated(conn)) return 0;
  if (DataSetRec* existing = FindDataSetByConnection(conn)) return existing->id;

  const uint32_t connection = DbConnect(conn.connectKind, conn.connectArg1, conn.connectArg2, conn.connectArg3);
  if (connection == 0) return 0;
  const int32_t id = DbOpenDataSet(connection, &conn);
  // An id that another open data set already answers to would make this one unreachable.
  if (id < 1 || FindDataSet(id) != nullptr) {
    if (id >= 1) DbCloseDataSet(connection, id);
    DbDisconnect(connection);
    return 0;
  }
  std::unique_ptr<DataSetRec> rec = NewDataSetRec(fraction);
  if (!rec || !ReserveOneMore(data_sets_)) {
    DbCloseDataSet(connection, id);
    DbDisconnect(connection);
    return 0;
  }
  rec->id = id;
  rec->connection = connection;
  rec->connectInfo = conn;
  data_sets_.push_back(std::move(rec));
  return id;
}

int16_t Registry::CloseDataSet(int32_t dataSetId) {
  auto it = std::find_if(data_sets_.begin(), data_sets_.end(),
                         [dataSetId](const auto& rec) { return rec->id == dataSetId; });
  if (it == data_sets_.end()) return 0;
  DataSetRec& rec = **it;
  if (!rec.layers.empty()) return 1;  // the caller must close the layers first
  if (!rec.is_local()) {
    if (rec.id > 0) DbCloseDataSet(rec.connection, rec.id);
    DbDisconnect(rec.connection);
  }
  last_ = LastLookup{};
  data_sets_.erase(it);  // the cache goes with the record
  return 1;
}

int32_t Registry::OpenDataLayer(int32_t dataSetId, const char* name, uint32_t mode) {
  DataSetRec* ds = FindDataSet(dataSetId);
  if (ds == nullptr || name == nullptr) return 0;

  std::unique_ptr<CDataLayer> layer =
      ds->is_local() ? factory_->NewLocalLayer(ds->cache.get()) : factory_->NewDbLayer(ds->cache.get());
  if (!layer) return 0;

  int32_t layerId;
  if (ds->is_local()) {
    const int32_t r = layer->OpenDataLayer(dataSetId, name, mode);
    if (r < 1) return r;  // the local kind's codes reach the caller unchanged
    if (ds->nextLocalLayerId == INT32_MAX) {  // ids are never reused, so they can run out
      layer->CloseDataLayer(dataSetId, 0);
      return 0;
    }
    layerId = ds->nextLocalLayerId++;
  } else {
    layer->AttachConnection(ds->connection);
    layerId = layer->OpenDataLayer(dataSetId, name, mode);
    if (layerId < 1) return 0;
  }

  // A layer must never stay open without being registered.
  if (!ReserveOneMore(ds->layers)) {
    layer->CloseDataLayer(dataSetId, layerId);
    return 0;
  }
  ds->layers.push_back(OpenLayerRec{layerId, std::move(layer)});
  return layerId;
}

int16_t Registry::CloseDataLayer(int32_t dataSetId, int32_t layerId) {
  DataSetRec* ds = FindDataSet(dataSetId);
  if (ds == nullptr) return 0;
  auto it = std::find_if(ds->layers.begin(), ds->layers.end(),
                         [layerId](const OpenLayerRec& rec) { return rec.layerId == layerId; });
  if (it == ds->layers.end()) return 0;
  // The layer goes either way; a close that could not write everything says so.
  const int16_t r = it->layer->CloseDataLayer(dataSetId, layerId);
  DestroyLayer(*it);
  ds->layers.erase(it);
  return r >= 1 ? 1 : 0;
}

void Registry::DestroyLayer(OpenLayerRec& rec) {
  last_ = LastLookup{};
  if (layer_gone_) layer_gone_(rec.layer.get());
  rec.layer.reset();
}

bool Registry::CloseAllLayers(DataSetRec& ds) noexcept {
  bool ok = true;
  for (OpenLayerRec& rec : ds.layers) {
    if (!rec.layer) continue;
    // A close that runs out of memory loses what it had not written, but every layer
    // is still destroyed and everything it held released.
    try {
      if (rec.layerId > 0) ok = rec.layer->CloseDataLayer(ds.id, rec.layerId) >= 1 && ok;
    } catch (...) {
      ok = false;
    }
    DestroyLayer(rec);
  }
  ds.layers.clear();
  return ok;
}

bool Registry::CloseAllDataSets() noexcept {
  last_ = LastLookup{};
  bool ok = true;
  for (auto& rec : data_sets_) {
    ok = CloseAllLayers(*rec) && ok;
    rec->cache.reset();
    if (!rec->is_local()) {
      if (rec->id > 0) DbCloseDataSet(rec->connection, rec->id);
      DbDisconnect(rec->connection);
    }
  }
  data_sets_.clear();
  return ok;
}

int16_t Registry::DeleteDataLayer(int32_t dataSetId, const char* name) {
  DataSetRec* ds = FindDataSet(dataSetId);
  if (ds == nullptr || name == nullptr) return 0;
  if (!ds->is_local()) return DbDeleteLayer(ds->connection, dataSetId, name);
  return factory_->DeleteLocalLayer(ds->cache.get(), name);
}

int16_t Registry::RenameDataLayer(int32_t dataSetId, const char* oldName, const char* newName) {
  DataSetRec* ds = FindDataSet(dataSetId);
  if (ds == nullptr || !ds->is_local() || oldName == nullptr || newName == nullptr) return 0;
  return factory_->RenameLocalLayer(ds->cache.get(), oldName, newName);
}

int16_t Registry::CopyDataLayer(int32_t dataSetId, const char* sourceName, const char* targetName) {
  DataSetRec* ds = FindDataSet(dataSetId);
  if (ds == nullptr || !ds->is_local() || sourceName == nullptr || targetName == nullptr) return 0;
  return factory_->CopyLocalLayer(ds->cache.get(), sourceName, targetName);
}

DataSetRec* Registry::FindDataSet(int32_t id) {
  for (auto& rec : data_sets_) {
    if (rec->id == id) return rec.get();
  }
  return nullptr;
}

DataSetRec* Registry::FindDataSetByConnection(const DbConnectInfo& conn) {
  for (auto& rec : data_sets_) {
    if (!rec->is_local() && SameConnection(rec->connectInfo, conn)) return rec.get();
  }
  return nullptr;
}

CDataLayer* Registry::FindLayerUncached(int32_t dataSetId, int32_t layerId) {
  DataSetRec* ds = FindDataSet(dataSetId);
  if (ds == nullptr) return nullptr;
  for (OpenLayerRec& rec : ds->layers) {
    if (rec.layerId == layerId) {
      last_ = LastLookup{dataSetId, layerId, rec.layer.get()};
      return rec.layer.get();
    }
  }
  return nullptr;
}

CDataLayer* Registry::FindLayerForPyramidOpen(int32_t dataSetId, int32_t layerId) {
  CDataLayer* layer = FindLayer(dataSetId, layerId);
  if (layer == nullptr) return nullptr;
  DataSetRec* ds = FindDataSet(dataSetId);
  if (ds->cache->Setup(ds->cacheFraction) < 1) return nullptr;
  return layer;
}

}  // namespace dembase
