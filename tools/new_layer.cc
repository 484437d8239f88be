#include "tools/new_layer.h"

#include <cstdio>
#include <system_error>

namespace dembase::tool {

namespace fs = std::filesystem;

StatusOr<std::unique_ptr<NewLayer>> NewLayer::Begin(Session& session, const LayerRef& ref) {
  std::unique_ptr<NewLayer> layer(new NewLayer(session, ref));
  if (!ref.local()) return layer;
  std::error_code ec;
  std::vector<fs::path> missing;
  for (fs::path p = fs::absolute(ref.dir, ec); !ec && !p.empty() && !fs::exists(p, ec); p = p.parent_path()) {
    missing.insert(missing.begin(), p);
    if (p == p.parent_path()) break;
  }
  for (const fs::path& dir : missing) {
    if (!fs::create_directory(dir, ec) || ec)
      return Error(dir.string(), "cannot create the directory: " + ec.message());
    layer->madeDirs_.push_back(dir);
  }
  if (ec) return Error(ref.dir, ec.message());
  if (!fs::is_directory(ref.dir, ec)) return Error(ref.dir, "not a directory");
  layer->before_ = layer->OwnEntries();
  return layer;
}

Status NewLayer::Create(DataLayerParam* param, bool roundUp) {
  Status s = CreateLayer(session_, ref_, param, roundUp);
  // A refused creation made no layer of ours; one that existed is not ours to delete.
  created_ = s.ok();
  return s;
}

std::set<std::string> NewLayer::OwnEntries() const {
  std::set<std::string> names;
  std::error_code ec;
  for (const fs::directory_entry& e : fs::directory_iterator(ref_.dir, ec)) {
    const std::string n = e.path().filename().string();
    const bool own = LevelDirectoryName(n, ref_.name) || n.rfind(ref_.name + ".dem", 0) == 0 ||
                     n.rfind(ref_.name + ".prj", 0) == 0;
    if (own) names.insert(n);
  }
  return names;
}

NewLayer::~NewLayer() {
  if (kept_) return;
  if (session_.madeDatabase()) session_.DiscardDatabaseOnClose();
  if (created_ && _hxDeleteDataLayer(session_.handle(), session_.dataSet(), ref_.libraryName().c_str()) != 1 &&
      !ref_.local()) {
    // The local files are swept below; a database layer has no other way out.
    std::fprintf(stderr, "dembase: %s: the unfinished layer could not be deleted; delete it before retrying\n",
                 ref_.text.c_str());
  }
  if (!ref_.local()) return;
  std::error_code ec;
  for (const std::string& n : OwnEntries()) {
    if (before_.count(n) == 0) fs::remove_all(fs::path(ref_.dir) / n, ec);
  }
  // Innermost first; a directory something else has filled since stays.
  for (auto it = madeDirs_.rbegin(); it != madeDirs_.rend(); ++it) fs::remove(*it, ec);
}

}  // namespace dembase::tool
