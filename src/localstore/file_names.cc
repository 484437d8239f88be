#include "localstore/file_names.h"

#include <string>

namespace dembase {
namespace {

std::optional<std::string> FitPath(std::string path) {
  if (path.size() > kMaxPathLength) return std::nullopt;
  return path;
}

}  // namespace

PathParts SplitPath(std::string_view path) {
  PathParts parts;
  if (path.size() >= 2 && path[1] == ':') {
    parts.drive = path.substr(0, 2);
    path.remove_prefix(2);
  }
  size_t name = 0;
  for (size_t i = 0; i < path.size(); ++i) {
    if (IsPathSeparator(path[i])) name = i + 1;
  }
  parts.dir = path.substr(0, name);
  const std::string_view last = path.substr(name);
  const size_t dot = last.rfind('.');
  parts.fname = last.substr(0, dot);
  if (dot != std::string_view::npos) parts.ext = last.substr(dot);
  return parts;
}

std::string JoinPath(const PathParts& parts) {
  std::string out = parts.drive;
  out += parts.dir;
  if (!parts.dir.empty() && !IsPathSeparator(parts.dir.back())) out += '\\';
  out += parts.fname;
  if (!parts.ext.empty() && parts.ext.front() != '.') out += '.';
  out += parts.ext;
  return out;
}

std::optional<std::string> LayerDirectory(std::string_view headerPath) {
  PathParts parts = SplitPath(headerPath);
  std::string dir = parts.drive + parts.dir;
  if (dir.size() > kMaxLayerDirLength) return std::nullopt;
  return dir;
}

std::optional<std::string> LayerName(std::string_view headerPath) {
  std::string name = SplitPath(headerPath).fname;
  if (name.empty() || name == "." || name == ".." || name.size() > kMaxPathLength) return std::nullopt;
  return name;
}

std::optional<PyramidLevelRec> MakeLevelRecord(std::string_view layerName, int level) {
  if (level < 1 || layerName.empty() || layerName == "." || layerName == "..") return std::nullopt;
  for (char c : layerName) {
    if (IsPathSeparator(c) || c == '\0') return std::nullopt;
  }
  std::string base(layerName);
  // Appended piece by piece: g++ 12 at -O3 warns (-Wrestrict) on the temporary that
  // "_" + std::to_string(...) makes.
  if (level > 1) base.append("_").append(std::to_string(level - 1));
  PyramidLevelRec rec;
  rec.directory = base + "\\";
  rec.headerPath = rec.directory + base + ".Hdr";
  rec.dataPath = rec.directory + base + ".Dem";
  rec.created = false;
  if (!rec.Fits() || !IsSafeStoredPath(rec.directory)) return std::nullopt;
  return rec;
}

bool IsSafeStoredPath(std::string_view relative) {
  if (relative.size() >= 2 && relative[1] == ':') return false;
  if (!relative.empty() && IsPathSeparator(relative.front())) return false;
  size_t start = 0;
  while (start <= relative.size()) {
    size_t end = start;
    while (end < relative.size() && !IsPathSeparator(relative[end])) ++end;
    const std::string_view component = relative.substr(start, end - start);
    if (component == "." || component == "..") return false;
    start = end + 1;
  }
  return true;
}

std::optional<std::string> SystemPath(std::string_view layerDir, std::string_view relative) {
  if (!IsSafeStoredPath(relative)) return std::nullopt;
  std::string path(layerDir);
  path += relative;
  return FitPath(std::move(path));
}

std::optional<std::string> DataFilePath(std::string_view first, int index) {
  if (index < 1) return FitPath(std::string(first));
  PathParts parts = SplitPath(first);
  parts.fname += std::to_string(index);
  return FitPath(JoinPath(parts));
}

std::optional<std::string> VatFilePath(std::string_view layerDir, std::string_view headerPath) {
  PathParts parts = SplitPath(headerPath);
  return SystemPath(layerDir, parts.drive + parts.dir + parts.fname + ".WB");
}

bool LevelPathsFit(std::string_view layerDir, const PyramidLevelRec& rec, int dataFileCount) {
  if (!rec.Fits() || !SystemPath(layerDir, rec.directory) || !SystemPath(layerDir, rec.headerPath) ||
      !VatFilePath(layerDir, rec.headerPath)) {
    return false;
  }
  const std::optional<std::string> first = SystemPath(layerDir, rec.dataPath);
  // The last data file has the longest name.
  return first && DataFilePath(*first, dataFileCount - 1).has_value();
}

}  // namespace dembase
