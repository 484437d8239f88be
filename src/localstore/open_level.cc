#include "localstore/open_level.h"

#include <algorithm>
#include <climits>
#include <new>

#include "localstore/tile_payload.h"

namespace dembase {

OpenLevel::OpenLevel(CDataLayer* owner, CTileCache* cache, CellType type)
    : owner_(owner), cache_(cache), type_(type) {}

OpenLevel::~OpenLevel() {
  for (size_t p = 0; p < partLoaded_.size(); ++p) {
    if (!partLoaded_[p]) continue;  // no tile of the part was ever fetched
    for (int32_t t = PartBegin(p); t < PartEnd(p); ++t) ReleaseSlot(t);
  }
}

bool OpenLevel::Open(std::unique_ptr<LevelStore> store) {
  if (!store) return false;
  const int64_t tiles = store->geometry().tileCount;
  if (tiles < 0 || tiles > INT32_MAX) return false;
  const auto n = static_cast<size_t>(tiles);
  const size_t parts = (n + kTilesPerPart - 1) / kTilesPerPart;
  if (!packBuffer_.Allocate(kPayloadScratchBytes) || !partLoaded_.Allocate(parts) || !index_.Allocate(n) ||
      !written_.Allocate(n) || !refs_.Allocate(n)) {
    return false;
  }
  tileCount_ = static_cast<int32_t>(tiles);
  store_ = std::move(store);
  indexDirty_ = false;
  return true;
}

bool OpenLevel::LoadPart(size_t p) {
  const int32_t first = PartBegin(p);
  const std::span<TileIndexRec> recs = index_.span().subspan(static_cast<size_t>(first),
                                                             static_cast<size_t>(PartEnd(p) - first));
  if (!store_->LoadRecords(first, recs)) return false;
  CanonicalizeEmptyRecords(recs, type_);
  std::copy(recs.begin(), recs.end(), written_.data() + first);
  partLoaded_[p] = 1;
  return true;
}

bool OpenLevel::LoadAllParts() {
  for (size_t p = 0; p < partLoaded_.size(); ++p) {
    if (!partLoaded_[p] && !LoadPart(p)) return false;
  }
  return true;
}

bool OpenLevel::RangeOfStoredTiles(LevelRange* range) {
  TileIndexRec buffer[kTilesPerPart];
  for (size_t p = 0; p < partLoaded_.size(); ++p) {
    const auto first = static_cast<size_t>(PartBegin(p));
    std::span<const TileIndexRec> recs = written_.span().subspan(first, static_cast<size_t>(PartEnd(p)) - first);
    if (!partLoaded_[p]) {
      const std::span<TileIndexRec> read = std::span(buffer).first(recs.size());
      if (!store_->LoadRecords(PartBegin(p), read)) return false;
      CanonicalizeEmptyRecords(read, type_);
      recs = read;
    }
    const LevelRange part = RangeOfRecords(recs);
    range->minValue = std::min(range->minValue, part.minValue);
    range->maxValue = std::max(range->maxValue, part.maxValue);
  }
  return true;
}

OpenLevel::CloseOutcome OpenLevel::Close(bool wantRange) {
  CloseOutcome out;
  if (!store_) {
    out.ok = false;
    return out;
  }
  if (!FlushTiles()) out.ok = false;
  out.indexChanged = indexDirty_;
  if (wantRange) {
    LevelRange range;
    if (RangeOfStoredTiles(&range)) {
      out.minValue = range.minValue;
      out.maxValue = range.maxValue;
    } else {
      out.ok = false;
    }
  }
  // A changed index is written whole; without every record it is not written at all, and
  // the level keeps the records it had, which name only payloads that are still there.
  const bool whole = !indexDirty_ || LoadAllParts();
  if (!whole) out.ok = false;
  if (!store_->Finish(whole && indexDirty_ ? written_.span() : std::span<const TileIndexRec>{},
                      whole && indexDirty_)) {
    out.ok = false;
  }
  if (failed_) out.ok = false;

  // The slots went in FlushTiles; nothing is left for the destructor to release.
  partLoaded_.Free();
  refs_.Free();
  index_.Free();
  written_.Free();
  store_.reset();
  tileCount_ = 0;
  packBuffer_.Free();
  return out;
}

}  // namespace dembase
