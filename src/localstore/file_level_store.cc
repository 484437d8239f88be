#include "localstore/file_level_store.h"

#include <limits>

namespace dembase {

bool FileLevelStore::Open(const std::string& layerDir, const PyramidLevelRec& rec) {
  std::vector<uint32_t> ends;
  if (!files_.Open(layerDir, rec, true) || !files_.ReadDataFileEnds(&ends)) {
    files_.Close();
    return false;
  }
  appendAt_.assign(ends.begin(), ends.end());
  openedEnd_ = appendAt_;
  prepared_.assign(ends.size(), 0);
  return true;
}

bool FileLevelStore::LoadRecords(int32_t first, std::span<TileIndexRec> out) {
  return files_.ReadRecords(first, out);
}

bool FileLevelStore::PrepareAppends(size_t f) {
  if (prepared_[f]) return true;
  const std::optional<uint64_t> at = files_.AppendPosition(f, static_cast<uint32_t>(appendAt_[f]));
  if (!at) return false;
  appendAt_[f] = openedEnd_[f] = *at;
  prepared_[f] = 1;
  return true;
}

std::optional<std::span<const uint8_t>> FileLevelStore::ReadBytes(int32_t t, const TileIndexRec& rec,
                                                                  std::span<uint8_t> scratch) {
  if (rec.storedSize == 0 || rec.storedSize > scratch.size()) return std::nullopt;
  const auto bytes = scratch.first(rec.storedSize);
  platform::File* file = files_.data_file_of(t);
  if (file == nullptr || !file->ReadAt(rec.offset, std::as_writable_bytes(bytes))) return std::nullopt;
  return bytes;
}

bool FileLevelStore::StoreBytes(int32_t t, TileIndexRec* rec, const EncodedPayload& payload) {
  const uint32_t n = payload.size;
  const size_t f = static_cast<size_t>(DataFileOfTile(t));
  platform::File* file = files_.DataFile(f);
  if (file == nullptr || !PrepareAppends(f)) return false;
  // Until the tables are written the records on disk name only payloads from before the open.
  const bool inPlace = rec->storedSize > 0 && n <= rec->storedSize && rec->offset >= openedEnd_[f];
  const uint64_t offset = inPlace ? rec->offset : appendAt_[f];
  if (offset + n > std::numeric_limits<uint32_t>::max()) return false;  // beyond a 32-bit record
  if (!file->WriteAt(offset, std::as_bytes(std::span<const uint8_t>(payload.data, n)))) return false;
  pacer_.Wrote(*file, n);
  if (!inPlace) appendAt_[f] = offset + n;
  rec->offset = static_cast<uint32_t>(offset);
  rec->storedSize = n;
  rec->packed = payload.packed;
  return true;
}

bool FileLevelStore::Finish(std::span<const TileIndexRec> index, bool indexChanged) {
  bool ok = !indexChanged || files_.WriteTables(appendAt_, index);
  ok = files_.MarkClosedOnce() && ok;
  files_.Close();
  return ok;
}

}  // namespace dembase
