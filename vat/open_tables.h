// The tables open in this process, by handle. Handles are slot numbers with a generation
// above them, so a closed handle is refused rather than taken for a later table.
//
// Thread safety: every call may come from any thread; one mutex guards the slots, and no
// file is read or written while it is held.
#ifndef DEMBASE_VAT_OPEN_TABLES_H_
#define DEMBASE_VAT_OPEN_TABLES_H_

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "demvat.h"

namespace dembase::vat {

struct OpenTable {
  std::string path;
  std::vector<DemVatItem> items;
  bool changed = false;  // a class changed since the table was read
};

class OpenTables {
 public:
  static constexpr int kSlots = 255;

  // The process's one registry; it lives until the library is unloaded.
  static OpenTables& Instance();

  // A handle > 0 for table, or DEMVAT_E_LIMIT when every slot is taken.
  int32_t Add(std::unique_ptr<OpenTable> table);
  // Runs fn on the table of handle under the lock: fn's result, or DEMVAT_E_ARGUMENT for
  // an unknown handle.
  int32_t With(int32_t handle, const std::function<int32_t(OpenTable&)>& fn);
  // Takes the table of handle out; nullptr for an unknown handle.
  std::unique_ptr<OpenTable> Remove(int32_t handle);

 private:
  struct Slot {
    uint32_t generation = 0;
    std::unique_ptr<OpenTable> table;
  };
  // The slot of a live handle; REQUIRES: mu_ held.
  Slot* Find(int32_t handle);

  std::mutex mu_;
  std::array<Slot, kSlots> slots_;
};

}  // namespace dembase::vat

#endif  // DEMBASE_VAT_OPEN_TABLES_H_
