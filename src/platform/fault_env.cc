#include "platform/fault_env.h"

#include <memory>
#include <new>
#include <string>
#include <utility>

namespace dembase::platform {
namespace {

class FaultFile final : public File {
 public:
  FaultFile(std::unique_ptr<File> base, FaultEnv* env, bool fail_reads)
      : base_(std::move(base)), env_(env), fail_reads_(fail_reads) {}

  bool ReadAt(uint64_t offset, std::span<std::byte> out) override {
    if (env_->ShouldFail() || fail_reads_) return false;
    return base_->ReadAt(offset, out);
  }

  bool WriteAt(uint64_t offset, std::span<const std::byte> data) override {
    if (!env_->ShouldFail()) return base_->WriteAt(offset, data);
    if (env_->torn_writes() && data.size() > 1) (void)base_->WriteAt(offset, data.first(data.size() / 2));
    return false;
  }

  bool Size(uint64_t* size) override { return base_->Size(size); }

  bool Sync() override { return !env_->ShouldFail() && base_->Sync(); }
  void StartWriteback() override { base_->StartWriteback(); }

 private:
  std::unique_ptr<File> base_;
  FaultEnv* env_;
  bool fail_reads_;
};

}  // namespace

FaultEnv::FaultEnv(Env* base) : base_(base) {}

void FaultEnv::FailOperation(int64_t n, bool persistent) {
  fail_at_ = n < 0 ? 0 : n;
  persistent_ = persistent;
  count_ = 0;
  fired_ = false;
}

void FaultEnv::FailReadsOf(std::string_view path) {
  std::lock_guard<std::mutex> lock(mu_);
  read_fault_paths_.insert(ToSystemPath(path));
}

void FaultEnv::SetPhysicalMemory(std::optional<uint64_t> bytes) {
  memory_ = bytes.value_or(0);
  memory_set_ = bytes.has_value();
}

void FaultEnv::ClearFaults() {
  FailOperation(0);
  torn_writes_ = false;
  reserve_fails_ = false;
  memory_set_ = false;
  std::lock_guard<std::mutex> lock(mu_);
  read_fault_paths_.clear();
  library_ = {};
}

void FaultEnv::SetLibraryFaults(LibraryFaults faults) {
  std::lock_guard<std::mutex> lock(mu_);
  library_ = std::move(faults);
  library_loads_.clear();
}

std::vector<std::string> FaultEnv::library_loads() {
  std::lock_guard<std::mutex> lock(mu_);
  return library_loads_;
}

namespace {

// A loaded library that answers no `hidden` symbol.
class HidingLibrary final : public Library {
 public:
  HidingLibrary(std::unique_ptr<Library> lib, std::string hidden) : lib_(std::move(lib)), hidden_(std::move(hidden)) {}
  void* Symbol(const char* name) override { return hidden_ == name ? nullptr : lib_->Symbol(name); }

 private:
  std::unique_ptr<Library> lib_;
  std::string hidden_;
};

}  // namespace

std::unique_ptr<Library> FaultEnv::LoadLibrary(std::string_view path) {
  LibraryFaults faults;
  {
    std::lock_guard<std::mutex> lock(mu_);
    library_loads_.emplace_back(path);
    faults = library_;
  }
  if (faults.failLoads) return nullptr;
  std::unique_ptr<Library> lib = base_->LoadLibrary(path);
  if (lib == nullptr || faults.hiddenSymbol.empty()) return lib;
  return std::unique_ptr<Library>(new (std::nothrow) HidingLibrary(std::move(lib), std::move(faults.hiddenSymbol)));
}

std::string FaultEnv::DirectoryOfLoadedObject(const void* address) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (library_.directory) return *library_.directory;
  }
  return base_->DirectoryOfLoadedObject(address);
}

bool FaultEnv::ShouldFail() {
  const int64_t n = ++count_;
  const int64_t at = fail_at_.load();
  const bool fail = at > 0 && (n == at || (n > at && persistent_.load()));
  if (fail) fired_ = true;
  return fail;
}

std::unique_ptr<File> FaultEnv::OpenFile(std::string_view path, const OpenOptions& options) {
  if (ShouldFail()) return nullptr;
  bool fail_reads;
  {
    const std::string system = ToSystemPath(path);
    std::lock_guard<std::mutex> lock(mu_);
    fail_reads = read_fault_paths_.count(system) != 0;
  }
  std::unique_ptr<File> file = base_->OpenFile(path, options);
  if (file == nullptr) return nullptr;
  // Like the system's, a failed open that was to create the file leaves none behind.
  std::unique_ptr<File> wrapped(new (std::nothrow) FaultFile(std::move(file), this, fail_reads));
  if (wrapped == nullptr && options.disposition == Disposition::kCreateNew) {
    file.reset();
    (void)base_->RemoveFile(path);
  }
  return wrapped;
}

bool FaultEnv::CreateDir(std::string_view path) { return !ShouldFail() && base_->CreateDir(path); }
bool FaultEnv::RemoveDir(std::string_view path) { return !ShouldFail() && base_->RemoveDir(path); }
bool FaultEnv::RemoveFile(std::string_view path) { return !ShouldFail() && base_->RemoveFile(path); }
bool FaultEnv::Rename(std::string_view from, std::string_view to) { return !ShouldFail() && base_->Rename(from, to); }
bool FaultEnv::ReplaceFile(std::string_view from, std::string_view to) {
  if (ShouldFail()) return false;
  if (before_replace_) before_replace_();
  return base_->ReplaceFile(from, to);
}
bool FaultEnv::LinkFile(std::string_view from, std::string_view to) {
  return !ShouldFail() && base_->LinkFile(from, to);
}

bool FaultEnv::CopyFile(std::string_view from, std::string_view to) {
  return !ShouldFail() && base_->CopyFile(from, to);
}
bool FaultEnv::SyncDir(std::string_view path) { return !ShouldFail() && base_->SyncDir(path); }

uint64_t FaultEnv::TotalPhysicalMemory() { return memory_set_.load() ? memory_.load() : base_->TotalPhysicalMemory(); }

void* FaultEnv::ReserveMemory(size_t size) { return reserve_fails_.load() ? nullptr : base_->ReserveMemory(size); }

}  // namespace dembase::platform
