#include "localstore/open_level.h"

#include <algorithm>
#include <climits>
#include <new>

#include "localstore/tile_payload.h"

namespace dembase {

OpenLevel::OpenLevel(CDataLayer* owner, CTileCache* cache, CellType type)
    : owner_(owner), cache_(cache), type_(type) {}

OpenLevel::~OpenLevel() {
  ForEachLoadedTile([this](int32_t t) { ReleaseSlot(t); });
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
  const auto add = [range](std::span<const TileIndexRec> recs) {
    const LevelRange part = RangeOfRecords(recs);
    range->minValue = std::min(range->minValue, part.minValue);
    range->maxValue = std::max(range->maxValue, part.maxValue);
  };
  // Parts never loaded are read a few at a time (a system call each is what this
  // costs), into the heap when it has the room, else one part at a time.
  constexpr size_t kPartsPerRead = 7;  // just under the heap's threshold for fresh mappings
  TileIndexRec one[kTilesPerPart];
  HeapBuffer heap;
  const std::span<TileIndexRec> buffer =
      heap.Allocate(kPartsPerRead * kTilesPerPart * sizeof(TileIndexRec))
          ? std::span(reinterpret_cast<TileIndexRec*>(heap.data()), kPartsPerRead * kTilesPerPart)
          : std::span(one);
  const size_t parts = partLoaded_.size();
  for (size_t p = 0; p < parts;) {
    const auto first = static_cast<size_t>(PartBegin(p));
    if (partLoaded_[p]) {
      add(written_.span().subspan(first, static_cast<size_t>(PartEnd(p)) - first));
      ++p;
      continue;
    }
    size_t q = p + 1;
    while (q < parts && !partLoaded_[q] && (q - p + 1) * kTilesPerPart <= buffer.size()) ++q;
    const std::span<TileIndexRec> read = buffer.first(static_cast<size_t>(PartEnd(q - 1)) - first);
    if (!store_->LoadRecords(PartBegin(p), read)) return false;
    CanonicalizeEmptyRecords(read, type_);
    add(read);
    p = q;
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
  const bool writeIndex = indexDirty_ && LoadAllParts();
  if (indexDirty_ != writeIndex) out.ok = false;
  if (!store_->Finish(writeIndex ? written_.span() : std::span<const TileIndexRec>{}, writeIndex)) out.ok = false;
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
