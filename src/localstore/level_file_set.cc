#include "localstore/level_file_set.h"

#include <algorithm>
#include <bit>
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
  try {
    firstDataPath_ = *firstDataPath;
    dataFiles_.resize(static_cast<size_t>(geometry_.dataFileCount));
  } catch (const std::bad_alloc&) {
    Close();
    return false;
  }
  // The first file proves the level's data path now; the others are named after it.
  if (DataFile(0) == nullptr) {
    Close();
    return false;
  }
  return true;
}

platform::File* LevelFileSet::DataFile(size_t f) {
  if (f >= dataFiles_.size()) return nullptr;
  if (!dataFiles_[f]) {
    const auto path = DataFilePath(firstDataPath_, static_cast<int>(f));
    if (path) dataFiles_[f] = CurrentEnv()->OpenFile(*path, kLevelFileOptions);
  }
  return dataFiles_[f].get();
}

void LevelFileSet::Close() {
  dataFiles_.clear();
  firstDataPath_.clear();
  header_.reset();
}

bool LevelFileSet::OpenForAppends(const std::string& layerDir, const PyramidLevelRec& rec,
                                  std::vector<uint64_t>* positions) {
  std::vector<uint32_t> ends;
  if (!Open(layerDir, rec, true) || !ReadDataFileEnds(&ends)) {
    Close();
    return false;
  }
  positions->assign(ends.size(), 0);
  for (size_t f = 0; f < ends.size(); ++f) {
    const std::optional<uint64_t> at = AppendPosition(f, ends[f]);
    if (!at) {
      Close();
      return false;
    }
    (*positions)[f] = *at;
  }
  return true;
}

bool LevelFileSet::ReadDataFileEnds(std::vector<uint32_t>* ends) {
  ends->assign(static_cast<size_t>(geometry_.dataFileCount), 0);
  std::vector<std::byte> bytes(ends->size() * kDataFileEndLength);
  return header_->ReadAt(geometry_.DataFileEndsOffset(), bytes) && DecodeDataFileEnds(bytes, *ends);
}

std::optional<uint64_t> LevelFileSet::AppendPosition(size_t f, uint32_t tableEnd) {
  platform::File* file = DataFile(f);
  uint64_t size = 0;
  if (file == nullptr || !file->Size(&size)) return std::nullopt;
  uint64_t at = std::max<uint64_t>(tableEnd, size);
  if (at == kEmptyTileOffset) at = kEmptyTileOffset + 1;
  return at;
}

bool LevelFileSet::WriteTables(const std::vector<uint64_t>& positions, std::span<const TileIndexRec> index) {
  for (auto& file : dataFiles_) {
    if (file && !file->Sync()) return false;
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

bool LevelFileSet::ReadRecords(int32_t first, std::span<TileIndexRec> out) {
  if (first < 0 || first > tile_count() || out.size() > static_cast<size_t>(tile_count() - first)) return false;
  const uint64_t at = geometry_.TileRecordOffset(first);
  // On a little-endian machine the stored table is the records' memory image.
  if constexpr (std::endian::native == std::endian::little) {
    return header_->ReadAt(at, std::as_writable_bytes(out));
  }
  std::vector<std::byte> bytes(out.size() * TileIndexRecCodec::kEncodedLength);
  return header_->ReadAt(at, bytes) && DecodeTileIndex(bytes, out);
}

bool LevelFileSet::ReadIndex(std::vector<TileIndexRec>* index) {
  index->assign(static_cast<size_t>(geometry_.tileCount), TileIndexRec{});
  return ReadRecords(0, *index);
}

bool LevelFileSet::MarkClosedOnce() {
  if (prefix_.info.closedOnce != 0) return true;
  prefix_.info.closedOnce = 1;
  std::byte bytes[PyramidLayerInfoCodec::kEncodedLength];
  return PyramidLayerInfoCodec::EncodeTo(prefix_.info, bytes) && header_->WriteAt(0, bytes) && header_->Sync();
}

}  // namespace dembase
