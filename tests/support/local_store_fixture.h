// A handle on the local store in a fresh directory, with a small injected memory figure
// so the tile cache has its minimum of 64 blocks. For end-to-end tests through the exports.
#ifndef DEMBASE_TESTS_SUPPORT_LOCAL_STORE_FIXTURE_H_
#define DEMBASE_TESTS_SUPPORT_LOCAL_STORE_FIXTURE_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "dembase/dembase.h"
#include "platform/fault_env.h"
#include "platform/test_temp_dir.h"

namespace dembase::testing {

inline constexpr int32_t kLocal = LOCAL_DATASET_ID;

// A layer description of rows x cols cells of size 1 from the origin.
inline DataLayerParam LayerParam(uint16_t type, int32_t rows, int32_t cols) {
  DataLayerParam p{};
  p.dataType = type;
  p.xMin = 0;
  p.yMin = 0;
  p.xMax = cols - 1;  // a level has extent / cell size + 1 cells
  p.yMax = rows - 1;
  p.cellSizeX = 1;
  p.cellSizeY = 1;
  return p;
}

class LocalStoreTest : public ::testing::Test {
 protected:
  LocalStoreTest() { env_.SetPhysicalMemory(uint64_t{64} << 20); }
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    h_ = _hxCreateDemBaseAI();
    ASSERT_NE(h_, nullptr);
    ASSERT_EQ(_hxOpenDataSet(h_, nullptr, 0.125f), kLocal);
  }
  void TearDown() override {
    if (h_ != nullptr) _hxDeleteDemBaseAI(h_);
  }

  std::string Path(const std::string& name) const { return dir_.Join(name); }

  // Creates a layer and opens it, with its level 1 open unless told not to; the layer id, or 0.
  int32_t CreateAndOpen(const std::string& name, uint16_t type, int32_t rows, int32_t cols, bool openLevel = true) {
    DataLayerParam p = LayerParam(type, rows, cols);
    if (_hxCreateDataLayer(h_, kLocal, Path(name).c_str(), &p, 0, 0) != 1) return 0;
    const int32_t id = _hxOpenDataLayer(h_, kLocal, Path(name).c_str(), 0);
    if (id < 1 || (openLevel && _hxOpenPyramidLayer(h_, kLocal, id, 1) != 1)) return 0;
    return id;
  }
  double Get(int32_t id, int32_t row, int32_t col, uint8_t* isNull = nullptr) {
    uint8_t ignored = 0;
    return _hxGetCell(h_, kLocal, id, 1, 0, row, col, isNull != nullptr ? isNull : &ignored);
  }

  platform::FaultEnv env_{platform::Env::Default()};
  platform::ScopedEnvOverride useEnv_{&env_};
  platform::TestTempDir dir_;
  DemBaseAI* h_ = nullptr;
};

}  // namespace dembase::testing

#endif  // DEMBASE_TESTS_SUPPORT_LOCAL_STORE_FIXTURE_H_
