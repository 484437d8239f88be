// A first end-to-end round trip through the exports on the local store.
#include <gtest/gtest.h>

#include "tests/support/local_store_fixture.h"

namespace dembase::testing {
namespace {

class LocalLayerSmokeTest : public LocalStoreTest {};

TEST_F(LocalLayerSmokeTest, CellsSurviveCloseAndReopen) {
  for (uint16_t type : {DEMBASE_TYPE_INT32, DEMBASE_TYPE_FLOAT32}) {
    const std::string name = type == DEMBASE_TYPE_INT32 ? "int.dem" : "float.dem";
    int32_t id = CreateAndOpen(name, type, 600, 700);
    ASSERT_GE(id, 1);
    for (int32_t r = 0; r < 600; r += 37) {
      for (int32_t c = 0; c < 700; c += 41) ASSERT_EQ(_hxSetCell(h_, kLocal, id, 1, 0, r, c, r * 1000.0 + c), 1);
    }
    ASSERT_EQ(_hxSetCell(h_, kLocal, id, 1, 0, 255, 510, 77.0), 1);  // a shared corner
    id = Reopen(id, name);
    ASSERT_GE(id, 1);
    uint8_t isNull = 9;
    for (int32_t r = 0; r < 600; r += 37) {
      for (int32_t c = 0; c < 700; c += 41) {
        ASSERT_EQ(Get(id, r, c, &isNull), r * 1000.0 + c) << r << "," << c;
        ASSERT_EQ(isNull, 0);
      }
    }
    EXPECT_EQ(Get(id, 255, 510), 77.0);
    Get(id, 1, 1, &isNull);
    EXPECT_EQ(isNull, 1);
    DataLayerParam p{};
    ASSERT_EQ(_hxClosePyramidLayer(h_, kLocal, id), 1);
    ASSERT_EQ(_hxGetDataLayerParam(h_, kLocal, id, &p), 1);
    EXPECT_EQ(double{p.minValue}, 0.0);
    EXPECT_EQ(double{p.maxValue}, 592.0 * 1000 + 697);
    EXPECT_EQ(_hxCloseDataLayer(h_, kLocal, id), 1);
  }
}

}  // namespace
}  // namespace dembase::testing
