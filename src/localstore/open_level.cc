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

bool OpenLevel::Open(const std::string& layerDir, const PyramidLevelRec& rec) {
  std::vector<uint32_t> ends;
  if (!files_.Open(layerDir, rec, true) || !files_.ReadDataFileEnds(&ends) || !files_.AppendPositions(ends, &appendAt_) ||
      !files_.ReadIndex(&index_) || !packBuffer_.Allocate(kPayloadScratchBytes)) {
    files_.Close();
    return false;
  }
  refs_.reset(new (std::nothrow) TileRef[index_.size()]);
  if (!refs_) {
    files_.Close();
    return false;
  }
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
  for (const TileIndexRec& rec : index_) {
    if (rec.offset == kEmptyTileOffset) continue;
    out.minValue = std::min(out.minValue, static_cast<double>(rec.tileMin));
    out.maxValue = std::max(out.maxValue, static_cast<double>(rec.tileMax));
  }
  if (indexDirty_ && !files_.WriteTables(appendAt_, index_)) out.ok = false;
  if (!files_.MarkClosedOnce()) out.ok = false;
  if (failed_) out.ok = false;

  refs_.reset();
  index_.clear();
  files_.Close();
  packBuffer_.Free();
  return out;
}

}  // namespace dembase
