// A local layer's files seen from outside the library, decoded with the record codecs:
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

// A layer header file's description and level records; nullopt when it does not decode.
struct LayerHeader {
  DataLayerParam param{};
  std::vector<PyramidLevelRec> levels;
};
inline std::optional<LayerHeader> ReadLayerHeader(const std::string& path) {
  const Bytes b = ReadFileBytes(path);
  const auto bytes = std::as_bytes(std::span(b));
  DemInfoHeader head;
  if (head.DecodeFrom(bytes) != DemInfoStatus::kOk) return std::nullopt;
  const auto n = LevelRecordsToRead(head.param.levelCount, b.size());
  if (!n) return std::nullopt;
  LayerHeader h{head.param, std::vector<PyramidLevelRec>(*n)};
  for (size_t i = 0; i < *n; ++i) {
    const size_t at = DemInfoHeader::kEncodedLength + i * PyramidLevelRec::kEncodedLength;
    if (!h.levels[i].DecodeFrom(bytes.subspan(at))) return std::nullopt;
  }
  return h;
}

// One level as it lies on disk: its level header (the DataFileEnd table and the tile
// records), its data files' sizes, and whether every record that claims a payload points
// at one written completely (inside its file, inflating to exactly one tile block).
// Data file i is <base>i.Dem beside <base>.Hdr (no number for 0), 4096 tiles each.
class LevelProbe {
 public:
  static constexpr uint32_t kBlockBytes = 262144;

  // Level `level` of a layer, found through its record in the layer header. False when
  // the files cannot be read or the level header does not fit its file.
  bool Load(const std::string& layerHeaderPath, int level) {
    const auto layer = ReadLayerHeader(layerHeaderPath);
    if (!layer || level < 1 || static_cast<size_t>(level) > layer->levels.size()) return false;
    std::string rel = layer->levels[static_cast<size_t>(level - 1)].headerPath;
    std::replace(rel.begin(), rel.end(), '\\', '/');
    const std::filesystem::path hdr = std::filesystem::path(layerHeaderPath).parent_path() / rel;
    const Bytes b = ReadFileBytes(hdr.string());
    const auto bytes = std::as_bytes(std::span(b));
    LevelHeaderPrefix prefix;
    if (!prefix.DecodeFrom(bytes) || prefix.dataFileCount < 1 || prefix.info.tilesDown < 1 ||
        prefix.info.tilesAcross < 1) {
      return false;
    }
    info_ = prefix.info;
    ends_.assign(static_cast<size_t>(prefix.dataFileCount), 0);
    const size_t tiles = static_cast<size_t>(info_.tilesDown) * static_cast<size_t>(info_.tilesAcross);
    records_.assign(tiles, {});
    if (b.size() < record_offset(0) || !DecodeDataFileEnds(bytes.subspan(LevelHeaderPrefix::kEncodedLength), ends_) ||
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
  static int DataFileOf(int32_t t) { return t >> 12; }

  // Records that claim a payload (neither empty nor pending).
  bool Stored(int32_t t) const { return record(t).offset != kEmptyTileOffset && record(t).storedSize != 0; }

  // Whether two stored records share bytes: one payload overwrote another's.
  bool PayloadsOverlap() const {
    std::vector<std::pair<uint64_t, uint64_t>> spans;  // (file << 40 | offset, end) per payload
    for (int32_t t = 0; t < tile_count(); ++t) {
      if (!Stored(t)) continue;
      const uint64_t at = (uint64_t{static_cast<uint32_t>(DataFileOf(t))} << 40) | record(t).offset;
      spans.emplace_back(at, at + record(t).storedSize);
    }
    std::sort(spans.begin(), spans.end());
    for (size_t i = 1; i < spans.size(); ++i) {
      if (spans[i].first < spans[i - 1].second) return true;
    }
    return false;
  }

  // Tile t's cells as stored into `out` (kBlockBytes), or what is wrong with its payload.
  // REQUIRES: Stored(t).
  const char* Flaw(int32_t t, void* out) const {
    const TileIndexRec& rec = record(t);
    if (uint64_t{rec.offset} + rec.storedSize > data_file_size(DataFileOf(t))) return "beyond its file's end";
    std::vector<Bytef> payload(rec.storedSize), block(kBlockBytes + 1);
    std::ifstream in(data_path(DataFileOf(t)), std::ios::binary);
    if (!in.seekg(rec.offset) || !in.read(reinterpret_cast<char*>(payload.data()), rec.storedSize)) return "unreadable";
    if (rec.packed == 0 && rec.storedSize != kBlockBytes) return "a raw payload of the wrong size";
    uLongf got = static_cast<uLongf>(block.size());
    if (rec.packed != 0 &&
        (uncompress(block.data(), &got, payload.data(), rec.storedSize) != Z_OK || got != kBlockBytes)) {
      return "not a zlib stream of one tile block";
    }
    std::memcpy(out, rec.packed == 0 ? payload.data() : block.data(), kBlockBytes);
    return nullptr;
  }

  // One line per record that points at bytes not written completely; empty when sound.
  std::vector<std::string> Problems() const {
    std::vector<std::string> problems;
    std::vector<char> cells(kBlockBytes);
    for (int32_t t = 0; t < tile_count(); ++t) {
      const char* flaw = Stored(t) ? Flaw(t, cells.data()) : nullptr;
      if (flaw != nullptr) problems.push_back("tile " + std::to_string(t) + ": " + flaw);
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
