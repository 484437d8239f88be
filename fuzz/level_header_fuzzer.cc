// Feeds level 1's header file (.Hdr) of a real layer: the prefix and its checks against
// the file, the DataFileEnd table, the tile index, then the tiles the records point at in
// the real data file, read and written through the exports. The same bytes also go
// through the level's file set directly.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "localstore/file_names.h"
#include "localstore/level_file_set.h"
#include "localstore/records.h"

namespace {

struct Sample {
  std::string dir;
  std::string header;
  std::string levelHeader;
  std::string dataFile;
  // As made: a write may append to or overwrite the data file, and closing level 1
  // after a write stores the layer's new range in its header.
  std::vector<uint8_t> data;
  std::vector<uint8_t> headerBytes;
};

const Sample& TheSample() {
  static const Sample sample = [] {
    using namespace dembase::fuzz;
    Sample s;
    s.dir = ScratchDir() + "/level_header";
    Require(std::filesystem::create_directory(s.dir), "sample directory");
    s.header = MakeSampleLayer(s.dir);
    Require(!s.header.empty(), "sample layer");
    s.levelHeader = s.dir + "/" + kLevel1Header;
    s.dataFile = s.dir + "/" + kLevel1Data;
    s.data = ReadWholeFile(s.dataFile);
    s.headerBytes = ReadWholeFile(s.header);
    Require(!s.data.empty() && !s.headerBytes.empty(), "sample files");
    return s;
  }();
  return sample;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dembase;
  using namespace dembase::fuzz;
  const Sample& sample = TheSample();
  Require(WriteWholeFile(sample.levelHeader, {data, size}), "write level header");

  LevelFileSet files;
  std::optional<PyramidLevelRec> rec = MakeLevelRecord("sample", 1);
  Require(rec.has_value(), "level record");
  if (files.Open(sample.dir, *rec, false)) {
    std::vector<uint32_t> ends;
    std::vector<TileIndexRec> index;
    Require(files.ReadDataFileEnds(&ends) && files.ReadIndex(&index), "a header that opened holds its tables");
    Require(static_cast<int64_t>(index.size()) == files.geometry().tileCount, "one record per tile");
    (void)RangeOfRecords(index);
    files.Close();
  }

  // A record may point a write anywhere in the data file, so it is put back each time.
  const bool write = size > 0 && (data[size - 1] & 1) != 0;
  ExerciseLayer(sample.header, write);
  if (write) {
    Require(WriteWholeFile(sample.dataFile, sample.data) && WriteWholeFile(sample.header, sample.headerBytes),
            "restore data and header files");
  }
  return 0;
}
