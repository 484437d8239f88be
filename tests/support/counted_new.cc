#include "tests/support/counted_new.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<int64_t> failsAt{0};  // 0: none fails
std::atomic<int64_t> count{0};
std::atomic<bool> fired{false};

void* CountedNew(size_t size) {
  if (failsAt.load(std::memory_order_relaxed) > 0 && ++count == failsAt.load()) {
    fired = true;
    throw std::bad_alloc();
  }
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
}  // namespace

namespace dembase::testing {
void FailNthNew(int64_t n) {
  count = 0;
  fired = false;
  failsAt = n;
}
bool NewFaultFired() { return fired; }
}  // namespace dembase::testing

void* operator new(size_t size) { return CountedNew(size); }
void* operator new[](size_t size) { return CountedNew(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }

#if defined(__SANITIZE_ADDRESS__)
// The counting operator new pairs malloc with free, and blocks the sanitizer's own
// operator new handed out before these took over are freed through them too.
extern "C" __attribute__((visibility("default"), used)) const char* __asan_default_options() {
  return "alloc_dealloc_mismatch=0";
}
#endif
