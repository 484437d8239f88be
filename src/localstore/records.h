// Encoding and decoding of the local store's on-disk records. Each record type has a
// fixed encoded length (kEncodedLength), an EncodeTo that refuses (false) a span that
// is too short or a record that cannot be represented, and a DecodeFrom that refuses
// a span that is too short or bytes that no writer of this format produces.
//
// DEM_INFO header file:    magic "DEM_INFO\0" | u32 version 0x4460 | DataLayerParam (71)
//                          | n x PyramidLevelRec (777) | 1024 x 0x20
// Level header file (.Hdr): PyramidLayerInfo (37) | i16 F | F x u32 DataFileEnd
//                          | T x TileIndexRec (17)
// All integers little-endian, floats IEEE 754, no alignment gaps.
#ifndef DEMBASE_LOCALSTORE_RECORDS_H_
#define DEMBASE_LOCALSTORE_RECORDS_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "cells/cell_value.h"
#include "dembase/dembase.h"
#include "format/record_codecs.h"

namespace dembase {

// --- DEM_INFO header file ---

inline constexpr std::array<char, 9> kDemInfoMagic = {'D', 'E', 'M', '_', 'I', 'N', 'F', 'O', '\0'};
inline constexpr uint32_t kDemInfoVersion = 0x4460;
// Written after the level records every time, never read.
inline constexpr size_t kDemInfoTrailerLength = 1024;
inline constexpr std::byte kDemInfoTrailerByte{0x20};

enum class DemInfoStatus : uint8_t {
  kOk,
  kTruncated,     // fewer bytes than the part being checked needs
  kNotDemInfo,    // the first 9 bytes are not "DEM_INFO\0" (the layer answers -1)
  kWrongVersion,  // the version word is not 0x4460 (the layer answers -2)
};

// The fixed start of a DEM_INFO file: magic, version, layer description.
struct DemInfoHeader {
  static constexpr size_t kEncodedLength = kDemInfoMagic.size() + 4 + DataLayerParamCodec::kEncodedLength;

  DataLayerParam param{};

  [[nodiscard]] bool EncodeTo(std::span<std::byte> out) const;
  // Checks in file order: the magic needs 9 bytes, the version 4 more, the layer
  // description the rest; the first check that fails decides the status.
  [[nodiscard]] DemInfoStatus DecodeFrom(std::span<const std::byte> in);
};
static_assert(DemInfoHeader::kEncodedLength == 84);

// One level's paths, relative to the layer directory, always with '\' separators.
struct PyramidLevelRec {
  static constexpr size_t kDirectoryField = 256;  // char fields, terminating NUL included
  static constexpr size_t kPathField = 260;
  static constexpr size_t kEncodedLength = kDirectoryField + 2 * kPathField + 1;

  std::string directory;   // "hill\"
  std::string headerPath;  // "hill\hill.Hdr"
  std::string dataPath;    // "hill\hill.Dem": data file 0
  bool created = false;    // the level's files have been made

  // Whether each string fits its field with its NUL and holds no NUL of its own.
  [[nodiscard]] bool Fits() const;
  // Zero-pads each field. False when !Fits() or the span is short.
  [[nodiscard]] bool EncodeTo(std::span<std::byte> out) const;
  // Refuses a field with no NUL inside it, and a path that could leave the layer
  // directory (absolute, drive-qualified or with a "." or ".." component).
  [[nodiscard]] bool DecodeFrom(std::span<const std::byte> in);

  friend bool operator==(const PyramidLevelRec&, const PyramidLevelRec&) = default;
};
static_assert(PyramidLevelRec::kEncodedLength == 777);

// Bytes of a DEM_INFO file holding `records` level records.
constexpr uint64_t DemInfoFileSize(uint64_t records) {
  return DemInfoHeader::kEncodedLength + records * PyramidLevelRec::kEncodedLength + kDemInfoTrailerLength;
}

// How many level records to read from a DEM_INFO file of fileSize bytes whose layer
// description says levelCount: levelCount, or 1 when it is 0. nullopt when the count
// is negative or the records would run past the end of the file.
[[nodiscard]] std::optional<size_t> LevelRecordsToRead(int16_t levelCount, uint64_t fileSize);

// The whole DEM_INFO file: header, the given level records, trailer. nullopt when a
// record does not fit its fields.
[[nodiscard]] std::optional<std::vector<std::byte>> EncodeDemInfoFile(const DataLayerParam& param,
                                                                     std::span<const PyramidLevelRec> levels);

// --- level header file ---

// The fixed start of a level header file: geometry and data-file count F.
struct LevelHeaderPrefix {
  static constexpr size_t kEncodedLength = PyramidLayerInfoCodec::kEncodedLength + 2;
  static constexpr uint64_t kInfoOffset = 0;
  static constexpr uint64_t kDataFileCountOffset = PyramidLayerInfoCodec::kEncodedLength;

  PyramidLayerInfo info{};
  int16_t dataFileCount = 0;

  [[nodiscard]] bool EncodeTo(std::span<std::byte> out) const;
  [[nodiscard]] bool DecodeFrom(std::span<const std::byte> in);
};
static_assert(LevelHeaderPrefix::kEncodedLength == 39);

// The DataFileEnd table: one u32 per data file, right after the prefix.
inline constexpr size_t kDataFileEndLength = 4;
[[nodiscard]] bool EncodeDataFileEnds(std::span<const uint32_t> ends, std::span<std::byte> out);
[[nodiscard]] bool DecodeDataFileEnds(std::span<const std::byte> in, std::span<uint32_t> ends);

// Tables of consecutive records; false when the span holds fewer than recs.size().
[[nodiscard]] bool EncodeTileIndex(std::span<const TileIndexRec> recs, std::span<std::byte> out);
[[nodiscard]] bool DecodeTileIndex(std::span<const std::byte> in, std::span<TileIndexRec> recs);

// `offset` value of a tile that has nothing stored.
inline constexpr uint32_t kEmptyTileOffset = 1;

// The record of a tile with nothing stored: {1, 0, 0, N, N}.
TileIndexRec EmptyTileIndexRec(CellType type);

// Whether rec describes a tile with nothing stored: the one empty test of every local
// record and of every open level's records in memory, whatever their store.
constexpr bool IsEmptyTileRec(const TileIndexRec& rec) { return rec.offset == kEmptyTileOffset; }

// Gives every record of a tile with nothing stored the form EmptyTileIndexRec gives it,
// whatever its other bytes say: a torn write of the index may have left other statistics
// there, which the next write of the index would otherwise keep.
void CanonicalizeEmptyRecords(std::span<TileIndexRec> recs, CellType type);

// The smallest minimum and largest maximum over the records of tiles with stored bytes
// (storedSize > 0, which local and database records alike mean by it): the range a level
// holds. 3.402823e38 and -3.402823e38 when no tile holds any.
struct LevelRange {
  double minValue = 3.402823e38;
  double maxValue = -3.402823e38;
};
[[nodiscard]] LevelRange RangeOfRecords(std::span<const TileIndexRec> index);

}  // namespace dembase

#endif  // DEMBASE_LOCALSTORE_RECORDS_H_
