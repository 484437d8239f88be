#include "localstore/level_file_set.h"

#include <algorithm>
#include <bit>
#include <limits>

#include "localstore/file_names.h"

namespace dembase {
namespace {

using platform::Access;
using platform::CurrentEnv;
using platform::Disposition;
using platform::OpenOptions;
using platform::Share;

constexpr OpenOptions kLevelFileOptions{Access::kReadWrite, Share::kReadWrite, Disposition::kOpenExisting, true};

}  // namespace

bool LevelFileSet::Open(const std::string& layerDir, const PyramidLevelRec& rec, bool withData) {
  Close();
  const auto headerPath = SystemPath(layerDir, rec.headerPath);
  const auto firstDataPath = SystemPath(layerDir, rec.dataPath);
  if (!headerPath || !firstDataPath || rec.headerPath.empty() || rec.dataPath.empty()) return false;

  header_ = CurrentEnv()->OpenFile(*headerPath, kLevelFileOptions);
  uint64_t size = 0;
  std::byte bytes[LevelHeaderPrefix::kEncodedLength];
  if (!header_ || !header_->Size(&size) || size < sizeof bytes || !header_->ReadAt(0, bytes) ||
      !prefix_.DecodeFrom(bytes)) {
    Close();
    return false;
  }
  const std::optional<LevelGeometry> geometry = ValidateLevelHeader(prefix_, size);
  if (!geometry || !geometry->grid.Addressable() ||
      !LevelPathsFit(layerDir, rec, static_cast<int>(geometry->dataFileCount))) {
    Close();
    return false;
  }
  geometry_ = *geometry;
  if (!withData) return true;
  for (int i = 0; i < geometry_.dataFileCount; ++i) {
    const auto path = DataFilePath(*firstDataPath, i);
    auto file = path ? CurrentEnv()->OpenFile(*path, kLevelFileOptions) : nullptr;
    if (!file) {
      Close();
      return false;
    }
    dataFiles_.push_back(std::move(file));
  }
  return true;
}

void LevelFileSet::Close() {
  dataFiles_.clear();
  header_.reset();
}

bool LevelFileSet::OpenForAppends(const std::string& layerDir, const PyramidLevelRec& rec,
                                  std::vector<uint64_t>* positions) {
  std::vector<uint32_t> ends;
  if (!Open(layerDir, rec, true) || !ReadDataFileEnds(&ends) || !AppendPositions(ends, positions)) {
    Close();
    return false;
  }
  return true;
}

bool LevelFileSet::ReadDataFileEnds(std::vector<uint32_t>* ends) {
  ends->assign(static_cast<size_t>(geometry_.dataFileCount), 0);
  std::vector<std::byte> bytes(ends->size() * kDataFileEndLength);
  return header_->ReadAt(geometry_.DataFileEndsOffset(), bytes) && DecodeDataFileEnds(bytes, *ends);
}

bool LevelFileSet::AppendPositions(const std::vector<uint32_t>& ends, std::vector<uint64_t>* positions) {
  positions->assign(ends.size(), 0);
  for (size_t f = 0; f < ends.size() && f < dataFiles_.size(); ++f) {
    uint64_t size = 0;
    if (!dataFiles_[f]->Size(&size)) return false;
    uint64_t at = std::max<uint64_t>(ends[f], size);
    if (at == kEmptyTileOffset) at = kEmptyTileOffset + 1;
    (*positions)[f] = at;
  }
  return true;
}

bool LevelFileSet::WriteTables(const std::vector<uint64_t>& positions, std::span<const TileIndexRec> index) {
  for (auto& file : dataFiles_) {
    if (!file->Sync()) return false;
  }
  std::vector<uint32_t> ends(positions.size());
  for (size_t f = 0; f < positions.size(); ++f) {
    if (positions[f] > std::numeric_limits<uint32_t>::max()) return false;
    ends[f] = static_cast<uint32_t>(positions[f]);
  }
  const size_t endBytes = ends.size() * kDataFileEndLength;
  std::vector<std::byte> bytes(endBytes + index.size() * TileIndexRecCodec::kEncodedLength);
  if (!EncodeDataFileEnds(ends, std::span<std::byte>(bytes).first(endBytes)) ||
      !EncodeTileIndex(index, std::span<std::byte>(bytes).subspan(endBytes))) {
    return false;
  }
  // The table and the index lie back to back, so one write covers both.
  return header_->WriteAt(geometry_.DataFileEndsOffset(), bytes) && header_->Sync();
}

bool LevelFileSet::ReadRecord(int32_t t, TileIndexRec* rec) {
  if (t < 0 || t >= tile_count()) return false;
  std::byte bytes[TileIndexRecCodec::kEncodedLength];
  return header_->ReadAt(geometry_.TileRecordOffset(t), bytes) && TileIndexRecCodec::DecodeFrom(bytes, rec);
}

bool LevelFileSet::ReadIndex(std::vector<TileIndexRec>* index) {
  index->assign(static_cast<size_t>(geometry_.tileCount), TileIndexRec{});
  // On a little-endian machine the stored table is the records' memory image.
  if constexpr (std::endian::native == std::endian::little) {
    return header_->ReadAt(geometry_.TileIndexOffset(), std::as_writable_bytes(std::span(*index)));
  }
  std::vector<std::byte> bytes(index->size() * TileIndexRecCodec::kEncodedLength);
  return header_->ReadAt(geometry_.TileIndexOffset(), bytes) && DecodeTileIndex(bytes, *index);
}

bool LevelFileSet::MarkClosedOnce() {
  if (prefix_.info.closedOnce != 0) return true;
  prefix_.info.closedOnce = 1;
  std::byte bytes[PyramidLayerInfoCodec::kEncodedLength];
  return PyramidLayerInfoCodec::EncodeTo(prefix_.info, bytes) && header_->WriteAt(0, bytes) && header_->Sync();
}

}  // namespace dembase
