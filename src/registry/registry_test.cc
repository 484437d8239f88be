#include "registry/registry.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>

#include "registry/connect_info.h"
#include "registry/extent_snap.h"
#include "tests/support/fake_layer.h"

namespace dembase {
namespace {

using testing::FakeLayerFactory;

TEST(CacheFractionTest, ClampsToAnEighthToAHalf) {
  const struct {
    float in, out;
  } cases[] = {{0.05f, 0.125f}, {0.125f, 0.125f}, {0.3f, 0.3f}, {0.5f, 0.5f}, {0.7f, 0.5f}, {-1.0f, 0.125f},
               {std::numeric_limits<float>::quiet_NaN(), 0.125f}, {std::numeric_limits<float>::infinity(), 0.5f}};
  for (const auto& c : cases) EXPECT_EQ(ClampCacheFraction(c.in), c.out) << c.in;
}

DbConnectInfo Info(const char* dataSet, int32_t kind, const char* arg1) {
  DbConnectInfo info{};
  std::strcpy(info.dataSet, dataSet);
  info.connectKind = kind;
  std::strcpy(info.connectArg1, arg1);
  return info;
}

TEST(SameConnectionTest, IgnoresCaseOfTextButNotKind) {
  EXPECT_TRUE(SameConnection(Info("Hills", 1, "/tmp/A.db"), Info("hills", 1, "/TMP/a.DB")));
  EXPECT_FALSE(SameConnection(Info("hills", 1, "/tmp/a.db"), Info("hills", 2, "/tmp/a.db")));
  EXPECT_FALSE(SameConnection(Info("hills", 1, "/tmp/a.db"), Info("hills2", 1, "/tmp/a.db")));
  // Bytes after the terminating zero do not count.
  DbConnectInfo a = Info("x", 1, "p"), b = Info("x", 1, "p");
  a.connectArg2[5] = 'q';
  EXPECT_TRUE(SameConnection(a, b));
}

TEST(ConnectInfoTest, UnterminatedFieldsAreRefused) {
  DbConnectInfo info = Info("x", 1, "p");
  EXPECT_TRUE(ConnectInfoIsTerminated(info));
  std::memset(info.connectArg3, 'a', sizeof info.connectArg3);
  EXPECT_FALSE(ConnectInfoIsTerminated(info));
}

TEST(TileExtentCountTest, SnapsAsDocumented) {
  const struct {
    double extent, cell;
    bool roundUp;
    int32_t n;
  } cases[] = {
      {100, 3, true, 34},         {100, 3, false, 33},       {300 - 1e-7, 1, true, 300}, {300 - 1e-7, 1, false, 300},
      {0.4, 1, true, 0},          {0.9999999, 1, true, 0},   {0.9999999, 1, false, 1},   {100.0000001, 1, true, 101},
      {100.0000001, 1, false, 100}, {0, 1, true, 0},          {255, 1, false, 255},
  };
  for (const auto& c : cases) {
    auto n = TileExtentCount(c.extent, c.cell, c.roundUp);
    ASSERT_TRUE(n.has_value()) << c.extent << "/" << c.cell;
    EXPECT_EQ(*n, c.n) << c.extent << "/" << c.cell << " roundUp " << c.roundUp;
  }
  const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
  for (double cell : {0.0, -1.0, nan, inf}) EXPECT_FALSE(TileExtentCount(100, cell, true).has_value()) << cell;
  EXPECT_FALSE(TileExtentCount(-10, 1, false).has_value());
  EXPECT_FALSE(TileExtentCount(1e12, 1, false).has_value());
  EXPECT_FALSE(TileExtentCount(nan, 1, false).has_value());
}

class RegistryTest : public ::testing::Test {
 protected:
  FakeLayerFactory factory_;
  Registry reg_{&factory_};
};

TEST_F(RegistryTest, LocalStoreOpensOnceAndKeepsItsFirstFraction) {
  EXPECT_EQ(reg_.OpenDataSet(nullptr, 0.05f), LOCAL_DATASET_ID);
  EXPECT_EQ(reg_.OpenDataSet(nullptr, 0.4f), LOCAL_DATASET_ID);
  EXPECT_EQ(reg_.data_set_count(), 1u);
  EXPECT_EQ(reg_.FindDataSet(LOCAL_DATASET_ID)->cacheFraction, 0.125f);
  EXPECT_EQ(reg_.CloseDataSet(LOCAL_DATASET_ID), 1);
  EXPECT_EQ(reg_.CloseDataSet(LOCAL_DATASET_ID), 0);
  EXPECT_EQ(reg_.data_set_count(), 0u);
}

TEST_F(RegistryTest, LocalLayerIdsCountUpAndAreNeverReused) {
  ASSERT_EQ(reg_.OpenDataSet(nullptr, 0.2f), LOCAL_DATASET_ID);
  EXPECT_EQ(reg_.OpenDataLayer(LOCAL_DATASET_ID, "a", 0), 1);
  ASSERT_NE(reg_.FindLayer(LOCAL_DATASET_ID, 1), nullptr);
  EXPECT_EQ(reg_.CloseDataLayer(LOCAL_DATASET_ID, 1), 1);
  EXPECT_EQ(reg_.FindLayer(LOCAL_DATASET_ID, 1), nullptr);  // no stale answer after the close
  EXPECT_EQ(reg_.CloseDataLayer(LOCAL_DATASET_ID, 1), 0);
  EXPECT_EQ(reg_.OpenDataLayer(LOCAL_DATASET_ID, "a", 0), 2);
  EXPECT_EQ(reg_.OpenDataLayer(LOCAL_DATASET_ID, "a", 0), 3);  // the same name twice: two objects
  EXPECT_NE(reg_.FindLayer(LOCAL_DATASET_ID, 2), reg_.FindLayer(LOCAL_DATASET_ID, 3));
  EXPECT_EQ(reg_.FindLayer(LOCAL_DATASET_ID, 1), nullptr);
  EXPECT_EQ(reg_.FindLayer(12345, 2), nullptr);
  EXPECT_EQ(reg_.OpenDataLayer(12345, "a", 0), 0);
}

TEST_F(RegistryTest, LocalOpenCodesReachTheCallerAndTheObjectGoes) {
  ASSERT_EQ(reg_.OpenDataSet(nullptr, 0.2f), LOCAL_DATASET_ID);
  for (int code : {0, -1, -2}) {
    factory_.results.results["OpenDataLayer"] = code;
    EXPECT_EQ(reg_.OpenDataLayer(LOCAL_DATASET_ID, "a", 0), code);
  }
  EXPECT_EQ(factory_.log.made, factory_.log.destroyed);
  factory_.results.results["OpenDataLayer"] = 7;  // any success; the registry assigns the id
  EXPECT_EQ(reg_.OpenDataLayer(LOCAL_DATASET_ID, "a", 0), 1);
}

TEST_F(RegistryTest, DataSetWithOpenLayersStaysOpen) {
  ASSERT_EQ(reg_.OpenDataSet(nullptr, 0.2f), LOCAL_DATASET_ID);
  ASSERT_EQ(reg_.OpenDataLayer(LOCAL_DATASET_ID, "a", 0), 1);
  EXPECT_EQ(reg_.CloseDataSet(LOCAL_DATASET_ID), 1);
  ASSERT_NE(reg_.FindLayer(LOCAL_DATASET_ID, 1), nullptr);
  EXPECT_EQ(reg_.CloseDataLayer(LOCAL_DATASET_ID, 1), 1);
  EXPECT_EQ(reg_.CloseDataSet(LOCAL_DATASET_ID), 1);
  EXPECT_EQ(reg_.FindDataSet(LOCAL_DATASET_ID), nullptr);
}

TEST_F(RegistryTest, MaintenanceByNameIsDispatchedOnlyForTheLocalStore) {
  ASSERT_EQ(reg_.OpenDataSet(nullptr, 0.2f), LOCAL_DATASET_ID);
  factory_.results.results["RenameLocalLayer"] = -3;
  EXPECT_EQ(reg_.RenameDataLayer(LOCAL_DATASET_ID, "a", "b"), -3);
  EXPECT_EQ(reg_.CopyDataLayer(LOCAL_DATASET_ID, "a", "b"), 1);
  EXPECT_EQ(reg_.DeleteDataLayer(LOCAL_DATASET_ID, "a"), 1);
  EXPECT_EQ(reg_.CopyDataLayer(LOCAL_DATASET_ID, "a", nullptr), 0);
  EXPECT_EQ(reg_.DeleteDataLayer(99, "a"), 0);
}

DataLayerParam Param(uint16_t type) {
  DataLayerParam p{};
  p.dataType = type;
  p.xMin = 0;
  p.xMax = 100;
  p.yMin = 10;
  p.yMax = 60;
  p.cellSizeX = 3;
  p.cellSizeY = 2;
  return p;
}

TEST_F(RegistryTest, CreateDataLayerSnapsCreatesLevelOneAndLeavesTheLayerClosed) {
  ASSERT_EQ(reg_.OpenDataSet(nullptr, 0.2f), LOCAL_DATASET_ID);
  DataLayerParam p = Param(DEMBASE_TYPE_FLOAT32);
  EXPECT_EQ(reg_.CreateDataLayer(LOCAL_DATASET_ID, "a.dem", &p, 0, 1), 1);
  EXPECT_EQ(double{p.xMax}, 102.0);
  EXPECT_EQ(double{p.yMax}, 60.0);
  EXPECT_EQ(factory_.log.calls, (std::vector<std::string>{"factory:CreateLocalLayerFiles", "1:OpenDataLayer",
                                                          "1:CreatePyramidLayer(1,3.000000,2.000000)",
                                                          "1:CloseDataLayer"}));
  EXPECT_EQ(reg_.FindDataSet(LOCAL_DATASET_ID)->layers.size(), 0u);

  factory_.results.results["CreatePyramidLayer"] = -5;
  EXPECT_EQ(reg_.CreateDataLayer(LOCAL_DATASET_ID, "b.dem", &p, 0, 1), -5);
}

TEST_F(RegistryTest, CreateDataLayerRefusals) {
  ASSERT_EQ(reg_.OpenDataSet(nullptr, 0.2f), LOCAL_DATASET_ID);
  DataLayerParam p = Param(5);
  EXPECT_EQ(reg_.CreateDataLayer(LOCAL_DATASET_ID, "a.dem", &p, 0, 1), 0);
  EXPECT_EQ(double{p.xMax}, 100.0);  // untouched

  p = Param(DEMBASE_TYPE_INT32);
  p.cellSizeX = 0;  // would divide by zero
  EXPECT_EQ(reg_.CreateDataLayer(LOCAL_DATASET_ID, "a.dem", &p, 0, 1), 0);
  EXPECT_EQ(double{p.xMax}, 100.0);

  // The store refuses (something exists at the path): 0, but the extent was snapped.
  p = Param(DEMBASE_TYPE_INT32);
  factory_.results.results["CreateLocalLayerFiles"] = -3;
  EXPECT_EQ(reg_.CreateDataLayer(LOCAL_DATASET_ID, "a.dem", &p, 0, 0), 0);
  EXPECT_EQ(double{p.xMax}, 99.0);
  EXPECT_EQ(factory_.log.made, 0);
  EXPECT_EQ(reg_.CreateDataLayer(123, "a.dem", &p, 0, 0), 0);
  EXPECT_EQ(reg_.CreateDataLayer(LOCAL_DATASET_ID, "a.dem", nullptr, 0, 0), 0);
}

// Database data sets through librasterdb on a SQLite file.
class DbRegistryTest : public RegistryTest {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/dembase-registry-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string dir_;
};

TEST_F(DbRegistryTest, SameConnectionOpensOneDataSet) {
  const std::string db = dir_ + "/Hills.db";
  DbConnectInfo a = Info("hills", 1, db.c_str());
  // Matched before any connection is made, so the other spelling never reaches the system.
  std::string upper = db;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  DbConnectInfo b = Info("HILLS", 1, upper.c_str());
  const int32_t id = reg_.OpenDataSet(&a, 0.3f);
  ASSERT_GE(id, 1);
  EXPECT_EQ(reg_.OpenDataSet(&b, 0.5f), id);
  EXPECT_EQ(reg_.data_set_count(), 1u);
  EXPECT_EQ(reg_.FindDataSet(id)->cacheFraction, 0.3f);

  // Rename and copy exist only for the local store.
  EXPECT_EQ(reg_.RenameDataLayer(id, "a", "b"), 0);
  EXPECT_EQ(reg_.CopyDataLayer(id, "a", "b"), 0);

  const int32_t layer = reg_.OpenDataLayer(id, "x", 0);
  ASSERT_GE(layer, 1);  // the fake answers 1: the database kind's result is the id
  EXPECT_EQ(factory_.log.calls.front(), "1:AttachConnection");
  EXPECT_EQ(reg_.CloseDataSet(id), 1);
  EXPECT_NE(reg_.FindDataSet(id), nullptr);
  EXPECT_EQ(reg_.CloseDataLayer(id, layer), 1);
  EXPECT_EQ(reg_.CloseDataSet(id), 1);
  EXPECT_EQ(reg_.FindDataSet(id), nullptr);
}

TEST_F(DbRegistryTest, ConnectFailuresOpenNothing) {
  DbConnectInfo unknownKind = Info("hills", 99, (dir_ + "/a.db").c_str());
  EXPECT_EQ(reg_.OpenDataSet(&unknownKind, 0.2f), 0);
  DbConnectInfo missingDir = Info("hills", 1, (dir_ + "/no/such/dir/a.db").c_str());
  EXPECT_EQ(reg_.OpenDataSet(&missingDir, 0.2f), 0);
  DbConnectInfo unterminated = Info("hills", 1, (dir_ + "/a.db").c_str());
  std::memset(unterminated.dataSet, 'x', sizeof unterminated.dataSet);
  EXPECT_EQ(reg_.OpenDataSet(&unterminated, 0.2f), 0);
  EXPECT_EQ(reg_.data_set_count(), 0u);
}

}  // namespace
}  // namespace dembase
