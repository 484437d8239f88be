// I/O and allocation failures injected under local layers: the Nth counted operation of
// an open, a level creation, a level close or a header rewrite fails, for N = 1, 2, ...
// until the operation completes. After every failure the caller has been told, the
// layer opens again, and each tile holds its former or its new content.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <filesystem>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "cache/buffers.h"
#include "cache/tile_cache.h"
#include "localstore/dem_file_layer.h"
#include "tests/support/layer_files.h"
#include "tests/support/local_store_fixture.h"
#include "tests/support/tile_content.h"

// Every allocation of this program goes through these, so a test can make the nth one
// throw, as memory exhaustion does.
namespace {
std::atomic<int64_t> newFailsAt{0};  // 0: none fails
std::atomic<int64_t> newCount{0};
std::atomic<bool> newFired{false};

void* CountedNew(size_t size) {
  if (newFailsAt.load(std::memory_order_relaxed) > 0 && ++newCount == newFailsAt.load()) {
    newFired = true;
    throw std::bad_alloc();
  }
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void FailNthNew(int64_t n) {
  newCount = 0;
  newFired = false;
  newFailsAt = n;
}
}  // namespace

void* operator new(size_t size) { return CountedNew(size); }
void* operator new[](size_t size) { return CountedNew(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }

#if defined(__SANITIZE_ADDRESS__)
// The counting operator new pairs malloc with free, and blocks the sanitizer's own
// operator new handed out before these took over are freed through them too.
extern "C" __attribute__((visibility("default"), used)) const char* __asan_default_options() { return "alloc_dealloc_mismatch=0"; }
#endif

namespace dembase::testing {
namespace {

// 2 x 3 tiles. The edit turns `before` into `after`: tile 0 shrinks, tile 1 grows,
// tile 2 goes from raw to compressed, tile 3 is new, tile 4 becomes empty, tile 5 stays
// empty.
constexpr int32_t kRows = 510, kCols = 765, kTilesAcross = 3, kTiles = 6;
const TileContent kBefore[kTiles] = {Noise(1), Smooth(2), Noise(3), kNullTile, Noise(4), kNullTile};
const TileContent kAfter[kTiles] = {Smooth(10), Noise(11), Smooth(12), Noise(13), kNullTile, kNullTile};
const TileContent kNothing[kTiles] = {};
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

  // Closes the edited level with operation n failing, then checks what reopens.
  // False once the close ran without reaching operation n.
  bool CloseLevelFailingAt(int64_t n, bool torn, const TileContent (&former)[kTiles]) {
    const int32_t id = OpenLayerAndLevel();
    EXPECT_GE(id, 1);
    if (id < 1) return false;
    Edit(id, former);
    env_.SetTornWrites(torn);
    env_.FailOperation(n);
    const int16_t r = _hxClosePyramidLayer(h_, kLocal, id);
    const bool fired = env_.fault_fired();
    StopFaults();
    EXPECT_EQ(r, fired ? 0 : 1) << "the close must say whether everything was written";
    EXPECT_EQ(_hxCloseDataLayer(h_, kLocal, id), 1);

    const int32_t again = OpenLayerAndLevel();
    EXPECT_GE(again, 1) << "the layer must open after a failed close";
    if (again < 1) return false;
    // Torn or not, a failure never touches a payload that a record on disk names.
    const std::vector<Seen> seen = Look(again, former);
    for (int t = 0; t < kTiles; ++t) {
      EXPECT_TRUE(seen[t] == Seen::kFirst || seen[t] == Seen::kSecond) << "tile " << t << " holds " << seen[t];
      EXPECT_TRUE(fired || seen[t] == Seen::kSecond || kAfter[t] == former[t]) << "tile " << t << " lost its edit";
    }

    // The level takes the same edit again.
    Edit(again, nullptr);
    EXPECT_EQ(_hxClosePyramidLayer(h_, kLocal, again), 1);
    EXPECT_EQ(_hxOpenPyramidLayer(h_, kLocal, again, 1), 1);
    for (int t = 0; t < kTiles; ++t) {
      EXPECT_EQ(ClassifyTile(h_, again, 1, t / kTilesAcross, t % kTilesAcross, kAfter[t], kAfter[t]), Seen::kFirst)
          << "after the retry, tile " << t;
    }
    EXPECT_EQ(_hxCloseDataLayer(h_, kLocal, again), 1);
    return fired;
  }

  void RunCloseLoop(const TileContent (&former)[kTiles]) {
    const DirectorySnapshot before(dir_.path());
    for (bool torn : {false, true}) {
      int64_t n = 1;
      for (; n < kGiveUpAfter; ++n) {
        SCOPED_TRACE(::testing::Message() << (torn ? "torn " : "") << "failure at operation " << n);
        before.Restore();
        if (!CloseLevelFailingAt(n, torn, former) || HasFailure()) break;
      }
      EXPECT_GT(n, 3) << "the close made fewer operations than expected";
      EXPECT_LT(n, kGiveUpAfter);
    }
  }
};

TEST_F(LocalFaultTest, FailedFirstCloseOfANewLevelIsReportedAndLosesNothingStored) {
  DataLayerParam p = LayerParam(DEMBASE_TYPE_INT32, kRows, kCols);
  ASSERT_EQ(_hxCreateDataLayer(h_, kLocal, Path(kName).c_str(), &p, 0, 0), 1);
  RunCloseLoop(kNothing);
}

TEST_F(LocalFaultTest, FailedCloseAfterRewritesIsReportedAndLosesNothingStored) {
  BuildLayer(kBefore);
  if (HasFatalFailure()) return;
  RunCloseLoop(kBefore);
}

// Tiles evicted from the cache are written back long before the close; a write-back
// that fails must still make the close answer 0.
TEST_F(LocalFaultTest, FailedWriteBackOnEvictionIsReportedAtClose) {
  constexpr int32_t kWide = 80;  // tiles in one row: more than the cache's 64 blocks
  DataLayerParam p = LayerParam(DEMBASE_TYPE_INT32, 100, kWide * 255);
  ASSERT_EQ(_hxCreateDataLayer(h_, kLocal, Path(kName).c_str(), &p, 0, 0), 1);
  const DirectorySnapshot before(dir_.path());
  int64_t n = 1;
  for (; n < kGiveUpAfter; ++n) {
    SCOPED_TRACE(::testing::Message() << "failure at operation " << n);
    before.Restore();
    int32_t id = OpenLayerAndLevel();
    ASSERT_GE(id, 1);
    env_.FailOperation(n);
    for (int32_t t = 0; t < kWide; ++t) ASSERT_EQ(_hxSetCell(h_, kLocal, id, 1, 0, 50, t * 255 + 9, t + 1.0), 1);
    const int16_t r = _hxClosePyramidLayer(h_, kLocal, id);
    const bool fired = env_.fault_fired();
    StopFaults();
    EXPECT_EQ(r, fired ? 0 : 1);
    ASSERT_EQ(_hxCloseDataLayer(h_, kLocal, id), 1);
    id = OpenLayerAndLevel();
    ASSERT_GE(id, 1);
    int lost = 0;
    for (int32_t t = 0; t < kWide; ++t) {
      uint8_t isNull = 9;
      const double v = Get(id, 50, t * 255 + 9, &isNull);
      if (isNull == 1) {
        ++lost;
      } else {
        EXPECT_EQ(v, t + 1.0) << "tile " << t;
      }
    }
    EXPECT_LE(lost, fired ? kWide : 0);
    ASSERT_EQ(_hxCloseDataLayer(h_, kLocal, id), 1);
    if (!fired) break;
  }
  EXPECT_GT(n, kWide) << "every tile is written once";
}

// The header is replaced atomically: whatever fails, the old or the new header opens,
// and the layer object reports the failure.
// Level and layer changes under a failure at each step: the header and the level
// directories always agree (a removal that failed after the header let go of a level may
// leave its directory, which no later level takes), the answer says which state holds,
// and the layer can still be changed afterwards.
struct LevelChange {
  const char* name;
  int16_t levelsBefore;
  int16_t (*run)(DemBaseAI* h, int32_t id);
  int16_t levelsAfter;
  bool closesTheLayer = false;
  bool everyFailureReported = false;  // no best-effort step follows the change itself
};

const LevelChange kLevelChanges[] = {
    {"create level 2", 1, [](DemBaseAI* h, int32_t id) { return _hxCreatePyramidLayer(h, kLocal, id, 2, 2.0, 2.0); }, 2},
    {"delete level 2 of 3", 3, [](DemBaseAI* h, int32_t id) { return _hxDeletePyramidLayer(h, kLocal, id, 2); }, 2},
    {"delete level 1 of 1", 1, [](DemBaseAI* h, int32_t id) { return _hxDeletePyramidLayer(h, kLocal, id, 1); }, 0},
    {"range change at close", 1,
     [](DemBaseAI* h, int32_t id) {
       const bool set = _hxOpenPyramidLayer(h, kLocal, id, 1) == 1 && _hxSetCell(h, kLocal, id, 1, 0, 3, 3, 42.0) == 1;
       const bool closed = _hxCloseDataLayer(h, kLocal, id) == 1;
       return static_cast<int16_t>(set && closed);
     },
     1, true, true},
};

class LevelChangeFaultTest : public LocalFaultTest, public ::testing::WithParamInterface<LevelChange> {
 protected:
  std::set<std::string> Directories() const {
    std::set<std::string> dirs;
    for (const auto& e : std::filesystem::directory_iterator(dir_.path())) {
      if (e.is_directory()) dirs.insert(e.path().filename().string());
    }
    return dirs;
  }
};

TEST_P(LevelChangeFaultTest, HeaderAndLevelFilesAgreeAfterAFailureAtAnyStep) {
  const LevelChange& c = GetParam();
  DataLayerParam p = LayerParam(DEMBASE_TYPE_INT32, 300, 300);
  ASSERT_EQ(_hxCreateDataLayer(h_, kLocal, Path(kName).c_str(), &p, 0, 0), 1);
  int32_t id = _hxOpenDataLayer(h_, kLocal, Path(kName).c_str(), 0);
  ASSERT_GE(id, 1);
  for (int16_t level = 2; level <= c.levelsBefore; ++level) {
    ASSERT_EQ(_hxCreatePyramidLayer(h_, kLocal, id, level, level, level), 1);
  }
  ASSERT_EQ(_hxCloseDataLayer(h_, kLocal, id), 1);
  const DirectorySnapshot before(dir_.path());
  const std::set<std::string> dirsBefore = Directories();

  int64_t n = 1;
  for (; n < kGiveUpAfter; ++n) {
    SCOPED_TRACE(::testing::Message() << "failure at operation " << n);
    before.Restore();
    id = _hxOpenDataLayer(h_, kLocal, Path(kName).c_str(), 0);
    ASSERT_GE(id, 1);
    env_.FailOperation(n);
    const int16_t r = c.run(h_, id);
    const bool fired = env_.fault_fired();
    StopFaults();
    if (!c.closesTheLayer) {
      EXPECT_EQ(_hxCloseDataLayer(h_, kLocal, id), 1);
    }
    EXPECT_FALSE(FileExists(Path(kName + ".new"))) << "no temporary stays behind";
    EXPECT_TRUE(r == 1 || (fired && r == 0)) << r;
    if (c.everyFailureReported) {
      EXPECT_EQ(r, fired ? 0 : 1);
    }

    id = _hxOpenDataLayer(h_, kLocal, Path(kName).c_str(), 0);
    ASSERT_GE(id, 1) << "the layer opens after a failure";
    DataLayerParam now{};
    ASSERT_EQ(_hxGetDataLayerParam(h_, kLocal, id, &now), 1);
    EXPECT_EQ(Copy(now.levelCount), r == 1 ? c.levelsAfter : c.levelsBefore);
    for (int16_t level = 1; level <= now.levelCount; ++level) {
      EXPECT_EQ(_hxOpenPyramidLayer(h_, kLocal, id, level), 1) << level;
      EXPECT_EQ(_hxClosePyramidLayer(h_, kLocal, id), 1);
    }
    const std::set<std::string> dirs = Directories();
    if (r == 1) {
      EXPECT_LE(dirs.size(), dirsBefore.size() + 1);
    } else {
      EXPECT_EQ(dirs, dirsBefore) << "a failed change is undone";
    }
    // No dead end: a new level can always be made.
    EXPECT_EQ(_hxCreatePyramidLayer(h_, kLocal, id, 9, 4.0, 4.0), 1);
    ASSERT_EQ(_hxCloseDataLayer(h_, kLocal, id), 1);
    if (!fired) break;
  }
  EXPECT_GT(n, 2);
  EXPECT_LT(n, kGiveUpAfter);
}

INSTANTIATE_TEST_SUITE_P(Changes, LevelChangeFaultTest, ::testing::ValuesIn(kLevelChanges),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           std::replace(name.begin(), name.end(), ' ', '_');
                           return name;
                         });

// Deleting, renaming and copying a layer of two levels whose directory names no longer
// follow their positions (hill\ and hill_2\), with a value table beside level 1.
struct LayerOperation {
  const char* name;
  int16_t (*run)(DemBaseAI* h, const char* from, const char* to);
  const char* target;                       // relative; null for a delete
  std::set<std::string> entriesAfter;       // of the test directory once it succeeded
};

const LayerOperation kLayerOperations[] = {
    {"copy", [](DemBaseAI* h, const char* f, const char* t) { return _hxCopyDataLayer(h, kLocal, f, t); }, "dale.dem",
     {"hill.dem", "hill", "hill_2", "sub", "dale.dem", "dale", "dale_1"}},
    {"rename", [](DemBaseAI* h, const char* f, const char* t) { return _hxRenameDataLayer(h, kLocal, f, t); },
     "dale.dem", {"sub", "dale.dem", "dale", "dale_1"}},
    {"rename into another directory",
     [](DemBaseAI* h, const char* f, const char* t) { return _hxRenameDataLayer(h, kLocal, f, t); }, "sub/dale.dem",
     {"sub", "sub/dale.dem", "sub/dale", "sub/dale_1"}},
    {"delete", [](DemBaseAI* h, const char* f, const char*) { return _hxDeleteDataLayer(h, kLocal, f); }, nullptr,
     {"sub"}},
};

// persistent: every operation from the nth on fails too, as if the process died there.
class LayerOperationFaultTest : public LocalFaultTest,
                                public ::testing::WithParamInterface<std::tuple<LayerOperation, bool>> {
 protected:
  void SetUp() override {
    LocalFaultTest::SetUp();
    BuildLayer(kBefore);
    const int32_t id = _hxOpenDataLayer(h_, kLocal, Path(kName).c_str(), 0);
    ASSERT_GE(id, 1);
    ASSERT_EQ(_hxCreatePyramidLayer(h_, kLocal, id, 2, 2.0, 2.0), 1);
    ASSERT_EQ(_hxCreatePyramidLayer(h_, kLocal, id, 3, 4.0, 4.0), 1);
    ASSERT_EQ(_hxDeletePyramidLayer(h_, kLocal, id, 2), 1);
    ASSERT_EQ(_hxCloseDataLayer(h_, kLocal, id), 1);
    ASSERT_TRUE(WriteFileBytes(Path("hill/hill.WB"), Bytes(40, 'v')));
    ASSERT_TRUE(std::filesystem::create_directory(Path("sub")));
  }

  // Entries of the test directory and of sub/, relative.
  std::set<std::string> Entries() const {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir_.path())) names.insert(e.path().filename().string());
    for (const auto& e : std::filesystem::directory_iterator(Path("sub"))) {
      names.insert("sub/" + e.path().filename().string());
    }
    return names;
  }

