#include <gtest/gtest.h>

#include "cache/buffers.h"
#include "cache/tile_geometry.h"

namespace dembase {
namespace {

TEST(TileGeometryTest, IntLog2AndTileSize) {
  const std::pair<int16_t, int32_t> cases[] = {{1, 0}, {2, 1}, {3, 1}, {255, 7}, {256, 8}, {32767, 14},
                                               {0, 0}, {-1, 0}, {-32768, 0}};  // below 1: must return
  for (auto [v, want] : cases) EXPECT_EQ(IntLog2(v), want) << v;

  for (int16_t type : {-1, 5, 6, 7, 8}) {
    uint16_t rows = 11, cols = 22;
    GetTileSize(type, &rows, &cols);
    const bool tiled = type == 6 || type == 7;
    EXPECT_EQ(rows, tiled ? 256 : 11) << type;
    EXPECT_EQ(cols, tiled ? 256 : 22) << type;
  }
}

TEST(BuffersTest, NthAllocationFailsAndFreeIsIdempotent) {
  void* p[3] = {};
  FailNthAllocation(2);
  EXPECT_EQ(AllocBuffer(&p[0], 2 * 262144), 1);
  p[1] = &p;
  EXPECT_EQ(AllocBuffer(&p[1], 8), 0);
  EXPECT_EQ(p[1], nullptr) << "a failed allocation leaves null behind";
  EXPECT_TRUE(AllocationFaultFired());
  EXPECT_EQ(AllocBuffer(&p[2], 1), 1) << "only the nth fails";
  FailNthAllocation(1, /*persistent=*/true);
  EXPECT_EQ(AllocBuffer(&p[1], 8) + AllocBuffer(&p[1], 8), 0);
  FailNthAllocation(0);
  EXPECT_EQ(AllocBuffer(nullptr, 8), 0);
  for (void*& q : p) {
    FreeBuffer(&q);
    FreeBuffer(&q);
    EXPECT_EQ(q, nullptr);
  }
}

}  // namespace
}  // namespace dembase
