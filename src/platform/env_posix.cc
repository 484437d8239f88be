// Env::Default(): the POSIX Env, with the file semantics the stores rely on (share modes,
// renames and copies that never replace a target).
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>
#include <utility>

#include "platform/env.h"
#include "platform/physical_memory.h"
#include "platform/posix_file.h"

namespace dembase::platform {
namespace {

// A system path for a caller's path; false for an empty path or one with a NUL byte,
// which the system would silently cut short.
bool SystemPath(std::string_view path, std::string* out) {
  if (path.empty() || path.find('\0') != std::string_view::npos) return false;
  *out = ToSystemPath(path);
  return true;
}

class PosixLibrary final : public Library {
 public:
  explicit PosixLibrary(void* handle) : handle_(handle) {}
  ~PosixLibrary() override { (void)dlclose(handle_); }
  PosixLibrary(const PosixLibrary&) = delete;
  PosixLibrary& operator=(const PosixLibrary&) = delete;

  void* Symbol(const char* name) override { return name == nullptr ? nullptr : dlsym(handle_, name); }

 private:
  void* handle_;
};

// Copies from offset onwards with read/write, for file systems without copy_file_range.
bool CopyByReading(int in, int out, off_t offset) {
  std::array<char, 65536> buf;
  for (;;) {
    const ssize_t n = pread(in, buf.data(), buf.size(), offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    ssize_t done = 0;
    while (done < n) {
      const ssize_t w = pwrite(out, buf.data() + done, static_cast<size_t>(n - done), offset + done);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return false;
      done += w;
    }
    offset += n;
  }
}

bool CopyContents(int in, int out) {
  struct stat st;
  if (fstat(in, &st) != 0) return false;
  off_t in_off = 0;
  off_t out_off = 0;
  for (;;) {
    const ssize_t n = copy_file_range(in, &in_off, out, &out_off, size_t{1} << 30, 0);
    if (n > 0) continue;
    if (n == 0) {
      // Some file systems answer 0 instead of an error; the size tells.
      return in_off >= st.st_size ? true : CopyByReading(in, out, in_off);
    }
    if (errno == EINTR) continue;
    if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP || errno == EBADF ||
        errno == EPERM) {
      return CopyByReading(in, out, in_off);
    }
    return false;
  }
}

class PosixEnv final : public Env {
 public:
  std::unique_ptr<File> OpenFile(std::string_view path, const OpenOptions& options) override {
    std::string p;
    if (!SystemPath(path, &p)) return nullptr;
    return OpenPosixFile(p, options);
  }

  bool Exists(std::string_view path) override {
    std::string p;
    struct stat st;
    return SystemPath(path, &p) && lstat(p.c_str(), &st) == 0;
  }

  bool IsDirectory(std::string_view path) override {
    std::string p;
    struct stat st;
    return SystemPath(path, &p) && stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }

  bool CreateDir(std::string_view path) override {
    std::string p;
    return SystemPath(path, &p) && mkdir(p.c_str(), 0777) == 0;
  }

  bool RemoveDir(std::string_view path) override {
    std::string p;
    return SystemPath(path, &p) && rmdir(p.c_str()) == 0;
  }

  bool RemoveFile(std::string_view path) override {
    std::string p;
    return SystemPath(path, &p) && unlink(p.c_str()) == 0;
  }

