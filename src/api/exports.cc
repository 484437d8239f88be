// The 41 exports: each rejects a null handle, forwards to the handle and turns anything
// the C++ runtime throws (memory exhaustion) into the call's failure value, so no
// exception crosses the C interface.
//
// The three per-cell reads and the cell write first try the handle's views of cells in
// memory. That path is a few dozen instructions with no call in it, so a loop of random
// reads keeps several cache misses in flight; everything else goes to the full call,
// kept out of line so the fast path stays a leaf.
#include <new>
#include <optional>

#include "api/dem_base_ai.h"
#include "dembase/dembase.h"

namespace {

template <typename R, typename F>
R Guarded(DemBaseAI* h, R failure, F&& body) noexcept {
  if (h == nullptr) return failure;
  try {
    return body(*h);
  } catch (...) {
    return failure;
  }
}

[[gnu::noinline]] double GetCellFull(DemBaseAI* h, int32_t dataSetId, int32_t layerId, int16_t level, int32_t reserved,
                                     int32_t row, int32_t col, uint8_t* isNull) {
  return Guarded<double>(h, 0.0, [&](DemBaseAI& a) { return a.GetCell(dataSetId, layerId, level, reserved, row, col, isNull); });
}

[[gnu::noinline]] int16_t SetCellFull(DemBaseAI* h, int32_t dataSetId, int32_t layerId, int16_t level, int32_t reserved,
                                     int32_t row, int32_t col, double value) {
  return Guarded<int16_t>(h, 0, [&](DemBaseAI& a) { return a.SetCell(dataSetId, layerId, level, reserved, row, col, value); });
}

[[gnu::noinline]] int16_t ReadCellOfTileFull(DemBaseAI* h, int32_t row, int32_t col, double* value, uint8_t* isNull) {
  return Guarded<int16_t>(h, 0, [&](DemBaseAI& a) { return a.ReadCellOfTile(row, col, value, isNull); });
}

[[gnu::noinline]] int16_t ReadCellOfTileDataFull(DemBaseAI* h, int32_t row, int32_t col, double* value,
                                                 uint8_t* isNull) {
  return Guarded<int16_t>(h, 0, [&](DemBaseAI& a) { return a.ReadCellOfTileData(row, col, value, isNull); });
}

// 1 with *value set when the view holds the cell; 0 when the full call must run.
inline int16_t ReadThroughView(const dembase::ActiveTileView* view, int32_t row, int32_t col, double* value,
                               uint8_t* isNull) {
  if (view == nullptr || value == nullptr) return 0;
  const std::optional<double> v = view->Read(row, col, isNull);
  if (!v) return 0;
  *value = *v;
  return 1;
}

}  // namespace

