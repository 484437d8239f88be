#include "platform/posix_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <new>

#include "platform/share_lock.h"

namespace dembase::platform {
namespace {

constexpr uint64_t kMaxOffset = static_cast<uint64_t>(std::numeric_limits<off_t>::max());

bool RangeFits(uint64_t offset, size_t size) { return offset <= kMaxOffset && size <= kMaxOffset - offset; }

int OpenRetrying(const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = open(path, flags, mode);
  } while (fd == -1 && errno == EINTR);
  return fd;
}

}  // namespace

PosixFile::~PosixFile() {
  // Not retried on EINTR: Linux releases the descriptor even then.
  (void)close(fd_);
}

bool PosixFile::ReadAt(uint64_t offset, std::span<std::byte> out) {
  if (!can_read_ || !RangeFits(offset, out.size())) return false;
  size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;  // error, or end of file before the last byte
    done += static_cast<size_t>(n);
  }
  return true;
}

bool PosixFile::WriteAt(uint64_t offset, std::span<const std::byte> data) {
  if (!can_write_ || !RangeFits(offset, data.size())) return false;
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = pwrite(fd_, data.data() + done, data.size() - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool PosixFile::Size(uint64_t* size) {
  struct stat st;
  if (size == nullptr || fstat(fd_, &st) != 0) return false;
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool PosixFile::Sync() {
  int rc;
  do {
    rc = fsync(fd_);
  } while (rc == -1 && errno == EINTR);
  return rc == 0;
}

void PosixFile::StartWriteback() {
  // Whole file, initiate only: pages already under writeback are not waited for.
  (void)sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
}

namespace {

// Whether path still names the file open at fd. A file replaced by rename between our
// open and our share locks would leave us holding locks on a file nobody else opens
// again, so an open of the replaced file must not count.
bool StillAtPath(int fd, const std::string& path) {
  struct stat open_st;
  struct stat path_st;
  return fstat(fd, &open_st) == 0 && stat(path.c_str(), &path_st) == 0 && open_st.st_dev == path_st.st_dev &&
         open_st.st_ino == path_st.st_ino;
}

std::unique_ptr<PosixFile> OpenOnce(const std::string& path, const OpenOptions& options, bool* replaced);

}  // namespace

std::unique_ptr<PosixFile> OpenPosixFile(const std::string& path, const OpenOptions& options) {
  // A few tries: each lost race means another opener replaced the file just now.
  for (int attempt = 0; attempt < 8; ++attempt) {
    bool replaced = false;
    std::unique_ptr<PosixFile> file = OpenOnce(path, options, &replaced);
    if (file || !replaced) return file;
  }
  return nullptr;
}

namespace {

std::unique_ptr<PosixFile> OpenOnce(const std::string& path, const OpenOptions& options, bool* replaced) {
  const bool can_read = options.access != Access::kWrite;
  const bool can_write = options.access != Access::kRead;
  // Write-only opens still ask for read access: the share locks are shared locks, and
  // those need a readable descriptor. O_NONBLOCK keeps a FIFO at the path from blocking
  // the open; anything but a regular file is refused below.
  int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (can_write ? O_RDWR : O_RDONLY);
  switch (options.disposition) {
    case Disposition::kCreateAlways:
      flags |= O_CREAT;  // truncated only once the share check has passed
      break;
    case Disposition::kCreateNew:
      flags |= O_CREAT | O_EXCL;
      break;
    case Disposition::kOpenExisting:
      break;
  }
  const int fd = OpenRetrying(path.c_str(), flags, 0666);
  if (fd < 0) return nullptr;
  std::unique_ptr<PosixFile> file(new (std::nothrow) PosixFile(fd, can_read, can_write));
  if (file == nullptr) {
    (void)close(fd);
    if (options.disposition == Disposition::kCreateNew) (void)unlink(path.c_str());
    return nullptr;
  }

  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  const int status_flags = ok ? fcntl(fd, F_GETFL) : -1;
  ok = status_flags != -1 && fcntl(fd, F_SETFL, status_flags & ~O_NONBLOCK) == 0;
  ok = ok && AcquireShareLocks(fd, options.access, options.share);
  if (ok && options.disposition != Disposition::kCreateNew && !StillAtPath(fd, path)) {
    *replaced = true;
    ok = false;
  }
  // A file that another open's share mode protects must not be truncated, so this
  // comes after the check.
  if (ok && options.disposition == Disposition::kCreateAlways) ok = ftruncate(fd, 0) == 0;
  if (!ok) {
    file.reset();
    if (options.disposition == Disposition::kCreateNew) (void)unlink(path.c_str());
    return nullptr;
  }
  if (options.sequential) (void)posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return file;
}

}  // namespace

}  // namespace dembase::platform
