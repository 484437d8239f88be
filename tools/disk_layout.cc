#include "tools/disk_layout.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <span>

#include "format/record_codecs.h"

namespace dembase::tool {
namespace {

using Bytes = std::vector<unsigned char>;

// A regular file opened for reading; never a FIFO or device, which could block or never end.
class RegularFile {
 public:
  explicit RegularFile(const std::string& path) : fd_(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)) {
    struct stat st {};
    if (fd_ >= 0 && fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) size_ = static_cast<uint64_t>(st.st_size);
  }
  ~RegularFile() {
    if (fd_ >= 0) close(fd_);
  }
  RegularFile(const RegularFile&) = delete;
  RegularFile& operator=(const RegularFile&) = delete;

  // nullopt when the file is not a readable regular file.
  std::optional<uint64_t> size() const { return size_; }

  // Up to n bytes from the start (fewer at the end of the file); nullopt on a read error.
  std::optional<Bytes> ReadStart(uint64_t n) const {
    if (!size_) return std::nullopt;
    Bytes bytes(static_cast<size_t>(std::min(n, *size_)));
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t got = pread(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return std::nullopt;
      if (got == 0) break;
      done += static_cast<size_t>(got);
    }
    bytes.resize(done);
    return bytes;
  }

 private:
  int fd_;
  std::optional<uint64_t> size_;
};

// The bytes at p as the record codecs take them.
std::span<const std::byte> Span(const unsigned char* p, size_t n) {
  return std::as_bytes(std::span<const unsigned char>(p, n));
}

uint64_t Le(const unsigned char* p, int n) {
  uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
uint32_t U32(const unsigned char* p) { return static_cast<uint32_t>(Le(p, 4)); }
int16_t I16(const unsigned char* p) { return static_cast<int16_t>(Le(p, 2)); }
int32_t I32(const unsigned char* p) { return static_cast<int32_t>(U32(p)); }

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
  const RegularFile file(path);
  std::optional<Bytes> bytes = file.ReadStart(HeaderFileBytes(std::numeric_limits<int16_t>::max()));
  if (!bytes || bytes->size() < kHeaderFixedBytes) return std::nullopt;
  const unsigned char* p = bytes->data();
  HeaderFile h;
  h.size = *file.size();
  h.magicOk = std::memcmp(p, "DEM_INFO\0", 9) == 0;
  h.version = U32(p + 9);
  if (!DataLayerParamCodec::DecodeFrom(Span(p + 13, DataLayerParamCodec::kEncodedLength), &h.param)) {
    return std::nullopt;
  }
  h.levelCount = h.param.levelCount;
  const size_t records = h.levelCount > 0 ? static_cast<size_t>(h.levelCount) : 1;
  for (size_t i = 0; i < records; ++i) {
    const size_t at = kHeaderFixedBytes + i * kLevelRecordBytes;
    if (at + kLevelRecordBytes > bytes->size()) break;
    h.levels.push_back(DecodeLevelRecord(p + at));
  }
  return h;
}

std::optional<LevelHeader> ReadLevelHeader(const std::string& path) {
  const RegularFile file(path);
  std::optional<Bytes> bytes = file.ReadStart(kLevelPrefixBytes);
  if (!bytes || bytes->size() < kLevelPrefixBytes) return std::nullopt;
  // The geometry says how many records there are; never read past them.
  const int64_t claimed = std::max<int64_t>(0, I32(bytes->data() + 29)) * std::max<int64_t>(0, I32(bytes->data() + 33));
  const uint64_t ends = 4 * static_cast<uint64_t>(std::max<int16_t>(0, I16(bytes->data() + 37)));
  const bool pastFile = static_cast<uint64_t>(claimed) > *file.size() / kTileRecordBytes;
  bytes = file.ReadStart(pastFile ? *file.size() : LevelHeaderBytes(claimed) + ends);
  if (!bytes || bytes->size() < kLevelPrefixBytes) return std::nullopt;
  const unsigned char* p = bytes->data();
  LevelHeader h;
  h.size = *file.size();
  if (!PyramidLayerInfoCodec::DecodeFrom(Span(p, PyramidLayerInfoCodec::kEncodedLength), &h.info)) {
    return std::nullopt;
  }
  h.dataFileCount = I16(p + 37);
  size_t at = kLevelPrefixBytes;
  for (int32_t f = 0; f < h.dataFileCount && at + 4 <= bytes->size(); ++f, at += 4) {
    h.dataFileEnds.push_back(U32(p + at));
  }
  const int64_t tiles = static_cast<int64_t>(h.info.tilesDown) * h.info.tilesAcross;
  for (int64_t t = 0; t < tiles && at + kTileRecordBytes <= bytes->size(); ++t, at += kTileRecordBytes) {
    TileIndexRec rec{};
    if (!TileIndexRecCodec::DecodeFrom(Span(p + at, kTileRecordBytes), &rec)) break;
    h.tiles.push_back(rec);
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
