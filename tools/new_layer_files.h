// The files of a layer that import or create is making. Until Keep(), the destructor
// removes whatever the attempt added under the layer's names (its header, its level
// directories, its reference system, their temporaries) and the directories made for
// it, so a failed attempt leaves nothing that blocks the next one. Nothing that existed
// before Begin is touched. The library offers no way to delete a layer, so this is done
// on the files; destroy it only after the layer is closed.
#ifndef DEMBASE_TOOLS_NEW_LAYER_FILES_H_
#define DEMBASE_TOOLS_NEW_LAYER_FILES_H_

#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tools/layer_name.h"
#include "tools/status.h"

namespace dembase::tool {

class NewLayerFiles {
 public:
  // Makes the layer's directory (and its parents) when missing. REQUIRES: ref.local().
  [[nodiscard]] static StatusOr<std::unique_ptr<NewLayerFiles>> Begin(const LayerRef& ref);
  ~NewLayerFiles();
  NewLayerFiles(const NewLayerFiles&) = delete;
  NewLayerFiles& operator=(const NewLayerFiles&) = delete;

  void Keep() { kept_ = true; }

 private:
  explicit NewLayerFiles(const LayerRef& ref) : ref_(ref) {}
  // Entries of the layer directory the layer may own: NAME, NAME_<digits>, and names
  // that begin with NAME.dem or NAME.prj.
  std::set<std::string> OwnEntries() const;

  LayerRef ref_;
  std::set<std::string> before_;
  std::vector<std::filesystem::path> madeDirs_;  // outermost first
  bool kept_ = false;
};

}  // namespace dembase::tool

#endif  // DEMBASE_TOOLS_NEW_LAYER_FILES_H_
