// Feeds a value attribute table (.WB) through libdemvat's readers: a table it takes must
// hold what its writer would write (ascending values, classes in range, counts >= 1), read
// back the same once written again, and answer each value with its item number.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "demvat.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using dembase::fuzz::Require;
  static const std::string path = dembase::fuzz::ScratchDir() + "/table.WB";
  static const std::string again = dembase::fuzz::ScratchDir() + "/again.WB";
  Require(dembase::fuzz::WriteWholeFile(path, {data, size}), "write table");

  const int32_t n = DemVatReadTable(path.c_str(), nullptr, 0);
  if (n < 0) {
    Require(n >= DEMVAT_E_LIMIT, "a refusal is one of the documented codes");
    Require(OpenVatFile(path.c_str(), 0, 0, 0) < 0, "a table one reader refuses, the other refuses too");
    return 0;
  }
  std::vector<DemVatItem> items(static_cast<size_t>(n));
  Require(DemVatReadTable(path.c_str(), items.data(), n) == n, "the same count twice");
  for (int32_t i = 0; i < n; ++i) {
    const DemVatItem& it = items[static_cast<size_t>(i)];
    Require(i == 0 || items[static_cast<size_t>(i - 1)].value < it.value, "values ascend");
    Require(it.itemSet >= 0 && it.itemSet <= DEMVAT_MAX_ITEM_SETS && it.cells >= 1, "fields in range");
  }
  Require(DemVatWriteTable(again.c_str(), items.data(), n) == 1, "a table read is a table that can be written");
  std::vector<DemVatItem> back(static_cast<size_t>(n));
  Require(DemVatReadTable(again.c_str(), back.data(), n) == n, "written table reads back");
  for (int32_t i = 0; i < n; ++i) {
    Require(back[static_cast<size_t>(i)].value == items[static_cast<size_t>(i)].value &&
                back[static_cast<size_t>(i)].itemSet == items[static_cast<size_t>(i)].itemSet &&
                back[static_cast<size_t>(i)].cells == items[static_cast<size_t>(i)].cells,
            "the same items");
  }

  const int32_t table = OpenVatFile(path.c_str(), 0, 0, 0);
  Require(table > 0, "a table the reader takes opens");
  for (int32_t i = 0; i < n && i < 64; ++i) {
    Require(GetItemNum(table, items[static_cast<size_t>(i)].value) == i + 1, "each value answers its item");
    Require(GetBaseItemSet(table, i + 1) == items[static_cast<size_t>(i)].itemSet, "each item answers its class");
  }
  Require(CloseVatFile(table) == 1, "close");
  return 0;
}
