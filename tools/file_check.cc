// The pass over the files of a local layer (layout in disk_layout.h).
#include <algorithm>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include "tools/disk_layout.h"
#include "tools/layer_check.h"
#include "tools/tile_strip.h"

namespace dembase::tool {
namespace {

std::optional<uint64_t> FileSize(const std::string& path) {
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(path, ec);
  if (ec) return std::nullopt;
  return size;
}

std::string Tile(int64_t t, int32_t tilesAcross) {
  return "tile " + std::to_string(t / tilesAcross) + "," + std::to_string(t % tilesAcross);
}

class LevelFileChecker {
 public:
  LevelFileChecker(const LayerRef& ref, int16_t level, CheckReport* report)
      : ref_(ref), level_(level), report_(report) {}

  void Check(const LevelRecord& rec) {
    if (!rec.created) Add("the header marks the level as not created");
    const std::optional<std::string> hdrPath = SystemPath(ref_.dir, rec.headerPath);
    const std::optional<std::string> demPath = SystemPath(ref_.dir, rec.dataPath);
    if (!hdrPath || !demPath) {
      Add("its record names files outside the layer directory or none");
      return;
    }
    const std::optional<LevelHeader> hdr = ReadLevelHeader(*hdrPath);
    if (!hdr) {
      Add(*hdrPath + ": missing, unreadable or shorter than 39 bytes");
      return;
    }
    if (!CheckGeometry(*hdrPath, *hdr)) return;
    const int64_t tiles = static_cast<int64_t>(hdr->info.tilesDown) * hdr->info.tilesAcross;
    if (hdr->size != LevelHeaderBytes(tiles)) {
      Add(*hdrPath + ": " + std::to_string(hdr->size) + " bytes, expected " + std::to_string(LevelHeaderBytes(tiles)) +
          " for " + std::to_string(tiles) + " tiles");
    }
    std::vector<uint64_t> fileSizes;
    for (int32_t f = 0; f < hdr->dataFileCount; ++f) {
      const std::string path = DataFilePath(*demPath, f);
      const std::optional<uint64_t> size = FileSize(path);
      if (!size) Add(path + ": missing data file");
      fileSizes.push_back(size.value_or(0));
      if (size && static_cast<size_t>(f) < hdr->dataFileEnds.size() && hdr->dataFileEnds[f] > *size) {
        Add(path + ": " + std::to_string(*size) + " bytes, but the level header has " +
            std::to_string(hdr->dataFileEnds[f]) + " in use");
      }
    }
    CheckTiles(*hdr, *demPath, fileSizes);
  }

 private:
  void Add(const std::string& what) { report_->Add(ref_.text + " level " + std::to_string(level_) + ": " + what); }

  // Geometry the level's own header must agree with; false when nothing else can be read.
  bool CheckGeometry(const std::string& path, const LevelHeader& hdr) {
    const PyramidLayerInfo& i = hdr.info;
    if (i.tileRows != kTileEdge || i.tileCols != kTileEdge || i.rows < 1 || i.cols < 1 ||
        i.tilesDown != TilesFor(i.rows) || i.tilesAcross != TilesFor(i.cols)) {
      Add(path + ": geometry does not add up (" + std::to_string(i.rows) + " x " + std::to_string(i.cols) +
          " cells, " + std::to_string(i.tilesDown) + " x " + std::to_string(i.tilesAcross) + " tiles of " +
          std::to_string(i.tileRows) + " x " + std::to_string(i.tileCols) + ")");
      return false;
    }
    const int64_t tiles = static_cast<int64_t>(i.tilesDown) * i.tilesAcross;
    if (hdr.dataFileCount != DataFilesFor(tiles)) {
      Add(path + ": " + std::to_string(hdr.dataFileCount) + " data files, expected " +
          std::to_string(DataFilesFor(tiles)));
      return false;
    }
    return true;
  }

