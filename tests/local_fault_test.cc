// Failures under local layers that no write makes: opens and tile-data reads failing at
// each I/O operation, memory running out at each allocation, and a cache pool that cannot
// be reserved. After each the caller has been told, nothing stays held, and each tile holds
// its former or its new content. (Writes under I/O failures: write_fault_test.)
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "cache/buffers.h"
#include "cache/tile_cache.h"
#include "localstore/dem_file_layer.h"
#include "tests/support/counted_new.h"
#include "tests/support/layer_files.h"
#include "tests/support/local_store_fixture.h"
#include "tests/support/tile_cells.h"

namespace dembase::testing {
namespace {

// 2 x 3 tiles. The edit turns `before` into `after`: tile 0 shrinks, tile 1 grows,
// tile 2 goes from raw to compressed, tile 3 is new, tile 4 becomes empty, tile 5 stays
// empty.
constexpr int32_t kRows = 510, kCols = 765, kTilesAcross = 3, kTiles = 6;
const TileContent kBefore[kTiles] = {Noise(1), Smooth(2), Noise(3), kNullTile, Noise(4), kNullTile};
const TileContent kAfter[kTiles] = {Smooth(10), Noise(11), Smooth(12), Noise(13), kNullTile, kNullTile};
constexpr int64_t kGiveUpAfter = 1000;  // operations; far more than any loop here needs

const std::string kName = "hill.dem";

class LocalFaultTest : public LocalStoreTest {
 protected:
  // Stops injecting; the memory figure stays.
  void StopFaults() {
    env_.FailOperation(0);
    env_.SetTornWrites(false);
  }

  // Level 1 holding `contents`; kBefore's tile 2 is stored raw. Everything closed.
  void BuildLayer(const TileContent (&contents)[kTiles]) {
    int32_t id = CreateAndOpen(kName, DEMBASE_TYPE_INT32, kRows, kCols);
    ASSERT_GE(id, 1);
    for (int t = 0; t < kTiles; ++t) {
      if (t == 2 || contents[t].pattern == Pattern::kNull) continue;
      ASSERT_TRUE(WriteTile(h_, id, 1, t / kTilesAcross, t % kTilesAcross, contents[t]));
    }
    ASSERT_EQ(_hxClosePyramidLayer(h_, kLocal, id), 1);
    if (contents[2].pattern != Pattern::kNull) {
      const LayerOperParam raw{0, 1, 0.0f, 1.0f};
      ASSERT_EQ(_hxSetLayerOperParam(h_, kLocal, id, &raw), 1);
      ASSERT_EQ(_hxOpenPyramidLayer(h_, kLocal, id, 1), 1);
      ASSERT_TRUE(WriteTile(h_, id, 1, 0, 2, contents[2]));
      ASSERT_EQ(_hxClosePyramidLayer(h_, kLocal, id), 1);
    }
    ASSERT_EQ(_hxCloseDataLayer(h_, kLocal, id), 1);
  }

  int32_t OpenLayerAndLevel() {
    const int32_t id = _hxOpenDataLayer(h_, kLocal, Path(kName).c_str(), 0);
    if (id < 1 || _hxOpenPyramidLayer(h_, kLocal, id, 1) != 1) return 0;
    return id;
  }

  // Writes every tile whose content differs from `from` (every tile when from is null).
  void Edit(int32_t id, const TileContent* from) {
    for (int t = 0; t < kTiles; ++t) {
      if (from != nullptr && kAfter[t] == from[t]) continue;
      ASSERT_TRUE(WriteTile(h_, id, 1, t / kTilesAcross, t % kTilesAcross, kAfter[t])) << "tile " << t;
    }
  }