  // The layer at rel opens with both levels, level 1's cells as built and its value table.
  void ExpectWholeLayer(const std::string& rel) {
    SCOPED_TRACE(rel);
    const int32_t id = _hxOpenDataLayer(h_, kLocal, Path(rel).c_str(), 0);
    ASSERT_GE(id, 1);
    DataLayerParam p{};
    EXPECT_EQ(_hxGetDataLayerParam(h_, kLocal, id, &p), 1);
    EXPECT_EQ(Copy(p.levelCount), 2);
    EXPECT_EQ(_hxOpenPyramidLayer(h_, kLocal, id, 2), 1);
    EXPECT_EQ(_hxClosePyramidLayer(h_, kLocal, id), 1);
    EXPECT_EQ(_hxOpenPyramidLayer(h_, kLocal, id, 1), 1);
    for (int t = 0; t < kTiles; ++t) {
      EXPECT_EQ(ClassifyTile(h_, id, 1, t / kTilesAcross, t % kTilesAcross, kBefore[t], kBefore[t]), Seen::kFirst)
          << "tile " << t;
    }
    const std::filesystem::path header = Path(rel);
    const std::string stem = header.stem().string();
    EXPECT_EQ(ReadFileBytes((header.parent_path() / stem / (stem + ".WB")).string()), Bytes(40, 'v'));
    EXPECT_EQ(_hxCloseDataLayer(h_, kLocal, id), 1);
  }
};

