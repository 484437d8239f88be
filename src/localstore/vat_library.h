// CVatLibrary: one load of libdemvat.so and the value attribute table opened through it.
// The library is looked for only beside libdembase.so, by absolute path, never in the
// current directory or a search path. Every call resolves its entry point anew; a library
// that did not load, or lacks the entry point, makes the call answer 0. Results are the
// library's own (demvat.h says what they mean).
//
// Thread safety: none; the owning layer's thread only.
#ifndef DEMBASE_LOCALSTORE_VAT_LIBRARY_H_
#define DEMBASE_LOCALSTORE_VAT_LIBRARY_H_

#include <cstdint>
#include <memory>
#include <string>

#include "platform/env.h"

namespace dembase {

inline constexpr const char* kVatLibraryName = "libdemvat.so";

class CVatLibrary {
 public:
  // Loads the library; a failed load is no error here.
  CVatLibrary();
  // Unloads the library. It does not close the table: the layer does that first.
  ~CVatLibrary();
  CVatLibrary(const CVatLibrary&) = delete;
  CVatLibrary& operator=(const CVatLibrary&) = delete;

  // The absolute path the library is loaded from; "" when the directory of
  // libdembase.so cannot be told.
  static std::string LibraryPath();

  // CreateVatFile / OpenVatFile on a system path; a handle > 0 is kept.
  int32_t CreateTable(const std::string& path);
  int32_t OpenTable(const std::string& path);
  // CloseVatFile on the kept handle, which is then forgotten; 0 without one.
  int32_t CloseTable();
  int32_t GetItemNum(int32_t item);
  int32_t SetBaseItemSet(int32_t itemSet, int32_t count);
  int32_t GetBaseItemSet(int32_t itemSet);

  bool has_table() const { return vatHandle_ > 0; }

 private:
  // The entry point name as a function of type F, or nullptr.
  template <typename F>
  F* Entry(const char* name) const;
  int32_t KeepHandle(int32_t result);

  std::unique_ptr<platform::Library> module_;
  int32_t vatHandle_ = 0;
};

}  // namespace dembase

#endif  // DEMBASE_LOCALSTORE_VAT_LIBRARY_H_
