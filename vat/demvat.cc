// The entry points: argument checks, then the registry, the codec and the file calls.
// Nothing may throw out of them, so each one answers a code for what C++ throws.
#include "demvat.h"

#include <algorithm>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "open_tables.h"
#include "table_codec.h"
#include "table_file.h"

namespace dembase::vat {
namespace {

template <typename Fn>
int32_t Guarded(Fn fn) {
  try {
    return fn();
  } catch (const std::bad_alloc&) {
    return DEMVAT_E_LIMIT;
  } catch (...) {
    return DEMVAT_E_IO;
  }
}

int32_t ReadTable(const char* path, std::vector<DemVatItem>* items) {
  std::vector<uint8_t> bytes;
  const int32_t r = ReadWholeFile(path, kMaxTableBytes, &bytes);
  return r < 1 ? r : DecodeTable(bytes, items);
}

int32_t Register(const char* path, std::vector<DemVatItem> items) {
  auto table = std::make_unique<OpenTable>();
  table->path = path;
  table->items = std::move(items);
  return OpenTables::Instance().Add(std::move(table));
}

// The index of item number item, or -1.
ptrdiff_t IndexOf(const OpenTable& t, int32_t item) {
  return item >= 1 && static_cast<size_t>(item) <= t.items.size() ? item - 1 : -1;
}

}  // namespace
}  // namespace dembase::vat

using dembase::vat::Guarded;
using dembase::vat::OpenTable;
using dembase::vat::OpenTables;

extern "C" {

int32_t CreateVatFile(const char* path, int32_t, int32_t, int32_t) {
  if (path == nullptr || path[0] == '\0') return DEMVAT_E_ARGUMENT;
  return Guarded([&] {
    const std::vector<uint8_t> bytes = dembase::vat::EncodeTable({});
    const int32_t r = dembase::vat::WriteFileAtomically(path, bytes, /*replace=*/false);
    return r < 1 ? r : dembase::vat::Register(path, {});
  });
}

int32_t OpenVatFile(const char* path, int32_t, int32_t, int32_t) {
  if (path == nullptr || path[0] == '\0') return DEMVAT_E_ARGUMENT;
  return Guarded([&] {
    std::vector<DemVatItem> items;
    const int32_t r = dembase::vat::ReadTable(path, &items);
    return r < 1 ? r : dembase::vat::Register(path, std::move(items));
  });
}

int32_t CloseVatFile(int32_t table) {
  return Guarded([&] {
    const std::unique_ptr<OpenTable> t = OpenTables::Instance().Remove(table);
    if (!t) return DEMVAT_E_ARGUMENT;
    if (!t->changed) return 1;
    return dembase::vat::WriteFileAtomically(t->path, dembase::vat::EncodeTable(t->items), /*replace=*/true);
  });
}

int32_t GetItemNum(int32_t table, int32_t value) {
  return Guarded([&] {
    return OpenTables::Instance().With(table, [&](OpenTable& t) {
      const auto it = std::lower_bound(t.items.begin(), t.items.end(), value,
                                       [](const DemVatItem& item, int32_t v) { return item.value < v; });
      return it != t.items.end() && it->value == value ? static_cast<int32_t>(it - t.items.begin()) + 1 : 0;
    });
  });
}

int32_t SetBaseItemSet(int32_t table, int32_t item, int32_t itemSet) {
  return Guarded([&] {
    return OpenTables::Instance().With(table, [&](OpenTable& t) {
      const ptrdiff_t i = dembase::vat::IndexOf(t, item);
      if (i < 0 || itemSet < 0 || itemSet > DEMVAT_MAX_ITEM_SETS) return DEMVAT_E_ARGUMENT;
      DemVatItem& it = t.items[static_cast<size_t>(i)];
      t.changed = t.changed || it.itemSet != itemSet;
      it.itemSet = itemSet;
      return 1;
    });
  });
}

int32_t GetBaseItemSet(int32_t table, int32_t item) {
  return Guarded([&] {
    return OpenTables::Instance().With(table, [&](OpenTable& t) {
      const ptrdiff_t i = dembase::vat::IndexOf(t, item);
      return i < 0 ? DEMVAT_E_ARGUMENT : t.items[static_cast<size_t>(i)].itemSet;
    });
  });
}

int32_t DemVatWriteTable(const char* path, const DemVatItem* items, int32_t count) {
  if (path == nullptr || path[0] == '\0' || count < 0 || (items == nullptr && count > 0)) return DEMVAT_E_ARGUMENT;
  if (count > DEMVAT_MAX_ITEMS) return DEMVAT_E_LIMIT;
  const std::span<const DemVatItem> list(items, static_cast<size_t>(count));
  if (!dembase::vat::ValidItems(list)) return DEMVAT_E_ARGUMENT;
  return Guarded([&] { return dembase::vat::WriteFileAtomically(path, dembase::vat::EncodeTable(list), true); });
}

int32_t DemVatReadTable(const char* path, DemVatItem* items, int32_t capacity) {
  if (path == nullptr || path[0] == '\0' || capacity < 0 || (items == nullptr && capacity > 0)) {
    return DEMVAT_E_ARGUMENT;
  }
  return Guarded([&] {
    std::vector<DemVatItem> read;
    const int32_t r = dembase::vat::ReadTable(path, &read);
    if (r < 1) return r;
    std::copy_n(read.begin(), std::min(read.size(), static_cast<size_t>(capacity)), items);
    return static_cast<int32_t>(read.size());
  });
}

}  // extern "C"
