#include "tools/layer_name.h"

#include <cstring>
#include <filesystem>

namespace dembase::tool {
namespace {

constexpr std::string_view kSqlite = "sqlite:";
constexpr std::string_view kPostgresql = "postgresql:";
constexpr std::string_view kHeaderExtension = ".dem";

bool EndsWith(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

// Copies s into a fixed char field, refusing what would not fit with its NUL.
template <size_t N>
bool CopyField(std::string_view s, char (&field)[N]) {
  if (s.size() >= N || s.find('\0') != std::string_view::npos) return false;
  std::memcpy(field, s.data(), s.size());
  field[s.size()] = '\0';
  return true;
}

bool ValidLayerName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find_first_of("/\\") == std::string_view::npos;
}

StatusOr<LayerRef> ParseLocal(std::string_view text) {
  LayerRef ref;
  ref.text = std::string(text);
  std::string_view path = text;
  if (EndsWith(path, kHeaderExtension)) path.remove_suffix(kHeaderExtension.size());
  const std::filesystem::path p{std::string(path)};
  ref.name = p.filename().string();
  if (!ValidLayerName(ref.name)) {
    return Error(ref.text, "not a layer name (expected DIR/NAME, the header being DIR/NAME.dem)");
  }
  ref.dir = p.has_parent_path() ? p.parent_path().string() : ".";
  ref.headerPath = (std::filesystem::path(ref.dir) / (ref.name + std::string(kHeaderExtension))).string();
  ref.crsPath = (std::filesystem::path(ref.dir) / (ref.name + ".prj")).string();
  if (ref.headerPath.size() >= DEMBASE_MAX_PATH) {
    return Error(ref.text, "path longer than " + std::to_string(DEMBASE_MAX_PATH - 1) + " characters");
  }
  return ref;
}

StatusOr<LayerRef> ParseDatabase(std::string_view text, StoreKind kind, std::string_view rest) {
  LayerRef ref;
  ref.text = std::string(text);
  ref.kind = kind;
  // The database part may hold '#' or '/': the data set and layer follow the last '#'.
  const size_t hash = rest.rfind('#');
  if (hash == std::string_view::npos || hash == 0) {
    const std::string database = kind == StoreKind::kSqlite ? "sqlite:PATH" : "postgresql:CONNINFO";
    return Error(ref.text, "expected " + database + "#DATASET/NAME");
  }
  const std::string_view database = rest.substr(0, hash);
  const std::string_view dataSetAndLayer = rest.substr(hash + 1);
  const size_t slash = dataSetAndLayer.find('/');
  if (slash == std::string_view::npos || slash == 0) {
    return Error(ref.text, "expected #DATASET/NAME after the database");
  }
  const std::string_view dataSet = dataSetAndLayer.substr(0, slash);
  ref.name = std::string(dataSetAndLayer.substr(slash + 1));
  if (!ValidLayerName(ref.name)) return Error(ref.text, "not a layer name after DATASET/");
  ref.connection.connectKind = kind == StoreKind::kSqlite ? 1 : 2;
  if (!CopyField(database, ref.connection.connectArg1)) {
    return Error(ref.text, "database name longer than " + std::to_string(sizeof(ref.connection.connectArg1) - 1) +
                               " characters");
  }
  if (!CopyField(dataSet, ref.connection.dataSet)) {
    return Error(ref.text,
                 "data-set name longer than " + std::to_string(sizeof(ref.connection.dataSet) - 1) + " characters");
  }
  return ref;
}

}  // namespace

bool LevelDirectoryName(std::string_view entry, std::string_view layerName) {
  if (entry == layerName) return true;
  if (entry.size() <= layerName.size() + 1 || !entry.starts_with(layerName) || entry[layerName.size()] != '_') {
    return false;
  }
  return entry.find_first_not_of("0123456789", layerName.size() + 1) == std::string_view::npos;
}

StatusOr<LayerRef> ParseLayerRef(std::string_view text) {
  if (text.starts_with(kSqlite)) return ParseDatabase(text, StoreKind::kSqlite, text.substr(kSqlite.size()));
  if (text.starts_with(kPostgresql)) {
    return ParseDatabase(text, StoreKind::kPostgresql, text.substr(kPostgresql.size()));
  }
  return ParseLocal(text);
}

}  // namespace dembase::tool
