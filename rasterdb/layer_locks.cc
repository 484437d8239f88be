#include "layer_locks.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace dembase::rasterdb {

std::unique_ptr<LayerLocks> LayerLocks::Open(const std::string& databasePath) {
  const std::string path = databasePath + "-locks";
  int fd;
  do {
    fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return nullptr;
  return std::unique_ptr<LayerLocks>(new LayerLocks(fd));
}

LayerLocks::~LayerLocks() { close(fd_); }

bool LayerLocks::Lock(int32_t layerId, short type) {
  if (layerId < 1) return false;
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = layerId;
  lock.l_len = 1;
  int rc;
  do {
    rc = fcntl(fd_, F_OFD_SETLK, &lock);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

bool LayerLocks::Share(int32_t layerId) { return Lock(layerId, F_RDLCK); }

bool LayerLocks::TakeForDelete(int32_t layerId) { return Lock(layerId, F_WRLCK); }

void LayerLocks::Release(int32_t layerId) { (void)Lock(layerId, F_UNLCK); }

}  // namespace dembase::rasterdb
