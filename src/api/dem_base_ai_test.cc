#include "api/dem_base_ai.h"

#include <gtest/gtest.h>

#include <limits>

#include "platform/fault_env.h"
#include "tests/support/fake_layer.h"

namespace dembase {
namespace {

using testing::FakeLayerFactory;

class DemBaseAITest : public ::testing::Test {
 protected:
  DemBaseAITest() { env_.SetPhysicalMemory(uint64_t{256} << 20); }
  void SetUp() override {
    ASSERT_EQ(ai_.OpenDataSet(nullptr, 0.2f), LOCAL_DATASET_ID);
    layer_ = ai_.OpenDataLayer(LOCAL_DATASET_ID, "a.dem", 0);
    ASSERT_EQ(layer_, 1);
  }
  // Operations the layer received since the last call.
  std::vector<std::string> Calls() { return std::exchange(factory_.log.calls, {}); }

  platform::FaultEnv env_{platform::Env::Default()};
  platform::ScopedEnvOverride use_env_{&env_};
  FakeLayerFactory factory_;
  DemBaseAI ai_{&factory_};
  int32_t layer_ = 0;
};

TEST_F(DemBaseAITest, LevelCheckGuardsEveryCellAndTileCall) {
  constexpr int32_t ds = LOCAL_DATASET_ID;
  OneTileInfo info{};
  uint8_t isNull = 9;
  // No level open: level 0 would match the layer's "none open" and must not pass.
  for (int16_t level : {0, 1}) {
    EXPECT_EQ(ai_.SetCell(ds, layer_, level, 0, 0, 0, 1.0), 0);
    EXPECT_EQ(ai_.GetCell(ds, layer_, level, 0, 0, 0, &isNull), 0.0);
    EXPECT_EQ(ai_.GetOneTileInfo(ds, layer_, level, 0, 0, 0, &info), 0);
    EXPECT_EQ(ai_.BeginWriteTile(ds, layer_, level, 0, 0, 0), 0);
    EXPECT_EQ(ai_.BeginReadTile(ds, layer_, level, 0, 0, 0), 0);
  }
  EXPECT_EQ(isNull, 9);
  ASSERT_EQ(ai_.OpenPyramidLayer(ds, layer_, 2), 1);
  Calls();
  EXPECT_EQ(ai_.SetCell(ds, layer_, 1, 0, 0, 0, 1.0), 0);
  EXPECT_TRUE(Calls().empty());
  EXPECT_EQ(ai_.SetCell(ds, layer_, 2, 0, 0, 0, 1.0), 1);
  EXPECT_EQ(ai_.GetCell(ds, layer_, 2, 0, 0, 0, &isNull), 42.0);
  EXPECT_EQ(isNull, 0);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"1:SetCell", "1:GetCell"}));
}

TEST_F(DemBaseAITest, EndOfAnotherKindIsRefusedAndCallsNothing) {
  constexpr int32_t ds = LOCAL_DATASET_ID;
  ASSERT_EQ(ai_.OpenPyramidLayer(ds, layer_, 1), 1);
  ASSERT_EQ(ai_.BeginReadTile(ds, layer_, 1, 0, 0, 0), 1);
  Calls();
  EXPECT_EQ(ai_.EndWriteTile(1), 0);
  EXPECT_EQ(ai_.EndReadTileData(), 0);
  ai_.WriteCellOfTile(0, 0, 1.0);
  double v = 0;
  EXPECT_EQ(ai_.ReadCellOfTileData(0, 0, &v, nullptr), 0);
  EXPECT_TRUE(Calls().empty());
  // The read sequence is still running and ends normally.
  uint8_t isNull = 0;
  EXPECT_EQ(ai_.ReadCellOfTile(1, 2, &v, &isNull), 1);
  EXPECT_EQ(v, 3.0);
  EXPECT_EQ(isNull, 1);
  EXPECT_EQ(ai_.EndReadTile(), 1);
  EXPECT_EQ(ai_.EndReadTile(), 0);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"1:ReadCellOfTile", "1:EndReadTile"}));
}