TEST_P(LayerOperationFaultTest, SourceOrWholeResultAfterAFailureAtAnyStep) {
  const auto& [op, persistent] = GetParam();
  const DirectorySnapshot before(dir_.path());
  const std::string from = Path(kName);
  const std::string to = op.target != nullptr ? Path(op.target) : std::string();
  const bool copy = std::string(op.name) == "copy";
  int64_t n = 1;
  for (; n < kGiveUpAfter; ++n) {
    SCOPED_TRACE(::testing::Message() << (persistent ? "every operation failing from " : "failure at operation ") << n);
    before.Restore();
    env_.FailOperation(n, persistent);
    int16_t r = op.run(h_, from.c_str(), to.c_str());
    const bool fired = env_.fault_fired();
    StopFaults();
    EXPECT_TRUE(r == 1 || (fired && r == 0)) << r;
    if (r != 1 && !persistent) {
      EXPECT_TRUE(DirectorySnapshot(dir_.path()) == before) << "a failed operation is undone";
    }
    if (r != 1) {
      // After a crash the next attempt finishes the job. One that got as far as two
      // headers is whole: a copy is done, a rename is finished by deleting the old name.
      if (FileExists(from)) ExpectWholeLayer(kName);
      if (!to.empty() && FileExists(from) && FileExists(to)) {
        r = copy ? 1 : _hxDeleteDataLayer(h_, kLocal, from.c_str());
      } else {
        r = op.target == nullptr && !FileExists(from) ? 1 : op.run(h_, from.c_str(), to.c_str());
      }
      EXPECT_EQ(r, 1) << "the retry";
    }
    EXPECT_FALSE(FileExists(to + ".partial"));
    if (op.target != nullptr) ExpectWholeLayer(op.target);
    if (copy) ExpectWholeLayer(kName);
    // Old names a failed clean-up leaves are leftovers no header names.
    std::set<std::string> entries = Entries();
    std::set<std::string> want = op.entriesAfter;
    if (fired && !copy) {
      for (const char* leftover : {"hill", "hill_2"}) entries.erase(leftover), want.erase(leftover);
    }
    EXPECT_EQ(entries, want);
    if (!fired) break;
  }
  EXPECT_GT(n, 5);
  EXPECT_LT(n, kGiveUpAfter);
}

