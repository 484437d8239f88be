#include "api/dem_base_ai.h"

#include <gtest/gtest.h>

#include <limits>

#include "platform/fault_env.h"
#include "tests/support/fake_layer.h"

namespace dembase {
namespace {

constexpr int32_t kDs = LOCAL_DATASET_ID;
using Calls = std::vector<std::string>;

class DemBaseAITest : public ::testing::Test {
 protected:
  DemBaseAITest() { env_.SetPhysicalMemory(uint64_t{256} << 20); }
  void SetUp() override {
    ASSERT_EQ(ai_.OpenDataSet(nullptr, 0.2f), kDs);
    ASSERT_EQ(layer_ = ai_.OpenDataLayer(kDs, "a.dem", 0), 1);
    TakeCalls();
  }
  // Operations the layer received since the last call.
  Calls TakeCalls() { return std::exchange(factory_.log.calls, {}); }
  void Answer(const char* op, int result) { factory_.results.results[op] = result; }

  platform::FaultEnv env_{platform::Env::Default()};
  platform::ScopedEnvOverride use_env_{&env_};
  testing::FakeLayerFactory factory_;
  DemBaseAI ai_{&factory_};
  int32_t layer_ = 0;
  OneTileInfo info_{};
  uint8_t isNull_ = 9;
  double v_ = 0;
};

// Every cell and tile call is checked against the open level before the layer sees it.
TEST_F(DemBaseAITest, LevelCheckGuardsEveryCellAndTileCall) {
  const auto refused = [this](int16_t level) {
    SCOPED_TRACE(level);
    EXPECT_EQ(ai_.SetCell(kDs, layer_, level, 0, 0, 0, 1.0), 0);
    EXPECT_EQ(ai_.GetCell(kDs, layer_, level, 0, 0, 0, &isNull_), 0.0);
    EXPECT_EQ(ai_.GetOneTileInfo(kDs, layer_, level, 0, 0, 0, &info_), 0);
    EXPECT_EQ(ai_.BeginWriteTile(kDs, layer_, level, 0, 0, 0), 0);
    EXPECT_EQ(ai_.BeginReadTile(kDs, layer_, level, 0, 0, 0), 0);
    EXPECT_EQ(isNull_, 9);
    EXPECT_TRUE(TakeCalls().empty());
  };
  // No level open: level 0 would match the layer's "none open" and must not pass.
  for (int16_t level : {0, 1}) refused(level);
  ASSERT_EQ(ai_.OpenPyramidLayer(kDs, layer_, 2), 1);
  TakeCalls();
  for (int16_t level : {0, -1, 1, 3}) refused(level);
  EXPECT_EQ(ai_.SetCell(kDs, layer_, 2, 0, 0, 0, 1.0), 1);
  EXPECT_EQ(ai_.GetCell(kDs, layer_, 2, 0, 0, 0, &isNull_), 42.0);
  EXPECT_EQ(isNull_, 0);
  EXPECT_EQ(TakeCalls(), (Calls{"1:SetCell", "1:GetCell"}));
  // Reading tile data names its level itself and is not checked against the open one.
  EXPECT_EQ(ai_.BeginReadTileData(kDs, layer_, 3, 0, 0, 0), 1);
  EXPECT_EQ(ai_.ReadCellOfTileData(0, 0, &v_, nullptr), 1);
  EXPECT_EQ(v_, 5.0);
  EXPECT_EQ(ai_.EndReadTileData(), 1);
}

TEST_F(DemBaseAITest, EndOfAnotherKindIsRefusedAndCallsNothing) {
  ASSERT_EQ(ai_.OpenPyramidLayer(kDs, layer_, 1), 1);
  ASSERT_EQ(ai_.BeginReadTile(kDs, layer_, 1, 0, 0, 0), 1);
  TakeCalls();
  EXPECT_EQ(ai_.EndWriteTile(1), 0);
  EXPECT_EQ(ai_.EndReadTileData(), 0);
  ai_.WriteCellOfTile(0, 0, 1.0);
  EXPECT_EQ(ai_.ReadCellOfTileData(0, 0, &v_, nullptr), 0);
  EXPECT_TRUE(TakeCalls().empty());
  // The read sequence is still running and ends normally.
  EXPECT_EQ(ai_.ReadCellOfTile(1, 2, &v_, &isNull_), 1);
  EXPECT_EQ(v_, 3.0);
  EXPECT_EQ(isNull_, 1);
  EXPECT_EQ(ai_.EndReadTile(), 1);
  EXPECT_EQ(ai_.EndReadTile(), 0);
  EXPECT_EQ(TakeCalls(), (Calls{"1:ReadCellOfTile", "1:EndReadTile"}));
}

TEST_F(DemBaseAITest, BeginResultsDecideTheCurrentLayer) {
  ASSERT_EQ(ai_.OpenPyramidLayer(kDs, layer_, 1), 1);
  Answer("BeginReadTile", -6);
  EXPECT_EQ(ai_.BeginReadTile(kDs, layer_, 1, 0, 0, 0), -6);
  EXPECT_EQ(ai_.EndReadTile(), 0);
  Answer("BeginReadTile", 2);  // only nulls: the sequence runs
  EXPECT_EQ(ai_.BeginReadTile(kDs, layer_, 1, 0, 0, 0), 2);
  EXPECT_EQ(ai_.EndReadTile(), 1);
  Answer("BeginWriteTile", 5);  // any positive result counts as 1
  EXPECT_EQ(ai_.BeginWriteTile(kDs, layer_, 1, 0, 0, 0), 1);
  Answer("EndWriteTile", 0);
  EXPECT_EQ(ai_.EndWriteTile(1), 0);  // the layer's result, and the sequence is over
  EXPECT_EQ(ai_.EndWriteTile(1), 0);

  Answer("BeginWritePyramidLayer", -1);
  EXPECT_EQ(ai_.BeginWritePyramidLayer(kDs, layer_, 3), 0);
  EXPECT_EQ(ai_.WriteOneTile(0, 0, &info_, nullptr), 0);
  EXPECT_EQ(ai_.EndWritePyramidLayer(), 0);
  Answer("BeginWritePyramidLayer", 1);
  EXPECT_EQ(ai_.BeginWritePyramidLayer(kDs, layer_, 3), 1);
  EXPECT_EQ(ai_.WriteOneTile(0, 0, &info_, nullptr), 1);
  // Descriptions no tile can have are refused before the layer sees them.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (OneTileInfo bad : {OneTileInfo{-5, 0, 1}, OneTileInfo{17, 0, 1}, OneTileInfo{262144, nan, 1},
                          OneTileInfo{262144, 0, nan}, OneTileInfo{262144, 2, 1}}) {
    EXPECT_EQ(ai_.WriteOneTile(0, 0, &bad, nullptr), 0) << bad.size << " " << bad.minimum << " " << bad.maximum;
  }
  OneTileInfo whole{262144, -1, 1};
  EXPECT_EQ(ai_.WriteOneTile(0, 0, &whole, nullptr), 1);
  EXPECT_EQ(ai_.WriteOneTile(0, 0, nullptr, nullptr), 0);
  EXPECT_EQ(ai_.EndWritePyramidLayer(), 1);
  EXPECT_EQ(ai_.EndWritePyramidLayer(), 0);
  // A write that lost something is not reported complete, and the sequence is over.
  Answer("EndWritePyramidLayer", 0);
  ASSERT_EQ(ai_.BeginWritePyramidLayer(kDs, layer_, 3), 1);
  EXPECT_EQ(ai_.EndWritePyramidLayer(), 0);
  EXPECT_EQ(ai_.WriteOneTile(0, 0, &info_, nullptr), 0);
}

