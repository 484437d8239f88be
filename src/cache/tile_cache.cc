#include "cache/tile_cache.h"

#include <new>

#include "platform/env.h"
#include "registry/data_layer.h"

namespace dembase {

CTileCache::~CTileCache() { Clear(); }

int16_t CTileCache::Setup(float fraction) {
  if (blockMemory_ != nullptr) return 1;
  const double total = static_cast<double>(platform::CurrentEnv()->TotalPhysicalMemory());
  double n = total * static_cast<double>(fraction) / blockSize_;
  // Written so that NaN lands on the lower clamp instead of an undefined conversion.
  if (!(n >= kMinSlots)) n = kMinSlots;
  if (n > kMaxSlots) n = kMaxSlots;
  const auto count = static_cast<int16_t>(n);

  slots_.reset(new (std::nothrow) CacheSlot[static_cast<size_t>(count)]);
  const size_t bytes = static_cast<size_t>(count) * static_cast<size_t>(blockSize_);
  // Reserved address space: a block costs memory only once a tile is written into it.
  void* pool = slots_ != nullptr ? platform::CurrentEnv()->ReserveMemory(bytes) : nullptr;
  if (pool == nullptr) {
    slots_.reset();
    slotCount_ = 0;
    return 0;
  }
  blockMemory_ = static_cast<uint8_t*>(pool);
  blockBytes_ = bytes;
  slotCount_ = count;
  for (int16_t i = 0; i < count; ++i) {
    slots_[i] = CacheSlot{nullptr, nullptr, -1, blockMemory_ + static_cast<size_t>(i) * blockSize_};
  }
  hand_ = 0;
  return 1;
}

bool CTileCache::Acquire(CDataLayer* owner, TileRef* ref, uint32_t tag) {
  if (blockMemory_ == nullptr || owner == nullptr || ref == nullptr) return false;
  // Giving a second block to a tile that holds one would leave two slots pointing at
  // one TileRef, and a later sweep would drop its cells unwritten.
  if (ref->cached() && ref->slot >= 0 && ref->slot < slotCount_ && slots_[ref->slot].ref == ref) return true;
  // Ends within one turn plus one slot: every state-1 tile passed drops to 0, so at the
  // latest the sweep takes the slot it started from.
  for (;;) {
    CacheSlot& s = slots_[hand_];
    if (s.owner == nullptr || s.ref == nullptr || s.ref->state == TileRef::kNotCached) break;
    TileRef* old = s.ref;
    if (old->state == TileRef::kSecondChance) {
      old->state = TileRef::kEvictable;
      Advance();
      continue;
    }
    // The write-back's outcome is the owner's business; the block is reused regardless.
    if (old->dirty != 0) s.owner->WriteBackTile(static_cast<uint32_t>(s.tag));
    old->slot = 0;
    old->block = nullptr;
    old->statsCurrent = 0;
    old->state = TileRef::kNotCached;
    break;
  }
  Take(hand_, owner, ref, tag);
  Advance();
  return true;
}

void CTileCache::Take(int16_t s, CDataLayer* owner, TileRef* ref, uint32_t tag) {
  CacheSlot& slot = slots_[s];
  ref->slot = s;
  ref->block = slot.block;
  ref->statsCurrent = 0;
  ref->state = TileRef::kSecondChance;
  slot.owner = owner;
  slot.ref = ref;
  slot.tag = static_cast<int32_t>(tag);
}

void CTileCache::Release(int16_t slot) {
  if (slot < 0 || slot >= slotCount_) return;
  CacheSlot& s = slots_[slot];
  s.owner = nullptr;
  s.ref = nullptr;
  s.tag = -1;
  if (hand_ > 0) --hand_;
}

void CTileCache::Clear() {
  if (blockMemory_ != nullptr) {
    // Through whichever Env is current: test Envs pass memory calls to the system Env,
    // so the pool may outlive the Env that reserved it.
    platform::CurrentEnv()->ReleaseMemory(blockMemory_, blockBytes_);
  }
  blockMemory_ = nullptr;
  blockBytes_ = 0;
  slots_.reset();
  slotCount_ = 0;
  hand_ = 0;
}

}  // namespace dembase
