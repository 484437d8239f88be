// The pass over the files of a local layer (layout in disk_layout.h).
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <set>
#include <tuple>
#include <system_error>
#include <utility>
#include <vector>

#include "tools/disk_layout.h"
#include "tools/file_probe.h"
#include "tools/geo_mapping.h"
#include "tools/layer_check.h"
#include "tools/text_format.h"
#include "tools/tile_strip.h"

namespace dembase::tool {
namespace {

std::optional<uint64_t> FileSize(const std::string& path) {
  if (KindOf(path) != FileKind::kRegular) return std::nullopt;
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
  // param: the layer description, when it is sound enough to check levels against.
  LevelFileChecker(const LayerRef& ref, const std::optional<DataLayerParam>& param, int16_t level, CheckReport* report)
      : ref_(ref), param_(param), level_(level), report_(report) {}

  void Check(const LevelRecord& rec) {
    if (!rec.created) Add("the header marks the level as not created");
    const std::optional<std::string> hdrPath = SystemPath(ref_.dir, rec.headerPath);
    const std::optional<std::string> demPath = SystemPath(ref_.dir, rec.dataPath);
    if (!hdrPath || !demPath) {
      Add("its record names files outside the layer directory or none");
      return;
    }
    if (!RegularOrMissing(*hdrPath)) return;
    CheckShared(std::filesystem::path(*hdrPath).parent_path());
    const std::optional<LevelHeader> hdr = ReadLevelHeader(*hdrPath);
    if (!hdr) {
      Add(*hdrPath + ": missing, unreadable or shorter than 39 bytes");
      return;
    }
    if (!CheckGeometry(*hdrPath, *hdr)) return;
    CheckAgainstExtent(*hdrPath, hdr->info);
    const int64_t tiles = static_cast<int64_t>(hdr->info.tilesDown) * hdr->info.tilesAcross;
    if (hdr->size != LevelHeaderBytes(tiles)) {
      Add(*hdrPath + ": " + std::to_string(hdr->size) + " bytes, expected " + std::to_string(LevelHeaderBytes(tiles)) +
          " for " + std::to_string(tiles) + " tiles");
    }
    std::vector<uint64_t> fileSizes;
    for (int32_t f = 0; f < hdr->dataFileCount; ++f) {
      const std::string path = DataFilePath(*demPath, f);
      const std::optional<uint64_t> size = FileSize(path);
      if (!size && RegularOrMissing(path)) Add(path + ": missing data file");
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

  // False, with the problem noted, for a FIFO, a device or a directory where a file belongs.
  bool RegularOrMissing(const std::string& path) {
    if (KindOf(path) != FileKind::kOther) return true;
    Add(path + ": not a regular file");
    report_->unsafeFiles = true;
    return false;
  }

  // A rename links the files into their new names before it commits and unlinks the old
  // ones after: a crash between leaves two layers on the same files, where a write
  // through one corrupts the other.
  void CheckShared(const std::filesystem::path& levelDir) {
    std::error_code ec;
    for (const std::filesystem::directory_entry& e : std::filesystem::directory_iterator(levelDir, ec)) {
      std::error_code ec2;
      if (!e.is_regular_file(ec2) || e.is_symlink(ec2) || std::filesystem::hard_link_count(e.path(), ec2) <= 1 || ec2) {
        continue;
      }
      Add(e.path().string() + " is shared with another layer (an interrupted rename: remove the old name with dembase rm)");
      return;
    }
  }

  // The level's cells must cover the layer's extent at the level's cell size.
  void CheckAgainstExtent(const std::string& path, const PyramidLayerInfo& i) {
    if (!param_) return;
    const std::optional<int32_t> rows = CellsAlong(param_->yMin, param_->yMax, i.cellSizeY);
    const std::optional<int32_t> cols = CellsAlong(param_->xMin, param_->xMax, i.cellSizeX);
    if (!rows || !cols) {
      Add(path + ": cell size " + Coord(i.cellSizeX) + " x " + Coord(i.cellSizeY) + " does not fit the layer's extent");
    } else if (*rows != i.rows || *cols != i.cols) {
      Add(path + ": " + std::to_string(i.rows) + " x " + std::to_string(i.cols) +
          " cells, but the layer's extent at this cell size gives " + std::to_string(*rows) + " x " +
          std::to_string(*cols));
    }
  }

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
      const float lo = rec.tileMin;  // copies: the record is packed
      const float hi = rec.tileMax;
      if (std::isnan(lo) || std::isnan(hi)) Add(tile + ": its recorded minimum or maximum is NaN");
      const bool floatCells = param_ && param_->dataType == DEMBASE_TYPE_FLOAT32;
      const bool claimsValues = param_ && !std::isnan(lo) && !std::isnan(hi) &&
                                (!NullLike(lo, floatCells) || !NullLike(hi, floatCells));
      if (rec.offset == kEmptyTileOffset || rec.storedSize == 0) {
        if (rec.offset == kEmptyTileOffset && rec.storedSize != 0) {
          Add(tile + ": empty, yet its record has " + std::to_string(rec.storedSize) + " bytes");
        } else if (claimsValues) {
          Add(tile + ": stores no bytes, yet its record claims values " + Num(lo) + " .. " + Num(hi));
        }
        continue;  // cells were never stored: it reads as null
      }
      if (rec.packed > 1) Add(tile + ": unknown payload form " + std::to_string(rec.packed));
      if (rec.packed == 0 && rec.storedSize != kRawTileBytes) {
        Add(tile + ": raw payload of " + std::to_string(rec.storedSize) + " bytes, expected " +
            std::to_string(kRawTileBytes));
      }
      const size_t f = t / kTilesPerDataFile;
      const uint64_t offset = rec.offset;  // a copy: the record is packed
      const uint64_t end = offset + rec.storedSize;
      const uint64_t inUse = f < hdr.dataFileEnds.size() ? hdr.dataFileEnds[f] : 0;
      if (f < fileSizes.size() && end > inUse) {
        Add(tile + ": payload at " + std::to_string(offset) + ".." + std::to_string(end) +
            " runs past the recorded end " + std::to_string(inUse) + " of " + DataFilePath(demPath, int32_t(f)));
      } else if (f < fileSizes.size() && end > fileSizes[f]) {
        Add(tile + ": payload at " + std::to_string(offset) + ".." + std::to_string(end) + " runs past the " +
            std::to_string(fileSizes[f]) + " bytes of " + DataFilePath(demPath, int32_t(f)));
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
  const std::optional<DataLayerParam>& param_;
  int16_t level_;
  CheckReport* report_;
};

// Each fault of the layer description is a problem of its own; nullopt when any is
// found, since levels cannot be checked against it then.
std::optional<DataLayerParam> CheckDescription(const LayerRef& ref, const DataLayerParam& p, CheckReport* report) {
  const size_t before = report->problems.size();
  const auto add = [&](const std::string& what) { report->Add(ref.headerPath + ": " + what); };
  if (p.dataType != DEMBASE_TYPE_INT32 && p.dataType != DEMBASE_TYPE_FLOAT32) {
    add("unknown cell type " + std::to_string(p.dataType));
  }
  // Copies: the description is packed, its doubles unaligned.
  const double cellX = p.cellSizeX, cellY = p.cellSizeY, xMin = p.xMin, xMax = p.xMax, yMin = p.yMin, yMax = p.yMax;
  for (const auto& [axis, cell] : {std::pair{"x", cellX}, std::pair{"y", cellY}}) {
    if (!std::isfinite(cell) || !(cell > 0)) add("cell size along " + std::string(axis) + " is " + Coord(cell));
  }
  for (const auto& [axis, lo, hi] : {std::tuple{"x", xMin, xMax}, std::tuple{"y", yMin, yMax}}) {
    const std::string range = std::string(axis) + " " + Coord(lo) + " .. " + Coord(hi);
    if (!std::isfinite(lo) || !std::isfinite(hi)) {
      add("extent " + range + " is not finite");
    } else if (hi < lo) {
      add("extent " + range + " runs backwards");
    }
  }
  if (report->problems.size() != before) return std::nullopt;
  return p;
}

// Directories beside the layer named like its level directories that no level record
// names: what an interrupted pyramid build leaves. Another layer's level 1 directory
// (NAME_1/ of a layer NAME_1) is not one; neither is a directory holding other files.
void CheckLeftovers(const LayerRef& ref, const HeaderFile& header, CheckReport* report) {
  std::set<std::string> named;
  for (const std::optional<LevelRecord>& rec : header.levels) {
    if (rec) named.insert(rec->directory.substr(0, rec->directory.find_first_of("\\/")));
  }
  std::error_code ec;
  for (const std::filesystem::directory_entry& e : std::filesystem::directory_iterator(ref.dir, ec)) {
    const std::string n = e.path().filename().string();
    std::error_code ec2;
    if (!LevelDirectoryName(n, ref.name) || named.count(n) != 0 || !e.is_directory(ec2) || e.is_symlink(ec2) ||
        std::filesystem::exists(std::filesystem::path(ref.dir) / (n + ".dem"), ec2)) {
      continue;
    }
    bool levelLike = true;
    for (const std::filesystem::directory_entry& inside : std::filesystem::directory_iterator(e.path(), ec2)) {
      const std::string file = inside.path().filename().string();
      levelLike = levelLike && file.rfind(n, 0) == 0;
    }
    if (levelLike) {
      report->Add((std::filesystem::path(ref.dir) / n).string() +
                  "/: left over from an interrupted pyramid build (no level record names it); delete it");
    }
  }
}

}  // namespace

void CheckFiles(const LayerRef& ref, CheckReport* report) {
  if (!ref.local()) return;
  if (KindOf(ref.headerPath) == FileKind::kOther) {
    report->Add(ref.headerPath + ": not a regular file");
    report->unsafeFiles = true;
    return;
  }
  const std::optional<HeaderFile> header = ReadHeaderFile(ref.headerPath);
  if (!header) {
    report->Add(ref.headerPath + ": unreadable, or shorter than its fixed 84 bytes");
    return;
  }
  if (!header->magicOk) report->Add(ref.headerPath + ": no DEM_INFO signature");
  if (header->version != 0x4460) report->Add(ref.headerPath + ": format version " + std::to_string(header->version));
  const std::optional<DataLayerParam> param = CheckDescription(ref, header->param, report);
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
    LevelFileChecker(ref, param, static_cast<int16_t>(i + 1), report).Check(*header->levels[i]);
  }
  CheckLeftovers(ref, *header, report);
}

}  // namespace dembase::tool
