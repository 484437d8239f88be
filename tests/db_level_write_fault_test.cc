// Writes to a database layer under I/O failures of the database files: whichever write,
// sync or truncate fails (once, or from there on, as when the process dies), the level
// reopens with every tile either as it was or as written, each tile's record describes
// the cells it holds, and a write the library answered 1 for is there.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/cell_block.h"
#include "tests/support/layer_kind_fixture.h"
#include "tests/support/level_io.h"
#include "tests/support/local_store_fixture.h"
#include "tests/support/sqlite_fault_vfs.h"

namespace dembase::testing {
namespace {

namespace fs = std::filesystem;

constexpr uint16_t kType = DEMBASE_TYPE_FLOAT32;
constexpr int32_t kDown = 3, kAcross = 4, kCount = kDown * kAcross;
constexpr int32_t kInside = 100;  // a cell row and column inside a tile, off its shared edges

CellBlock Cells(double base, int32_t t) {
  CellBlock b(kType);
  for (int32_t r = 0; r < kEdge; ++r) {
    for (int32_t c = 0; c < kEdge; ++c) b.Set(r, c, base + t * 1000.0 + r + c / 4.0);
  }
  return b;
}

struct DbFault {
  const char* name;
  bool wholeLevel;  // a whole-level write; else cell writes stored when the level closes
  bool crash;       // every operation from the nth on fails, through closing the handle
  friend void PrintTo(const DbFault& f, std::ostream* os) { *os << f.name; }
};

// A database layer "f" of kCount tiles, every fourth empty, kept as pristine.db; each
// run works on a copy, work.db.
class DbWriteTest : public LocalStoreTest {
 protected:
  void SetUp() override {
    LocalStoreTest::SetUp();
    for (int32_t t = 0; t < kCount; ++t) oldTiles_.push_back(t % 4 == 0 ? CellBlock(kType) : Cells(0, t));
    DemBaseAI* h = nullptr;
    const int32_t ds = Connect(&h);
    ASSERT_GE(ds, 1);
    DataLayerParam p = LayerParam(kType, kDown * kStep, kAcross * kStep);
    ASSERT_EQ(_hxCreateDataLayer(h, ds, "f", &p, 0, 0), 1);
    const int32_t id = _hxOpenDataLayer(h, ds, "f", 0);
    ASSERT_GE(id, 1);
    ASSERT_EQ(WriteLevel(h, ds, id, oldTiles_, 1), 1);
    ASSERT_EQ(_hxCloseDataLayer(h, ds, id), 1);
    ASSERT_EQ(_hxDeleteDemBaseAI(h), 1);
    CopyDatabase("work.db", "pristine.db");
  }

  // A handle with the work database open; its data set id, or 0.
  int32_t Connect(DemBaseAI** h) {
    *h = _hxCreateDemBaseAI();
    return *h == nullptr ? 0 : OpenTestDataSet(*h, true, Path("work.db"));
  }
  void CopyDatabase(const std::string& from, const std::string& to) {
    for (const char* suffix : {"", "-wal", "-shm", "-journal", "-locks"}) {
      fs::remove(Path(to) + suffix);
      if (fs::exists(Path(from) + suffix)) fs::copy_file(Path(from) + suffix, Path(to) + suffix);
    }
  }
  // A whole-level write (blending off) of every step-th tile of `tiles`; 1 when each
  // call answered 1.
  static int16_t WriteLevel(DemBaseAI* h, int32_t ds, int32_t id, const std::vector<CellBlock>& tiles, int32_t step,
                            int32_t first = 0) {
    if (SetOperParam(h, id, true, false, 0.0f, 1.0f, ds) != 1) return 0;
    int16_t r = _hxBeginWritePyramidLayer(h, ds, id, 1);
    for (int32_t t = first; t < kCount; t += step) {
      if ((tiles[t].AllNull() ? WriteNoDataTile(h, t, tiles[t]) : WriteTile(h, t, tiles[t])) != 1) r = 0;
    }
    return _hxEndWritePyramidLayer(h) == 1 ? r : 0;
  }

  // The work database opens; each tile reads as old or new (new when `answered` is 1)
  // and its record describes the cells it holds. How many tiles changed.
  int ExpectOldOrNew(const std::vector<CellBlock>& newTiles, int16_t answered) {
    DemBaseAI* h = nullptr;
    const int32_t ds = Connect(&h);
    const int32_t id = ds < 1 ? 0 : _hxOpenDataLayer(h, ds, "f", 0);
    EXPECT_GE(id, 1) << "the layer opens after a failure";
    if (id < 1) {
      if (h != nullptr) (void)_hxDeleteDemBaseAI(h);
      return 0;
    }
    int changed = 0;
    std::vector<CellBlock> seen;
    for (int32_t t = 0; t < kCount; ++t) {
      CellBlock cells(kType);
      EXPECT_GE(ReadTileData(h, id, 1, t / kAcross, t % kAcross, &cells, ds), 1) << t;
      EXPECT_TRUE(cells == oldTiles_[t] || cells == newTiles[t]) << "tile " << t << " is neither old nor new";
      EXPECT_TRUE(cells == newTiles[t] || answered != 1) << "tile " << t << " lost a write answered 1";
      if (!(cells == oldTiles_[t])) ++changed;
      seen.push_back(cells);
    }
    EXPECT_EQ(_hxOpenPyramidLayer(h, ds, id, 1), 1);
    for (int32_t t = 0; t < kCount; ++t) {
      OneTileInfo info{};
      if (seen[t].AllNull()) continue;
      EXPECT_EQ(_hxGetOneTileInfo(h, ds, id, 1, 0, t / kAcross, t % kAcross, &info), 1);
      EXPECT_EQ(info.minimum, seen[t].Info().minimum) << "tile " << t << "'s record describes other cells";
      EXPECT_EQ(info.maximum, seen[t].Info().maximum) << t;
    }
    EXPECT_EQ(_hxCloseDataLayer(h, ds, id), 1);
    EXPECT_EQ(_hxDeleteDemBaseAI(h), 1);
    return changed;
  }

