// The files of a local layer as a test sees them from outside the library: whole-file
// bytes, little-endian fields at fixed offsets, a level header decoded by hand, and a
// snapshot of a directory tree that can be put back after a test damaged it.
//
// Everything here goes straight to the file system, never through the library's Env,
// so injected faults never touch it. Tests only.
#ifndef DEMBASE_TESTS_SUPPORT_LAYER_FILES_H_
#define DEMBASE_TESTS_SUPPORT_LAYER_FILES_H_

#include <bit>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "dembase/dembase.h"
#include "format/record_codecs.h"

namespace dembase::testing {

using Bytes = std::vector<uint8_t>;

inline bool FileExists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

// The size of a regular file, or -1.
inline int64_t FileSize(const std::string& path) {
  std::error_code ec;
  const auto n = std::filesystem::file_size(path, ec);
  return ec ? -1 : static_cast<int64_t>(n);
}

inline Bytes ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool WriteFileBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

// Fixed-width little-endian fields; the caller checks that offset + width fits.
inline uint64_t LoadLE(const Bytes& b, size_t offset, size_t width) {
  uint64_t v = 0;
  for (size_t i = 0; i < width; ++i) v |= uint64_t{b.at(offset + i)} << (8 * i);
  return v;
}
inline uint8_t U8At(const Bytes& b, size_t o) { return b.at(o); }
inline uint16_t U16At(const Bytes& b, size_t o) { return static_cast<uint16_t>(LoadLE(b, o, 2)); }
inline int16_t I16At(const Bytes& b, size_t o) { return static_cast<int16_t>(LoadLE(b, o, 2)); }
inline uint32_t U32At(const Bytes& b, size_t o) { return static_cast<uint32_t>(LoadLE(b, o, 4)); }
inline int32_t I32At(const Bytes& b, size_t o) { return static_cast<int32_t>(LoadLE(b, o, 4)); }
inline float F32At(const Bytes& b, size_t o) { return std::bit_cast<float>(U32At(b, o)); }
inline double F64At(const Bytes& b, size_t o) { return std::bit_cast<double>(LoadLE(b, o, 8)); }

// The bytes of a fixed char field up to its first NUL (the whole field if none).
inline std::string CStringAt(const Bytes& b, size_t offset, size_t field) {
  std::string s;
  for (size_t i = 0; i < field && b.at(offset + i) != 0; ++i) s.push_back(static_cast<char>(b[offset + i]));
  return s;
}

// Layout of the layer header file: magic, version, the 71-byte layer description,
// 777-byte level records, 1024 spaces.
inline constexpr size_t kInfoParamAt = 13;
inline constexpr size_t kInfoLevelsAt = 84;
inline constexpr size_t kLevelRecordBytes = 777;
inline constexpr size_t kInfoTrailerBytes = 1024;

// Layout of a level header file: 37-byte level description, i16 F, F x u32, T x 17.
inline constexpr size_t kLevelCountAt = 37;
inline constexpr size_t kLevelEndsAt = 39;
inline constexpr size_t kTileRecordBytes = 17;

// The level description and tile records with the interface's field names, unpacked:
// gtest's macros take references, which must not bind to misaligned packed members.
struct LevelInfo {
  uint8_t closedOnce = 0;
  double cellSizeX = 0, cellSizeY = 0;
  int32_t rows = 0, cols = 0;
  int16_t tileRows = 0, tileCols = 0;
  int32_t tilesDown = 0, tilesAcross = 0;
};

inline LevelInfo Unpack(const PyramidLayerInfo& p) {
  return LevelInfo{p.closedOnce, p.cellSizeX, p.cellSizeY, p.rows,     p.cols,
                   p.tileRows,   p.tileCols,  p.tilesDown, p.tilesAcross};
}

struct TileRecord {
  uint32_t offset = 0;
  uint8_t packed = 0;
  uint32_t storedSize = 0;
  float tileMin = 0, tileMax = 0;