  bool Rename(std::string_view from, std::string_view to) override {
    std::string f;
    std::string t;
    if (!SystemPath(from, &f) || !SystemPath(to, &t)) return false;
    if (renameat2(AT_FDCWD, f.c_str(), AT_FDCWD, t.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // The file system lacks RENAME_NOREPLACE (EINVAL also covers moving a directory into
    // itself, which the fallback refuses again). A file moves by link + unlink, which
    // cannot replace; a directory falls back to a check then rename, which a racing
    // creator of the target could defeat.
    struct stat st;
    if (lstat(f.c_str(), &st) != 0) return false;
    if (!S_ISDIR(st.st_mode)) {
      if (link(f.c_str(), t.c_str()) != 0) return false;
      if (unlink(f.c_str()) == 0) return true;
      (void)unlink(t.c_str());
      return false;
    }
    if (lstat(t.c_str(), &st) == 0) return false;
    return rename(f.c_str(), t.c_str()) == 0;
  }

  bool ReplaceFile(std::string_view from, std::string_view to) override {
    std::string f;
    std::string t;
    return SystemPath(from, &f) && SystemPath(to, &t) && rename(f.c_str(), t.c_str()) == 0;
  }

  bool CopyFile(std::string_view from, std::string_view to) override {
    std::string f;
    std::string t;
    if (!SystemPath(from, &f) || !SystemPath(to, &t)) return false;
    // The source is opened for reading, sharing read only, so a file held
    // unshared by an open layer is not copied.
    std::unique_ptr<PosixFile> in = OpenPosixFile(f, {Access::kRead, Share::kRead, Disposition::kOpenExisting, true});
    if (in == nullptr) return false;
    std::unique_ptr<PosixFile> out = OpenPosixFile(t, {Access::kWrite, Share::kNone, Disposition::kCreateNew, true});
    if (out == nullptr) return false;
    // Synced so that no record written after the copy can point at bytes still in flight.
    const bool ok = CopyContents(in->fd(), out->fd()) && out->Sync();
    out.reset();
    if (!ok) (void)unlink(t.c_str());
    return ok;
  }

  bool LinkFile(std::string_view from, std::string_view to) override {
    std::string f;
    std::string t;
    return SystemPath(from, &f) && SystemPath(to, &t) && link(f.c_str(), t.c_str()) == 0;
  }

  bool SyncDir(std::string_view path) override {
    std::string p;
    if (!SystemPath(path, &p)) return false;
    int fd;
    do {
      fd = open(p.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd == -1 && errno == EINTR);
    if (fd < 0) return false;
    int rc;
    do {
      rc = fsync(fd);
    } while (rc == -1 && errno == EINTR);
    (void)close(fd);
    return rc == 0;
  }

  uint64_t TotalPhysicalMemory() override { return SystemPhysicalMemory(); }

  void* ReserveMemory(size_t size) override {
    {
      const std::lock_guard<std::mutex> lock(kept_mu_);
      if (kept_ != nullptr && kept_size_ == size) return std::exchange(kept_, nullptr);
    }
    // Random cell reads over many tiles miss the TLB on every 4 KiB page; huge pages (where
    // the system offers them) cut that. The kernel grants them only for whole aligned 2 MiB
    // ranges, so the pool starts on one: map 2 MiB more, then give back the ends.
    constexpr size_t kHuge = size_t{2} << 20;
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    if (size == 0 || size > SIZE_MAX - kHuge - page) return nullptr;
    const size_t mapped = (size + page - 1) / page * page;
    const size_t padded = mapped + kHuge;
    void* raw = mmap(nullptr, padded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const uintptr_t base = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t start = (base + kHuge - 1) / kHuge * kHuge;
    const size_t head = start - base;
    if (head != 0) (void)munmap(raw, head);
    if (padded - head - mapped != 0) (void)munmap(reinterpret_cast<void*>(start + mapped), padded - head - mapped);
    void* p = reinterpret_cast<void*>(start);
    (void)madvise(p, mapped, MADV_HUGEPAGE);  // only a hint: refusal changes nothing
    return p;
  }

  void ReleaseMemory(void* p, size_t size) override {
    if (p == nullptr || size == 0) return;
    // The newest released range stays mapped for the next reservation of its size, as a
    // heap keeps freed memory: pages given back to the system come again only through
    // page faults, which in some virtual machines cost more than the tile reads that
    // fill them. MADV_FREE lets the system take the pages whenever it needs them.
    if (madvise(p, size, MADV_FREE) == 0) {
      std::unique_lock<std::mutex> lock(kept_mu_);
      void* const old = std::exchange(kept_, p);
      const size_t oldSize = std::exchange(kept_size_, size);
      lock.unlock();
      if (old != nullptr) (void)munmap(old, oldSize);
      return;
    }
    (void)munmap(p, size);
  }

  std::unique_ptr<Library> LoadLibrary(std::string_view path) override {
    std::string p;
    // Only absolute paths: a relative one would be looked up in the current directory
    // or the search path, which someone else may control.
    if (!SystemPath(path, &p) || p.front() != '/') return nullptr;
    void* handle = dlopen(p.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return nullptr;
    std::unique_ptr<Library> library(new (std::nothrow) PosixLibrary(handle));
    if (library == nullptr) (void)dlclose(handle);
    return library;
  }

  std::string DirectoryOfLoadedObject(const void* address) override {
    Dl_info info{};
    if (address == nullptr || dladdr(address, &info) == 0 || info.dli_fname == nullptr) return {};
    char resolved[PATH_MAX];
    if (realpath(info.dli_fname, resolved) == nullptr) return {};
    std::string dir(resolved);
    const size_t slash = dir.rfind('/');
    if (slash == std::string::npos) return {};
    dir.resize(slash + 1);
    return dir;
  }

 private:
  std::mutex kept_mu_;
  void* kept_ = nullptr;  // guarded by kept_mu_
  size_t kept_size_ = 0;
};

}  // namespace

Env* Env::Default() {
  // Never destroyed, so it serves until the very end of the process.
  alignas(PosixEnv) static unsigned char storage[sizeof(PosixEnv)];
  static Env* const env = new (storage) PosixEnv();
  return env;
}

}  // namespace dembase::platform
