// Value attribute tables: the six operations of the layer over CVatLibrary. The layer
// finds a level's table file and checks that it exists; libdemvat does the rest.
#include <cstring>

#include "localstore/dem_file_layer.h"
#include "localstore/file_names.h"
#include "localstore/vat_library.h"

namespace dembase {

std::optional<std::string> CDemFileLayer::VatPathOf(int16_t level) const {
  // Level 0 names no level record.
  if (!is_open() || param_.dataType != DEMBASE_TYPE_INT32 || level < 1 || level > CreatedLevels() ||
      !levels_[static_cast<size_t>(level - 1)].created) {
    return std::nullopt;
  }
  const std::optional<std::string> path = VatFilePath(layerDir_, levels_[static_cast<size_t>(level - 1)].headerPath);
  if (!path) return std::nullopt;
  return platform::ToSystemPath(*path);
}

int16_t CDemFileLayer::GetPyLayerVatName(int32_t /*layerId*/, int16_t level, char* nameOut) {
  const std::optional<std::string> path = VatPathOf(level);
  // VatFilePath refuses a path longer than kMaxPathLength, so it fits DEMBASE_MAX_PATH.
  if (!path || nameOut == nullptr || path->size() >= DEMBASE_MAX_PATH) return 0;
  if (!platform::CurrentEnv()->Exists(*path)) return -1;
  std::memcpy(nameOut, path->c_str(), path->size() + 1);
  return 1;
}

int16_t CDemFileLayer::OpenPyLayerVAT(int32_t layerId, int16_t level, uint32_t create) {
  if (!is_open() || param_.dataType != DEMBASE_TYPE_INT32 || vat_) return 0;
  std::string path;
  if (create != 0) {
    const std::optional<std::string> p = VatPathOf(level);
    if (!p) return 0;
    if (platform::CurrentEnv()->Exists(*p)) return -2;
    path = *p;
  } else {
    char name[DEMBASE_MAX_PATH];
    if (GetPyLayerVatName(layerId, level, name) < 1) return -1;
    path = name;
  }
  // A failed open leaves no library loaded and no table open.
  auto vat = std::make_unique<CVatLibrary>();
  const int32_t r = create != 0 ? vat->CreateTable(path) : vat->OpenTable(path);
  if (r < 1) return 0;
  vat_ = std::move(vat);
  vatLevel_ = level;
  return 1;
}

int16_t CDemFileLayer::ClosePyLayerVAT(int32_t /*layerId*/) {
  if (!vat_) return 0;
  const int32_t r = vat_->CloseTable();
  vat_.reset();
  vatLevel_ = 0;
  return static_cast<int16_t>(r);
}

int16_t CDemFileLayer::GetItemNum(int32_t item) { return vat_ ? static_cast<int16_t>(vat_->GetItemNum(item)) : 0; }

int16_t CDemFileLayer::SetBaseItemSet(int32_t itemSet, int32_t count) {
  if (!vat_ || itemSet == 0 || count < 1) return 0;
  return static_cast<int16_t>(vat_->SetBaseItemSet(itemSet, count));
}

int16_t CDemFileLayer::GetBaseItemSet(int32_t itemSet) {
  if (!vat_ || itemSet == 0) return 0;
  return static_cast<int16_t>(vat_->GetBaseItemSet(itemSet));
}

}  // namespace dembase