  void CheckTiles(const LevelHeader& hdr, const std::string& demPath, const std::vector<uint64_t>& fileSizes) {
    const int32_t across = hdr.info.tilesAcross;
    // Stored payloads per data file, to find overlaps: (offset, end, tile).
    std::vector<std::vector<std::tuple<uint64_t, uint64_t, int64_t>>> extents(fileSizes.size());
    for (size_t t = 0; t < hdr.tiles.size(); ++t) {
      const TileIndexRec& rec = hdr.tiles[t];
      const std::string tile = Tile(static_cast<int64_t>(t), across);
      if (rec.offset == kEmptyTileOffset) {
        if (rec.storedSize != 0) Add(tile + ": empty, yet its record has " + std::to_string(rec.storedSize) + " bytes");
        continue;
      }
      if (rec.storedSize == 0) continue;  // cells were never stored: it reads as null
      if (rec.packed > 1) Add(tile + ": unknown payload form " + std::to_string(rec.packed));
      if (rec.packed == 0 && rec.storedSize != kRawTileBytes) {
        Add(tile + ": raw payload of " + std::to_string(rec.storedSize) + " bytes, expected " +
            std::to_string(kRawTileBytes));
      }
      const size_t f = t / kTilesPerDataFile;
      const uint64_t offset = rec.offset;  // a copy: the record is packed
      const uint64_t end = offset + rec.storedSize;
      const uint64_t inUse = f < hdr.dataFileEnds.size() ? hdr.dataFileEnds[f] : 0;
      if (f < fileSizes.size() && (end > inUse || end > fileSizes[f])) {
        Add(tile + ": payload at " + std::to_string(offset) + ".." + std::to_string(end) + " runs past the " +
            std::to_string(std::min<uint64_t>(inUse, fileSizes[f])) + " bytes of " + DataFilePath(demPath, int32_t(f)));
      }
      if (f < extents.size()) extents[f].emplace_back(offset, end, static_cast<int64_t>(t));
    }
    for (auto& file : extents) {
      std::sort(file.begin(), file.end());
      for (size_t i = 1; i < file.size(); ++i) {
        if (std::get<0>(file[i]) < std::get<1>(file[i - 1])) {
          Add(Tile(std::get<2>(file[i - 1]), across) + " and " + Tile(std::get<2>(file[i]), across) +
              ": payloads overlap");
        }
      }
    }
  }

  const LayerRef& ref_;
  int16_t level_;
  CheckReport* report_;
};

}  // namespace

void CheckFiles(const LayerRef& ref, CheckReport* report) {
  if (!ref.local()) return;
  const std::optional<HeaderFile> header = ReadHeaderFile(ref.headerPath);
  if (!header) {
    report->Add(ref.headerPath + ": unreadable, or shorter than its fixed 84 bytes");
    return;
  }
  if (!header->magicOk) report->Add(ref.headerPath + ": no DEM_INFO signature");
  if (header->version != 0x4460) report->Add(ref.headerPath + ": format version " + std::to_string(header->version));
  if (header->levelCount < 0) {
    report->Add(ref.headerPath + ": negative level count " + std::to_string(header->levelCount));
    return;
  }
  if (header->size != HeaderFileBytes(header->levelCount)) {
    report->Add(ref.headerPath + ": " + std::to_string(header->size) + " bytes, expected " +
                std::to_string(HeaderFileBytes(header->levelCount)) + " for " +
                std::to_string(header->levelCount) + " levels");
  }
  for (size_t i = 0; i < header->levels.size() && i < static_cast<size_t>(header->levelCount); ++i) {
    if (!header->levels[i]) {
      report->Add(ref.headerPath + ": level record " + std::to_string(i + 1) + " has a path without its end");
      continue;
    }
    LevelFileChecker(ref, static_cast<int16_t>(i + 1), report).Check(*header->levels[i]);
  }
}

}  // namespace dembase::tool
