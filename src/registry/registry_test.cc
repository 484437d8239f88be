#include "registry/registry.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <limits>
#include <string>

#include "platform/test_temp_dir.h"
#include "registry/connect_info.h"
#include "registry/extent_snap.h"
#include "tests/support/fake_layer.h"

namespace dembase {
namespace {

constexpr float kNaNf = std::numeric_limits<float>::quiet_NaN(), kInff = std::numeric_limits<float>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr int32_t kLocal = LOCAL_DATASET_ID;

TEST(CacheFractionTest, ClampsToAnEighthToAHalf) {
  const float cases[][2] = {{0.05f, 0.125f}, {0.3f, 0.3f}, {0.7f, 0.5f}, {kNaNf, 0.125f}, {kInff, 0.5f}};
  for (const auto& c : cases) EXPECT_EQ(ClampCacheFraction(c[0]), c[1]) << c[0];
}

DbConnectInfo Info(const char* dataSet, int32_t kind, const std::string& arg1) {
  DbConnectInfo info{};
  std::strcpy(info.dataSet, dataSet);
  info.connectKind = kind;
  std::strcpy(info.connectArg1, arg1.c_str());
  return info;
}

TEST(SameConnectionTest, IgnoresCaseOfTextButNotKind) {
  EXPECT_FALSE(SameConnection(Info("hills", 1, "/tmp/a.db"), Info("hills", 2, "/tmp/a.db")));
  EXPECT_FALSE(SameConnection(Info("hills", 1, "/tmp/a.db"), Info("hills2", 1, "/tmp/a.db")));
  DbConnectInfo a = Info("x", 1, "p");
  a.connectArg2[5] = 'q';  // past the terminating zero: does not count
  EXPECT_TRUE(SameConnection(a, Info("x", 1, "p")));
  EXPECT_TRUE(ConnectInfoIsTerminated(a));
  std::memset(a.connectArg3, 'a', sizeof a.connectArg3);
  EXPECT_FALSE(ConnectInfoIsTerminated(a));
}

TEST(TileExtentCountTest, SnapsAsDocumented) {
  constexpr std::nullopt_t kNo = std::nullopt;
  const struct {
    double extent, cell;
    bool roundUp;
    std::optional<int32_t> n;
  } cases[] = {
      {100.0000001, 1, false, 100}, {100.0000001, 1, true, 101}, {100, 3, true, 34},
      {100, 3, false, 33},          {0.4, 1, true, 0},           {0.9999999, 1, true, 0},
      {0.9999999, 1, false, 1},     {300 - 1e-7, 1, true, 300},  {100, 0, true, kNo},
      {100, kNaN, true, kNo},       {-10, 1, false, kNo},        {1e12, 1, false, kNo},
      {kNaN, 1, false, kNo},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TileExtentCount(c.extent, c.cell, c.roundUp), c.n) << c.extent << "/" << c.cell << " up " << c.roundUp;
  }
}

class RegistryTest : public ::testing::Test {
 protected:
  testing::FakeLayerFactory factory_;
  Registry reg_{&factory_};
};

TEST_F(RegistryTest, LocalStoreOpensOnceKeepsItsFirstFractionAndStaysOpenWithLayers) {
  EXPECT_EQ(reg_.OpenDataSet(nullptr, 0.05f), kLocal);
  EXPECT_EQ(reg_.OpenDataSet(nullptr, 0.4f), kLocal);
  EXPECT_EQ(reg_.data_set_count(), 1u);
  EXPECT_EQ(reg_.FindDataSet(kLocal)->cacheFraction, 0.125f);
  ASSERT_EQ(reg_.OpenDataLayer(kLocal, "a", 0), 1);
  EXPECT_EQ(reg_.CloseDataSet(kLocal), 1);
  ASSERT_NE(reg_.FindLayer(kLocal, 1), nullptr);
  EXPECT_EQ(reg_.CloseDataLayer(kLocal, 1), 1);
  EXPECT_EQ(reg_.CloseDataSet(kLocal), 1);
  EXPECT_EQ(reg_.FindDataSet(kLocal), nullptr);
  EXPECT_EQ(reg_.CloseDataSet(kLocal), 0);
  EXPECT_EQ(reg_.data_set_count(), 0u);
}

TEST_F(RegistryTest, LocalLayerIdsCountUpAndAreNeverReused) {
  ASSERT_EQ(reg_.OpenDataSet(nullptr, 0.2f), kLocal);
  EXPECT_EQ(reg_.OpenDataLayer(kLocal, "a", 0), 1);
  EXPECT_EQ(reg_.CloseDataLayer(kLocal, 1), 1);
  EXPECT_EQ(reg_.FindLayer(kLocal, 1), nullptr);  // no stale answer after the close
  EXPECT_EQ(reg_.CloseDataLayer(kLocal, 1), 0);
  EXPECT_EQ(reg_.OpenDataLayer(kLocal, "a", 0), 2);
  EXPECT_EQ(reg_.OpenDataLayer(kLocal, "a", 0), 3);  // the same name twice: two objects
  EXPECT_NE(reg_.FindLayer(kLocal, 2), reg_.FindLayer(kLocal, 3));
  EXPECT_EQ(reg_.FindLayer(12345, 2), nullptr);
  EXPECT_EQ(reg_.OpenDataLayer(12345, "a", 0), 0);
  // A failed open reaches the caller and its object goes.
  for (int code : {0, -1, -2}) {
    factory_.results.results["OpenDataLayer"] = code;
    EXPECT_EQ(reg_.OpenDataLayer(kLocal, "a", 0), code);
  }
  EXPECT_EQ(factory_.log.made, factory_.log.destroyed + 2);
  factory_.results.results["OpenDataLayer"] = 7;  // any success; the registry assigns the id
  EXPECT_EQ(reg_.OpenDataLayer(kLocal, "a", 0), 4);
}

DataLayerParam Param(uint16_t type, double cellSizeX = 3) {
  return {0, type, 0, 100, 10, 60, cellSizeX, 2, 0, 0, 0, 0};
}

TEST_F(RegistryTest, CreateDataLayerSnapsCreatesLevelOneAndLeavesTheLayerClosedOrRefuses) {
  ASSERT_EQ(reg_.OpenDataSet(nullptr, 0.2f), kLocal);
  DataLayerParam p = Param(DEMBASE_TYPE_FLOAT32);
  EXPECT_EQ(reg_.CreateDataLayer(kLocal, "a.dem", &p, 0, 1), 1);
  EXPECT_EQ(double{p.xMax}, 102.0);
  EXPECT_EQ(double{p.yMax}, 60.0);
  EXPECT_EQ(reg_.FindDataSet(kLocal)->layers.size(), 0u);
  factory_.results.results["CreatePyramidLayer"] = -5;
  EXPECT_EQ(reg_.CreateDataLayer(kLocal, "b.dem", &p, 0, 1), -5);

  for (DataLayerParam bad : {Param(5), Param(DEMBASE_TYPE_INT32, 0)}) {  // bad type; would divide by zero
    EXPECT_EQ(reg_.CreateDataLayer(kLocal, "a.dem", &bad, 0, 1), 0);
    EXPECT_EQ(double{bad.xMax}, 100.0);  // untouched
  }
  // The store refuses (something exists at the path): 0, but the extent was snapped.
  p = Param(DEMBASE_TYPE_INT32);
  factory_.results.results["CreateLocalLayerFiles"] = -3;
  const int made = factory_.log.made;
  EXPECT_EQ(reg_.CreateDataLayer(kLocal, "a.dem", &p, 0, 0), 0);
  EXPECT_EQ(double{p.xMax}, 99.0);
  EXPECT_EQ(factory_.log.made, made);
  EXPECT_EQ(reg_.CreateDataLayer(123, "a.dem", &p, 0, 0), 0);
  EXPECT_EQ(reg_.CreateDataLayer(kLocal, "a.dem", nullptr, 0, 0), 0);
}

// Database data sets through librasterdb on a SQLite file.
class DbRegistryTest : public RegistryTest {
 protected:
  platform::TestTempDir dir_;
};

TEST_F(DbRegistryTest, SameConnectionOpensOneDataSetAndFailedConnectsNone) {
  const std::string db = dir_.Join("Hills.db");
  std::string upper = db;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const DbConnectInfo a = Info("hills", 1, db), b = Info("HILLS", 1, upper);
  const int32_t id = reg_.OpenDataSet(&a, 0.3f);
  ASSERT_GE(id, 1);
  // Matched before any connection is made, so the other spelling never reaches the system.
  EXPECT_EQ(reg_.OpenDataSet(&b, 0.5f), id);
  EXPECT_EQ(reg_.data_set_count(), 1u);
  const int32_t layer = reg_.OpenDataLayer(id, "x", 0);
  ASSERT_GE(layer, 1);  // the fake answers 1: the database kind's result is the id
  EXPECT_EQ(reg_.CloseDataLayer(id, layer), 1);
  EXPECT_EQ(reg_.CloseDataSet(id), 1);
  EXPECT_EQ(reg_.FindDataSet(id), nullptr);

  DbConnectInfo bad[] = {Info("hills", 99, dir_.Join("a.db")), Info("hills", 1, dir_.Join("no/such/dir/a.db")),
                         Info("hills", 1, dir_.Join("a.db"))};
  std::memset(bad[2].dataSet, 'x', sizeof bad[2].dataSet);  // unterminated
  for (const DbConnectInfo& info : bad) EXPECT_EQ(reg_.OpenDataSet(&info, 0.2f), 0) << info.connectKind;
  EXPECT_EQ(reg_.data_set_count(), 0u);
}

}  // namespace
}  // namespace dembase
