// LayerFactory: how the registry makes layer objects and reaches the local store's
// whole-layer file operations. The registry never names a concrete layer kind; tests
// substitute a factory of fakes.
#ifndef DEMBASE_REGISTRY_LAYER_FACTORY_H_
#define DEMBASE_REGISTRY_LAYER_FACTORY_H_

#include <cstdint>
#include <memory>

#include "dembase/dembase.h"
#include "registry/data_layer.h"

namespace dembase {

class CTileCache;

class LayerFactory {
 public:
  virtual ~LayerFactory() = default;

  // A closed layer object of the local kind / the database kind; nullptr when none can be made.
  virtual std::unique_ptr<CDataLayer> NewLocalLayer(CTileCache* cache) = 0;
  virtual std::unique_ptr<CDataLayer> NewDbLayer(CTileCache* cache) = 0;

  // The local store's operations on a layer by header path; each works on a temporary
  // object that is never opened. Results as the exports give them.
  virtual int16_t CreateLocalLayerFiles(CTileCache* cache, const char* path, const DataLayerParam* param) = 0;
  virtual int16_t DeleteLocalLayer(CTileCache* cache, const char* path) = 0;
  virtual int16_t RenameLocalLayer(CTileCache* cache, const char* oldPath, const char* newPath) = 0;
  virtual int16_t CopyLocalLayer(CTileCache* cache, const char* sourcePath, const char* targetPath) = 0;

  // The factory of the real layer kinds; lives for the whole process.
  static LayerFactory* Default();
};

}  // namespace dembase

#endif  // DEMBASE_REGISTRY_LAYER_FACTORY_H_
