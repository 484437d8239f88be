// A local layer's files seen from outside the library, decoded with its record codecs:
// the layer header, one level's records and payloads, and snapshots of a directory tree.
// Straight to the file system, never through the library's Env, so injected faults never
// touch it.
#ifndef DEMBASE_TESTS_SUPPORT_LAYER_FILES_H_
#define DEMBASE_TESTS_SUPPORT_LAYER_FILES_H_

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
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
#include <utility>
#include <vector>

#include "dembase/dembase.h"
#include "localstore/level_geometry.h"
#include "localstore/records.h"

namespace dembase::testing {

using Bytes = std::vector<uint8_t>;

inline bool FileExists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
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

// A copy of a packed member: gtest's macros take references, which must not bind to one.
template <typename T>
constexpr T Copy(T v) {
  return v;
}

inline bool SameRecord(const TileIndexRec& a, const TileIndexRec& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// A layer header file's level records; nullopt when the file does not decode.
inline std::optional<std::vector<PyramidLevelRec>> ReadLevelRecords(const std::string& path) {
  const Bytes b = ReadFileBytes(path);
  const auto bytes = std::as_bytes(std::span(b));
  DemInfoHeader head;
  if (head.DecodeFrom(bytes) != DemInfoStatus::kOk) return std::nullopt;
  const auto n = LevelRecordsToRead(head.param.levelCount, b.size());
  if (!n) return std::nullopt;
  std::vector<PyramidLevelRec> levels(*n);
  for (size_t i = 0; i < *n; ++i) {
    const size_t at = DemInfoHeader::kEncodedLength + i * PyramidLevelRec::kEncodedLength;
    if (!levels[i].DecodeFrom(bytes.subspan(at))) return std::nullopt;
  }
  return levels;
}

// One level as it lies on disk: the DataFileEnd table, the tile records and the data
// files' sizes. Data file i is <base>i.Dem beside <base>.Hdr (no number for 0), 4096 tiles each.
class LevelProbe {
 public:
  static constexpr uint32_t kBlockBytes = 262144;

  // Level `level` of a layer, found through its record in the layer header. False when
  // the files cannot be read or the level header does not fit its file.
  bool Load(const std::string& layerHeaderPath, int level) {
    const auto levels = ReadLevelRecords(layerHeaderPath);
    if (!levels || level < 1 || static_cast<size_t>(level) > levels->size()) return false;
    std::string rel = (*levels)[static_cast<size_t>(level - 1)].headerPath;
    std::replace(rel.begin(), rel.end(), '\\', '/');
    const std::filesystem::path hdr = std::filesystem::path(layerHeaderPath).parent_path() / rel;
    const Bytes b = ReadFileBytes(hdr.string());
    const auto bytes = std::as_bytes(std::span(b));
    LevelHeaderPrefix prefix;
    if (!prefix.DecodeFrom(bytes) || !ValidateLevelHeader(prefix, b.size())) return false;
    info_ = prefix.info;
    ends_.assign(static_cast<size_t>(prefix.dataFileCount), 0);
    records_.assign(static_cast<size_t>(prefix.info.tilesDown) * static_cast<size_t>(prefix.info.tilesAcross), {});
    if (!DecodeDataFileEnds(bytes.subspan(LevelHeaderPrefix::kEncodedLength), ends_) ||
        !DecodeTileIndex(bytes.subspan(record_offset(0)), records_)) {
      return false;
    }
    dataPaths_.clear();
    sizes_.clear();
    for (size_t i = 0; i < ends_.size(); ++i) {
      dataPaths_.push_back(hdr.parent_path() / (hdr.stem().string() + (i == 0 ? "" : std::to_string(i)) + ".Dem"));
      std::error_code ec;
      sizes_.push_back(std::filesystem::file_size(dataPaths_.back(), ec));
      if (ec) return false;
    }
    return true;
  }

  // The probe of a level that must load.
  static LevelProbe Of(const std::string& layerHeaderPath, int level) {
    LevelProbe probe;
    EXPECT_TRUE(probe.Load(layerHeaderPath, level)) << layerHeaderPath << " level " << level;
    return probe;
  }

  const PyramidLayerInfo& info() const { return info_; }
  int data_file_count() const { return static_cast<int>(ends_.size()); }
  uint32_t data_file_end(int f) const { return ends_.at(static_cast<size_t>(f)); }
  uint64_t data_file_size(int f) const { return sizes_.at(static_cast<size_t>(f)); }
  const std::filesystem::path& data_path(int f) const { return dataPaths_.at(static_cast<size_t>(f)); }
  const TileIndexRec& record(int32_t t) const { return records_.at(static_cast<size_t>(t)); }
  int32_t tile_count() const { return static_cast<int32_t>(records_.size()); }
  // Where tile t's record lies in the level header file.
  size_t record_offset(int32_t t) const {
    return LevelHeaderPrefix::kEncodedLength + kDataFileEndLength * ends_.size() +
           TileIndexRecCodec::kEncodedLength * static_cast<size_t>(t);
  }
  // Records that claim a payload (neither empty nor pending).
  bool Stored(int32_t t) const { return record(t).offset != kEmptyTileOffset && record(t).storedSize != 0; }

  // Whether two stored records share bytes: one payload overwrote another's.
  bool PayloadsOverlap() const {
    std::vector<std::pair<uint64_t, uint64_t>> spans;  // (file << 40 | offset, end) per payload
    for (int32_t t = 0; t < tile_count(); ++t) {
      if (!Stored(t)) continue;
      const uint64_t at = (uint64_t{static_cast<uint32_t>(t >> 12)} << 40) | record(t).offset;
      spans.emplace_back(at, at + record(t).storedSize);
    }
    std::sort(spans.begin(), spans.end());
    for (size_t i = 1; i < spans.size(); ++i) {
      if (spans[i].first < spans[i - 1].second) return true;
    }
    return false;
  }

  // One line per stored record whose payload is not written completely: inside its file,
  // and a raw block or a zlib stream inflating to exactly one. Empty when sound.
  std::vector<std::string> Problems() const {
    std::vector<std::string> problems;
    std::vector<Bytef> block(kBlockBytes + 1);
    for (int32_t t = 0; t < tile_count(); ++t) {
      if (!Stored(t)) continue;
      const TileIndexRec& rec = record(t);
      const bool inside = uint64_t{rec.offset} + rec.storedSize <= data_file_size(t >> 12);
      std::vector<Bytef> payload(inside ? rec.storedSize : 0);  // a torn record may claim gigabytes
      std::ifstream in(data_path(t >> 12), std::ios::binary);
      uLongf got = static_cast<uLongf>(block.size());
      const bool read =
          inside && in.seekg(rec.offset) && in.read(reinterpret_cast<char*>(payload.data()), rec.storedSize);
      const bool sound =
          read && (rec.packed == 0
                       ? rec.storedSize == kBlockBytes
                       : uncompress(block.data(), &got, payload.data(), rec.storedSize) == Z_OK && got == kBlockBytes);
      if (!sound) problems.push_back("tile " + std::to_string(t) + (read ? ": a bad payload" : ": beyond its file"));
    }
    return problems;
  }

 private:
  PyramidLayerInfo info_{};
  std::vector<uint32_t> ends_;
  std::vector<TileIndexRec> records_;
  std::vector<std::filesystem::path> dataPaths_;
  std::vector<uint64_t> sizes_;
};

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
    for (const auto& [rel, bytes] : files_) {
      if (!WriteFileBytes((root_ / rel).string(), bytes)) ADD_FAILURE() << "could not restore " << rel;
    }
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
