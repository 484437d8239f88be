// Drives the 41 exports with hostile arguments against a small local layer (and, when an
// operation opens one, a SQLite data set) in a fresh directory per input. The input is a
// list of operations, each an opcode and its arguments drawn from tables of hostile values
// (ids, levels, rows, cols, tile indexes, NaN and infinities, null pointers, unterminated
// names) or taken raw from the input. Every call must answer; afterwards every layer left
// in the directory must open and read back whole.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/fuzz_support.h"

namespace {

namespace fs = std::filesystem;
using dembase::fuzz::Require;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Each table's last entry stands for "take the value raw from the input".
constexpr std::array<int32_t, 9> kInts = {0, 1, 2, -1, 254, 255, 256, std::numeric_limits<int32_t>::max(), 0};
constexpr std::array<int16_t, 8> kLevels = {1, 2, 3, 0, -1, std::numeric_limits<int16_t>::max(),
                                            std::numeric_limits<int16_t>::min(), 0};
constexpr std::array<double, 14> kValues = {0,    1.5,  -7,     kNaN, kInf, -kInf, 2100000000, 1.7014100e+38,
                                            1e19, -1e300, 5e-324, std::numeric_limits<double>::max(), 2147483648.0,
                                            0};
// Extents and cell sizes are never raw: with them every level has at most a few thousand
// tiles, beside the ones refused. (A valid level of millions of tiles is no finding, only
// slow.)
constexpr std::array<double, 7> kExtents = {0, 600, -600, 3000, kNaN, kInf, -1e300};
constexpr std::array<double, 10> kCellSizes = {1, 2, 0.5, 3.75, 0, -1, kNaN, kInf, 1e-300, 1e300};

// A double as the float a caller would pass: out-of-range values become infinities
// (converting them directly is undefined behaviour).
float AsFloat(double v) {
  if (std::isnan(v)) return std::numeric_limits<float>::quiet_NaN();
  if (v > std::numeric_limits<float>::max()) return std::numeric_limits<float>::infinity();
  if (v < -std::numeric_limits<float>::max()) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(v);
}

// Every 16-bit result is one of the documented codes.
void Code(int16_t result) { Require(result >= -6 && result <= 2, "a call answers a documented code"); }

struct Run {
  Run(FuzzedDataProvider& input, std::string directory) : in(input), dir(std::move(directory)) {}

  FuzzedDataProvider& in;
  std::string dir;
  DemBaseAI* h = nullptr;
  std::vector<int32_t> dataSets{LOCAL_DATASET_ID};
  std::vector<int32_t> layers{1};
  std::vector<uint8_t> cells = std::vector<uint8_t>(262144);

  template <typename T, size_t N>
  T Pick(const std::array<T, N>& table) {
    const size_t i = in.ConsumeIntegralInRange<size_t>(0, N - 1);
    return i + 1 < N ? table[i] : in.ConsumeIntegral<T>();
  }
  template <typename T, size_t N>
  T Fixed(const std::array<T, N>& table) {
    return table[in.ConsumeIntegralInRange<size_t>(0, N - 1)];
  }
  template <size_t N>
  double Pick(const std::array<double, N>& table) {
    const size_t i = in.ConsumeIntegralInRange<size_t>(0, N - 1);
    return i + 1 < N ? table[i] : in.ConsumeFloatingPoint<double>();
  }
  int32_t DataSet() {
    switch (in.ConsumeIntegralInRange(0, 3)) {
      case 0: return dataSets[in.ConsumeIntegralInRange<size_t>(0, dataSets.size() - 1)];
      case 1: return LOCAL_DATASET_ID;
      case 2: return 0;
      default: return in.ConsumeIntegral<int32_t>();
    }
  }
  int32_t Layer() {
    return in.ConsumeBool() ? layers[in.ConsumeIntegralInRange<size_t>(0, layers.size() - 1)] : Pick(kInts);
  }
  int16_t Level() { return Pick(kLevels); }
  int32_t Int() { return Pick(kInts); }
  double Value() { return Pick(kValues); }

