// The only door to the operating system. Every file, directory, memory, time and
// dynamic-library call of the library goes through an Env, so tests can substitute one
// that fails on command (see fault_env.h).
//
// Paths: callers may use '\' or '/' as the separator; every '\' becomes '/' before the
// path reaches the system. Results: false / nullptr on any failure, never an exception.
//
// Thread safety: an Env is safe to call from several threads; a File is not.
#ifndef DEMBASE_PLATFORM_ENV_H_
#define DEMBASE_PLATFORM_ENV_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace dembase::platform {

enum class Access : uint8_t { kRead = 1, kWrite = 2, kReadWrite = 3 };

// What other opens of the same file may do while this one is open (Windows share modes).
// Enforced across processes and within one process.
enum class Share : uint8_t { kNone = 0, kRead = 1, kReadWrite = 3 };

enum class Disposition : uint8_t {
  kCreateAlways,  // create, or truncate an existing file
  kCreateNew,     // create; fail when anything exists at the path
  kOpenExisting,  // fail when the file does not exist
};

struct OpenOptions {
  Access access = Access::kRead;
  Share share = Share::kNone;
  Disposition disposition = Disposition::kOpenExisting;
  bool sequential = false;  // access-pattern hint only
};

// An open file. Closed by the destructor.
class File {
 public:
  virtual ~File() = default;
  File() = default;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Reads exactly out.size() bytes at offset; a short read is a failure.
  [[nodiscard]] virtual bool ReadAt(uint64_t offset, std::span<std::byte> out) = 0;
  // Writes all of data at offset; a short write is a failure.
  [[nodiscard]] virtual bool WriteAt(uint64_t offset, std::span<const std::byte> data) = 0;
  [[nodiscard]] virtual bool Size(uint64_t* size) = 0;
  // Makes what was written durable.
  [[nodiscard]] virtual bool Sync() = 0;
  // Asks the system to start writing what was written so far, without waiting, so a
  // later Sync has less left to do. Only a hint: it promises nothing.
  virtual void StartWriteback() {}
};

// A loaded dynamic library; unloaded by the destructor.
class Library {
 public:
  virtual ~Library() = default;
  // The address of an exported symbol, or nullptr.
  virtual void* Symbol(const char* name) = 0;
};

class Env {
 public:
  virtual ~Env() = default;

  // nullptr when the file cannot be opened, including when the share modes of an
  // existing open forbid this one.
  virtual std::unique_ptr<File> OpenFile(std::string_view path, const OpenOptions& options) = 0;

  // Whether anything (file, directory, link) exists at path.
  virtual bool Exists(std::string_view path) = 0;
  virtual bool IsDirectory(std::string_view path) = 0;
  // Creates one directory; fails when anything exists at path.
  virtual bool CreateDir(std::string_view path) = 0;
  // Removes an empty directory.
  virtual bool RemoveDir(std::string_view path) = 0;
  virtual bool RemoveFile(std::string_view path) = 0;
  // Renames a file or directory; fails when the target exists.
  virtual bool Rename(std::string_view from, std::string_view to) = 0;
  // Renames a file over an existing one atomically (for replacing a header file).
  virtual bool ReplaceFile(std::string_view from, std::string_view to) = 0;
  // Copies a file; fails when the target exists. A failed copy leaves no target.
  virtual bool CopyFile(std::string_view from, std::string_view to) = 0;
  // Gives a file a second name (a hard link); fails when the target exists or the two
  // names are on different file systems.
  virtual bool LinkFile(std::string_view from, std::string_view to) = 0;
  // Makes the entries of a directory (creations, renames) durable.
  virtual bool SyncDir(std::string_view path) = 0;

  // Total physical memory in bytes, lowered to the cgroup memory limit when one is set.
  virtual uint64_t TotalPhysicalMemory() = 0;

  // Reserves size bytes of address space that costs nothing until touched; nullptr on
  // failure. Release with ReleaseMemory and the same size. The contents are unspecified:
  // a range released earlier may come back with what it held.
  virtual void* ReserveMemory(size_t size) = 0;
  virtual void ReleaseMemory(void* p, size_t size) = 0;

  // Loads a library by absolute path; nullptr when it cannot be loaded.
  virtual std::unique_ptr<Library> LoadLibrary(std::string_view path) = 0;
  // The directory (ending in '/') of the loaded object that contains address.
  virtual std::string DirectoryOfLoadedObject(const void* address) = 0;

  // The system Env; lives for the whole process.
  static Env* Default();
};

// The Env the library uses: Default() unless a test installed another.
Env* CurrentEnv();

// Test seam: installs env as CurrentEnv() for the life of the object. Tests only; not
// for use while another thread uses the library.
class ScopedEnvOverride {
 public:
  explicit ScopedEnvOverride(Env* env);
  ~ScopedEnvOverride();
  ScopedEnvOverride(const ScopedEnvOverride&) = delete;
  ScopedEnvOverride& operator=(const ScopedEnvOverride&) = delete;

 private:
  Env* previous_;
};

// Turns a stored path ('\' separators) into a system path ('/').
std::string ToSystemPath(std::string_view path);

}  // namespace dembase::platform

#endif  // DEMBASE_PLATFORM_ENV_H_
