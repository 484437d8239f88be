#include "localstore/background_inflater.h"

#include <cstring>
#include <exception>

#include "cache/tile_codec.h"
#include "cells/cell_address.h"
#include "localstore/records.h"
#include "localstore/tile_payload.h"

namespace dembase {
namespace {

bool SameRecord(const TileIndexRec& a, const TileIndexRec& b) {
  return a.offset == b.offset && a.packed == b.packed && a.storedSize == b.storedSize;
}

}  // namespace

BackgroundInflater::~BackgroundInflater() {
  {
    const std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  if (worker_.joinable()) worker_.join();
}

BackgroundInflater::Job* BackgroundInflater::Find(uint64_t key, const TileIndexRec* rec) {
  for (Job& job : jobs_) {
    if (job.state != State::kFree && job.wanted && job.key == key && (rec == nullptr || SameRecord(job.rec, *rec))) {
      return &job;
    }
  }
  return nullptr;
}

bool BackgroundInflater::Has(uint64_t key) {
  const std::lock_guard<std::mutex> lock(mu_);
  return Find(key, nullptr) != nullptr;
}

bool BackgroundInflater::StartFromFile(uint64_t key, const TileIndexRec& rec, platform::File* file,
                                       std::span<uint8_t> scratch) {
  if (IsEmptyTileRec(rec) || rec.packed != 1 || rec.storedSize == 0 || rec.storedSize > scratch.size() || Has(key)) {
    return true;
  }
  const std::span<uint8_t> payload = scratch.first(rec.storedSize);
  if (file == nullptr || !file->ReadAt(rec.offset, std::as_writable_bytes(payload))) return false;
  (void)Start(key, rec, payload);
  return true;
}

bool BackgroundInflater::Start(uint64_t key, const TileIndexRec& rec, std::span<const uint8_t> payload) {
  if (rec.packed != 1 || payload.size() != rec.storedSize || payload.size() > kPayloadScratchBytes) return false;
  std::unique_lock<std::mutex> lock(mu_);
  // A free slot, else one whose result nobody wants, else the oldest job. A running
  // job's buffers belong to the worker until it finishes.
  Job* slot = nullptr;
  for (Job& job : jobs_) {
    if (job.state == State::kFree || (!job.wanted && job.state != State::kRunning)) slot = &job;
  }
  if (slot == nullptr) {
    for (Job& job : jobs_) {
      if (slot == nullptr || job.order < slot->order) slot = &job;
    }
    slot->wanted = false;
    cv_.wait(lock, [slot] { return slot->state != State::kRunning; });
  }
  slot->state = State::kFree;
  if ((slot->payload.size() == 0 && !slot->payload.Allocate(kPayloadScratchBytes)) ||
      (slot->cells.size() == 0 && !slot->cells.Allocate(kTileBlockBytes))) {
    return false;
  }
  if (!worker_.joinable()) {
    try {
      worker_ = std::thread([this] { Work(); });
    } catch (const std::exception&) {
      return false;
    }
  }
  std::memcpy(slot->payload.data(), payload.data(), payload.size());
  slot->key = key;
  slot->rec = rec;
  slot->ok = false;
  slot->wanted = true;
  slot->order = queued_++;
  slot->state = State::kQueued;
  lock.unlock();
  cv_.notify_all();
  return true;
}

void BackgroundInflater::Work() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    Job* next = nullptr;
    cv_.wait(lock, [this, &next] { return stop_ || (next = Queued(/*newest=*/false)) != nullptr; });
    if (stop_) return;
    // The job's buffers are the worker's while it runs.
    next->ok = InflateHere(next, next->cells.data(), &lock);
    next->state = State::kDone;
    cv_.notify_all();
  }
}

BackgroundInflater::Job* BackgroundInflater::Queued(bool newest) {
  Job* pick = nullptr;
  for (Job& job : jobs_) {
    if (job.state != State::kQueued || !job.wanted) continue;
    if (pick == nullptr || (newest ? job.order > pick->order : job.order < pick->order)) pick = &job;
  }
  return pick;
}

bool BackgroundInflater::InflateHere(Job* job, uint8_t* out, std::unique_lock<std::mutex>* lock) {
  job->state = State::kRunning;  // no other thread takes it up
  lock->unlock();
  const bool ok = UncompressTile(job->payload.data(), job->rec.storedSize, out, kTileBlockBytes) == 1;
  lock->lock();
  return ok;
}

bool BackgroundInflater::Take(uint64_t key, const TileIndexRec& rec, std::span<const uint8_t> payload, uint8_t* block,
                              HeapBuffer* cells) {
  std::unique_lock<std::mutex> lock(mu_);
  Job* job = Find(key, &rec);
  if (job == nullptr) return false;
  // The payload stays untouched while the job is wanted, so it can be compared under the lock.
  if (!payload.empty() && (payload.size() != job->rec.storedSize ||
                           std::memcmp(payload.data(), job->payload.data(), payload.size()) != 0)) {
    job->wanted = false;
    if (job->state != State::kRunning) job->state = State::kFree;
    return false;
  }
  bool ok = false;
  if (job->state == State::kQueued) {
    // The worker has not reached it: inflating it on this thread costs no more than
    // waiting would, and keeps both cores busy when this thread is the faster one.
    ok = InflateHere(job, block != nullptr ? block : cells->data(), &lock);
  } else {
    // The worker has this tile: inflate the farthest one it has not reached meanwhile,
    // where waiting would leave this core idle.
    while (job->state != State::kDone) {
      Job* spare = Queued(/*newest=*/true);
      if (spare == nullptr) {
        cv_.wait(lock, [job] { return job->state == State::kDone; });
        break;
      }
      spare->ok = InflateHere(spare, spare->cells.data(), &lock);
      spare->state = State::kDone;
    }
    ok = job->ok;
    if (ok && block != nullptr) std::memcpy(block, job->cells.data(), kTileBlockBytes);
    if (ok && block == nullptr) cells->Swap(job->cells);
  }
  // Handed out at most once; the slot is free again.
  job->state = State::kFree;
  job->wanted = false;
  lock.unlock();
  cv_.notify_all();  // a Start may wait for this slot
  return ok;
}

bool BackgroundInflater::TakeInto(uint64_t key, const TileIndexRec& rec, HeapBuffer* cells) {
  return cells->size() == kTileBlockBytes && Take(key, rec, {}, nullptr, cells);
}

bool BackgroundInflater::CopyTo(uint64_t key, const TileIndexRec& rec, uint8_t* block,
                                std::span<const uint8_t> payload) {
  return Take(key, rec, payload, block, nullptr);
}

void BackgroundInflater::Drop() {
  const std::lock_guard<std::mutex> lock(mu_);
  for (Job& job : jobs_) job.wanted = false;
}

}  // namespace dembase