  // Layer names: the sample (which no delete or rename may take: it must reopen), a
  // second layer, names that lead out of the directory or fit no record, and null.
  std::string name;
  const char* Name(bool mayBeSample) {
    switch (in.ConsumeIntegralInRange(0, 7)) {
      case 0: name = mayBeSample ? dir + "/sample.dem" : dir + "/other.dem"; break;
      case 1: name = dir + "/other.dem"; break;
      case 2: name = dir + "/third.dem"; break;
      case 3: name = dir + "/../escape.dem"; break;
      case 4: name = dir + "/" + std::string(300, 'n') + ".dem"; break;
      case 5: name = ""; break;
      case 6: name = "sample"; break;  // a database layer's name; on the local store, the scratch directory
      default: return nullptr;
    }
    return name.c_str();
  }

  DbConnectInfo conn{};
  const DbConnectInfo* Connection() {
    conn = DbConnectInfo{};
    switch (in.ConsumeIntegralInRange(0, 4)) {
      case 0: return nullptr;
      case 1:
        conn.connectKind = 1;
        std::snprintf(conn.connectArg1, sizeof conn.connectArg1, "%s/db.sqlite", dir.c_str());
        std::snprintf(conn.dataSet, sizeof conn.dataSet, "ds");
        return &conn;
      case 2:  // no terminating NUL anywhere
        std::memset(&conn, 'A', sizeof conn);
        conn.connectKind = 1;
        return &conn;
      case 3:
        conn.connectKind = in.ConsumeIntegral<int32_t>();
        return &conn;
      default:
        conn.connectKind = 1;  // a database path that cannot be made
        std::snprintf(conn.connectArg1, sizeof conn.connectArg1, "%s/no/such/dir/db.sqlite", dir.c_str());
        return &conn;
    }
  }

  DataLayerParam param{};
  DataLayerParam* Param() {
    if (in.ConsumeIntegralInRange(0, 7) == 0) return nullptr;
    param = DataLayerParam{};
    constexpr std::array<uint16_t, 5> kTypes = {6, 7, 0, 65535, 0};
    param.dataType = Pick(kTypes);
    param.xMin = Fixed(kExtents);
    param.xMax = Fixed(kExtents);
    param.yMin = Fixed(kExtents);
    param.yMax = Fixed(kExtents);
    param.cellSizeX = Fixed(kCellSizes);
    param.cellSizeY = Fixed(kCellSizes);
    param.levelCount = Level();
    return &param;
  }

  void Cells() {
    const uint8_t fill = in.ConsumeIntegral<uint8_t>();
    std::memset(cells.data(), fill, cells.size());
    const auto raw = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 64));
    const size_t at = in.ConsumeIntegralInRange<size_t>(0, cells.size() - 64);
    if (!raw.empty()) std::memcpy(cells.data() + at, raw.data(), raw.size());
  }

  void Step();
};

