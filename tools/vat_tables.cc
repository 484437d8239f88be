#include "tools/vat_tables.h"

namespace dembase::tool {

std::string TableResultText(int32_t code) {
  switch (code) {
    case DEMVAT_E_ARGUMENT: return "refused by libdemvat (bad argument)";
    case DEMVAT_E_IO: return "cannot be read or written";
    case DEMVAT_E_CORRUPT: return "not a value attribute table, or damaged (length, signature or checksum)";
    case DEMVAT_E_VERSION: return "a value attribute table of another format version";
    case DEMVAT_E_EXISTS: return "exists already";
    case DEMVAT_E_LIMIT: return "more than " + std::to_string(DEMVAT_MAX_ITEMS) + " items, or too many open tables";
    default: return "refused by libdemvat (result " + std::to_string(code) + ")";
  }
}

Status CheckTableLayer(const Layer& layer) {
  if (!layer.ref().local()) return Error(layer.ref().text, "value attribute tables are kept only in the local store");
  if (layer.floatCells()) {
    return Error(layer.ref().text, "a float32 layer has no value attribute tables (they list the values of int32 layers)");
  }
  return {};
}

StatusOr<std::string> TablePath(const Layer& layer, int16_t level) {
  char name[DEMBASE_MAX_PATH] = "";
  const int16_t r = _hxGetPyLayerVatName(layer.h(), layer.ds(), layer.id(), level, name);
  if (r == -1) return std::string();
  if (r != 1) return Status::Error(layer.LevelText(level, "cannot name its value attribute table"));
  return std::string(name);
}

StatusOr<std::vector<int16_t>> LevelsWithTables(const Layer& layer) {
  std::vector<int16_t> with;
  if (!CheckTableLayer(layer).ok()) return with;
  StatusOr<std::vector<int16_t>> levels = layer.Levels();
  if (!levels.ok()) return levels.status();
  for (const int16_t level : *levels) {
    StatusOr<std::string> path = TablePath(layer, level);
    if (!path.ok()) return path.status();
    if (!path->empty()) with.push_back(level);
  }
  return with;
}

StatusOr<std::vector<DemVatItem>> ReadTable(const std::string& path) {
  const int32_t n = DemVatReadTable(path.c_str(), nullptr, 0);
  if (n < 0) return Error(path, TableResultText(n));
  std::vector<DemVatItem> items(static_cast<size_t>(n));
  const int32_t again = DemVatReadTable(path.c_str(), items.data(), n);
  // Replaced in between: what was read is still one whole table, but of another size.
  if (again < 0 || again != n) return Error(path, again < 0 ? TableResultText(again) : "changed while it was read");
  return items;
}

Status CheckTableOpens(const Layer& layer, int16_t level, const std::vector<DemVatItem>& items) {
  const int16_t r = _hxOpenPyLayerVAT(layer.h(), layer.ds(), layer.id(), level, 0);
  if (r != 1) return Status::Error(layer.LevelText(level, "the library refuses its value attribute table"));
  const bool found = items.empty() || _hxGetItemNum(layer.h(), layer.ds(), layer.id(), items.back().value) ==
                                          static_cast<int16_t>(items.size());
  const bool closed = _hxClosePyLayerVAT(layer.h(), layer.ds(), layer.id()) == 1;
  if (!found || !closed) {
    return Status::Error(layer.LevelText(level, found ? "its value attribute table cannot be closed"
                                                      : "its value attribute table does not answer as written"));
  }
  return {};
}

}  // namespace dembase::tool
