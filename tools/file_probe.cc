#include "tools/file_probe.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace dembase::tool {

FileKind KindOf(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return errno == ENOENT || errno == ENOTDIR ? FileKind::kMissing : FileKind::kOther;
  return S_ISREG(st.st_mode) ? FileKind::kRegular : FileKind::kOther;
}

bool Occupied(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 || (errno != ENOENT && errno != ENOTDIR);
}

bool HeldOpenElsewhere(const std::string& path) {
  // Non-blocking, so a FIFO put in the file's place cannot stall the probe.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  bool held = false;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = off_t{1} << 62;
    fl.l_len = 4;
    held = fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
  }
  close(fd);
  return held;
}

}  // namespace dembase::tool
