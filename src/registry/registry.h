// Registry: the data sets a handle has opened, each with its tile cache and its open
// layers. Every call that names a data set and a layer is resolved here; lists keep the
// order of opening and the first match wins.
//
// Ownership: the registry owns its data sets; a data set owns its cache and its layers.
// Layers are destroyed before the cache they borrow.
#ifndef DEMBASE_REGISTRY_REGISTRY_H_
#define DEMBASE_REGISTRY_REGISTRY_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "cache/tile_cache.h"
#include "dembase/dembase.h"
#include "registry/data_layer.h"
#include "registry/layer_factory.h"

namespace dembase {

struct OpenLayerRec {
  int32_t layerId = 0;
  std::unique_ptr<CDataLayer> layer;
};

struct DataSetRec {
  int32_t id = 0;               // LOCAL_DATASET_ID, or the database's id
  uint32_t connection = 0;      // database connection; 0 for the local store
  DbConnectInfo connectInfo{};  // zero for the local store, so it never matches a database
  std::unique_ptr<CTileCache> cache;
  float cacheFraction = 0.125f;
  int32_t nextLocalLayerId = 0;  // local store only; ids are never reused
  std::vector<OpenLayerRec> layers;

  bool is_local() const { return connection == 0; }
};

class Registry {
 public:
  // factory: borrowed, outlives the registry.
  explicit Registry(LayerFactory* factory) : factory_(factory) {}
  ~Registry() { (void)CloseAllDataSets(); }
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  // Called with a layer object just before it is destroyed, so borrowers can let go.
  void set_layer_gone_listener(std::function<void(CDataLayer*)> listener) { layer_gone_ = std::move(listener); }

  // conn null: the local store. Returns the data-set id, 0 on failure.
  int32_t OpenDataSet(const DbConnectInfo* conn, float fraction);
  // 1 when closed, also 1 (and nothing closed) while layers are open; 0 when not open.
  int16_t CloseDataSet(int32_t dataSetId);
  // Layer id >= 1; 0 or the local layer's negative code on failure.
  int32_t OpenDataLayer(int32_t dataSetId, const char* name, uint32_t mode);
  int16_t CloseDataLayer(int32_t dataSetId, int32_t layerId);

  int16_t DeleteDataLayer(int32_t dataSetId, const char* name);
  int16_t RenameDataLayer(int32_t dataSetId, const char* oldName, const char* newName);
  int16_t CopyDataLayer(int32_t dataSetId, const char* sourceName, const char* targetName);
  int16_t CreateDataLayer(int32_t dataSetId, const char* name, DataLayerParam* param, uint32_t dbExtra,
                          uint8_t roundUp);

  DataSetRec* FindDataSet(int32_t id);
  CDataLayer* FindLayer(int32_t dataSetId, int32_t layerId) {
    CDataLayer* layer = RecentLayer(dataSetId, layerId);
    return layer != nullptr ? layer : FindLayerUncached(dataSetId, layerId);
  }
  // The layer of the last FindLayer when it is this one; null otherwise (never searches).
  CDataLayer* RecentLayer(int32_t dataSetId, int32_t layerId) const {
    return last_.dataSetId == dataSetId && last_.layerId == layerId ? last_.layer : nullptr;
  }
  // As FindLayer, after sizing the data set's cache; null when the cache cannot get memory.
  CDataLayer* FindLayerForPyramidOpen(int32_t dataSetId, int32_t layerId);

  size_t data_set_count() const { return data_sets_.size(); }

  // Closes every data set with its layers. False when a layer could not write all it
  // held (an I/O failure, or memory ran out); everything is released either way.
  [[nodiscard]] bool CloseAllDataSets() noexcept;

 private:
  int32_t OpenLocalDataSet(float fraction);
  int32_t OpenDbDataSet(const DbConnectInfo& conn, float fraction);
  DataSetRec* FindDataSetByConnection(const DbConnectInfo& conn);
  CDataLayer* FindLayerUncached(int32_t dataSetId, int32_t layerId);
  void DestroyLayer(OpenLayerRec& rec);
  bool CloseAllLayers(DataSetRec& ds) noexcept;

  // The last layer FindLayer answered: cell calls name the same layer over and over.
  // Dropped whenever a layer or a data set goes; adding one never changes a first match.
  struct LastLookup {
    int32_t dataSetId = 0;
    int32_t layerId = 0;
    CDataLayer* layer = nullptr;
  };

  LayerFactory* factory_;
  std::function<void(CDataLayer*)> layer_gone_;
  LastLookup last_;
  std::vector<std::unique_ptr<DataSetRec>> data_sets_;
};

}  // namespace dembase

#endif  // DEMBASE_REGISTRY_REGISTRY_H_