  friend bool operator==(const TileRecord& a, const TileRecord& b) {
    return a.offset == b.offset && a.packed == b.packed && a.storedSize == b.storedSize &&
           std::bit_cast<uint32_t>(a.tileMin) == std::bit_cast<uint32_t>(b.tileMin) &&
           std::bit_cast<uint32_t>(a.tileMax) == std::bit_cast<uint32_t>(b.tileMax);
  }
};

// A copy of a packed member, for the same reason.
template <typename T>
constexpr T Copy(T v) {
  return v;
}

struct LevelHeaderView {
  LevelInfo info;
  int16_t dataFiles = 0;
  std::vector<uint32_t> ends;
  std::vector<TileRecord> tiles;

  size_t RecordOffset(size_t t) const { return kLevelEndsAt + 4 * ends.size() + kTileRecordBytes * t; }
};

// Decodes a level header file with the record codecs both libraries use; nullopt when
// it does not fit.
inline std::optional<LevelHeaderView> ReadLevelHeader(const std::string& path) {
  const Bytes b = ReadFileBytes(path);
  const auto bytes = std::as_bytes(std::span(b));
  PyramidLayerInfo info{};
  if (b.size() < kLevelEndsAt || !PyramidLayerInfoCodec::DecodeFrom(bytes.first(kLevelCountAt), &info)) {
    return std::nullopt;
  }
  LevelHeaderView v;
  v.info = Unpack(info);
  v.dataFiles = I16At(b, kLevelCountAt);
  if (v.dataFiles < 0 || v.info.tilesDown < 0 || v.info.tilesAcross < 0) return std::nullopt;
  const size_t tiles = static_cast<size_t>(v.info.tilesDown) * static_cast<size_t>(v.info.tilesAcross);
  const size_t recordsAt = kLevelEndsAt + 4 * static_cast<size_t>(v.dataFiles);
  if (b.size() < recordsAt + kTileRecordBytes * tiles) return std::nullopt;
  for (int16_t f = 0; f < v.dataFiles; ++f) v.ends.push_back(U32At(b, kLevelEndsAt + 4 * static_cast<size_t>(f)));
  for (size_t t = 0; t < tiles; ++t) {
    TileIndexRec r{};
    if (!TileIndexRecCodec::DecodeFrom(bytes.subspan(recordsAt + kTileRecordBytes * t, kTileRecordBytes), &r)) {
      return std::nullopt;
    }
    v.tiles.push_back(TileRecord{r.offset, r.packed, r.storedSize, r.tileMin, r.tileMax});
  }
  return v;
}

// Every regular file under a directory, by relative path, so a test can damage files
// and put the tree back exactly as it was (entries that appeared since are removed).
class DirectorySnapshot {
 public:
  explicit DirectorySnapshot(const std::string& root) : root_(root) {
    for (const auto& e : std::filesystem::recursive_directory_iterator(root_)) {
      const std::string rel = std::filesystem::relative(e.path(), root_).string();
      if (e.is_directory()) {
        dirs_.push_back(rel);
      } else if (e.is_regular_file()) {
        files_[rel] = ReadFileBytes(e.path().string());
      }
    }
  }

  void Restore() const {
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(root_)) std::filesystem::remove_all(e.path(), ec);
    for (const std::string& d : dirs_) std::filesystem::create_directories(root_ / d, ec);
    for (const auto& [rel, bytes] : files_) (void)WriteFileBytes((root_ / rel).string(), bytes);
  }

  const Bytes& file(const std::string& rel) const { return files_.at(rel); }
  const std::map<std::string, Bytes>& files() const { return files_; }
  friend bool operator==(const DirectorySnapshot& a, const DirectorySnapshot& b) {
    return a.dirs_ == b.dirs_ && a.files_ == b.files_;
  }

 private:
  std::filesystem::path root_;
  std::vector<std::string> dirs_;
  std::map<std::string, Bytes> files_;
};

}  // namespace dembase::testing

#endif  // DEMBASE_TESTS_SUPPORT_LAYER_FILES_H_
