// LevelProbe: reads one level of a local layer straight from its files, with the record
// codecs but without the layer code, to check what the library left on disk: the level header's DataFileEnd
// table and tile records, the data files' sizes, and that every record that claims a
// payload points at one written completely (inside its file, inflating with zlib to
// exactly one tile block).
//
// A level's files are <base>.Hdr and <base>.Dem, <base>1.Dem, ... (4096 tiles per data
// file) in the directory that its record in the layer header names.
#ifndef DEMBASE_TESTS_SUPPORT_LEVEL_PROBE_H_
#define DEMBASE_TESTS_SUPPORT_LEVEL_PROBE_H_

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dembase/dembase.h"
#include "localstore/records.h"
#include "tests/support/layer_files.h"

namespace dembase::testing {

class LevelProbe {
 public:
  static constexpr uint32_t kEmptyOffset = 1;
  static constexpr uint32_t kBlockBytes = 262144;

  // False when the files cannot be read or the header does not fit its file.
  bool Load(const std::string& layerHeaderPath, int level) {
    // The level's paths come from its record in the layer header, relative to its directory.
    const Bytes layer = ReadFileBytes(layerHeaderPath);
    const size_t at = kInfoLevelsAt + static_cast<size_t>(level - 1) * kLevelRecordBytes;
    PyramidLevelRec rec;
    if (level < 1 || layer.size() < at + kLevelRecordBytes ||
        !rec.DecodeFrom(std::as_bytes(std::span(layer).subspan(at, kLevelRecordBytes)))) {
      return false;
    }
    std::replace(rec.headerPath.begin(), rec.headerPath.end(), '\\', '/');
    const std::filesystem::path hdr = std::filesystem::path(layerHeaderPath).parent_path() / rec.headerPath;
    const std::filesystem::path dir = hdr.parent_path();
    const std::string base = hdr.stem().string();
    const std::optional<LevelHeaderView> view = ReadLevelHeader(hdr.string());
    if (!view || view->dataFiles < 1 || view->tiles.empty()) return false;
    ends_ = view->ends;
    records_.clear();
    for (const TileRecord& r : view->tiles) {
      records_.push_back(TileIndexRec{r.offset, r.packed, r.storedSize, r.tileMin, r.tileMax});
    }
    dataPaths_.clear();
    sizes_.clear();
    for (int i = 0; i < view->dataFiles; ++i) {
      dataPaths_.push_back(dir / (base + (i == 0 ? "" : std::to_string(i)) + ".Dem"));
      std::error_code ec;
      const auto size = std::filesystem::file_size(dataPaths_.back(), ec);
      if (ec) return false;
      sizes_.push_back(size);
    }
    return true;
  }

  int data_file_count() const { return static_cast<int>(ends_.size()); }
  uint32_t data_file_end(int f) const { return ends_[static_cast<size_t>(f)]; }
  uint64_t data_file_size(int f) const { return sizes_[static_cast<size_t>(f)]; }
  const TileIndexRec& record(int32_t t) const { return records_[static_cast<size_t>(t)]; }
  int32_t tile_count() const { return static_cast<int32_t>(records_.size()); }
  static int DataFileOf(int32_t t) { return t >> 12; }

  // Records that claim a payload (neither empty nor pending).
  bool Stored(int32_t t) const { return record(t).offset != kEmptyOffset && record(t).storedSize != 0; }

  // Stored records whose payload ends beyond the DataFileEnd table's figure.
  int CountPastRecordedEnd() const {
    int n = 0;
    for (int32_t t = 0; t < tile_count(); ++t) {
      n += Stored(t) && uint64_t{record(t).offset} + record(t).storedSize > data_file_end(DataFileOf(t));
    }
    return n;
  }

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

  // Tile t's cells as stored: false when its record claims a payload that is not
  // wholly inside its data file or does not inflate to exactly one tile block.
  // REQUIRES: Stored(t); out holds 262144 bytes.
  bool ReadCells(int32_t t, void* out, std::string* why = nullptr) const {
    const TileIndexRec& rec = record(t);
    auto fail = [&](const char* what) {
      if (why != nullptr) *why = what;
      return false;
    };
    if (uint64_t{rec.offset} + rec.storedSize > data_file_size(DataFileOf(t))) return fail("beyond its file's end");
    std::vector<char> payload(rec.storedSize);
    std::ifstream in(dataPaths_[static_cast<size_t>(DataFileOf(t))], std::ios::binary);
    if (!in.seekg(rec.offset) || !in.read(payload.data(), static_cast<std::streamsize>(payload.size()))) {
      return fail("unreadable");
    }
    if (rec.packed == 0) {
      if (rec.storedSize != kBlockBytes) return fail("a raw payload of the wrong size");
      std::memcpy(out, payload.data(), kBlockBytes);
      return true;
    }
    std::vector<Bytef> block(kBlockBytes + 1);
    uLongf got = static_cast<uLongf>(block.size());
    if (uncompress(block.data(), &got, reinterpret_cast<const Bytef*>(payload.data()), rec.storedSize) != Z_OK ||
        got != kBlockBytes) {
      return fail("not a zlib stream of one tile block");
    }
    std::memcpy(out, block.data(), kBlockBytes);
    return true;
  }

  // One line per record that points at bytes not written completely; empty when sound.
  std::vector<std::string> Problems() const {
    std::vector<std::string> problems;
    std::vector<char> cells(kBlockBytes);
    for (int32_t t = 0; t < tile_count(); ++t) {
      std::string why;
      if (Stored(t) && !ReadCells(t, cells.data(), &why)) {
        problems.push_back("tile " + std::to_string(t) + " at " + std::to_string(record(t).offset) + "+" +
                           std::to_string(record(t).storedSize) + ": " + why);
      }
    }
    return problems;
  }

  const std::filesystem::path& data_path(int f) const { return dataPaths_[static_cast<size_t>(f)]; }

 private:
  std::vector<uint32_t> ends_;
  std::vector<TileIndexRec> records_;
  std::vector<std::filesystem::path> dataPaths_;
  std::vector<uint64_t> sizes_;
};

}  // namespace dembase::testing

#endif  // DEMBASE_TESTS_SUPPORT_LEVEL_PROBE_H_