extern "C" {

DEMBASE_API DemBaseAI* _hxCreateDemBaseAI(void) {
  try {
    return new (std::nothrow) DemBaseAI();
  } catch (...) {
    return nullptr;
  }
}

DEMBASE_API int16_t _hxDeleteDemBaseAI(DemBaseAI* h) {
  if (h == nullptr) return 0;
  // Closed first, where a failure can still be told; the handle goes either way.
  const bool ok = h->CloseEverything();
  delete h;
  return ok ? 1 : 0;
}

DEMBASE_API int32_t _hxOpenDataSet(DemBaseAI* h, const DbConnectInfo* conn, float cacheFraction) {
  return Guarded<int32_t>(h, 0, [&](DemBaseAI& a) { return a.OpenDataSet(conn, cacheFraction); });
}

DEMBASE_API int16_t _hxCloseDataSet(DemBaseAI* h, int32_t dataSetId) {
  return Guarded<int16_t>(h, 0, [&](DemBaseAI& a) { return a.CloseDataSet(dataSetId); });
}

DEMBASE_API int16_t _hxCreateDataLayer(DemBaseAI* h, int32_t dataSetId, const char* name,
                                       DataLayerParam* param, uint32_t dbExtra, uint8_t roundUp) {
  return Guarded<int16_t>(h, 0, [&](DemBaseAI& a) { return a.CreateDataLayer(dataSetId, name, param, dbExtra, roundUp); });
}

DEMBASE_API int16_t _hxDeleteDataLayer(DemBaseAI* h, int32_t dataSetId, const char* name) {
  return Guarded<int16_t>(h, 0, [&](DemBaseAI& a) { return a.DeleteDataLayer(dataSetId, name); });
}

DEMBASE_API int32_t _hxOpenDataLayer(DemBaseAI* h, int32_t dataSetId, const char* name, uint32_t mode) {
  return Guarded<int32_t>(h, 0, [&](DemBaseAI& a) { return a.OpenDataLayer(dataSetId, name, mode); });
}

DEMBASE_API int16_t _hxCloseDataLayer(DemBaseAI* h, int32_t dataSetId, int32_t layerId) {
  return Guarded<int16_t>(h, 0, [&](DemBaseAI& a) { return a.CloseDataLayer(dataSetId, layerId); });
}

DEMBASE_API int16_t _hxGetDataLayerParam(DemBaseAI* h, int32_t dataSetId, int32_t layerId,
                                         DataLayerParam* out) {
  return Guarded<int16_t>(h, 0, [&](DemBaseAI& a) { return a.GetDataLayerParam(dataSetId, layerId, out); });
}

DEMBASE_API int16_t _hxSetLayerOperParam(DemBaseAI* h, int32_t dataSetId, int32_t layerId,
                                         const LayerOperParam* p) {
  return Guarded<int16_t>(h, 0, [&](DemBaseAI& a) { return a.SetLayerOperParam(dataSetId, layerId, p); });
}

DEMBASE_API int16_t _hxGetLayerOperParam(DemBaseAI* h, int32_t dataSetId, int32_t layerId,
                                         LayerOperParam* out) {
  return Guarded<int16_t>(h, 0, [&](DemBaseAI& a) { return a.GetLayerOperParam(dataSetId, layerId, out); });
}

DEMBASE_API int16_t _hxCreatePyramidLayer(DemBaseAI* h, int32_t dataSetId, int32_t layerId, int16_t level,
                                          double cellSizeFirst, double cellSizeSecond) {
  return Guarded<int16_t>(h, 0, [&](DemBaseAI& a) { return a.CreatePyramidLayer(dataSetId, layerId, level, cellSizeFirst, cellSizeSecond); });
}

DEMBASE_API int16_t _hxDeletePyramidLayer(DemBaseAI* h, int32_t dataSetId, int32_t layerId, int16_t level) {
  return Guarded<int16_t>(h, 0, [&](DemBaseAI& a) { return a.DeletePyramidLayer(dataSetId, layerId, level); });
}

DEMBASE_API int16_t _hxGetPyramidLayerInfo(DemBaseAI* h, int32_t dataSetId, int32_t layerId, int16_t level,
                                           PyramidLayerInfo* out) {
  return Guarded<int16_t>(h, 0, [&](DemBaseAI& a) { return a.GetPyramidLayerInfo(dataSetId, layerId, level, out); });
}

DEMBASE_API int16_t _hxOpenPyramidLayer(DemBaseAI* h, int32_t dataSetId, int32_t layerId, int16_t level) {
  return Guarded<int16_t>(h, 0, [&](DemBaseAI& a) { return a.OpenPyramidLayer(dataSetId, layerId, level); });
}

DEMBASE_API int16_t _hxClosePyramidLayer(DemBaseAI* h, int32_t dataSetId, int32_t layerId) {
  return Guarded<int16_t>(h, 0, [&](DemBaseAI& a) { return a.ClosePyramidLayer(dataSetId, layerId); });
}

DEMBASE_API int16_t _hxGetOneTileInfo(DemBaseAI* h, int32_t dataSetId, int32_t layerId, int16_t level,
                                      int32_t reserved, int32_t tileRow, int32_t tileCol, OneTileInfo* out) {
  return Guarded<int16_t>(h, 0, [&](DemBaseAI& a) { return a.GetOneTileInfo(dataSetId, layerId, level, reserved, tileRow, tileCol, out); });
}

DEMBASE_API int16_t _hxSetCell(DemBaseAI* h, int32_t dataSetId, int32_t layerId, int16_t level,
                               int32_t reserved, int32_t row, int32_t col, double value) {
  if (h != nullptr) {
    const dembase::OpenLevelView* view = h->RecentLevelView(dataSetId, layerId);
    if (view != nullptr && view->Write(level, row, col, value)) return 1;
  }
  return SetCellFull(h, dataSetId, layerId, level, reserved, row, col, value);
}

DEMBASE_API double _hxGetCell(DemBaseAI* h, int32_t dataSetId, int32_t layerId, int16_t level, int32_t reserved,
                              int32_t row, int32_t col, uint8_t* isNull) {
  if (h != nullptr) {
    if (const dembase::OpenLevelView* view = h->RecentLevelView(dataSetId, layerId)) {
      if (const std::optional<double> v = view->Read(level, row, col, isNull)) return *v;
    }
  }
  return GetCellFull(h, dataSetId, layerId, level, reserved, row, col, isNull);
}

DEMBASE_API int16_t _hxBeginWriteTile(DemBaseAI* h, int32_t dataSetId, int32_t layerId, int16_t level,
                                      int32_t reserved, int32_t tileRow, int32_t tileCol) {
  return Guarded<int16_t>(h, 0, [&](DemBaseAI& a) { return a.BeginWriteTile(dataSetId, layerId, level, reserved, tileRow, tileCol); });
}

DEMBASE_API void _hxWriteCellOfTile(DemBaseAI* h, int32_t row, int32_t col, double value) {
  if (h == nullptr) return;
  try {
    h->WriteCellOfTile(row, col, value);
  } catch (...) {
  }
}

DEMBASE_API int16_t _hxEndWriteTile(DemBaseAI* h, uint8_t keep) {
  return Guarded<int16_t>(h, 0, [&](DemBaseAI& a) { return a.EndWriteTile(keep); });
}

DEMBASE_API int16_t _hxBeginReadTile(DemBaseAI* h, int32_t dataSetId, int32_t layerId, int16_t level,
                                     int32_t reserved, int32_t tileRow, int32_t tileCol) {
  return Guarded<int16_t>(h, 0, [&](DemBaseAI& a) { return a.BeginReadTile(dataSetId, layerId, level, reserved, tileRow, tileCol); });
}

DEMBASE_API int16_t _hxReadCellOfTile(DemBaseAI* h, int32_t row, int32_t col, double* value, uint8_t* isNull) {
  if (h != nullptr && ReadThroughView(h->ReadTileView(), row, col, value, isNull) == 1) return 1;
  return ReadCellOfTileFull(h, row, col, value, isNull);
}

DEMBASE_API int16_t _hxEndReadTile(DemBaseAI* h) {
  return Guarded<int16_t>(h, 0, [&](DemBaseAI& a) { return a.EndReadTile(); });
}

DEMBASE_API int16_t _hxBeginWritePyramidLayer(DemBaseAI* h, int32_t dataSetId, int32_t layerId, int16_t level) {
  return Guarded<int16_t>(h, 0, [&](DemBaseAI& a) { return a.BeginWritePyramidLayer(dataSetId, layerId, level); });
}

DEMBASE_API int16_t _hxWriteOneTile(DemBaseAI* h, int32_t reserved, int32_t tileIndex, OneTileInfo* info,
                                    const void* cells) {
  return Guarded<int16_t>(h, 0, [&](DemBaseAI& a) { return a.WriteOneTile(reserved, tileIndex, info, cells); });
}

DEMBASE_API int16_t _hxEndWritePyramidLayer(DemBaseAI* h) {
  return Guarded<int16_t>(h, 0, [&](DemBaseAI& a) { return a.EndWritePyramidLayer(); });
}

DEMBASE_API int16_t _hxBeginReadTileData(DemBaseAI* h, int32_t dataSetId, int32_t layerId, int16_t level,
                                         int32_t reserved, int32_t tileRow, int32_t tileCol) {
  return Guarded<int16_t>(h, 0, [&](DemBaseAI& a) { return a.BeginReadTileData(dataSetId, layerId, level, reserved, tileRow, tileCol); });
}

DEMBASE_API int16_t _hxReadCellOfTileData(DemBaseAI* h, int32_t row, int32_t col, double* value,
                                          uint8_t* isNull) {
  if (h != nullptr && ReadThroughView(h->TileDataView(), row, col, value, isNull) == 1) return 1;
  return ReadCellOfTileDataFull(h, row, col, value, isNull);
}

DEMBASE_API int16_t _hxEndReadTileData(DemBaseAI* h) {
  return Guarded<int16_t>(h, 0, [&](DemBaseAI& a) { return a.EndReadTileData(); });
}

DEMBASE_API int16_t _hxRenameDataLayer(DemBaseAI* h, int32_t dataSetId, const char* oldName,
                                       const char* newName) {
  return Guarded<int16_t>(h, 0, [&](DemBaseAI& a) { return a.RenameDataLayer(dataSetId, oldName, newName); });
}

DEMBASE_API int16_t _hxCopyDataLayer(DemBaseAI* h, int32_t dataSetId, const char* sourceName,
                                     const char* targetName) {
  return Guarded<int16_t>(h, 0, [&](DemBaseAI& a) { return a.CopyDataLayer(dataSetId, sourceName, targetName); });
}

DEMBASE_API double _hxGetNullValue(DemBaseAI* h, int32_t dataSetId, int32_t layerId) {
  return Guarded<double>(h, 0.0, [&](DemBaseAI& a) { return a.GetNullValue(dataSetId, layerId); });
}

DEMBASE_API int16_t _hxIsNullValue(DemBaseAI* h, int32_t dataSetId, int32_t layerId, double value) {
  return Guarded<int16_t>(h, 0, [&](DemBaseAI& a) { return a.IsNullValue(dataSetId, layerId, value); });
}

DEMBASE_API int16_t _hxGetPyLayerVatName(DemBaseAI* h, int32_t dataSetId, int32_t layerId, int16_t level,
                                         char* nameOut) {
  return Guarded<int16_t>(h, 0, [&](DemBaseAI& a) { return a.GetPyLayerVatName(dataSetId, layerId, level, nameOut); });
}

DEMBASE_API int16_t _hxOpenPyLayerVAT(DemBaseAI* h, int32_t dataSetId, int32_t layerId, int16_t level,
                                      uint32_t create) {
  return Guarded<int16_t>(h, 0, [&](DemBaseAI& a) { return a.OpenPyLayerVAT(dataSetId, layerId, level, create); });
}

DEMBASE_API int16_t _hxClosePyLayerVAT(DemBaseAI* h, int32_t dataSetId, int32_t layerId) {
  return Guarded<int16_t>(h, 0, [&](DemBaseAI& a) { return a.ClosePyLayerVAT(dataSetId, layerId); });
}

DEMBASE_API int16_t _hxGetItemNum(DemBaseAI* h, int32_t dataSetId, int32_t layerId, int32_t item) {
  return Guarded<int16_t>(h, 0, [&](DemBaseAI& a) { return a.GetItemNum(dataSetId, layerId, item); });
}

DEMBASE_API int16_t _hxSetBaseItemSet(DemBaseAI* h, int32_t dataSetId, int32_t layerId, int32_t itemSet,
                                      int32_t count) {
  return Guarded<int16_t>(h, 0, [&](DemBaseAI& a) { return a.SetBaseItemSet(dataSetId, layerId, itemSet, count); });
}

DEMBASE_API int16_t _hxGetBaseItemSet(DemBaseAI* h, int32_t dataSetId, int32_t layerId, int32_t itemSet) {
  return Guarded<int16_t>(h, 0, [&](DemBaseAI& a) { return a.GetBaseItemSet(dataSetId, layerId, itemSet); });
}

}  // extern "C"