TEST_F(DemBaseAITest, ClosingTheSequenceLayerEndsItsSequences) {
  ASSERT_EQ(ai_.OpenPyramidLayer(kDs, layer_, 1), 1);
  ASSERT_EQ(ai_.BeginWriteTile(kDs, layer_, 1, 0, 0, 0), 1);
  ASSERT_EQ(ai_.BeginWritePyramidLayer(kDs, layer_, 2), 1);
  ASSERT_EQ(ai_.CloseDataLayer(kDs, layer_), 1);
  TakeCalls();
  // Reaching the destroyed layer here would be a use after free (sanitizers would say).
  ai_.WriteCellOfTile(0, 0, 1.0);
  EXPECT_EQ(ai_.EndWriteTile(1), 0);
  EXPECT_EQ(ai_.WriteOneTile(0, 0, &info_, nullptr), 0);
  EXPECT_EQ(ai_.EndWritePyramidLayer(), 0);
  EXPECT_TRUE(TakeCalls().empty());
}

TEST_F(DemBaseAITest, OutputPointersMayNotBeNull) {
  EXPECT_EQ(ai_.GetDataLayerParam(kDs, layer_, nullptr), 0);
  EXPECT_EQ(ai_.SetLayerOperParam(kDs, layer_, nullptr), 0);
  EXPECT_EQ(ai_.GetLayerOperParam(kDs, layer_, nullptr), 0);
  EXPECT_EQ(ai_.GetPyramidLayerInfo(kDs, layer_, 1, nullptr), 0);
  EXPECT_EQ(ai_.GetPyLayerVatName(kDs, layer_, 1, nullptr), 0);
  EXPECT_EQ(ai_.GetNullValue(kDs, layer_ + 1), 0.0);
  EXPECT_TRUE(TakeCalls().empty());
}

TEST_F(DemBaseAITest, OpenPyramidLayerFailsWithoutCacheMemoryAndSkipsTheLayer) {
  env_.SetReserveMemoryFails(true);
  EXPECT_EQ(ai_.OpenPyramidLayer(kDs, layer_, 1), 0);
  EXPECT_TRUE(TakeCalls().empty());
  env_.SetReserveMemoryFails(false);  // a later open tries again
  EXPECT_EQ(ai_.OpenPyramidLayer(kDs, layer_, 1), 1);
}

TEST_F(DemBaseAITest, DeletingWithRunningSequencesEndsNothing) {
  testing::FakeLayerFactory factory;
  {
    DemBaseAI ai(&factory);
    ASSERT_EQ(ai.OpenDataSet(nullptr, 0.2f), kDs);
    const int32_t id = ai.OpenDataLayer(kDs, "a.dem", 0);
    ASSERT_EQ(ai.OpenPyramidLayer(kDs, id, 1), 1);
    ASSERT_EQ(ai.BeginWriteTile(kDs, id, 1, 0, 0, 0), 1);
    ASSERT_EQ(ai.BeginWritePyramidLayer(kDs, id, 2), 1);
  }
  EXPECT_EQ(factory.log.destroyed, 1);
  EXPECT_EQ(factory.log.calls, (Calls{"1:OpenDataLayer", "1:OpenPyramidLayer", "1:BeginWriteTile",
                                      "1:BeginWritePyramidLayer", "1:CloseDataLayer"}));
}

}  // namespace
}  // namespace dembase