TEST_F(DemBaseAITest, BeginResultsDecideTheCurrentLayer) {
  constexpr int32_t ds = LOCAL_DATASET_ID;
  ASSERT_EQ(ai_.OpenPyramidLayer(ds, layer_, 1), 1);

  factory_.results.results["BeginReadTile"] = -6;
  EXPECT_EQ(ai_.BeginReadTile(ds, layer_, 1, 0, 0, 0), -6);
  EXPECT_EQ(ai_.EndReadTile(), 0);

  factory_.results.results["BeginReadTile"] = 2;  // only nulls: the sequence runs
  EXPECT_EQ(ai_.BeginReadTile(ds, layer_, 1, 0, 0, 0), 2);
  EXPECT_EQ(ai_.EndReadTile(), 1);

  factory_.results.results["BeginWriteTile"] = 5;  // any positive result counts as 1
  EXPECT_EQ(ai_.BeginWriteTile(ds, layer_, 1, 0, 0, 0), 1);
  factory_.results.results["EndWriteTile"] = 0;
  EXPECT_EQ(ai_.EndWriteTile(1), 0);  // the layer's result, and the sequence is over
  EXPECT_EQ(ai_.EndWriteTile(1), 0);

  factory_.results.results["BeginWritePyramidLayer"] = -1;
  EXPECT_EQ(ai_.BeginWritePyramidLayer(ds, layer_, 3), 0);
  OneTileInfo info{};
  EXPECT_EQ(ai_.WriteOneTile(0, 0, &info, nullptr), 0);
  EXPECT_EQ(ai_.EndWritePyramidLayer(), 0);
  factory_.results.results["BeginWritePyramidLayer"] = 1;
  EXPECT_EQ(ai_.BeginWritePyramidLayer(ds, layer_, 3), 1);
  EXPECT_EQ(ai_.WriteOneTile(0, 0, &info, nullptr), 1);
  // Descriptions no tile can have are refused before the layer sees them.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (OneTileInfo bad : {OneTileInfo{-5, 0, 1}, OneTileInfo{17, 0, 1}, OneTileInfo{INT32_MAX, 0, 1},
                          OneTileInfo{262144, nan, 1}, OneTileInfo{262144, 0, nan}, OneTileInfo{262144, 2, 1}}) {
    EXPECT_EQ(ai_.WriteOneTile(0, 0, &bad, nullptr), 0) << bad.size << " " << bad.minimum << " " << bad.maximum;
  }
  OneTileInfo whole{262144, -1, 1};
  EXPECT_EQ(ai_.WriteOneTile(0, 0, &whole, nullptr), 1);
  EXPECT_EQ(ai_.WriteOneTile(0, 0, nullptr, nullptr), 0);
  EXPECT_EQ(ai_.EndWritePyramidLayer(), 1);
  EXPECT_EQ(ai_.EndWritePyramidLayer(), 0);
  // A write that lost something is not reported complete, and the sequence is over.
  factory_.results.results["EndWritePyramidLayer"] = 0;
  ASSERT_EQ(ai_.BeginWritePyramidLayer(ds, layer_, 3), 1);
  EXPECT_EQ(ai_.EndWritePyramidLayer(), 0);
  EXPECT_EQ(ai_.WriteOneTile(0, 0, &info, nullptr), 0);
}

TEST_F(DemBaseAITest, ClosingTheSequenceLayerEndsItsSequences) {
  constexpr int32_t ds = LOCAL_DATASET_ID;
  ASSERT_EQ(ai_.OpenPyramidLayer(ds, layer_, 1), 1);
  ASSERT_EQ(ai_.BeginWriteTile(ds, layer_, 1, 0, 0, 0), 1);
  ASSERT_EQ(ai_.BeginWritePyramidLayer(ds, layer_, 2), 1);
  ASSERT_EQ(ai_.CloseDataLayer(ds, layer_), 1);
  Calls();
  // Reaching the destroyed layer here would be a use after free (sanitizers would say).
  ai_.WriteCellOfTile(0, 0, 1.0);
  EXPECT_EQ(ai_.EndWriteTile(1), 0);
  OneTileInfo info{};
  EXPECT_EQ(ai_.WriteOneTile(0, 0, &info, nullptr), 0);
  EXPECT_EQ(ai_.EndWritePyramidLayer(), 0);
  EXPECT_TRUE(Calls().empty());
}

