// BackgroundInflater: inflates the compressed payloads of the tiles a reader will most
// likely want next on another core, while the caller is still reading the current tile
// cell by cell. A pass over a level then costs about the codec's time alone instead of
// the codec's time plus the per-cell calls. Four jobs can wait, so the worker goes from
// one tile straight to the next. A reader that arrives before the worker reached its tile
// inflates that one itself, and one that arrives while the worker is on it inflates a
// tile further on meanwhile: both cores then inflate.
//
// The owner thread reads the payload bytes (StartFromFile); the worker never touches
// files or the Env, it only inflates. A result is handed over only for the same key and an
// equal record, so a tile rewritten since the job started is read again the usual way.
// Everything here is an optimisation: any failure just means no result.
//
// Thread safety: one owner thread calls every method; the worker is internal.
#ifndef DEMBASE_LOCALSTORE_BACKGROUND_INFLATER_H_
#define DEMBASE_LOCALSTORE_BACKGROUND_INFLATER_H_

#include <array>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>
#include <thread>

#include "cache/buffers.h"
#include "dembase/dembase.h"
#include "platform/env.h"

namespace dembase {

class BackgroundInflater {
 public:
  BackgroundInflater() = default;
  ~BackgroundInflater();
  BackgroundInflater(const BackgroundInflater&) = delete;
  BackgroundInflater& operator=(const BackgroundInflater&) = delete;

  // How far ahead readers look: as many tiles as jobs can wait.
  static constexpr int32_t kTilesAhead = 4;

  // Whether a job for key is waiting, running or done and not yet handed out.
  bool Has(uint64_t key);
  // On the owner thread: reads the zlib payload rec describes from file into scratch and
  // starts it under key. Nothing happens for a tile with no zlib payload that fits
  // scratch, or when a job for key exists. False only when the read failed.
  bool StartFromFile(uint64_t key, const TileIndexRec& rec, platform::File* file, std::span<uint8_t> scratch);
  // Queues inflating the zlib payload of rec (rec.packed == 1) under key. When both
  // slots hold jobs, the oldest one is dropped. False when it could not start (no
  // memory, no thread).
  bool Start(uint64_t key, const TileIndexRec& rec, std::span<const uint8_t> payload);

  // When a job for key and rec exists, waits for it, or inflates it on this thread when
  // the worker has not started it; on success the tile's cells are swapped into *cells
  // (which must hold one tile block) or copied to block. A store whose records stay the
  // same when a tile is rewritten passes the payload it read now: a job that inflates other
  // bytes is dropped, not handed out.
  bool TakeInto(uint64_t key, const TileIndexRec& rec, HeapBuffer* cells);
  bool CopyTo(uint64_t key, const TileIndexRec& rec, uint8_t* block, std::span<const uint8_t> payload = {});

  // Forgets every job (a running one finishes; its result is never handed out).
  void Drop();

 private:
  enum class State : uint8_t { kFree, kQueued, kRunning, kDone };
  struct Job {
    State state = State::kFree;
    bool ok = false;      // done and inflated to exactly one block
    bool wanted = false;  // not dropped: may be handed out
    uint64_t order = 0;   // queue order
    uint64_t key = 0;
    TileIndexRec rec{};
    HeapBuffer payload;
    HeapBuffer cells;
  };
  static constexpr size_t kJobs = kTilesAhead;

  // The wanted job for key and rec, or null. REQUIRES: mu_ held.
  Job* Find(uint64_t key, const TileIndexRec* rec);
  // The cells of the job for key and rec into block, or swapped into *cells when block is
  // null: inflated here when the worker has not started it, else waited for.
  bool Take(uint64_t key, const TileIndexRec& rec, std::span<const uint8_t> payload, uint8_t* block, HeapBuffer* cells);
  // The oldest (the worker's next) or newest queued job somebody still wants, or null.
  // REQUIRES: mu_ held.
  Job* Queued(bool newest);
  // Inflates a queued job's payload into out on the calling thread (the worker's or the
  // owner's); the job runs (and the lock is let go) meanwhile. REQUIRES: mu_ held through lock.
  bool InflateHere(Job* job, uint8_t* out, std::unique_lock<std::mutex>* lock);
  void Work();

  std::mutex mu_;
  std::condition_variable cv_;
  std::thread worker_;
  bool stop_ = false;
  uint64_t queued_ = 0;  // jobs queued so far: the next job's order
  std::array<Job, kJobs> jobs_;
};

}  // namespace dembase

#endif  // DEMBASE_LOCALSTORE_BACKGROUND_INFLATER_H_
