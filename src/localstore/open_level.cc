#include "localstore/open_level.h"

#include <algorithm>
#include <limits>
#include <new>

#include "localstore/file_names.h"

namespace dembase {
namespace {

using platform::Access;
using platform::CurrentEnv;
using platform::Disposition;
using platform::OpenOptions;
using platform::Share;

constexpr uint32_t kPackBufferBytes = 2 * kTileBlockBytes;

// Level files are shared for reading and writing; exclusion between users rests on the
// layer's header file, which an open layer holds unshared.
constexpr OpenOptions kLevelFileOptions{Access::kReadWrite, Share::kReadWrite, Disposition::kOpenExisting, true};

}  // namespace

OpenLevel::OpenLevel(CDataLayer* owner, CTileCache* cache, CellType type)
    : owner_(owner), cache_(cache), type_(type) {}

OpenLevel::~OpenLevel() {
  if (!refs_) return;
  for (int32_t t = 0; t < tile_count(); ++t) ReleaseSlot(t);
}

bool OpenLevel::Open(const std::string& layerDir, const PyramidLevelRec& rec) {
  const auto headerPath = SystemPath(layerDir, rec.headerPath);
  const auto firstDataPath = SystemPath(layerDir, rec.dataPath);
  if (!headerPath || !firstDataPath || rec.headerPath.empty() || rec.dataPath.empty()) return false;

  header_ = CurrentEnv()->OpenFile(*headerPath, kLevelFileOptions);
  if (!header_) return false;
  uint64_t size = 0;
  std::byte prefixBytes[LevelHeaderPrefix::kEncodedLength];
  LevelHeaderPrefix prefix;
  if (!header_->Size(&size) || size < sizeof prefixBytes || !header_->ReadAt(0, prefixBytes) ||
      !prefix.DecodeFrom(prefixBytes)) {
    return false;
  }
  // Every count read from the file is checked against the file before it sizes anything.
  const std::optional<LevelGeometry> geometry = ValidateLevelHeader(prefix, size);
  if (!geometry || !LevelPathsFit(layerDir, rec, static_cast<int>(geometry->dataFileCount))) return false;
  geometry_ = *geometry;
  info_ = prefix.info;

  dataFiles_.clear();
  for (int i = 0; i < geometry_.dataFileCount; ++i) {
    const auto path = DataFilePath(*firstDataPath, i);
    if (!path) return false;
    auto file = CurrentEnv()->OpenFile(*path, kLevelFileOptions);
    if (!file) return false;
    dataFiles_.push_back(std::move(file));
  }
  if (!packBuffer_.Allocate(kPackBufferBytes)) return false;
  return LoadTables();
}

bool OpenLevel::LoadTables() {
  const size_t files = static_cast<size_t>(geometry_.dataFileCount);
  const size_t tiles = static_cast<size_t>(geometry_.tileCount);
  std::vector<std::byte> bytes(std::max(files * kDataFileEndLength, tiles * TileIndexRecCodec::kEncodedLength));

  dataFileEnds_.assign(files, 0);
  const auto endBytes = std::span<std::byte>(bytes).first(files * kDataFileEndLength);
  if (!header_->ReadAt(geometry_.DataFileEndsOffset(), endBytes) || !DecodeDataFileEnds(endBytes, dataFileEnds_)) {
    return false;
  }
  index_.assign(tiles, TileIndexRec{});
  const auto indexBytes = std::span<std::byte>(bytes).first(tiles * TileIndexRecCodec::kEncodedLength);
  if (!header_->ReadAt(geometry_.TileIndexOffset(), indexBytes) || !DecodeTileIndex(indexBytes, index_)) return false;

  refs_.reset(new (std::nothrow) TileRef[tiles]);
  if (!refs_) return false;

  // After a crash between a payload write and the table write the file is longer than
  // its table says; appending at the table's figure would overwrite a payload that a
  // record may point at.
  appendAt_.assign(files, 0);
  for (size_t f = 0; f < files; ++f) {
    uint64_t size = 0;
    if (!dataFiles_[f]->Size(&size)) return false;
    // Offset 1 means "nothing stored", so no payload may start there.
    appendAt_[f] = std::max<uint64_t>(dataFileEnds_[f], size);
    if (appendAt_[f] == kEmptyTileOffset) appendAt_[f] = kEmptyTileOffset + 1;
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
  for (int32_t t = 0; t < tile_count(); ++t) {
    TileRef& r = ref(t);
    if (r.dirty) {
      indexDirty_ = true;
      if (!WriteTileBlock(t)) out.ok = false;
      r.dirty = 0;
    }
    ReleaseSlot(t);
  }
  out.indexChanged = indexDirty_;
  for (const TileIndexRec& rec : index_) {
    if (rec.offset == kEmptyTileOffset) continue;
    out.minValue = std::min(out.minValue, static_cast<double>(rec.tileMin));
    out.maxValue = std::max(out.maxValue, static_cast<double>(rec.tileMax));
  }
  if (indexDirty_ && !WriteTables()) out.ok = false;
  if (info_.closedOnce == 0) {
    info_.closedOnce = 1;
    std::byte bytes[PyramidLayerInfoCodec::kEncodedLength];
    if (!PyramidLayerInfoCodec::EncodeTo(info_, bytes) || !header_->WriteAt(0, bytes) || !header_->Sync()) {
      out.ok = false;
    }
  }
  if (failed_) out.ok = false;

  refs_.reset();
  index_.clear();
  dataFiles_.clear();
  header_.reset();
  packBuffer_.Free();
  return out;
}

bool OpenLevel::WriteTables() {
  // Payloads first: the tables must never point at bytes that could still be lost.
  for (auto& file : dataFiles_) {
    if (!file->Sync()) return false;
  }
  for (size_t f = 0; f < appendAt_.size(); ++f) {
    if (appendAt_[f] > std::numeric_limits<uint32_t>::max()) return false;
    dataFileEnds_[f] = static_cast<uint32_t>(appendAt_[f]);
  }
  std::vector<std::byte> bytes(dataFileEnds_.size() * kDataFileEndLength + index_.size() * TileIndexRecCodec::kEncodedLength);
  const auto endBytes = std::span<std::byte>(bytes).first(dataFileEnds_.size() * kDataFileEndLength);
  if (!EncodeDataFileEnds(dataFileEnds_, endBytes) ||
      !EncodeTileIndex(index_, std::span<std::byte>(bytes).subspan(endBytes.size()))) {
    return false;
  }
  // The table and the index lie back to back, so one write covers both.
  if (!header_->WriteAt(geometry_.DataFileEndsOffset(), bytes) || !header_->Sync()) return false;
  indexDirty_ = false;
  return true;
}

}  // namespace dembase
