#include "localstore/records.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string_view>

#include "cells/null_test.h"
#include "format/coding.h"
#include "localstore/file_names.h"

namespace dembase {
namespace {

void PutStringField(ByteWriter& w, const std::string& s, size_t field) {
  w.PutBytes(std::as_bytes(std::span(s.data(), s.size())));
  w.PutFill(std::byte{0}, field - s.size());
}

// The string before the field's first NUL; false when the field has none.
bool ReadStringField(ByteReader& r, size_t field, std::string* out) {
  std::span<const std::byte> bytes;
  if (!r.ReadBytes(field, &bytes)) return false;
  const auto nul = std::find(bytes.begin(), bytes.end(), std::byte{0});
  if (nul == bytes.end()) return false;
  out->assign(reinterpret_cast<const char*>(bytes.data()), static_cast<size_t>(nul - bytes.begin()));
  return true;
}

bool FitsField(const std::string& s, size_t field) {
  return s.size() < field && s.find('\0') == std::string::npos;
}

}  // namespace

// --- DEM_INFO header ---

bool DemInfoHeader::EncodeTo(std::span<std::byte> out) const {
  if (out.size() < kEncodedLength) return false;
  ByteWriter w(out);
  w.PutBytes(std::as_bytes(std::span(kDemInfoMagic)));
  w.PutU32(kDemInfoVersion);
  return w.ok() && DataLayerParamCodec::EncodeTo(param, out.subspan(w.position()));
}

DemInfoStatus DemInfoHeader::DecodeFrom(std::span<const std::byte> in) {
  ByteReader r(in);
  std::span<const std::byte> magic;
  if (!r.ReadBytes(kDemInfoMagic.size(), &magic)) return DemInfoStatus::kTruncated;
  if (std::memcmp(magic.data(), kDemInfoMagic.data(), kDemInfoMagic.size()) != 0) return DemInfoStatus::kNotDemInfo;
  uint32_t version = 0;
  if (!r.ReadU32(&version)) return DemInfoStatus::kTruncated;
  if (version != kDemInfoVersion) return DemInfoStatus::kWrongVersion;
  if (!DataLayerParamCodec::DecodeFrom(in.subspan(r.position()), &param)) return DemInfoStatus::kTruncated;
  return DemInfoStatus::kOk;
}

std::optional<size_t> LevelRecordsToRead(int16_t levelCount, uint64_t fileSize) {
  if (levelCount < 0) return std::nullopt;
  const uint64_t n = levelCount == 0 ? 1 : static_cast<uint64_t>(levelCount);
  // The trailer is never read, so a file cut inside it is still readable.
  if (fileSize < DemInfoHeader::kEncodedLength + n * PyramidLevelRec::kEncodedLength) return std::nullopt;
  return static_cast<size_t>(n);
}

std::optional<std::vector<std::byte>> EncodeDemInfoFile(const DataLayerParam& param,
                                                       std::span<const PyramidLevelRec> levels) {
  std::vector<std::byte> out(DemInfoFileSize(levels.size()));
  std::span<std::byte> rest(out);
  if (!DemInfoHeader{param}.EncodeTo(rest)) return std::nullopt;
  rest = rest.subspan(DemInfoHeader::kEncodedLength);
  for (const PyramidLevelRec& level : levels) {
    if (!level.EncodeTo(rest)) return std::nullopt;
    rest = rest.subspan(PyramidLevelRec::kEncodedLength);
  }
  std::fill(rest.begin(), rest.end(), kDemInfoTrailerByte);
  return out;
}

// --- PyramidLevelRec ---

bool PyramidLevelRec::Fits() const {
  return FitsField(directory, kDirectoryField) && FitsField(headerPath, kPathField) && FitsField(dataPath, kPathField);
}

bool PyramidLevelRec::EncodeTo(std::span<std::byte> out) const {
  if (out.size() < kEncodedLength || !Fits()) return false;
  ByteWriter w(out);
  PutStringField(w, directory, kDirectoryField);
  PutStringField(w, headerPath, kPathField);
  PutStringField(w, dataPath, kPathField);
  w.PutU8(created ? 1 : 0);
  return w.ok();
}

bool PyramidLevelRec::DecodeFrom(std::span<const std::byte> in) {
  ByteReader r(in);
  PyramidLevelRec rec;
  uint8_t flag = 0;
  if (!ReadStringField(r, kDirectoryField, &rec.directory) || !ReadStringField(r, kPathField, &rec.headerPath) ||
      !ReadStringField(r, kPathField, &rec.dataPath) || !r.ReadU8(&flag)) {
    return false;
  }
  if (!IsSafeStoredPath(rec.directory) || !IsSafeStoredPath(rec.headerPath) || !IsSafeStoredPath(rec.dataPath)) {
    return false;
  }
  rec.created = flag != 0;
  *this = std::move(rec);
  return true;
}

// --- level header ---

bool LevelHeaderPrefix::EncodeTo(std::span<std::byte> out) const {
  if (out.size() < kEncodedLength || !PyramidLayerInfoCodec::EncodeTo(info, out)) return false;
  EncodeFixed16(out.data() + kDataFileCountOffset, static_cast<uint16_t>(dataFileCount));
  return true;
}

bool LevelHeaderPrefix::DecodeFrom(std::span<const std::byte> in) {
  if (in.size() < kEncodedLength) return false;
  PyramidLayerInfo decoded{};
  if (!PyramidLayerInfoCodec::DecodeFrom(in, &decoded)) return false;
  info = decoded;
  dataFileCount = static_cast<int16_t>(DecodeFixed16(in.data() + kDataFileCountOffset));
  return true;
}

bool EncodeDataFileEnds(std::span<const uint32_t> ends, std::span<std::byte> out) {
  if (out.size() / kDataFileEndLength < ends.size()) return false;
  for (size_t i = 0; i < ends.size(); ++i) EncodeFixed32(out.data() + i * kDataFileEndLength, ends[i]);
  return true;
}

bool DecodeDataFileEnds(std::span<const std::byte> in, std::span<uint32_t> ends) {
  if (in.size() / kDataFileEndLength < ends.size()) return false;
  for (size_t i = 0; i < ends.size(); ++i) ends[i] = DecodeFixed32(in.data() + i * kDataFileEndLength);
  return true;
}

// --- TileIndexRec ---

bool EncodeTileIndex(std::span<const TileIndexRec> recs, std::span<std::byte> out) {
  constexpr size_t kLen = TileIndexRecCodec::kEncodedLength;
  if (out.size() / kLen < recs.size()) return false;
  // The packed record is the encoding on a little-endian machine: tables of 100 000
  // tiles are copied, not coded field by field.
  if constexpr (std::endian::native == std::endian::little) {
    if (!recs.empty()) std::memcpy(out.data(), recs.data(), recs.size() * kLen);
    return true;
  }
  for (size_t i = 0; i < recs.size(); ++i) {
    if (!TileIndexRecCodec::EncodeTo(recs[i], out.subspan(i * kLen, kLen))) return false;
  }
  return true;
}

bool DecodeTileIndex(std::span<const std::byte> in, std::span<TileIndexRec> recs) {
  constexpr size_t kLen = TileIndexRecCodec::kEncodedLength;
  if (in.size() / kLen < recs.size()) return false;
  if constexpr (std::endian::native == std::endian::little) {
    if (!recs.empty()) std::memcpy(recs.data(), in.data(), recs.size() * kLen);
    return true;
  }
  for (size_t i = 0; i < recs.size(); ++i) {
    if (!TileIndexRecCodec::DecodeFrom(in.subspan(i * kLen, kLen), &recs[i])) return false;
  }
  return true;
}

LevelRange RangeOfRecords(std::span<const TileIndexRec> index) {
  LevelRange range;
  for (const TileIndexRec& rec : index) {
    if (rec.storedSize == 0) continue;
    range.minValue = std::min(range.minValue, static_cast<double>(rec.tileMin));
    range.maxValue = std::max(range.maxValue, static_cast<double>(rec.tileMax));
  }
  return range;
}

void CanonicalizeEmptyRecords(std::span<TileIndexRec> recs, CellType type) {
  const TileIndexRec empty = EmptyTileIndexRec(type);
  for (TileIndexRec& rec : recs) {
    if (IsEmptyTileRec(rec)) rec = empty;
  }
}

TileIndexRec EmptyTileIndexRec(CellType type) {
  const float null = static_cast<float>(NullValue(type));
  TileIndexRec rec{};
  rec.offset = kEmptyTileOffset;
  rec.packed = 0;
  rec.storedSize = 0;
  rec.tileMin = null;
  rec.tileMax = null;
  return rec;
}

}  // namespace dembase
