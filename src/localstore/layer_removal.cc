#include "localstore/layer_removal.h"

#include "localstore/file_names.h"
#include "localstore/layer_header_file.h"
#include "localstore/level_files.h"
#include "platform/env.h"

namespace dembase {

int16_t DeleteLayerFiles(const std::string& path) {
  const auto dir = LayerDirectory(path);
  if (!dir) return 0;
  // Held unshared until the end: a layer open anywhere is refused here, and nobody can
  // open this one while its files go.
  OpenedLayerHeader opened;
  const int16_t r = OpenLayerHeaderFile(path, &opened);
  if (r < 1) return r;
  platform::Env* env = platform::CurrentEnv();
  if (!env->RemoveFile(path)) return 0;
  // Level files that stay are reported by the layer check as leftovers; the layer
  // itself is gone either way.
  for (const PyramidLevelRec& rec : opened.levels) {
    if (rec.created) (void)DeleteLevelFiles(*dir, rec);
  }
  return 1;
}

}  // namespace dembase