void Run::Step() {
  // Results are checked for being answers at all: a call that crashes or hangs is the finding.
  const int op = in.ConsumeIntegralInRange(0, 38);
  switch (op) {
    case 0: {
      const int32_t id = _hxOpenDataSet(h, Connection(), AsFloat(Value()));
      if (id != 0) dataSets.push_back(id);
      break;
    }
    case 1: Code(_hxCloseDataSet(h, DataSet())); break;
    case 2: Code(_hxCreateDataLayer(h, DataSet(), Name(true), Param(), in.ConsumeIntegral<uint32_t>(), in.ConsumeBool())); break;
    case 3: Code(_hxDeleteDataLayer(h, DataSet(), Name(false))); break;
    case 4: {
      const int32_t id = _hxOpenDataLayer(h, DataSet(), Name(true), in.ConsumeIntegral<uint32_t>());
      if (id > 0) layers.push_back(id);
      break;
    }
    case 5: Code(_hxCloseDataLayer(h, DataSet(), Layer())); break;
    case 6: {
      DataLayerParam out{};
      Code(_hxGetDataLayerParam(h, DataSet(), Layer(), in.ConsumeBool() ? &out : nullptr));
      break;
    }
    case 7: {
      LayerOperParam p{};
      p.compressTiles = in.ConsumeIntegral<uint8_t>();
      p.blendValues = in.ConsumeIntegral<uint8_t>();
      p.oldWeight = AsFloat(Value());
      p.newWeight = AsFloat(Value());
      Code(_hxSetLayerOperParam(h, DataSet(), Layer(), in.ConsumeBool() ? &p : nullptr));
      break;
    }
    case 8: {
      LayerOperParam out{};
      Code(_hxGetLayerOperParam(h, DataSet(), Layer(), in.ConsumeBool() ? &out : nullptr));
      break;
    }
    case 9:
    case 10: {
      const int32_t ds = DataSet();
      const bool rename = op == 9;
      const char* first = Name(!rename);  // a rename never takes the sample away
      const std::string from = first != nullptr ? first : "";
      const char* to = Name(true);
      const char* source = first != nullptr ? from.c_str() : nullptr;
      Code(rename ? _hxRenameDataLayer(h, ds, source, to) : _hxCopyDataLayer(h, ds, source, to));
      break;
    }
    case 11: (void)_hxGetNullValue(h, DataSet(), Layer()); break;
    case 12: Code(_hxIsNullValue(h, DataSet(), Layer(), Value())); break;
    case 13: Code(_hxCreatePyramidLayer(h, DataSet(), Layer(), Level(), Fixed(kCellSizes), Fixed(kCellSizes))); break;
    case 14: Code(_hxDeletePyramidLayer(h, DataSet(), Layer(), Level())); break;
    case 15: {
      PyramidLayerInfo out{};
      Code(_hxGetPyramidLayerInfo(h, DataSet(), Layer(), Level(), in.ConsumeBool() ? &out : nullptr));
      break;
    }
    case 16: Code(_hxOpenPyramidLayer(h, DataSet(), Layer(), Level())); break;
    case 17: Code(_hxClosePyramidLayer(h, DataSet(), Layer())); break;
    case 18: {
      OneTileInfo out{};
      const int32_t ds = DataSet(), id = Layer();
      const int16_t level = Level();
      const int32_t r = Int(), c = Int();
      Code(_hxGetOneTileInfo(h, ds, id, level, Int(), r, c, in.ConsumeBool() ? &out : nullptr));
      break;
    }
    case 19: {
      const int32_t ds = DataSet(), id = Layer();
      const int16_t level = Level();
      const int32_t r = Int(), c = Int();
      Code(_hxSetCell(h, ds, id, level, Int(), r, c, Value()));
      break;
    }
    case 20: {
      uint8_t isNull = 0;
      const int32_t ds = DataSet(), id = Layer();
      const int16_t level = Level();
      const int32_t r = Int(), c = Int();
      (void)_hxGetCell(h, ds, id, level, 0, r, c, in.ConsumeBool() ? &isNull : nullptr);
      break;
    }
    case 21: {
      const int32_t ds = DataSet(), id = Layer();
      const int16_t level = Level();
      const int32_t r = Int(), c = Int();
      Code(_hxBeginWriteTile(h, ds, id, level, 0, r, c));
      break;
    }
    case 22: {
      const int32_t r = Int(), c = Int();
      _hxWriteCellOfTile(h, r, c, Value());
      break;
    }
    case 23: Code(_hxEndWriteTile(h, in.ConsumeIntegral<uint8_t>())); break;
    case 24: {
      const int32_t ds = DataSet(), id = Layer();
      const int16_t level = Level();
      const int32_t r = Int(), c = Int();
      Code(_hxBeginReadTile(h, ds, id, level, 0, r, c));
      break;
    }
    case 25: {
      double v = 0;
      uint8_t isNull = 0;
      const int32_t r = Int(), c = Int();
      Code(_hxReadCellOfTile(h, r, c, in.ConsumeBool() ? &v : nullptr, in.ConsumeBool() ? &isNull : nullptr));
      break;
    }
    case 26: Code(_hxEndReadTile(h)); break;
    case 27: Code(_hxBeginWritePyramidLayer(h, DataSet(), Layer(), Level())); break;
    case 28: {
      OneTileInfo info{};
      constexpr std::array<int32_t, 5> kSizes = {262144, 0, -1, 262143, 0};
      info.size = Pick(kSizes);
      info.minimum = AsFloat(Value());
      info.maximum = AsFloat(Value());
      Cells();
      const int32_t t = Int();
      Code(_hxWriteOneTile(h, 0, t, in.ConsumeBool() ? &info : nullptr, in.ConsumeBool() ? cells.data() : nullptr));
      break;
    }
    case 29: Code(_hxEndWritePyramidLayer(h)); break;
    case 30: {
      const int32_t ds = DataSet(), id = Layer();
      const int16_t level = Level();
      const int32_t r = Int(), c = Int();
      Code(_hxBeginReadTileData(h, ds, id, level, 0, r, c));
      break;
    }
    case 31: {
      double v = 0;
      uint8_t isNull = 0;
      const int32_t r = Int(), c = Int();
      Code(_hxReadCellOfTileData(h, r, c, in.ConsumeBool() ? &v : nullptr, in.ConsumeBool() ? &isNull : nullptr));
      break;
    }
    case 32: Code(_hxEndReadTileData(h)); break;
    case 33: {
      char out[DEMBASE_MAX_PATH];
      Code(_hxGetPyLayerVatName(h, DataSet(), Layer(), Level(), in.ConsumeBool() ? out : nullptr));
      break;
    }
    case 34: Code(_hxOpenPyLayerVAT(h, DataSet(), Layer(), Level(), in.ConsumeIntegral<uint32_t>())); break;
    case 35: Code(_hxClosePyLayerVAT(h, DataSet(), Layer())); break;
    case 36: (void)_hxGetItemNum(h, DataSet(), Layer(), Int()); break;
    case 37: (void)_hxSetBaseItemSet(h, DataSet(), Layer(), Int(), Int()); break;
    default: (void)_hxGetBaseItemSet(h, DataSet(), Layer(), Int()); break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dembase::fuzz;
  static const std::string sample = [] {
    const std::string dir = ScratchDir() + "/template";
    Require(fs::create_directory(dir), "template directory");
    const std::string path = MakeSampleLayer(dir);
    Require(!path.empty(), "sample layer");
    // Relative names (a database layer's name given to the local store) land here.
    fs::current_path(ScratchDir());
    return dir;
  }();
  const std::string dir = ScratchDir() + "/run";
  std::error_code ec;
  fs::remove_all(dir, ec);
  fs::copy(sample, dir, fs::copy_options::recursive, ec);
  Require(!ec, "copy the sample layer");

  FuzzedDataProvider in(data, size);
  Run run(in, dir);
  run.h = _hxCreateDemBaseAI();
  Require(run.h != nullptr, "handle");
  for (int steps = 0; steps < 64 && in.remaining_bytes() > 0; ++steps) {
    if (in.ConsumeIntegralInRange(0, 31) == 0) {
      // A handle deleted in the middle of anything, and a fresh one.
      Code(_hxDeleteDemBaseAI(run.h));
      run.h = _hxCreateDemBaseAI();
      Require(run.h != nullptr, "handle");
      continue;
    }
    run.Step();
  }
  Code(_hxDeleteDemBaseAI(run.h));

  Require(LayerReadsBack(dir + "/sample.dem"), "the sample layer reopens and reads back");
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    if (entry.path().extension() != ".dem" || entry.path().filename() == "sample.dem") continue;
    Require(LayerReadsBack(entry.path().string()), "every layer left in the directory reopens and reads back");
  }
  return 0;
}
