// Removing a whole local layer that is not open: its header file and every level's files.
#ifndef DEMBASE_LOCALSTORE_LAYER_REMOVAL_H_
#define DEMBASE_LOCALSTORE_LAYER_REMOVAL_H_

#include <cstdint>
#include <string>

namespace dembase {

// Deletes the layer whose header file is at path. The header goes first, so from then
// on nobody opens the layer, and level files a failure leaves behind are leftovers that
// no header names. 1; 0 (missing, open anywhere, unreadable, or the header could not
// be removed: the layer is then intact); -1; -2.
int16_t DeleteLayerFiles(const std::string& path);

}  // namespace dembase

#endif  // DEMBASE_LOCALSTORE_LAYER_REMOVAL_H_
