#include "cache/buffers.h"

#include <cstdlib>

#include "platform/zero_pages.h"

namespace dembase {
namespace {

struct AllocationFault {
  int64_t count = 0;
  int64_t fail_at = 0;
  bool persistent = false;
  bool fired = false;
};

thread_local AllocationFault t_fault;

bool InjectFailure() {
  if (t_fault.fail_at <= 0) return false;
  const int64_t n = ++t_fault.count;
  const bool fail = n == t_fault.fail_at || (n > t_fault.fail_at && t_fault.persistent);
  t_fault.fired = t_fault.fired || fail;
  return fail;
}

}  // namespace

int16_t AllocBuffer(void** out, uint32_t size) {
  if (out == nullptr) return 0;
  *out = InjectFailure() ? nullptr : std::malloc(size);
  return *out != nullptr ? 1 : 0;
}

// From here on a fresh mapping beats clearing reused heap memory.
constexpr size_t kMapZeroedFrom = size_t{128} << 10;

void* AllocZeroed(size_t bytes) {
  if (InjectFailure()) return nullptr;
  return bytes >= kMapZeroedFrom ? platform::MapZeroPages(bytes) : std::calloc(1, bytes);
}

void FreeZeroed(void* p, size_t bytes) {
  if (bytes >= kMapZeroedFrom) {
    platform::UnmapZeroPages(p, bytes);
  } else {
    std::free(p);
  }
}

void FreeBuffer(void** p) {
  if (p == nullptr) return;
  std::free(*p);
  *p = nullptr;
}

void FailNthAllocation(int64_t n, bool persistent) { t_fault = AllocationFault{0, n < 0 ? 0 : n, persistent, false}; }

bool AllocationFaultFired() { return t_fault.fired; }

}  // namespace dembase
