#include "cache/tile_cache.h"

#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "cache/buffers.h"
#include "platform/fault_env.h"
#include "registry/data_layer.h"

namespace dembase {
namespace {

constexpr uint64_t kMiB = uint64_t{1} << 20;

TEST(BuffersTest, NthAllocationFailsAndFreeIsIdempotent) {
  void* p[3] = {};
  FailNthAllocation(2);
  EXPECT_EQ(AllocBuffer(&p[0], 2 * 262144), 1);
  p[1] = &p;
  EXPECT_EQ(AllocBuffer(&p[1], 8), 0);
  EXPECT_EQ(p[1], nullptr) << "a failed allocation leaves null behind";
  EXPECT_TRUE(AllocationFaultFired());
  EXPECT_EQ(AllocBuffer(&p[2], 1), 1) << "only the nth fails";
  FailNthAllocation(0);
  EXPECT_EQ(AllocBuffer(nullptr, 8), 0);
  for (void*& q : p) {
    FreeBuffer(&q);
    FreeBuffer(&q);
    EXPECT_EQ(q, nullptr);
  }
}

// Records write-backs and clears dirty, as a real layer does.
class FakeLayer : public CDataLayer {
 public:
  FakeLayer(CTileCache* cache, size_t tiles) : CDataLayer(cache), refs(tiles) {}
  void WriteBackTile(uint32_t tag) override {
    written.push_back(tag);
    EXPECT_NE(refs[tag].block, nullptr) << "the block is still the tile's while it is written";
    refs[tag].dirty = 0;
  }
  std::vector<TileRef> refs;
  std::vector<uint32_t> written;
};

class TileCacheTest : public ::testing::Test {
 protected:
  void SetUpCache() {  // 64 MiB x 0.125: the minimum, 64 slots
    env_.SetPhysicalMemory(64 * kMiB);
    ASSERT_EQ(cache_.Setup(0.125f), 1);
  }
  void Fill(FakeLayer& layer, int n) {
    for (int i = 0; i < n; ++i) ASSERT_TRUE(cache_.Acquire(&layer, &layer.refs[i], static_cast<uint32_t>(i)));
  }
  // What a layer does before it goes: gives back every slot it holds.
  void ReleaseSlotsOf(FakeLayer* layer) {
    for (int16_t i = 0; i < cache_.slot_count(); ++i) {
      if (cache_.slot(i).owner == layer) cache_.Release(i);
    }
    for (TileRef& ref : layer->refs) ref.Reset();
  }

  platform::FaultEnv env_{platform::Env::Default()};
  platform::ScopedEnvOverride override_{&env_};
  CTileCache cache_;
};

TEST_F(TileCacheTest, SizingFromMemoryAndFraction) {
  const struct {
    uint64_t memory;
    float fraction;
    int16_t slots;
  } cases[] = {{64 * kMiB, 0.125f, 64},
               {2048 * kMiB, 0.5f, 4096},
               {uint64_t{1} << 50, 0.5f, 32767},
               {0, 0.5f, 64},
               {256 * kMiB, NAN, 64}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.memory << " x " << c.fraction);
    env_.SetPhysicalMemory(c.memory);
    CTileCache cache;
    ASSERT_EQ(cache.Setup(c.fraction), 1);
    ASSERT_EQ(cache.slot_count(), c.slots);
    const int16_t last = static_cast<int16_t>(c.slots - 1);
    EXPECT_EQ(cache.slot(last).block - cache.slot(0).block, ptrdiff_t{last} * CACHE_BLOCK_SIZE);
    EXPECT_TRUE(cache.slot(last).owner == nullptr && cache.slot(last).tag == -1);
    cache.slot(last).block[CACHE_BLOCK_SIZE - 1] = 1;  // the whole pool is usable
  }
}

TEST_F(TileCacheTest, SetupOnceFailureLeavesItEmptyThenRetries) {
  FakeLayer layer(&cache_, 1);
  env_.SetPhysicalMemory(256 * kMiB);
  env_.SetReserveMemoryFails(true);
  EXPECT_EQ(cache_.Setup(0.125f), 0);
  EXPECT_EQ(cache_.slot_count(), 0);
  EXPECT_FALSE(cache_.Acquire(&layer, &layer.refs[0], 0)) << "no pool, no block";
  EXPECT_FALSE(layer.refs[0].cached());
  cache_.Release(0);
  env_.SetReserveMemoryFails(false);
  ASSERT_EQ(cache_.Setup(0.125f), 1);
  uint8_t* first_block = cache_.slot(0).block;
  env_.SetPhysicalMemory(2048 * kMiB);
  EXPECT_EQ(cache_.Setup(0.5f), 1);
  EXPECT_EQ(cache_.slot_count(), 128) << "a later fraction changes nothing";
  EXPECT_EQ(cache_.slot(0).block, first_block);
}

TEST_F(TileCacheTest, SweepSecondChanceAndWriteBack) {
  SetUpCache();
  FakeLayer a(&cache_, 66);
  FakeLayer b(&cache_, 1);
  a.refs[3].dirty = 1;  // a tile being created is marked before it gets its block
  a.refs[4].statsCurrent = 1;
  Fill(a, 64);
  for (int16_t i = 0; i < 64; ++i) {
    EXPECT_TRUE(a.refs[i].slot == i && a.refs[i].block == cache_.slot(i).block) << i;
    EXPECT_EQ(a.refs[i].state, TileRef::kSecondChance);
    EXPECT_TRUE(cache_.slot(i).ref == &a.refs[i] && cache_.slot(i).tag == i);
  }
  EXPECT_EQ(a.refs[3].dirty, 1);
  EXPECT_EQ(a.refs[4].statsCurrent, 0);
  EXPECT_EQ(cache_.hand(), 0);

  // A full turn takes every tile from state 1 to 0 and ends at the starting slot, whose
  // dirty tile goes back to its own layer before another layer's tile takes the block.
  a.refs[0].dirty = 1;
  ASSERT_TRUE(cache_.Acquire(&b, &b.refs[0], 7));
  EXPECT_EQ(a.written, std::vector<uint32_t>{0});
  EXPECT_TRUE(!a.refs[0].cached() && a.refs[0].block == nullptr);
  EXPECT_TRUE(cache_.slot(0).owner == &b && cache_.slot(0).tag == 7 && b.refs[0].slot == 0);
  EXPECT_EQ(cache_.hand(), 1);
  for (int i = 1; i < 64; ++i) EXPECT_EQ(a.refs[i].state, TileRef::kEvictable) << i;

  // Slot 1 has had its second chance: it goes at once, clean, without a write-back.
  ASSERT_TRUE(cache_.Acquire(&a, &a.refs[64], 64));
  EXPECT_TRUE(a.refs[64].slot == 1 && a.refs[1].state == TileRef::kNotCached);
  EXPECT_EQ(a.written.size(), 1u);
  EXPECT_EQ(cache_.hand(), 2);
  // Asking again for a tile that holds a block must not give it a second slot.
  ASSERT_TRUE(cache_.Acquire(&a, &a.refs[64], 64));
  EXPECT_EQ(a.refs[64].slot, 1);
  EXPECT_EQ(cache_.hand(), 2);

  // A released slot keeps its block for the next tile; slots out of range are ignored.
  cache_.Release(2);
  EXPECT_TRUE(cache_.slot(2).owner == nullptr && cache_.slot(2).tag == -1 && cache_.slot(2).block != nullptr);
  a.refs[2].Reset();
  cache_.Release(-1);
  cache_.Release(64);
  ReleaseSlotsOf(&a);
  ReleaseSlotsOf(&b);
}

}  // namespace
}  // namespace dembase