TEST_F(DemBaseAITest, TileDataReadIsNotLevelChecked) {
  constexpr int32_t ds = LOCAL_DATASET_ID;
  EXPECT_EQ(ai_.BeginReadTileData(ds, layer_, 3, 0, 0, 0), 1);
  double v = 0;
  EXPECT_EQ(ai_.ReadCellOfTileData(0, 0, &v, nullptr), 1);
  EXPECT_EQ(v, 5.0);
  EXPECT_EQ(ai_.EndReadTileData(), 1);
}

TEST_F(DemBaseAITest, OutputPointersMayNotBeNull) {
  constexpr int32_t ds = LOCAL_DATASET_ID;
  Calls();
  EXPECT_EQ(ai_.GetDataLayerParam(ds, layer_, nullptr), 0);
  EXPECT_EQ(ai_.SetLayerOperParam(ds, layer_, nullptr), 0);
  EXPECT_EQ(ai_.GetLayerOperParam(ds, layer_, nullptr), 0);
  EXPECT_EQ(ai_.GetPyramidLayerInfo(ds, layer_, 1, nullptr), 0);
  EXPECT_EQ(ai_.GetPyLayerVatName(ds, layer_, 1, nullptr), 0);
  EXPECT_TRUE(Calls().empty());
  LayerOperParam p{};
  EXPECT_EQ(ai_.SetLayerOperParam(ds, layer_, &p), 1);
  EXPECT_EQ(ai_.GetLayerOperParam(ds, layer_, &p), 1);
  EXPECT_EQ(ai_.GetNullValue(ds, layer_), 7.5);
  EXPECT_EQ(ai_.GetNullValue(ds, layer_ + 1), 0.0);
}

TEST_F(DemBaseAITest, OpenPyramidLayerFailsWithoutCacheMemoryAndSkipsTheLayer) {
  platform::FaultEnv env(platform::Env::Default());
  platform::ScopedEnvOverride use(&env);
  DemBaseAI ai(&factory_);
  ASSERT_EQ(ai.OpenDataSet(nullptr, 0.2f), LOCAL_DATASET_ID);
  const int32_t id = ai.OpenDataLayer(LOCAL_DATASET_ID, "b.dem", 0);
  Calls();
  env.SetReserveMemoryFails(true);
  EXPECT_EQ(ai.OpenPyramidLayer(LOCAL_DATASET_ID, id, 1), 0);
  EXPECT_TRUE(Calls().empty());
  env.SetReserveMemoryFails(false);  // a later open tries again
  EXPECT_EQ(ai.OpenPyramidLayer(LOCAL_DATASET_ID, id, 1), 1);
}

TEST(DemBaseAIDestructionTest, DeletingWithRunningSequencesEndsNothing) {
  platform::FaultEnv env(platform::Env::Default());
  env.SetPhysicalMemory(uint64_t{256} << 20);
  platform::ScopedEnvOverride use(&env);
  FakeLayerFactory factory;
  {
    DemBaseAI ai(&factory);
    ASSERT_EQ(ai.OpenDataSet(nullptr, 0.2f), LOCAL_DATASET_ID);
    const int32_t id = ai.OpenDataLayer(LOCAL_DATASET_ID, "a.dem", 0);
    ASSERT_EQ(ai.OpenPyramidLayer(LOCAL_DATASET_ID, id, 1), 1);
    ASSERT_EQ(ai.BeginWriteTile(LOCAL_DATASET_ID, id, 1, 0, 0, 0), 1);
    ASSERT_EQ(ai.BeginWritePyramidLayer(LOCAL_DATASET_ID, id, 2), 1);
  }
  EXPECT_EQ(factory.log.destroyed, 1);
  EXPECT_EQ(factory.log.Count("CloseDataLayer"), 1u);
  EXPECT_EQ(factory.log.Count("EndWriteTile"), 0u);
  EXPECT_EQ(factory.log.Count("EndWritePyramidLayer"), 0u);
}

}  // namespace
}  // namespace dembase
