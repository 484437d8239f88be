#include "localstore/open_level.h"

#include <algorithm>
#include <new>

#include "localstore/tile_payload.h"

namespace dembase {

OpenLevel::OpenLevel(CDataLayer* owner, CTileCache* cache, CellType type)
    : owner_(owner), cache_(cache), type_(type) {}

OpenLevel::~OpenLevel() {
  if (!refs_) return;
  for (int32_t t = 0; t < tile_count(); ++t) ReleaseSlot(t);
}

bool OpenLevel::Open(std::unique_ptr<LevelStore> store) {
  if (!store || !store->LoadIndex(&index_) || !packBuffer_.Allocate(kPayloadScratchBytes)) return false;
  CanonicalizeEmptyRecords(index_, type_);
  refs_.reset(new (std::nothrow) TileRef[index_.size()]);
  if (!refs_) return false;
  try {
    written_ = index_;
  } catch (const std::bad_alloc&) {
    return false;
  }
  store_ = std::move(store);
  indexDirty_ = false;
  return true;
}

OpenLevel::CloseOutcome OpenLevel::Close() {
  CloseOutcome out;
  if (!refs_) {
    out.ok = false;
    return out;
  }
  if (!FlushTiles()) out.ok = false;
  out.indexChanged = indexDirty_;
  const LevelRange range = RangeOfRecords(written_);
  out.minValue = range.minValue;
  out.maxValue = range.maxValue;
  if (!store_->Finish(written_, indexDirty_)) out.ok = false;
  if (failed_) out.ok = false;

  refs_.reset();
  index_.clear();
  written_.clear();
  store_.reset();
  packBuffer_.Free();
  return out;
}

}  // namespace dembase