INSTANTIATE_TEST_SUITE_P(Operations, LayerOperationFaultTest,
                         ::testing::Combine(::testing::ValuesIn(kLayerOperations), ::testing::Bool()),
                         [](const auto& info) {
                           std::string name = std::get<0>(info.param).name;
                           std::replace(name.begin(), name.end(), ' ', '_');
                           return name + (std::get<1>(info.param) ? "_crash" : "_failure");
                         });

// A layer whose creation failed at any step leaves nothing that blocks the retry.
TEST_F(LocalFaultTest, FailedLayerCreationLeavesNothingBehind) {
  int64_t n = 1;
  for (; n < kGiveUpAfter; ++n) {
    SCOPED_TRACE(::testing::Message() << "failure at operation " << n);
    for (const auto& e : std::filesystem::directory_iterator(dir_.path())) std::filesystem::remove_all(e.path());
    DataLayerParam p = LayerParam(DEMBASE_TYPE_FLOAT32, 300, 300);
    env_.FailOperation(n);
    const int16_t r = _hxCreateDataLayer(h_, kLocal, Path(kName).c_str(), &p, 0, 0);
    const bool fired = env_.fault_fired();
    StopFaults();
    if (r != 1) {
      EXPECT_TRUE(fired);
      EXPECT_EQ(r, 0);
      EXPECT_TRUE(std::filesystem::is_empty(dir_.path())) << "nothing of the failed layer stays";
    } else {
      // Only a failed directory sync after the header was in place lets it succeed.
      const int32_t id = _hxOpenDataLayer(h_, kLocal, Path(kName).c_str(), 0);
      ASSERT_GE(id, 1);
      EXPECT_EQ(_hxOpenPyramidLayer(h_, kLocal, id, 1), 1);
      EXPECT_EQ(_hxCloseDataLayer(h_, kLocal, id), 1);
    }
    if (!fired) break;
  }
  EXPECT_GT(n, 3);
  EXPECT_LT(n, kGiveUpAfter);
}

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
    const bool fired = newFired;
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
  _hxDeleteDemBaseAI(fresh);
}

}  // namespace
}  // namespace dembase::testing
