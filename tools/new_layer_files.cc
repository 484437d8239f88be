#include "tools/new_layer_files.h"

#include <system_error>

namespace dembase::tool {

namespace fs = std::filesystem;

StatusOr<std::unique_ptr<NewLayerFiles>> NewLayerFiles::Begin(const LayerRef& ref) {
  std::unique_ptr<NewLayerFiles> files(new NewLayerFiles(ref));
  std::error_code ec;
  std::vector<fs::path> missing;
  for (fs::path p = fs::absolute(ref.dir, ec); !ec && !p.empty() && !fs::exists(p, ec); p = p.parent_path()) {
    missing.insert(missing.begin(), p);
    if (p == p.parent_path()) break;
  }
  for (const fs::path& dir : missing) {
    if (!fs::create_directory(dir, ec) || ec)
      return Error(dir.string(), "cannot create the directory: " + ec.message());
    files->madeDirs_.push_back(dir);
  }
  if (ec) return Error(ref.dir, ec.message());
  if (!fs::is_directory(ref.dir, ec)) return Error(ref.dir, "not a directory");
  files->before_ = files->OwnEntries();
  return files;
}

std::set<std::string> NewLayerFiles::OwnEntries() const {
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

NewLayerFiles::~NewLayerFiles() {
  if (kept_) return;
  std::error_code ec;
  for (const std::string& n : OwnEntries()) {
    if (before_.count(n) == 0) fs::remove_all(fs::path(ref_.dir) / n, ec);
  }
  // Innermost first; a directory something else has filled since stays.
  for (auto it = madeDirs_.rbegin(); it != madeDirs_.rend(); ++it) fs::remove(*it, ec);
}

}  // namespace dembase::tool
