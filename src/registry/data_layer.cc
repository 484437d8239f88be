#include "registry/data_layer.h"

namespace dembase {

// Out of line so the table of virtual operations is emitted once, here.
CDataLayer::~CDataLayer() = default;

}  // namespace dembase