  std::vector<CellBlock> oldTiles_;
};

class DbLevelWriteFaultTest : public DbWriteTest, public ::testing::WithParamInterface<DbFault> {
 protected:
  SqliteFaultVfs vfs_;
};

TEST_P(DbLevelWriteFaultTest, EveryTileIsOldOrNewAfterAFailureAtAnyStep) {
  const DbFault f = GetParam();
  ASSERT_TRUE(vfs_.registered());
  // A whole-level write replaces every other tile; cell writes change one inside cell of
  // every third tile (an empty one gains a tile of one cell).
  std::vector<CellBlock> newTiles;
  for (int32_t t = 0; t < kCount; ++t) {
    CellBlock after = oldTiles_[t];
    if (f.wholeLevel && t % 2 == 1) after = Cells(500000, t);
    if (!f.wholeLevel && t % 3 == 0) after.Set(kInside, kInside, 900000 + t);
    newTiles.push_back(after);
  }

  bool completed = false;
  int64_t n = 1;
  for (; !completed; ++n) {
    ASSERT_LT(n, 2000) << "the write never completed";
    SCOPED_TRACE("operation " + std::to_string(n) + (f.crash ? " and every later one fail" : " fails"));
    CopyDatabase("pristine.db", "work.db");
    DemBaseAI* h = nullptr;
    const int32_t ds = Connect(&h);
    ASSERT_GE(ds, 1);
    const int32_t id = _hxOpenDataLayer(h, ds, "f", 0);
    ASSERT_GE(id, 1);

    vfs_.FailOperation(n, f.crash);
    int16_t answered = 1;  // the answer that says the new content is stored
    if (f.wholeLevel) {
      answered = WriteLevel(h, ds, id, newTiles, 2, 1);
    } else {
      answered = static_cast<int16_t>(SetOperParam(h, id, true, false, 0.0f, 1.0f, ds) == 1 &&
                                      _hxOpenPyramidLayer(h, ds, id, 1) == 1);
      for (int32_t t = 0; t < kCount; t += 3) {
        const int32_t row = t / kAcross * kStep + kInside, col = t % kAcross * kStep + kInside;
        if (_hxSetCell(h, ds, id, 1, 0, row, col, 900000 + t) != 1) answered = 0;
      }
      if (_hxClosePyramidLayer(h, ds, id) != 1) answered = 0;
    }
    const bool fired = vfs_.fault_fired();
    if (!f.crash) vfs_.FailOperation(0);
    const int16_t closed = _hxCloseDataLayer(h, ds, id);
    const int16_t deleted = _hxDeleteDemBaseAI(h);
    completed = !(fired || vfs_.fault_fired());
    vfs_.FailOperation(0);
    if (completed) {
      EXPECT_EQ(answered, 1);
      EXPECT_EQ(closed, 1);
      EXPECT_EQ(deleted, 1);
    }
    if (!f.crash) {
      EXPECT_EQ(answered, completed ? 1 : 0) << "every failure is reported";
    }
    (void)ExpectOldOrNew(newTiles, answered);
  }
  EXPECT_GT(n, 5) << "the faults reached the database files";
}

// A writer killed at a random moment of its whole-level writes leaves a data set that
// opens with every tile old or new.
TEST_F(DbWriteTest, AWriterKilledMidBatchLeavesEachTileOldOrNew) {
  std::vector<CellBlock> newTiles;
  for (int32_t t = 0; t < kCount; ++t) newTiles.push_back(Cells(700000, t));
  int changed = 0;
  for (int run = 0; run < 8; ++run) {
    SCOPED_TRACE("kill " + std::to_string(run));
    CopyDatabase("pristine.db", "work.db");
    const pid_t pid = fork();
    if (pid == 0) {
      // Writes the new content over and over until it is killed.
      DemBaseAI* h = nullptr;
      const int32_t ds = Connect(&h);
      const int32_t id = ds < 1 ? 0 : _hxOpenDataLayer(h, ds, "f", 0);
      while (id >= 1 && WriteLevel(h, ds, id, newTiles, 1) == 1) {
      }
      _exit(1);
    }
    ASSERT_GT(pid, 0);
    usleep(static_cast<useconds_t>(20000 + run * 15000));
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status)) << "the writer stopped before it was killed";
    changed += ExpectOldOrNew(newTiles, 0);
  }
  EXPECT_GT(changed, 0) << "no writer got as far as a commit";
}

INSTANTIATE_TEST_SUITE_P(Writes, DbLevelWriteFaultTest,
                         ::testing::Values(DbFault{"WholeLevel", true, false}, DbFault{"WholeLevelCrash", true, true},
                                           DbFault{"CellWrites", false, false}, DbFault{"CellWritesCrash", false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace dembase::testing
