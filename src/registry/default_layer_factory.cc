#include "registry/layer_factory.h"

namespace dembase {
namespace {

// The layer kinds plug in here as they arrive; until then nothing can be opened.
class DefaultLayerFactory final : public LayerFactory {
 public:
  std::unique_ptr<CDataLayer> NewLocalLayer(CTileCache*) override { return nullptr; }
  std::unique_ptr<CDataLayer> NewDbLayer(CTileCache*) override { return nullptr; }
  int16_t CreateLocalLayerFiles(CTileCache*, const char*, const DataLayerParam*) override { return 0; }
  int16_t DeleteLocalLayer(CTileCache*, const char*) override { return 0; }
  int16_t RenameLocalLayer(CTileCache*, const char*, const char*) override { return 0; }
  int16_t CopyLocalLayer(CTileCache*, const char*, const char*) override { return 0; }
};

}  // namespace

LayerFactory* LayerFactory::Default() {
  static DefaultLayerFactory factory;
  return &factory;
}

}  // namespace dembase
