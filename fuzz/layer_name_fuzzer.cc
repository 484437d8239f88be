// Feeds the tool's layer names (DIR/NAME, DIR/NAME.dem, sqlite:PATH#DATASET/NAME,
// postgresql:CONNINFO#DATASET/NAME): what parses must describe a layer the library can
// be asked for, with every fixed field terminated; what does not parse says why.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "tools/layer_name.h"

namespace {

template <size_t N>
bool Terminated(const char (&field)[N]) {
  return std::memchr(field, '\0', N) != nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dembase::tool;
  using dembase::fuzz::Require;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto ref = ParseLayerRef(text);
  if (!ref.ok()) {
    Require(!ref.status().message().empty(), "a refused name says why");
    return 0;
  }
  Require(ref->text == text && !ref->name.empty(), "a parsed name keeps its text and names a layer");
  Require(ref->name.find_first_of("/\\") == std::string::npos, "a layer name holds no separator");
  if (ref->local()) {
    Require(ref->headerPath.size() < DEMBASE_MAX_PATH, "a header path fits the library's paths");
    Require(ref->libraryName() == ref->headerPath, "a local layer is opened by its header path");
  } else {
    Require(Terminated(ref->connection.connectArg1) && Terminated(ref->connection.dataSet),
            "connection fields are terminated");
    Require(ref->connection.connectKind == 1 || ref->connection.connectKind == 2, "a known connection kind");
  }
  // The level directories of the parsed layer are told from any other entry.
  Require(LevelDirectoryName(ref->name, ref->name), "the layer's own name is a level directory");
  (void)LevelDirectoryName(text, ref->name);
  return 0;
}
