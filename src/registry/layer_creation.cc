// The creation path of a new layer: snap the extent, make the layer in its store, then
// open it, create level 1 and close it again.
#include <memory>
#include <new>

#include "dembase/rasterdb.h"
#include "registry/extent_snap.h"
#include "registry/registry.h"

namespace dembase {

int16_t Registry::CreateDataLayer(int32_t dataSetId, const char* name, DataLayerParam* param, uint32_t dbExtra,
                                  uint8_t roundUp) {
  if (name == nullptr || param == nullptr) return 0;
  if (param->dataType != DEMBASE_TYPE_INT32 && param->dataType != DEMBASE_TYPE_FLOAT32) return 0;
  // A new layer has no levels; another count would be written into a header that no
  // open could read.
  if (param->levelCount != 0) return 0;
  DataSetRec* ds = FindDataSet(dataSetId);
  if (ds == nullptr) return 0;

  // An extent that does not make a whole, finite number of cells is refused before the
  // caller's record is touched.
  const auto nx = TileExtentCount(param->xMax - param->xMin, param->cellSizeX, roundUp != 0);
  const auto ny = TileExtentCount(param->yMax - param->yMin, param->cellSizeY, roundUp != 0);
  if (!nx || !ny) return 0;
  param->xMax = static_cast<double>(*nx) * param->cellSizeX + param->xMin;
  param->yMax = static_cast<double>(*ny) * param->cellSizeY + param->yMin;

  if (ds->is_local()) {
    if (factory_->CreateLocalLayerFiles(ds->cache.get(), name, param) < 1) return 0;
  } else {
    if (DbCreateLayer(ds->connection, dataSetId, name, param, dbExtra) < 1) return 0;
  }

  // Memory running out in any step below still reaches the clean-up.
  int16_t r = 0;
  int32_t layerId = 0;
  try {
    layerId = OpenDataLayer(dataSetId, name, 1);
    if (layerId >= 1) {
      if (CDataLayer* layer = FindLayer(dataSetId, layerId)) {
        r = layer->CreatePyramidLayer(layerId, 1, param->cellSizeX, param->cellSizeY);
      }
    }
  } catch (const std::bad_alloc&) {
    r = 0;
  }
  if (layerId >= 1) {
    try {
      if (CloseDataLayer(dataSetId, layerId) < 1) r = 0;
    } catch (const std::bad_alloc&) {
      r = 0;
    }
  }
  // A layer without level 1 could never get one through this path and would block the
  // retry: what the failed creation made goes again.
  if (r < 1) {
    try {
      if (ds->is_local()) {
        (void)factory_->DeleteLocalLayer(ds->cache.get(), name);
      } else {
        (void)DbDeleteLayer(ds->connection, dataSetId, name);
      }
    } catch (const std::bad_alloc&) {
      // Left for the caller's retry to report: the name is taken.
    }
  }
  return r;
}

}  // namespace dembase
