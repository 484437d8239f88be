#include "registry/layer_factory.h"

#include <new>

#include "dbstore/db_layer.h"
#include "localstore/dem_file_layer.h"
#include "localstore/layer_maintenance.h"

namespace dembase {
namespace {

// The layer kinds and the local store's whole-layer operations.
class DefaultLayerFactory final : public LayerFactory {
 public:
  std::unique_ptr<CDataLayer> NewLocalLayer(CTileCache* cache) override {
    return std::unique_ptr<CDataLayer>(new (std::nothrow) CDemFileLayer(cache));
  }
  std::unique_ptr<CDataLayer> NewDbLayer(CTileCache* cache) override {
    return std::unique_ptr<CDataLayer>(new (std::nothrow) CDbLayer(cache));
  }
  int16_t CreateLocalLayerFiles(CTileCache*, const char* path, const DataLayerParam* param) override {
    return CDemFileLayer::CreateLayerFiles(path, param);
  }
  int16_t DeleteLocalLayer(CTileCache*, const char* path) override {
    return Empty(path) ? 0 : DeleteLayerFiles(path);
  }
  int16_t RenameLocalLayer(CTileCache*, const char* oldPath, const char* newPath) override {
    return Empty(oldPath) || Empty(newPath) ? 0 : RenameLayerFiles(oldPath, newPath);
  }
  int16_t CopyLocalLayer(CTileCache*, const char* sourcePath, const char* targetPath) override {
    return Empty(sourcePath) || Empty(targetPath) ? 0 : CopyLayerFiles(sourcePath, targetPath);
  }

 private:
  static bool Empty(const char* path) { return path == nullptr || path[0] == '\0'; }
};

}  // namespace

LayerFactory* LayerFactory::Default() {
  static DefaultLayerFactory factory;
  return &factory;
}

}  // namespace dembase
