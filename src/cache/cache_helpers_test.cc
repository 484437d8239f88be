#include <gtest/gtest.h>

#include "cache/buffers.h"

namespace dembase {
namespace {

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
