// FaultEnv: a test Env that wraps another and fails on command, so tests can run an
// operation with its Nth I/O call failing, N = 1, 2, ... until it completes, and check
// after each failure that what is stored is still sound.
//
// Counted operations: OpenFile, ReadAt, WriteAt, Sync, Rename, ReplaceFile, CopyFile, LinkFile,
// CreateDir, RemoveDir, RemoveFile, SyncDir. Exists, IsDirectory and Size are not
// counted. Memory and library calls pass through unless a switch below says otherwise.
//
// Thread safety: calls may come from several threads; configure it from one.
// REQUIRES: Files opened through a FaultEnv are closed before it is destroyed.
#ifndef DEMBASE_PLATFORM_FAULT_ENV_H_
#define DEMBASE_PLATFORM_FAULT_ENV_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/env.h"

namespace dembase::platform {

class FaultEnv final : public Env {
 public:
  // base: borrowed, outlives this object (usually Env::Default()).
  explicit FaultEnv(Env* base);

  // The nth counted operation from now (n >= 1) fails; with persistent, every later one
  // fails too. n = 0 disables. Resets operation_count() and fault_fired().
  void FailOperation(int64_t n, bool persistent = false);
  // An injected write failure first stores the first half of its bytes (a torn write).
  void SetTornWrites(bool torn) { torn_writes_ = torn; }
  // Every ReadAt on a file opened at path (in either separator form) fails.
  void FailReadsOf(std::string_view path);
  // The figure TotalPhysicalMemory() answers; nullopt passes the base's figure through.
  void SetPhysicalMemory(std::optional<uint64_t> bytes);
  void SetReserveMemoryFails(bool fails) { reserve_fails_ = fails; }
  // Runs hook just before each ReplaceFile reaches the base Env: a test can act in the
  // moment a file is about to be swapped (for example, another process opening it).
  void SetBeforeReplace(std::function<void()> hook) { before_replace_ = std::move(hook); }
  // Library loads: each path asked for is kept (library_loads()); a load fails, or the library
  // loaded answers no `hiddenSymbol`; DirectoryOfLoadedObject answers `directory` when set.
  struct LibraryFaults {
    bool failLoads = false;
    std::string hiddenSymbol;
    std::optional<std::string> directory;
  };
  void SetLibraryFaults(LibraryFaults faults);
  std::vector<std::string> library_loads();
  // Back to passing everything through.
  void ClearFaults();

  // Counted operations since the last FailOperation (or construction).
  int64_t operation_count() const { return count_.load(); }
  // Whether an injected failure has happened since the last FailOperation.
  bool fault_fired() const { return fired_.load(); }

  // Env
  std::unique_ptr<File> OpenFile(std::string_view path, const OpenOptions& options) override;
  bool Exists(std::string_view path) override { return base_->Exists(path); }
  bool IsDirectory(std::string_view path) override { return base_->IsDirectory(path); }
  bool CreateDir(std::string_view path) override;
  bool RemoveDir(std::string_view path) override;
  bool RemoveFile(std::string_view path) override;
  bool Rename(std::string_view from, std::string_view to) override;
  bool ReplaceFile(std::string_view from, std::string_view to) override;
  bool CopyFile(std::string_view from, std::string_view to) override;
  bool LinkFile(std::string_view from, std::string_view to) override;
  bool SyncDir(std::string_view path) override;
  uint64_t TotalPhysicalMemory() override;
  void* ReserveMemory(size_t size) override;
  void ReleaseMemory(void* p, size_t size) override { base_->ReleaseMemory(p, size); }
  std::unique_ptr<Library> LoadLibrary(std::string_view path) override;
  std::string DirectoryOfLoadedObject(const void* address) override;

  // Counts one operation; true when it must fail. Used by the files it opens.
  bool ShouldFail();
  bool torn_writes() const { return torn_writes_.load(); }

 private:
  Env* const base_;
  std::atomic<int64_t> count_{0};
  std::atomic<int64_t> fail_at_{0};
  std::atomic<bool> persistent_{false};
  std::atomic<bool> fired_{false};
  std::atomic<bool> torn_writes_{false};
  std::atomic<bool> reserve_fails_{false};
  std::atomic<bool> memory_set_{false};
  std::atomic<uint64_t> memory_{0};
  std::mutex mu_;
  std::set<std::string> read_fault_paths_;  // system form; guarded by mu_
  std::function<void()> before_replace_;    // set from the configuring thread only
  LibraryFaults library_;                   // guarded by mu_
  std::vector<std::string> library_loads_;  // guarded by mu_
};

}  // namespace dembase::platform

#endif  // DEMBASE_PLATFORM_FAULT_ENV_H_
