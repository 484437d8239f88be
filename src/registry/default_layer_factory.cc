#include "registry/layer_factory.h"

#include <new>

#include "localstore/dem_file_layer.h"
#include "localstore/layer_removal.h"

namespace dembase {
namespace {

// The layer kinds; the database kind, renaming and copying answer 0 until they arrive.
class DefaultLayerFactory final : public LayerFactory {
 public:
  std::unique_ptr<CDataLayer> NewLocalLayer(CTileCache* cache) override {
    return std::unique_ptr<CDataLayer>(new (std::nothrow) CDemFileLayer(cache));
  }
  std::unique_ptr<CDataLayer> NewDbLayer(CTileCache*) override { return nullptr; }
  int16_t CreateLocalLayerFiles(CTileCache*, const char* path, const DataLayerParam* param) override {
    return CDemFileLayer::CreateLayerFiles(path, param);
  }
  int16_t DeleteLocalLayer(CTileCache*, const char* path) override {
    return path == nullptr || path[0] == '\0' ? 0 : DeleteLayerFiles(path);
  }
  int16_t RenameLocalLayer(CTileCache*, const char*, const char*) override { return 0; }
  int16_t CopyLocalLayer(CTileCache*, const char*, const char*) override { return 0; }
};

}  // namespace

LayerFactory* LayerFactory::Default() {
  static DefaultLayerFactory factory;
  return &factory;
}

}  // namespace dembase
