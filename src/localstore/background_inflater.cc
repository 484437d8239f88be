#include "localstore/background_inflater.h"

#include <cstring>
#include <exception>
#include <utility>

#include "cache/tile_codec.h"
#include "cells/cell_address.h"
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

bool BackgroundInflater::Start(uint64_t key, const TileIndexRec& rec, std::span<const uint8_t> payload) {
  if (rec.packed != 1 || payload.size() != rec.storedSize || payload.size() > kPayloadScratchBytes) return false;
  std::unique_lock<std::mutex> lock(mu_);
  // The buffers belong to the worker while a job runs.
  cv_.wait(lock, [this] { return !pending_; });
  valid_ = false;
  if ((payload_.size() == 0 && !payload_.Allocate(kPayloadScratchBytes)) ||
      (cells_.size() == 0 && !cells_.Allocate(kTileBlockBytes))) {
    return false;
  }
  if (!worker_.joinable()) {
    try {
      worker_ = std::thread([this] { Work(); });
    } catch (const std::exception&) {
      return false;
    }
  }
  std::memcpy(payload_.data(), payload.data(), payload.size());
  key_ = key;
  rec_ = rec;
  valid_ = true;
  pending_ = true;
  ok_ = false;
  lock.unlock();
  cv_.notify_all();
  return true;
}

void BackgroundInflater::Work() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    cv_.wait(lock, [this] { return stop_ || pending_; });
    if (stop_) return;
    const uint32_t size = rec_.storedSize;
    // The buffers are the worker's until pending_ clears.
    lock.unlock();
    const bool ok = UncompressTile(payload_.data(), size, cells_.data(), kTileBlockBytes) == 1;
    lock.lock();
    ok_ = ok;
    pending_ = false;
    cv_.notify_all();
  }
}

bool BackgroundInflater::Wait(uint64_t key, const TileIndexRec& rec) {
  std::unique_lock<std::mutex> lock(mu_);
  if (!valid_ || key_ != key || !SameRecord(rec_, rec)) return false;
  cv_.wait(lock, [this] { return !pending_; });
  valid_ = false;  // handed out at most once
  return ok_;
}

bool BackgroundInflater::TakeInto(uint64_t key, const TileIndexRec& rec, HeapBuffer* cells) {
  if (cells->size() != kTileBlockBytes || !Wait(key, rec)) return false;
  // No job runs now, so the worker's buffer can change hands.
  cells->Swap(cells_);
  return true;
}

bool BackgroundInflater::CopyTo(uint64_t key, const TileIndexRec& rec, uint8_t* block) {
  if (!Wait(key, rec)) return false;
  std::memcpy(block, cells_.data(), kTileBlockBytes);
  return true;
}

void BackgroundInflater::Drop() {
  const std::lock_guard<std::mutex> lock(mu_);
  valid_ = false;
}

}  // namespace dembase
