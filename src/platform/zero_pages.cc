#include "platform/zero_pages.h"

#include <sys/mman.h>

namespace dembase::platform {

void* MapZeroPages(size_t bytes) {
  if (bytes == 0) return nullptr;
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

void UnmapZeroPages(void* p, size_t bytes) {
  if (p != nullptr && bytes != 0) (void)munmap(p, bytes);
}

}  // namespace dembase::platform
