// Feeds the DEM_INFO header file of a layer whose level files are real: the layer open
// decodes magic, version, description and level records (with their path checks), and
// what opened is read through the exports.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/fuzz_support.h"

namespace {

struct Sample {
  std::string header;
  // Level headers as made: a decoded record may name either level's files, and closing a
  // level can mark its header, so both are put back before each input.
  std::vector<std::pair<std::string, std::vector<uint8_t>>> levelHeaders;
};

const Sample& TheSample() {
  static const Sample sample = [] {
    using namespace dembase::fuzz;
    const std::string dir = ScratchDir() + "/dem_info";
    Require(std::filesystem::create_directory(dir), "sample directory");
    Sample s;
    s.header = MakeSampleLayer(dir);
    Require(!s.header.empty(), "sample layer");
    for (const char* rel : {"/sample/sample.Hdr", "/sample_1/sample_1.Hdr"}) {
      s.levelHeaders.emplace_back(dir + rel, ReadWholeFile(dir + rel));
      Require(!s.levelHeaders.back().second.empty(), "sample level header");
    }
    return s;
  }();
  return sample;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dembase::fuzz;
  const Sample& sample = TheSample();
  for (const auto& [path, bytes] : sample.levelHeaders) Require(WriteWholeFile(path, bytes), "restore level header");
  Require(WriteWholeFile(sample.header, {data, size}), "write header");
  ExerciseLayer(sample.header, false);
  return 0;
}