  // What each tile of the open level holds, against its former and its new content.
  std::vector<Seen> Look(int32_t id, const TileContent (&former)[kTiles]) {
    std::vector<Seen> seen;
    for (int t = 0; t < kTiles; ++t) {
      seen.push_back(ClassifyTile(h_, id, 1, t / kTilesAcross, t % kTilesAcross, former[t], kAfter[t]));
    }
    return seen;
  }
};

// A failed open holds nothing: neither the layer header nor any level file stays locked.
TEST_F(LocalFaultTest, FailedOpensHoldNothing) {
  BuildLayer(kBefore);
  if (HasFatalFailure()) return;
  int64_t n = 1;
  for (; n < kGiveUpAfter; ++n) {
    SCOPED_TRACE(::testing::Message() << "failure at operation " << n);
    env_.FailOperation(n);
    const int32_t id = _hxOpenDataLayer(h_, kLocal, Path(kName).c_str(), 0);
    int16_t level = 0;
    if (id >= 1) level = _hxOpenPyramidLayer(h_, kLocal, id, 1);
    const bool fired = env_.fault_fired();
    StopFaults();
    if (!fired) {
      ASSERT_GE(id, 1);
      EXPECT_EQ(level, 1);
      EXPECT_EQ(ClassifyTile(h_, id, 1, 0, 1, kBefore[1], kBefore[1]), Seen::kFirst);
      EXPECT_EQ(_hxCloseDataLayer(h_, kLocal, id), 1);
      break;
    }
    EXPECT_TRUE(id < 1 || level == 0) << id << " " << level;
    if (id >= 1) {
      // The level opens now, so the failed attempt released whatever it had opened.
      EXPECT_EQ(_hxOpenPyramidLayer(h_, kLocal, id, 1), 1);
      EXPECT_EQ(_hxClosePyramidLayer(h_, kLocal, id), 1);
      EXPECT_EQ(_hxCloseDataLayer(h_, kLocal, id), 1);
    }
  }
  EXPECT_GT(n, 3);
}

TEST_F(LocalFaultTest, OutOfMemoryWhileOpeningALevelIsRefusedCleanly) {
  BuildLayer(kBefore);
  if (HasFatalFailure()) return;
  const int32_t id = _hxOpenDataLayer(h_, kLocal, Path(kName).c_str(), 0);
  ASSERT_GE(id, 1);
  int64_t n = 1;
  for (; n < 100; ++n) {
    FailNthAllocation(n);
    const int16_t r = _hxOpenPyramidLayer(h_, kLocal, id, 1);
    const bool fired = AllocationFaultFired();
    FailNthAllocation(0);
    if (!fired) {
      EXPECT_EQ(r, 1);
      break;
    }
    EXPECT_EQ(r, 0) << "allocation " << n;
  }
  EXPECT_GT(n, 1) << "opening a level allocates through AllocBuffer";
  EXPECT_EQ(ClassifyTile(h_, id, 1, 0, 0, kBefore[0], kBefore[0]), Seen::kFirst);
  EXPECT_EQ(_hxCloseDataLayer(h_, kLocal, id), 1);
}

// Memory running out while a handle is deleted with edits unwritten never ends the
// process; the caller learns of the loss, and the layer opens with each tile old or new.
TEST_F(LocalFaultTest, OutOfMemoryWhileDeletingAHandleIsReportedAndNeverEndsTheProcess) {
  BuildLayer(kBefore);
  if (HasFatalFailure()) return;
  const DirectorySnapshot before(dir_.path());
  int64_t n = 1;
  for (; n < 100000; ++n) {
    SCOPED_TRACE(::testing::Message() << "allocation " << n << " fails");
    before.Restore();
    const int32_t id = OpenLayerAndLevel();
    ASSERT_GE(id, 1);
    Edit(id, kBefore);
    FailNthNew(n);
    const int16_t r = _hxDeleteDemBaseAI(h_);
    const bool fired = NewFaultFired();
    FailNthNew(0);
    h_ = _hxCreateDemBaseAI();
    ASSERT_NE(h_, nullptr);
    ASSERT_EQ(_hxOpenDataSet(h_, nullptr, 0.125f), kLocal);
    EXPECT_TRUE(r == 1 || fired) << r;
    const int32_t again = OpenLayerAndLevel();
    ASSERT_GE(again, 1) << "the layer opens after the failed delete";
    for (const Seen seen : Look(again, kBefore)) EXPECT_TRUE(seen == Seen::kFirst || seen == Seen::kSecond) << seen;
    EXPECT_EQ(_hxCloseDataLayer(h_, kLocal, again), 1);
    if (!fired) {
      EXPECT_EQ(r, 1);
      break;
    }
  }
  EXPECT_GT(n, 1);
}

TEST_F(LocalFaultTest, CachePoolThatCannotBeReservedRefusesTheLevelUntilItCan) {
  BuildLayer(kBefore);  // a fresh handle: its cache pool does not exist before this open
  if (HasFatalFailure()) return;
  DemBaseAI* fresh = _hxCreateDemBaseAI();
  ASSERT_NE(fresh, nullptr);
  ASSERT_EQ(_hxOpenDataSet(fresh, nullptr, 0.125f), kLocal);
  const int32_t id = _hxOpenDataLayer(fresh, kLocal, Path(kName).c_str(), 0);
  ASSERT_GE(id, 1);
  env_.SetReserveMemoryFails(true);
  EXPECT_EQ(_hxOpenPyramidLayer(fresh, kLocal, id, 1), 0);
  env_.SetReserveMemoryFails(false);
  EXPECT_EQ(_hxOpenPyramidLayer(fresh, kLocal, id, 1), 1);
  EXPECT_EQ(ClassifyTile(fresh, id, 1, 1, 1, kBefore[4], kBefore[4]), Seen::kFirst);
  EXPECT_EQ(_hxCloseDataLayer(fresh, kLocal, id), 1);
  EXPECT_EQ(_hxDeleteDemBaseAI(fresh), 1);
}

TEST_F(LocalFaultTest, FailedReadsRefuseAndLeaveNothingOpen) {
  const int32_t id = CreateAndOpen(kName, DEMBASE_TYPE_FLOAT32, kRows, kCols);
  ASSERT_GE(id, 1);
  ASSERT_EQ(_hxClosePyramidLayer(h_, kLocal, id), 1);
  const CellBlock stored = Cells(0, 4);
  ASSERT_EQ(_hxBeginWritePyramidLayer(h_, kLocal, id, 1), 1);
  ASSERT_EQ(WriteTile(h_, 4, stored), 1);
  ASSERT_EQ(_hxEndWritePyramidLayer(h_), 1);

  // A tile-data read failing at any step answers 0 and holds nothing afterwards; a failure
  // that only hit reading the next tile ahead leaves this read whole.
  CellBlock read(DEMBASE_TYPE_FLOAT32);
  int64_t n = 1;
  for (; n < kGiveUpAfter; ++n) {
    env_.FailOperation(n);
    const int16_t r = ReadTileData(h_, id, 1, 1, 1, &read);
    const bool fired = env_.fault_fired();
    StopFaults();
    EXPECT_TRUE(r == 0 || (r == 1 && read == stored)) << "operation " << n << ": " << r;
    ASSERT_EQ(ReadTileData(h_, id, 1, 1, 1, &read), 1) << n;
    ASSERT_TRUE(read == stored) << n;
    if (!fired) break;
  }
  EXPECT_GT(n, 1);

  // A merge whose stored tile cannot be read answers 0 and writes nothing.
  env_.FailReadsOf(Path("hill/hill.Dem"));
  ASSERT_EQ(SetOperParam(h_, id, true, true, 0.5f, 0.5f), 1);
  ASSERT_EQ(_hxBeginWritePyramidLayer(h_, kLocal, id, 1), 1);
  EXPECT_EQ(WriteTile(h_, 4, Cells(9, 4)), 0);
  EXPECT_EQ(WriteTile(h_, 5, Cells(9, 5)), 1);  // an empty tile needs no read
  EXPECT_EQ(_hxEndWritePyramidLayer(h_), 0) << "the write did not store everything it was given";
  env_.ClearFaults();
  env_.SetPhysicalMemory(uint64_t{64} << 20);
  EXPECT_EQ(ReadTileData(h_, id, 1, 1, 1, &read), 1);
  EXPECT_TRUE(read == stored);
  EXPECT_EQ(ReadTileData(h_, id, 1, 1, 2, &read), 1);
  EXPECT_TRUE(read == Cells(9, 5));
}

}  // namespace
}  // namespace dembase::testing
