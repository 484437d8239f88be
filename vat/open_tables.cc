#include "open_tables.h"

namespace dembase::vat {
namespace {
// Handle = generation * 256 + slot + 1, kept below 2^31.
constexpr uint32_t kGenerations = 1u << 23;
}  // namespace

OpenTables& OpenTables::Instance() {
  static OpenTables tables;
  return tables;
}

int32_t OpenTables::Add(std::unique_ptr<OpenTable> table) {
  std::lock_guard<std::mutex> lock(mu_);
  for (int i = 0; i < kSlots; ++i) {
    Slot& s = slots_[static_cast<size_t>(i)];
    if (s.table) continue;
    s.generation = (s.generation + 1) % kGenerations;
    s.table = std::move(table);
    return static_cast<int32_t>(s.generation * 256u + static_cast<uint32_t>(i) + 1u);
  }
  return DEMVAT_E_LIMIT;
}

OpenTables::Slot* OpenTables::Find(int32_t handle) {
  if (handle < 1) return nullptr;
  const auto h = static_cast<uint32_t>(handle);
  const uint32_t slot = (h % 256u) - 1u;
  if (h % 256u == 0 || slot >= kSlots) return nullptr;
  Slot& s = slots_[slot];
  return s.table && s.generation == h / 256u ? &s : nullptr;
}

int32_t OpenTables::With(int32_t handle, const std::function<int32_t(OpenTable&)>& fn) {
  std::lock_guard<std::mutex> lock(mu_);
  Slot* s = Find(handle);
  return s == nullptr ? DEMVAT_E_ARGUMENT : fn(*s->table);
}

std::unique_ptr<OpenTable> OpenTables::Remove(int32_t handle) {
  std::lock_guard<std::mutex> lock(mu_);
  Slot* s = Find(handle);
  return s == nullptr ? nullptr : std::move(s->table);
}

}  // namespace dembase::vat
