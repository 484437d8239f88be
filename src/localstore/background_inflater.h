// BackgroundInflater: inflates the compressed payload of the tile a reader will most
// likely want next on another core, while the caller is still reading the current tile
// cell by cell. A pass over a level then costs about the codec's time alone instead of
// the codec's time plus the per-cell calls.
//
// The reader reads the payload bytes itself (the worker never touches files or the
// Env); the worker only inflates. A result is handed over only for the same key and an
// equal record, so a tile rewritten since the job started is read again the usual way.
// Everything here is an optimisation: any failure just means no result.
//
// Thread safety: one owner thread calls every method; the worker is internal.
#ifndef DEMBASE_LOCALSTORE_BACKGROUND_INFLATER_H_
#define DEMBASE_LOCALSTORE_BACKGROUND_INFLATER_H_

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>
#include <thread>

#include "cache/buffers.h"
#include "dembase/dembase.h"

namespace dembase {

class BackgroundInflater {
 public:
  BackgroundInflater() = default;
  ~BackgroundInflater();
  BackgroundInflater(const BackgroundInflater&) = delete;
  BackgroundInflater& operator=(const BackgroundInflater&) = delete;

  // Starts inflating the zlib payload of rec (rec.packed == 1) under key, dropping any
  // earlier job. False when it could not start (no memory, no thread).
  bool Start(uint64_t key, const TileIndexRec& rec, std::span<const uint8_t> payload);

  // When the last job was for key and rec, waits for it; on success the tile's cells
  // are swapped into *cells (which must hold one tile block) or copied to block.
  bool TakeInto(uint64_t key, const TileIndexRec& rec, HeapBuffer* cells);
  bool CopyTo(uint64_t key, const TileIndexRec& rec, uint8_t* block);

  // Forgets the job (the worker may finish it; its result is never handed out).
  void Drop();

 private:
  // Waits for the job if it is for key and rec; true when it inflated correctly.
  bool Wait(uint64_t key, const TileIndexRec& rec);
  void Work();

  std::mutex mu_;
  std::condition_variable cv_;
  std::thread worker_;
  bool stop_ = false;
  bool pending_ = false;  // a job waits for the worker or runs
  bool valid_ = false;    // there is a job whose key and record are below
  bool ok_ = false;       // the finished job inflated to exactly one block
  uint64_t key_ = 0;
  TileIndexRec rec_{};
  HeapBuffer payload_;
  HeapBuffer cells_;
};

}  // namespace dembase

#endif  // DEMBASE_LOCALSTORE_BACKGROUND_INFLATER_H_
