#include "localstore/vat_library.h"

namespace dembase {
namespace {

// An address inside libdembase.so (or inside the program that links the core
// statically): the library is looked for beside whatever holds it.
const char kAnchor = 0;

using OpenFn = int32_t(const char*, int32_t, int32_t, int32_t);
using CloseFn = int32_t(int32_t);
using ItemFn = int32_t(int32_t, int32_t);
using SetFn = int32_t(int32_t, int32_t, int32_t);

}  // namespace

std::string CVatLibrary::LibraryPath() {
  const std::string dir = platform::CurrentEnv()->DirectoryOfLoadedObject(&kAnchor);
  // Only an absolute directory: anything else would be resolved against the current one.
  if (dir.empty() || dir.front() != '/' || dir.back() != '/') return {};
  return dir + kVatLibraryName;
}

CVatLibrary::CVatLibrary() {
  const std::string path = LibraryPath();
  if (!path.empty()) module_ = platform::CurrentEnv()->LoadLibrary(path);
}

CVatLibrary::~CVatLibrary() = default;

template <typename F>
F* CVatLibrary::Entry(const char* name) const {
  return module_ ? reinterpret_cast<F*>(module_->Symbol(name)) : nullptr;
}

int32_t CVatLibrary::KeepHandle(int32_t result) {
  if (result > 0) vatHandle_ = result;
  return result;
}

int32_t CVatLibrary::CreateTable(const std::string& path) {
  OpenFn* create = Entry<OpenFn>("CreateVatFile");
  return create == nullptr ? 0 : KeepHandle(create(path.c_str(), 0, 0, 0));
}

int32_t CVatLibrary::OpenTable(const std::string& path) {
  OpenFn* open = Entry<OpenFn>("OpenVatFile");
  return open == nullptr ? 0 : KeepHandle(open(path.c_str(), 0, 0, 0));
}

int32_t CVatLibrary::CloseTable() {
  const int32_t handle = vatHandle_;
  vatHandle_ = 0;
  CloseFn* close = Entry<CloseFn>("CloseVatFile");
  return handle < 1 || close == nullptr ? 0 : close(handle);
}

int32_t CVatLibrary::GetItemNum(int32_t item) {
  ItemFn* fn = Entry<ItemFn>("GetItemNum");
  return vatHandle_ < 1 || fn == nullptr ? 0 : fn(vatHandle_, item);
}

int32_t CVatLibrary::SetBaseItemSet(int32_t itemSet, int32_t count) {
  SetFn* fn = Entry<SetFn>("SetBaseItemSet");
  return vatHandle_ < 1 || fn == nullptr ? 0 : fn(vatHandle_, itemSet, count);
}

int32_t CVatLibrary::GetBaseItemSet(int32_t itemSet) {
  ItemFn* fn = Entry<ItemFn>("GetBaseItemSet");
  return vatHandle_ < 1 || fn == nullptr ? 0 : fn(vatHandle_, itemSet);
}

}  // namespace dembase
