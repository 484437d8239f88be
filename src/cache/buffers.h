// Heap buffers handed out through an out-pointer, as the layers use them for compression
// and bulk transfer. Stateless apart from a per-thread test hook.
#ifndef DEMBASE_CACHE_BUFFERS_H_
#define DEMBASE_CACHE_BUFFERS_H_

#include <cstdint>

namespace dembase {

// *out receives a buffer of size bytes (malloc); 1 when it is not null, else 0 with
// *out null. A null out gives 0.
[[nodiscard]] int16_t AllocBuffer(void** out, uint32_t size);

// Frees *p when it is not null and sets it to null; safe to call twice.
void FreeBuffer(void** p);

// Test hook: the nth AllocBuffer call of this thread from now (n >= 1) fails; with
// persistent, every later one too. n = 0 disables. Per thread, because the library runs
// on its caller's thread and parallel tests must not disturb each other.
void FailNthAllocation(int64_t n, bool persistent = false);
// Whether the hook has failed an allocation since the last FailNthAllocation.
bool AllocationFaultFired();

}  // namespace dembase

#endif  // DEMBASE_CACHE_BUFFERS_H_
