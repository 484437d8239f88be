// Heap buffers handed out through an out-pointer, as the layers use them for compression
// and bulk transfer. Stateless apart from a per-thread test hook.
#ifndef DEMBASE_CACHE_BUFFERS_H_
#define DEMBASE_CACHE_BUFFERS_H_

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <type_traits>
#include <utility>

namespace dembase {

// *out receives a buffer of size bytes (malloc); 1 when it is not null, else 0 with
// *out null. A null out gives 0.
[[nodiscard]] int16_t AllocBuffer(void** out, uint32_t size);

// Frees *p when it is not null and sets it to null; safe to call twice.
void FreeBuffer(void** p);

// Owns one AllocBuffer buffer; freed when it goes.
class HeapBuffer {
 public:
  HeapBuffer() = default;
  ~HeapBuffer() { FreeBuffer(&p_); }
  HeapBuffer(const HeapBuffer&) = delete;
  HeapBuffer& operator=(const HeapBuffer&) = delete;

  // Replaces the buffer with one of size bytes; false (and no buffer) when out of memory.
  [[nodiscard]] bool Allocate(uint32_t size) {
    FreeBuffer(&p_);
    size_ = 0;
    if (AllocBuffer(&p_, size) != 1) return false;
    size_ = size;
    return true;
  }
  void Free() {
    FreeBuffer(&p_);
    size_ = 0;
  }
  uint8_t* data() const { return static_cast<uint8_t*>(p_); }
  uint32_t size() const { return size_; }
  std::span<uint8_t> span() const { return {data(), size_}; }
  void Swap(HeapBuffer& other) noexcept {
    std::swap(p_, other.p_);
    std::swap(size_, other.size_);
  }

 private:
  void* p_ = nullptr;
  uint32_t size_ = 0;
};

// bytes of zero-filled memory, or null; counts as an AllocBuffer call for the test hook.
// Large blocks are mapped from the system rather than cleared: the heap's calloc clears
// every byte of memory it reuses. Free with FreeZeroed and the same size.
[[nodiscard]] void* AllocZeroed(size_t bytes);
void FreeZeroed(void* p, size_t bytes);

// A table of T that starts all zero bits. Large ones come straight from the system's
// zero pages, so the parts of a table nobody touches cost neither time nor memory: a
// level of 100 000 tiles opens without writing its per-tile tables.
template <class T>
class ZeroedArray {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

 public:
  ZeroedArray() = default;
  ~ZeroedArray() { Free(); }
  ZeroedArray(const ZeroedArray&) = delete;
  ZeroedArray& operator=(const ZeroedArray&) = delete;

  // n zero elements in place of the old ones; false (and none) when out of memory.
  [[nodiscard]] bool Allocate(size_t n) {
    Free();
    if (n > SIZE_MAX / sizeof(T)) return false;
    p_ = static_cast<T*>(AllocZeroed(Bytes(n)));
    size_ = p_ != nullptr ? n : 0;
    return p_ != nullptr;
  }
  void Free() {
    FreeZeroed(p_, Bytes(size_));
    p_ = nullptr;
    size_ = 0;
  }
  T* data() const { return p_; }
  size_t size() const { return size_; }
  T& operator[](size_t i) const { return p_[i]; }
  std::span<T> span() const { return {p_, size_}; }

 private:
  static size_t Bytes(size_t n) { return n == 0 ? 1 : n * sizeof(T); }

  T* p_ = nullptr;
  size_t size_ = 0;
};

// Test hook: the nth AllocBuffer or AllocZeroed call of this thread from now (n >= 1) fails; with
// persistent, every later one too. n = 0 disables. Per thread, because the library runs
// on its caller's thread and parallel tests must not disturb each other.
void FailNthAllocation(int64_t n, bool persistent = false);
// Whether the hook has failed an allocation since the last FailNthAllocation.
bool AllocationFaultFired();

}  // namespace dembase

#endif  // DEMBASE_CACHE_BUFFERS_H_
