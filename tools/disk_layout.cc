#include "tools/disk_layout.h"

#include <bit>
#include <cstring>
#include <fstream>
#include <iterator>

namespace dembase::tool {
namespace {

using Bytes = std::vector<unsigned char>;

std::optional<Bytes> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return bytes;
}

uint64_t Le(const unsigned char* p, int n) {
  uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
uint32_t U32(const unsigned char* p) { return static_cast<uint32_t>(Le(p, 4)); }
int16_t I16(const unsigned char* p) { return static_cast<int16_t>(Le(p, 2)); }
int32_t I32(const unsigned char* p) { return static_cast<int32_t>(U32(p)); }
float F32(const unsigned char* p) { return std::bit_cast<float>(U32(p)); }
double F64(const unsigned char* p) { return std::bit_cast<double>(Le(p, 8)); }

// A NUL-terminated string filling at most n bytes; nullopt without its NUL.
std::optional<std::string> Field(const unsigned char* p, size_t n) {
  const void* nul = std::memchr(p, 0, n);
  if (nul == nullptr) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(p), static_cast<const unsigned char*>(nul) - p);
}

std::optional<LevelRecord> DecodeLevelRecord(const unsigned char* p) {
  LevelRecord rec;
  std::optional<std::string> dir = Field(p, 256);
  std::optional<std::string> hdr = Field(p + 256, 260);
  std::optional<std::string> dem = Field(p + 516, 260);
  if (!dir || !hdr || !dem) return std::nullopt;
  rec.directory = *dir;
  rec.headerPath = *hdr;
  rec.dataPath = *dem;
  rec.created = p[776] != 0;
  return rec;
}

}  // namespace

uint64_t HeaderFileBytes(int16_t levelCount) {
  const uint64_t records = levelCount > 0 ? static_cast<uint64_t>(levelCount) : 1;
  return kHeaderFixedBytes + records * kLevelRecordBytes + kHeaderTrailerBytes;
}

uint64_t LevelHeaderBytes(int64_t tiles) {
  return kLevelPrefixBytes + 4 * static_cast<uint64_t>(DataFilesFor(tiles)) +
         kTileRecordBytes * static_cast<uint64_t>(tiles);
}

int32_t DataFilesFor(int64_t tiles) {
  return static_cast<int32_t>((tiles + kTilesPerDataFile - 1) / kTilesPerDataFile);
}

std::optional<HeaderFile> ReadHeaderFile(const std::string& path) {
  std::optional<Bytes> bytes = ReadWholeFile(path);
  if (!bytes || bytes->size() < kHeaderFixedBytes) return std::nullopt;
  const unsigned char* p = bytes->data();
  HeaderFile h;
  h.size = bytes->size();
  h.magicOk = std::memcmp(p, "DEM_INFO\0", 9) == 0;
  h.version = U32(p + 9);
  h.levelCount = I16(p + 13 + 53);
  const size_t records = h.levelCount > 0 ? static_cast<size_t>(h.levelCount) : 1;
  for (size_t i = 0; i < records; ++i) {
    const size_t at = kHeaderFixedBytes + i * kLevelRecordBytes;
    if (at + kLevelRecordBytes > bytes->size()) break;
    h.levels.push_back(DecodeLevelRecord(p + at));
  }
  return h;
}

std::optional<LevelHeader> ReadLevelHeader(const std::string& path) {
  std::optional<Bytes> bytes = ReadWholeFile(path);
  if (!bytes || bytes->size() < kLevelPrefixBytes) return std::nullopt;
  const unsigned char* p = bytes->data();
  LevelHeader h;
  h.size = bytes->size();
  h.info.closedOnce = p[0];
  h.info.cellSizeX = F64(p + 1);
  h.info.cellSizeY = F64(p + 9);
  h.info.rows = I32(p + 17);
  h.info.cols = I32(p + 21);
  h.info.tileRows = I16(p + 25);
  h.info.tileCols = I16(p + 27);
  h.info.tilesDown = I32(p + 29);
  h.info.tilesAcross = I32(p + 33);
  h.dataFileCount = I16(p + 37);
  size_t at = kLevelPrefixBytes;
  for (int32_t f = 0; f < h.dataFileCount && at + 4 <= h.size; ++f, at += 4) h.dataFileEnds.push_back(U32(p + at));
  const int64_t tiles = static_cast<int64_t>(h.info.tilesDown) * h.info.tilesAcross;
  for (int64_t t = 0; t < tiles && at + kTileRecordBytes <= h.size; ++t, at += kTileRecordBytes) {
    h.tiles.push_back(TileIndexRec{U32(p + at), p[at + 4], U32(p + at + 5), F32(p + at + 9), F32(p + at + 13)});
  }
  return h;
}

std::optional<std::string> SystemPath(const std::string& layerDir, const std::string& stored) {
  if (stored.empty() || stored[0] == '\\' || stored[0] == '/' || stored.find(':') != std::string::npos) {
    return std::nullopt;
  }
  std::string relative;
  size_t start = 0;
  while (start <= stored.size()) {
    size_t end = stored.find_first_of("\\/", start);
    if (end == std::string::npos) end = stored.size();
    const std::string part = stored.substr(start, end - start);
    if (part == "." || part == "..") return std::nullopt;
    relative += part;
    if (end < stored.size()) relative += '/';
    start = end + 1;
  }
  return layerDir + "/" + relative;
}

std::string DataFilePath(const std::string& first, int32_t i) {
  if (i < 1) return first;
  const size_t slash = first.find_last_of('/');
  const size_t dot = first.find_last_of('.');
  const size_t at = dot != std::string::npos && (slash == std::string::npos || dot > slash) ? dot : first.size();
  return first.substr(0, at) + std::to_string(i) + first.substr(at);
}

}  // namespace dembase::tool
