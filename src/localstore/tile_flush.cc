// Writing back every dirty tile of a level at close. Compression is most of the work, so
// the tiles of each batch are compressed on every core; their payloads are then placed
// one by one in tile order, so the files are exactly what a one-thread close leaves.
#include <algorithm>
#include <exception>
#include <thread>
#include <vector>

#include "localstore/open_level.h"

namespace dembase {
namespace {

// Up to this many cores; the rest of the machine belongs to the caller.
constexpr unsigned kMaxWorkers = 8;
constexpr size_t kTilesPerWorker = 4;

thread_local unsigned workersForTesting = 0;

unsigned WorkerCount() {
  if (workersForTesting != 0) return workersForTesting;
  return std::clamp(std::thread::hardware_concurrency(), 1u, kMaxWorkers);
}

}  // namespace

void SetFlushWorkersForTesting(unsigned workers) { workersForTesting = std::min(workers, kMaxWorkers); }

bool OpenLevel::FlushTiles() {
  std::vector<int32_t> dirty;
  for (int32_t t = 0; t < tile_count(); ++t) {
    if (ref(t).dirty) dirty.push_back(t);
  }
  if (!dirty.empty()) indexDirty_ = true;

  const unsigned workers = WorkerCount();
  const size_t batch = std::min(dirty.size(), size_t{workers} * kTilesPerWorker);
  HeapBuffer scratch;
  // One payload buffer per tile of a batch; without the memory, or with one core, the
  // tiles are written one at a time through the level's own buffer.
  const bool parallel = workers > 1 && batch > 1 && scratch.Allocate(static_cast<uint32_t>(batch * kPayloadScratchBytes));

  bool ok = true;
  std::vector<EncodedPayload> payloads(batch);
  for (size_t first = 0; first < dirty.size(); first += std::max<size_t>(batch, 1)) {
    const size_t n = std::min(batch, dirty.size() - first);
    if (parallel) {
      // Each tile's stats, record and payload buffer are its own: no two workers share any.
      auto encode = [&](size_t i) {
        const int32_t t = dirty[first + i];
        if (!ref(t).statsCurrent) ComputeTileStats(t);
        if (!IsEmpty(t)) {
          payloads[i] = EncodePayload(block(t), compress_,
                                      scratch.span().subspan(i * kPayloadScratchBytes, kPayloadScratchBytes));
        }
      };
      std::vector<std::thread> threads;
      const size_t helpers = std::min<size_t>(workers - 1, n - 1);
      for (size_t w = 0; w < helpers; ++w) {
        try {
          threads.emplace_back([&, w] {
            for (size_t i = w + 1; i < n; i += helpers + 1) encode(i);
          });
        } catch (const std::exception&) {
          break;  // no thread to be had: the loop below encodes what is left
        }
      }
      for (size_t i = 0; i < n; i += helpers + 1) encode(i);
      for (auto& thread : threads) thread.join();
      // Tiles a missing thread should have taken.
      for (size_t w = threads.size(); w < helpers; ++w) {
        for (size_t i = w + 1; i < n; i += helpers + 1) encode(i);
      }
    }
    for (size_t i = 0; i < n; ++i) {
      const int32_t t = dirty[first + i];
      const bool written = parallel ? (IsEmpty(t) || PlacePayload(t, payloads[i])) : WriteTileBlock(t);
      if (!written) ok = false;
      ref(t).dirty = 0;
    }
  }
  for (int32_t t = 0; t < tile_count(); ++t) ReleaseSlot(t);
  return ok;
}

}  // namespace dembase
