// A layer that import or create is making. Until Keep(), the destructor undoes the attempt:
// a layer Create() made is deleted through the library, and in the local store whatever
// else the attempt added under the layer's names (a partly made layer, its reference
// system, temporaries) goes too, as do the directories made for it; a database file that
// opening the session made goes once the session closes. So a failed attempt leaves
// nothing that blocks the next one, and nothing that existed before Begin is touched. Destroy it after the layer is closed and before its session.
#ifndef DEMBASE_TOOLS_NEW_LAYER_H_
#define DEMBASE_TOOLS_NEW_LAYER_H_

#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tools/layer_name.h"
#include "tools/session.h"
#include "tools/status.h"

namespace dembase::tool {

class NewLayer {
 public:
  // Makes a local layer's directory (and its parents) when missing.
  [[nodiscard]] static StatusOr<std::unique_ptr<NewLayer>> Begin(Session& session, const LayerRef& ref);
  ~NewLayer();
  NewLayer(const NewLayer&) = delete;
  NewLayer& operator=(const NewLayer&) = delete;

  // CreateLayer (session.h), remembering that the layer is this attempt's own.
  [[nodiscard]] Status Create(DataLayerParam* param, bool roundUp);
  // The layer at ref was made by this attempt another way (a copy by the library).
  void Own() { created_ = true; }
  void Keep() { kept_ = true; }

 private:
  NewLayer(Session& session, const LayerRef& ref) : session_(session), ref_(ref) {}
  // Entries of a local layer's directory the layer may own: NAME, NAME_<digits>, and names
  // that begin with NAME.dem or NAME.prj.
  std::set<std::string> OwnEntries() const;

  Session& session_;
  LayerRef ref_;
  bool created_ = false;
  std::set<std::string> before_;
  std::vector<std::filesystem::path> madeDirs_;  // outermost first
  bool kept_ = false;
};

}  // namespace dembase::tool

#endif  // DEMBASE_TOOLS_NEW_LAYER_H_
