// The local store's files, read straight from disk for the consistency check (`check`)
// and for `info`'s byte counts. This reader is the tool's own and shares no code with the
// library, so a check does not trust what it checks.
//
// Header file DIR/NAME.dem:  "DEM_INFO\0" | u32 version 0x4460 | layer description (71)
//                            | n level records (777 each) | 1024 bytes of 0x20
//   In the layer description the level count is the i16 at offset 53; n is the level
//   count, or 1 when it is 0.
//   Level record: char[256] directory | char[260] header path | char[260] data path
//                 | u8 created. Paths are relative to DIR, NUL-terminated, with '\'.
// Level header (.Hdr):       level geometry (37) | i16 F | F x u32 data-file end
//                            | T x tile record (17), T = tilesDown x tilesAcross, row-major
//   Level geometry: u8 closedOnce | f64 cellSizeX | f64 cellSizeY | i32 rows | i32 cols
//                   | i16 tileRows | i16 tileCols | i32 tilesDown | i32 tilesAcross
//   Tile record: u32 offset (1: nothing stored) | u8 packed (1 zlib stream, 0 the raw
//                262144 bytes) | u32 stored size | f32 min | f32 max
//   Data-file end: the bytes in use at the start of that data file.
// Data files (.Dem):         data file 0 is the level record's data path; data file
//   i >= 1 has i appended to its file name (hill\hill2.Dem). Tile t lies in data file
//   t >> 12, stored size bytes from its offset.
// Every integer is little-endian; records have no alignment gaps.
#ifndef DEMBASE_TOOLS_DISK_LAYOUT_H_
#define DEMBASE_TOOLS_DISK_LAYOUT_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "dembase/dembase.h"

namespace dembase::tool {

inline constexpr size_t kHeaderFixedBytes = 9 + 4 + 71;
inline constexpr size_t kLevelRecordBytes = 777;
inline constexpr size_t kHeaderTrailerBytes = 1024;
inline constexpr size_t kLevelPrefixBytes = 37 + 2;
inline constexpr size_t kTileRecordBytes = 17;
inline constexpr int32_t kTilesPerDataFile = 4096;
inline constexpr uint32_t kRawTileBytes = 262144;
inline constexpr uint32_t kEmptyTileOffset = 1;

struct LevelRecord {
  std::string directory;
  std::string headerPath;
  std::string dataPath;
  bool created = false;
};

struct HeaderFile {
  uint64_t size = 0;
  bool magicOk = false;
  uint32_t version = 0;
  DataLayerParam param{};  // the layer description
  int16_t levelCount = 0;
  // The records the file holds whole, at most max(levelCount, 1); nullopt for a record
  // whose paths lack their terminating zero.
  std::vector<std::optional<LevelRecord>> levels;
};

struct LevelHeader {
  uint64_t size = 0;
  PyramidLayerInfo info{};
  int16_t dataFileCount = 0;
  std::vector<uint32_t> dataFileEnds;
  std::vector<TileIndexRec> tiles;  // as many as the file holds whole, at most T
};

// nullopt when the file is not a regular file, cannot be read or is shorter than the
// fixed start it must have. Only the bytes its records can take are read.
std::optional<HeaderFile> ReadHeaderFile(const std::string& path);
std::optional<LevelHeader> ReadLevelHeader(const std::string& path);

// Bytes a header file with this level count has.
uint64_t HeaderFileBytes(int16_t levelCount);
// Bytes a level header with T tiles has.
uint64_t LevelHeaderBytes(int64_t tiles);
// Data files a level of T tiles needs.
int32_t DataFilesFor(int64_t tiles);

// A stored relative path ('\' separators) under the layer directory, as the system opens
// it; nullopt when it could leave the directory (absolute, drive, "." or "..").
std::optional<std::string> SystemPath(const std::string& layerDir, const std::string& stored);
// Data file i of a level whose data file 0 is at first (a system path).
std::string DataFilePath(const std::string& first, int32_t i);

}  // namespace dembase::tool

#endif  // DEMBASE_TOOLS_DISK_LAYOUT_H_
