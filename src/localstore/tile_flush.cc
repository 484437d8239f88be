// Writing back every dirty tile of a level at close. Compression is most of the work, so
// workers on every core compress tiles ahead while this thread places the payloads one
// by one in tile order: the files are exactly what a one-thread close leaves.
//
// Workers run at most `window` tiles ahead of the last placed one, each into its own
// scratch slot, so memory stays bounded and no slot is reused before it was placed.
#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
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
  ForEachLoadedTile([&](int32_t t) {
    if (ref(t).dirty) dirty.push_back(t);
  });
  if (!dirty.empty()) indexDirty_ = true;

  const unsigned workers = WorkerCount();
  const size_t window = std::min(dirty.size(), size_t{workers} * kTilesPerWorker);
  HeapBuffer scratch;
  // Without the memory, or with one core, the tiles are written one at a time through
  // the level's own buffer.
  const bool parallel =
      workers > 1 && window > 1 && scratch.Allocate(static_cast<uint32_t>(window * kPayloadScratchBytes));
  const bool ok = parallel ? FlushInParallel(dirty, workers, window, scratch.span()) : FlushInOrder(dirty);
  // Only tiles holding a slot have anything to give back; the rest of the table goes
  // with the level.
  ForEachLoadedTile([this](int32_t t) {
    if (ref(t).cached()) ReleaseSlot(t);
  });
  return ok;
}

bool OpenLevel::FlushInOrder(const std::vector<int32_t>& dirty) {
  bool ok = true;
  for (const int32_t t : dirty) {
    if (!WriteTileBlock(t)) ok = false;
    ref(t).dirty = 0;
  }
  return ok;
}

bool OpenLevel::FlushInParallel(const std::vector<int32_t>& dirty, unsigned workers, size_t window,
                                std::span<uint8_t> scratch) {
  const size_t n = dirty.size();
  std::vector<EncodedPayload> payloads(window);
  std::vector<char> ready(window, 0);
  std::mutex mu;
  std::condition_variable cv;
  size_t next = 0;    // the next tile to encode; guarded by mu
  size_t placed = 0;  // tiles [0, placed) are placed; guarded by mu

  // Each tile's stats, record and scratch slot are its own while it is encoded.
  auto encode = [&](size_t i) {
    const int32_t t = dirty[i];
    if (!ref(t).statsCurrent) ComputeTileStats(t);  // touches tile t alone: safe on a worker
    if (!IsEmpty(t)) {
      payloads[i % window] = EncodePayload(block(t), compress_,
                                           scratch.subspan((i % window) * kPayloadScratchBytes, kPayloadScratchBytes));
    }
  };
  auto work = [&] {
    for (;;) {
      size_t i;
      {
        std::unique_lock<std::mutex> lock(mu);
        cv.wait(lock, [&] { return next >= n || next < placed + window; });
        if (next >= n) return;
        i = next++;
      }
      encode(i);
      {
        const std::lock_guard<std::mutex> lock(mu);
        ready[i % window] = 1;
      }
      cv.notify_all();
    }
  };

  std::vector<std::thread> threads;
  for (unsigned w = 0; w < workers; ++w) {
    try {
      threads.emplace_back(work);
    } catch (const std::exception&) {
      break;  // fewer threads; with none at all, this thread encodes every tile
    }
  }

  bool ok = true;
  for (size_t i = 0; i < n; ++i) {
    if (threads.empty()) {
      encode(i);
    } else {
      std::unique_lock<std::mutex> lock(mu);
      cv.wait(lock, [&] { return ready[i % window] != 0; });
      ready[i % window] = 0;
    }
    const int32_t t = dirty[i];
    if (!(IsEmpty(t) ? RecordEmptied(t) : PlacePayload(t, payloads[i % window]))) ok = false;
    ref(t).dirty = 0;
    {
      const std::lock_guard<std::mutex> lock(mu);
      placed = i + 1;
    }
    cv.notify_all();
  }
  for (auto& thread : threads) thread.join();
  return ok;
}

}  // namespace dembase
