#include "table_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include "demvat.h"

namespace dembase::vat {
namespace {

// The test seam: the Nth guarded call from arming on fails with EIO (0: none armed).
std::atomic<int64_t> g_failIn{0};
std::atomic<bool> g_failed{false};

// Whether the next file-system call may run.
bool CallMayRun() {
  if (g_failIn.load(std::memory_order_relaxed) == 0 || g_failIn.fetch_sub(1) != 1) return true;
  g_failed = true;
  errno = EIO;
  return false;
}

// Closes a descriptor when it goes out of scope.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) (void)close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // Closes now, reporting the result: a failed close may mean a lost write.
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    if (fd >= 0 && !CallMayRun()) {
      (void)close(fd);
      return false;
    }
    return fd < 0 || close(fd) == 0;
  }

 private:
  int fd_;
};

bool WriteAll(int fd, std::span<const uint8_t> bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = CallMayRun() ? write(fd, bytes.data() + done, bytes.size() - done) : -1;
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool SyncDirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  Fd fd(CallMayRun() ? open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1);
  return fd.get() >= 0 && CallMayRun() && fsync(fd.get()) == 0;
}

// Moves from to to, failing when to exists. Hard links give that on file systems
// without renameat2's RENAME_NOREPLACE.
bool RenameNoReplace(const std::string& from, const std::string& to) {
  if (!CallMayRun()) return false;
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  if (link(from.c_str(), to.c_str()) != 0) return false;
  (void)unlink(from.c_str());
  return true;
}

}  // namespace

int32_t ReadWholeFile(const std::string& path, size_t maxBytes, std::vector<uint8_t>* out) {
  // O_NONBLOCK: opening a FIFO that was put where a table belongs must not hang.
  Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat st {};
  if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return DEMVAT_E_IO;
  if (static_cast<uint64_t>(st.st_size) > maxBytes) return DEMVAT_E_CORRUPT;
  std::vector<uint8_t> bytes(static_cast<size_t>(st.st_size));
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = pread(fd.get(), bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return DEMVAT_E_IO;  // the file shrank, or cannot be read
    done += static_cast<size_t>(n);
  }
  *out = std::move(bytes);
  return 1;
}

int32_t WriteFileAtomically(const std::string& path, std::span<const uint8_t> bytes, bool replace) {
  static std::atomic<uint64_t> serial{0};
  if (!replace && access(path.c_str(), F_OK) == 0) return DEMVAT_E_EXISTS;
  // A name of our own beside the table: the rename then stays within one file system.
  std::string temp;
  int raw = -1;
  for (int attempt = 0; attempt < 16 && raw < 0; ++attempt) {
    temp = path + ".tmp" + std::to_string(getpid()) + "_" + std::to_string(serial.fetch_add(1));
    raw = CallMayRun() ? open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666) : -1;
    if (raw < 0 && errno != EEXIST) return DEMVAT_E_IO;
  }
  Fd fd(raw);
  if (fd.get() < 0) return DEMVAT_E_IO;
  // Synced before the rename: otherwise a crash could leave the new name on empty blocks.
  bool ok = WriteAll(fd.get(), bytes) && CallMayRun() && fsync(fd.get()) == 0;
  ok = fd.Close() && ok;
  if (ok) {
    ok = replace ? CallMayRun() && rename(temp.c_str(), path.c_str()) == 0 : RenameNoReplace(temp, path);
    const bool existed = !ok && !replace && errno == EEXIST;
    if (!ok) {
      (void)unlink(temp.c_str());
      return existed ? DEMVAT_E_EXISTS : DEMVAT_E_IO;
    }
    // The rename is durable only once the directory is.
    return SyncDirectoryOf(path) ? 1 : DEMVAT_E_IO;
  }
  (void)unlink(temp.c_str());
  return DEMVAT_E_IO;
}

void FailNthCallForTesting(int64_t n) {
  g_failed = false;
  g_failIn = n;
}

bool CallFailedForTesting() { return g_failed; }

}  // namespace dembase::vat
