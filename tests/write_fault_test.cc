// One I/O-failure loop over every operation that writes: the Nth counted operation of
// the local files (or of the SQLite files) fails, once or from there on as when the
// process dies, for N = 1, 2, ... until the operation completes. After each failure
// the answer says whether everything was stored, every item of the layers is old or new
// (all old or all new where the operation promises it), a failure that undoes itself
// leaves the files as they were, and running the operation again finishes the job with
// nothing left behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <new>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "cache/buffers.h"
#include "tests/support/counted_new.h"
#include "tests/support/layer_files.h"
#include "tests/support/layer_kind_fixture.h"
#include "tests/support/layer_state.h"
#include "tests/support/local_store_fixture.h"
#include "tests/support/sqlite_fault_vfs.h"
#include "tests/support/tile_cells.h"

namespace dembase::testing {
namespace {

namespace fs = std::filesystem;

class WriteFaultTest;
enum class Undone { kNo, kNames, kBytes };
using Step = std::function<void(WriteFaultTest&)>;

struct WriteFault {
  const char* name = "";
  bool sqlite = false;
  bool persistent = false;  // every operation from the Nth on fails, through `finish`
  bool torn = false;        // a failed write leaves part of its bytes
  bool memory = false;      // the Nth allocation fails instead (operator new and buffers)
  Step build;               // the starting layers, made once
  Step prepare;             // before each attempt, with nothing failing
  std::function<int16_t(WriteFaultTest&)> run;
  Step finish;                                      // closes what the attempt left open
  std::vector<std::string> layers;                  // stems of the layers to compare
  bool atomic = false;                              // all old or all new
  Undone undone = Undone::kNo;                      // what a failure leaves as it was
  bool everyFailureReported = true;                 // 0 exactly when something failed
  bool retries = true;                              // running it again is meant to finish it
  std::function<int16_t(WriteFaultTest&)> recover;  // when running again answers 0
  std::set<std::string> leftovers;                  // may stay in the directory after a failure
};

void PrintTo(const WriteFault& f, std::ostream* os) { *os << f.name << (f.memory ? " out of memory" : ""); }

// The local layer's 2 x 3 tiles: the edit turns kBefore into kAfter (tile 0 shrinks,
// tile 1 grows, tile 2 goes from raw to compressed, tile 3 is new, tile 4 is emptied,
// tile 5 stays empty).
constexpr int32_t kRows = 510, kCols = 765, kTilesAcross = 3, kTiles = 6;
const TileContent kBefore[kTiles] = {Noise(1), Smooth(2), Noise(3), kNullTile, Noise(4), kNullTile};
const TileContent kAfter[kTiles] = {Smooth(10), Noise(11), Smooth(12), Noise(13), kNullTile, kNullTile};
// Whole-level writes: 4 x 5 float tiles.
constexpr int32_t kDown = 4, kAcross = 5, kCount = kDown * kAcross;
constexpr int64_t kGiveUpAfter = 3000;
constexpr int16_t kTestsOwnAllocation = -101;

class WriteFaultTest : public LocalStoreTest, public ::testing::WithParamInterface<WriteFault> {
 public:
  using LocalStoreTest::Path;
  const WriteFault& row() const { return GetParam(); }
  std::string Name(const std::string& stem) const { return row().sqlite ? stem : Path(stem + ".dem"); }
  int32_t OpenDataSet(DemBaseAI* h) const { return OpenTestDataSet(h, row().sqlite, Path("w.db")); }

  // A handle of the attempt's own, with the data set open.
  void Begin() {
    w_ = _hxCreateDemBaseAI();
    ASSERT_NE(w_, nullptr);
    ds_ = OpenDataSet(w_);
    ASSERT_GE(ds_, 1);
  }
  void End() {
    if (w_ != nullptr) end_ = _hxDeleteDemBaseAI(w_);
    w_ = nullptr;
  }
  int32_t OpenLayer(const std::string& stem) { return id_ = _hxOpenDataLayer(w_, ds_, Name(stem).c_str(), 0); }
  int16_t CloseLayer() { return _hxCloseDataLayer(w_, ds_, id_); }
  void OpenLayerAndLevel(const std::string& stem, int16_t level = 1) {
    ASSERT_GE(OpenLayer(stem), 1);
    ASSERT_EQ(_hxOpenPyramidLayer(w_, ds_, id_, level), 1);
  }
  void CreateLayer(const std::string& stem, uint16_t type, int32_t rows, int32_t cols) {
    DataLayerParam p = LayerParam(type, rows, cols);
    ASSERT_EQ(_hxCreateDataLayer(w_, ds_, Name(stem).c_str(), &p, 0, 0), 1);
  }

  // hill: level 1 holding kBefore (tile 2 raw), closed.
  void BuildHill() {
    ASSERT_NO_FATAL_FAILURE(CreateLayer("hill", DEMBASE_TYPE_INT32, kRows, kCols));
    for (const bool raw : {false, true}) {
      ASSERT_NO_FATAL_FAILURE(OpenLayerAndLevel("hill"));
      ASSERT_EQ(SetOperParam(w_, id_, !raw, true, 0.0f, 1.0f, ds_), 1);
      for (int t = 0; t < kTiles; ++t) {
        if ((t == 2) != raw || kBefore[t].pattern == Pattern::kNull) continue;
        ASSERT_TRUE(WriteTile(w_, id_, 1, t / kTilesAcross, t % kTilesAcross, kBefore[t]));
      }
      ASSERT_EQ(CloseLayer(), 1);
    }
  }
  // Writes every tile whose content differs from `from`.
  void Edit(const TileContent* from) {
    for (int t = 0; t < kTiles; ++t) {
      if (kAfter[t] == from[t]) continue;
      ASSERT_TRUE(WriteTile(w_, id_, 1, t / kTilesAcross, t % kTilesAcross, kAfter[t])) << t;
    }
  }
  // A whole-level write of `tiles` (tiles without data where the block is all null); 1
  // when every call answered 1.
  int16_t WriteLevel(int16_t level, const std::vector<CellBlock>& tiles) {
    int16_t r = _hxBeginWritePyramidLayer(w_, ds_, id_, level);
    for (int32_t t = 0; t < static_cast<int32_t>(tiles.size()); ++t) {
      if ((tiles[t].AllNull() ? WriteNoDataTile(w_, t, tiles[t]) : WriteTile(w_, t, tiles[t])) != 1) r = 0;
    }
    return _hxEndWritePyramidLayer(w_) == 1 ? r : 0;
  }

  void Arm(int64_t n) {
    if (row().memory) {
      FailNthNew(n);
      FailNthAllocation(n);
    } else if (row().sqlite) {
      vfs_.FailOperation(n, row().persistent);
    } else {
      env_.SetTornWrites(row().torn);
      env_.FailOperation(n, row().persistent);
    }
  }
  bool Fired() const {
    if (row().memory) return NewFaultFired() || AllocationFaultFired();
    return row().sqlite ? vfs_.fault_fired() : env_.fault_fired();
  }
  void Disarm() {
    FailNthNew(0);
    FailNthAllocation(0);
    vfs_.FailOperation(0);
    env_.FailOperation(0);
    env_.SetTornWrites(false);
  }

  LayerState Capture() {
    LayerState state;
    for (const std::string& stem : row().layers) {
      CaptureLayer([this](DemBaseAI* h) { return OpenDataSet(h); }, Name(stem), &state);
      // A local level's records name bytes that read as one tile each, none shared.
      LevelProbe probe;
      for (int level = 1; !row().sqlite && state[Name(stem)] != "absent" && probe.Load(Name(stem), level); ++level) {
        const bool sound = probe.Problems().empty() && !probe.PayloadsOverlap();
        state[stem + " level " + std::to_string(level) + " files"] = sound ? "sound" : "damaged";
        const Bytes vat = ReadFileBytes(fs::path(probe.data_path(0)).replace_extension(".WB").string());
        if (!vat.empty()) state[stem + " level " + std::to_string(level) + " table"] = std::to_string(vat.size());
      }
    }
    return state;
  }
  std::set<std::string> Entries() const {
    std::set<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(dir_.path())) {
      names.insert(fs::relative(e.path(), dir_.path()).string());
    }
    return names;
  }

  // One attempt: prepare, run with operation n failing (0: none), finish.
  int16_t Attempt(int64_t n, bool* fired) {
    row().prepare(*this);
    if (HasFatalFailure()) return -100;
    Arm(n);
    int16_t r = kTestsOwnAllocation;
    try {
      r = row().run(*this);
    } catch (const std::bad_alloc&) {
      // The exports never throw: the allocation that failed was the test's own.
    }
    *fired = Fired();
    if (!row().persistent) Disarm();  // which also forgets whether the fault fired
    row().finish(*this);
    *fired = *fired || Fired();
    Disarm();
    return r;
  }

  DemBaseAI* w_ = nullptr;
  int32_t ds_ = 0, id_ = 0;
  int16_t end_ = 1;
  SqliteFaultVfs vfs_;
};

TEST_P(WriteFaultTest, EachItemOldOrNewAndTheRetryFinishes) {
  ASSERT_TRUE(vfs_.registered());
  Begin();
  row().build(*this);
  End();
  ASSERT_FALSE(HasFatalFailure());
  // Reading a level never closed marks it closed: the snapshot follows the first look.
  LayerState old = Capture();
  const DirectorySnapshot before(dir_.path());
  const std::set<std::string> beforeEntries = Entries();
  bool fired = false;
  ASSERT_EQ(Attempt(0, &fired), 1);
  EXPECT_EQ(end_, 1) << "the handle closes after a clean run";
  const LayerState done = Capture();
  const std::set<std::string> doneEntries = Entries();
  ASSERT_NE(old, done);

  int64_t n = 1;
  for (; n < kGiveUpAfter; ++n) {
    SCOPED_TRACE(::testing::Message() << (row().persistent ? "every operation failing from " : "operation ") << n);
    before.Restore();
    const int16_t r = Attempt(n, &fired);
    ASSERT_NE(r, -100);
    if (r == kTestsOwnAllocation) continue;
    EXPECT_TRUE(r == 1 || (fired && r == 0)) << r;
    // Out of memory, some steps have a slower way that needs none.
    if (row().everyFailureReported && !row().persistent && !row().memory) {
      EXPECT_EQ(r, fired ? 0 : 1) << "the answer says whether everything was stored";
    }
    LayerState now = Capture();
    if (r != 1) {
      // A failed close may leave the layer's range behind level 1's records, until the
      // next close of level 1 (the retry below) brings it up to date.
      for (auto& [key, item] : now) {
        if (key.ends_with(" range record") && item == "stale") item = old[key];
      }
    }
    // A torn write of the index may mix two records' bytes; dembase check names such a record.
    for (const std::string& bad : NeitherOldNorNew(old, done, now, !row().torn)) {
      ADD_FAILURE() << "neither old nor new: " << bad << "\nold: " << old[bad.substr(0, bad.find(": "))]
                    << "\nnew: " << done.at(bad.substr(0, bad.find(": ")));
    }
    if (r == 1 && !row().persistent) {
      for (const std::string& bad : NeitherOldNorNew(done, done, now)) ADD_FAILURE() << "answered 1, yet " << bad;
    }
    if (row().atomic) {
      EXPECT_TRUE(now == old || now == done) << "a mix of old and new";
    }
    if (row().undone != Undone::kNo && r != 1 && !row().persistent) {
      if (row().undone == Undone::kBytes) {
        EXPECT_TRUE(DirectorySnapshot(dir_.path()) == before)
            << "a failed operation is undone: " << ::testing::PrintToString(Entries());
      } else {
        EXPECT_EQ(Entries(), beforeEntries) << "a failed operation is undone";
      }
    }
    // The operation runs again from whatever the failure left, and finishes.
    if (now != done && row().retries) {
      bool ignored = false;
      int16_t again = Attempt(0, &ignored);
      if (again != 1 && row().recover) {
        Begin();
        again = row().recover(*this);
        End();
      }
      EXPECT_EQ(again, 1) << "the retry";
      for (const std::string& bad : NeitherOldNorNew(done, done, Capture())) ADD_FAILURE() << "after the retry " << bad;
    }
    std::set<std::string> entries = Entries(), want = doneEntries;
    for (const std::string& leftover : row().leftovers) entries.erase(leftover), want.erase(leftover);
    EXPECT_EQ(entries, want) << "nothing else stays behind";
    if (!fired) {
      EXPECT_EQ(end_, 1) << "the handle closes after a clean run";
      break;
    }
    if (HasFatalFailure()) break;
  }
  EXPECT_GT(n, 2) << "the failures reached the files";
  EXPECT_LT(n, kGiveUpAfter);
}

// --- the rows ---

int16_t CreateHill(WriteFaultTest& f) {
  DataLayerParam p = LayerParam(DEMBASE_TYPE_FLOAT32, 300, 300);
  return _hxCreateDataLayer(f.w_, f.ds_, f.Name("hill").c_str(), &p, 0, 0);
}
void Nothing(WriteFaultTest&) {}
void BeginOnly(WriteFaultTest& f) { f.Begin(); }
// The run may have closed the layer, or failed to: what the files hold is checked after.
void CloseAndEnd(WriteFaultTest& f) {
  (void)f.CloseLayer();
  f.End();
}
void BuildHill(WriteFaultTest& f) { f.BuildHill(); }
int16_t CloseLevel(WriteFaultTest& f) { return _hxClosePyramidLayer(f.w_, f.ds_, f.id_); }

// hill with levels 1 .. count, no tiles.
Step HillWithLevels(int16_t count) {
  return [count](WriteFaultTest& f) {
    ASSERT_NO_FATAL_FAILURE(f.CreateLayer("hill", DEMBASE_TYPE_INT32, 300, 300));
    ASSERT_GE(f.OpenLayer("hill"), 1);
    for (int16_t level = 2; level <= count; ++level) {
      ASSERT_EQ(_hxCreatePyramidLayer(f.w_, f.ds_, f.id_, level, level, level), 1);
    }
    ASSERT_EQ(f.CloseLayer(), 1);
  };
}
Step OpenHill() {
  return [](WriteFaultTest& f) {
    f.Begin();
    ASSERT_GE(f.OpenLayer("hill"), 1);
  };
}

// hill as built, then levels 2 and 3 made and level 2 deleted, so the directory of level
// 2 (hill_2) no longer follows its position; a value table beside level 1; a directory sub.
void BuildHillForMaintenance(WriteFaultTest& f) {
  ASSERT_NO_FATAL_FAILURE(f.BuildHill());
  ASSERT_GE(f.OpenLayer("hill"), 1);
  ASSERT_EQ(_hxCreatePyramidLayer(f.w_, f.ds_, f.id_, 2, 2.0, 2.0), 1);
  ASSERT_EQ(_hxCreatePyramidLayer(f.w_, f.ds_, f.id_, 3, 4.0, 4.0), 1);
  ASSERT_EQ(_hxDeletePyramidLayer(f.w_, f.ds_, f.id_, 2), 1);
  ASSERT_EQ(f.CloseLayer(), 1);
  ASSERT_TRUE(WriteFileBytes(f.Path("hill/hill.WB"), Bytes(40, 'v')));
  ASSERT_TRUE(fs::create_directory(f.Path("sub")));
}
int16_t CopyHill(WriteFaultTest& f);
int16_t DeleteHill(WriteFaultTest& f);
WriteFault Maintenance(const char* name, bool crash, int16_t (*op)(WriteFaultTest&), std::vector<std::string> layers,
                       std::function<int16_t(WriteFaultTest&)> recover = {}) {
  WriteFault row;
  row.name = name;
  row.persistent = crash;
  row.build = BuildHillForMaintenance;
  row.prepare = BeginOnly;
  row.run = op;
  row.finish = [](WriteFaultTest& f) { f.End(); };
  row.layers = std::move(layers);
  row.atomic = !crash || op == CopyHill || op == DeleteHill;  // a rename may end with both names whole
  row.undone = Undone::kBytes;
  row.everyFailureReported = false;  // clearing the old names is best effort
  row.recover = std::move(recover);
  row.leftovers = {"hill",   "hill/hill.Dem",     "hill/hill.Hdr",    "hill/hill.WB",
                   "hill_2", "hill_2/hill_2.Dem", "hill_2/hill_2.Hdr"};
  return row;
}
int16_t CopyHill(WriteFaultTest& f) {
  return _hxCopyDataLayer(f.w_, f.ds_, f.Name("hill").c_str(), f.Name("dale").c_str());
}
int16_t RenameHill(WriteFaultTest& f) {
  return _hxRenameDataLayer(f.w_, f.ds_, f.Name("hill").c_str(), f.Name("dale").c_str());
}
int16_t RenameHillIntoSub(WriteFaultTest& f) {
  return _hxRenameDataLayer(f.w_, f.ds_, f.Name("hill").c_str(), f.Name("sub/dale").c_str());
}
int16_t DeleteHill(WriteFaultTest& f) { return _hxDeleteDataLayer(f.w_, f.ds_, f.Name("hill").c_str()); }
// A rename that got as far as the new header is finished by deleting the old name.
int16_t FinishRename(WriteFaultTest& f) { return FileExists(f.Name("hill")) ? DeleteHill(f) : static_cast<int16_t>(0); }
// A delete that got as far as removing the header has nothing left to do.
int16_t FinishDelete(WriteFaultTest& f) { return FileExists(f.Name("hill")) ? DeleteHill(f) : int16_t{1}; }

// Whole-level writes over f.dem's level `level` of kCount tiles (every fourth empty): the
// new tiles have null cells in their first 64 columns, every third is without data. After
// a crash the payloads written past the recorded end are named by no record, and the
// retry's appends must never land on bytes a record names.
WriteFault LevelWrite(const char* name, int16_t level, bool merge, bool torn, bool crash = false) {
  WriteFault row;
  row.name = name;
  row.torn = torn;
  row.persistent = crash;
  row.build = [level](WriteFaultTest& f) {
    ASSERT_NO_FATAL_FAILURE(f.CreateLayer("f", DEMBASE_TYPE_FLOAT32, kDown * kStep, kAcross * kStep));
    ASSERT_GE(f.OpenLayer("f"), 1);
    ASSERT_EQ(_hxCreatePyramidLayer(f.w_, f.ds_, f.id_, 2, 1.0, 1.0), 1);
    std::vector<CellBlock> tiles;
    for (int32_t t = 0; t < kCount; ++t) tiles.push_back(t % 4 == 0 ? CellBlock(DEMBASE_TYPE_FLOAT32) : Cells(0, t));
    ASSERT_EQ(f.WriteLevel(level, tiles), 1);
    ASSERT_EQ(f.CloseLayer(), 1);
  };
  row.prepare = [merge](WriteFaultTest& f) {
    f.Begin();
    ASSERT_GE(f.OpenLayer("f"), 1);
    ASSERT_EQ(SetOperParam(f.w_, f.id_, true, merge, 0.5f, 0.5f, f.ds_), 1);
  };
  row.run = [level](WriteFaultTest& f) {
    std::vector<CellBlock> tiles;
    for (int32_t t = 0; t < kCount; ++t) {
      tiles.push_back(t % 3 == 0 ? CellBlock(DEMBASE_TYPE_FLOAT32) : Cells(500000, t, 64));
    }
    return f.WriteLevel(level, tiles);
  };
  row.finish = CloseAndEnd;
  row.layers = {"f"};
  row.retries = !merge;  // a merge of the same tiles again blends them twice
  return row;
}

// A database layer of 3 x 4 float tiles, every fourth empty; whole-level writes replace
// every other tile, cell writes change a cell inside every third (an empty one gains a
// tile of one cell) and are stored when the level closes.
WriteFault DbWrite(const char* name, bool wholeLevel, bool crash) {
  WriteFault row;
  row.name = name;
  row.sqlite = true;
  row.persistent = crash;
  row.build = [](WriteFaultTest& f) {
    ASSERT_NO_FATAL_FAILURE(f.CreateLayer("f", DEMBASE_TYPE_FLOAT32, 3 * kStep, 4 * kStep));
    ASSERT_GE(f.OpenLayer("f"), 1);
    std::vector<CellBlock> tiles;
    for (int32_t t = 0; t < 12; ++t) tiles.push_back(t % 4 == 0 ? CellBlock(DEMBASE_TYPE_FLOAT32) : Cells(0, t));
    ASSERT_EQ(SetOperParam(f.w_, f.id_, true, false, 0.0f, 1.0f, f.ds_), 1);
    ASSERT_EQ(f.WriteLevel(1, tiles), 1);
    ASSERT_EQ(f.CloseLayer(), 1);
  };
  row.prepare = [](WriteFaultTest& f) {
    f.Begin();
    ASSERT_GE(f.OpenLayer("f"), 1);
    ASSERT_EQ(SetOperParam(f.w_, f.id_, true, false, 0.0f, 1.0f, f.ds_), 1);
  };
  if (wholeLevel) {
    row.run = [](WriteFaultTest& f) {
      int16_t r = _hxBeginWritePyramidLayer(f.w_, f.ds_, f.id_, 1);
      for (int32_t t = 1; t < 12; t += 2) {
        if (WriteTile(f.w_, t, Cells(500000, t)) != 1) r = 0;
      }
      return _hxEndWritePyramidLayer(f.w_) == 1 ? r : int16_t{0};
    };
  } else {
    row.run = [](WriteFaultTest& f) {
      int16_t r = _hxOpenPyramidLayer(f.w_, f.ds_, f.id_, 1);
      for (int32_t t = 0; t < 12; t += 3) {
        if (_hxSetCell(f.w_, f.ds_, f.id_, 1, 0, t / 4 * kStep + 100, t % 4 * kStep + 100, 900000 + t) != 1) r = 0;
      }
      return _hxClosePyramidLayer(f.w_, f.ds_, f.id_) == 1 ? r : int16_t{0};
    };
  }
  row.finish = CloseAndEnd;
  row.layers = {"f"};
  return row;
}

std::vector<WriteFault> Rows() {
  std::vector<WriteFault> rows;
  {
    WriteFault row;
    row.name = "CreateLayer";
    row.build = Nothing;
    row.prepare = BeginOnly;
    row.run = CreateHill;
    row.finish = [](WriteFaultTest& f) { f.End(); };
    row.layers = {"hill"};
    row.atomic = true;
    row.undone = Undone::kBytes;
    row.everyFailureReported = false;  // a failed directory sync after the header was in place
    // A level directory that could not be made leaves its name to the next one.
    row.leftovers = {"hill", "hill/hill.Dem", "hill/hill.Hdr", "hill_1", "hill_1/hill_1.Dem", "hill_1/hill_1.Hdr"};
    rows.push_back(row);
  }
  // Closing level 1 after the edit, from kBefore (torn and not) and from a new level.
  for (const auto& [name, torn, fresh] :
       {std::tuple{"CloseAfterRewrites", false, false}, std::tuple{"CloseAfterRewritesTorn", true, false},
        std::tuple{"FirstCloseOfANewLevel", false, true}}) {
    WriteFault row;
    row.name = name;
    row.torn = torn;
    row.build = fresh ? Step([](WriteFaultTest& f) { f.CreateLayer("hill", DEMBASE_TYPE_INT32, kRows, kCols); })
                      : Step(BuildHill);
    row.prepare = [fresh](WriteFaultTest& f) {
      f.Begin();
      ASSERT_NO_FATAL_FAILURE(f.OpenLayerAndLevel("hill"));
      const TileContent nothing[kTiles] = {};
      ASSERT_NO_FATAL_FAILURE(f.Edit(fresh ? nothing : kBefore));
    };
    row.run = CloseLevel;
    row.finish = CloseAndEnd;
    row.layers = {"hill"};
    rows.push_back(row);
  }
  {
    // Tiles evicted from the cache are written back long before the close; a write-back
    // that fails must still make the close answer 0.
    WriteFault row;
    row.name = "WriteBackOnEviction";
    constexpr int32_t kWide = 68;  // tiles in one row: more than the cache's 64 blocks
    row.build = [](WriteFaultTest& f) { f.CreateLayer("hill", DEMBASE_TYPE_INT32, 100, kWide * kStep); };
    row.prepare = [](WriteFaultTest& f) {
      f.Begin();
      ASSERT_NO_FATAL_FAILURE(f.OpenLayerAndLevel("hill"));
    };
    row.run = [](WriteFaultTest& f) {
      int16_t r = 1;
      for (int32_t t = 0; t < kWide; ++t) {
        if (_hxSetCell(f.w_, f.ds_, f.id_, 1, 0, 50, t * kStep + 9, t + 1.0) != 1) r = 0;
      }
      return CloseLevel(f) == 1 ? r : int16_t{0};
    };
    row.finish = CloseAndEnd;
    row.layers = {"hill"};
    rows.push_back(row);
  }
  // Level changes: the header and the level directories always agree.
  const auto levelChange = [&](const char* name, int16_t levels, int16_t (*op)(WriteFaultTest&)) {
    WriteFault row;
    row.name = name;
    row.build = HillWithLevels(levels);
    row.prepare = OpenHill();
    row.run = op;
    row.finish = CloseAndEnd;
    row.layers = {"hill"};
    row.atomic = true;
    row.undone = Undone::kNames;
    row.everyFailureReported = false;  // removing a level's files after the header let go is best effort
    row.leftovers = {"hill_1", "hill_1/hill_1.Dem", "hill_1/hill_1.Hdr",
                     "hill_2", "hill_2/hill_2.Dem", "hill_2/hill_2.Hdr",
                     "hill",   "hill/hill.Dem",     "hill/hill.Hdr"};
    rows.push_back(row);
  };
  levelChange("CreateLevel2", 1,
              [](WriteFaultTest& f) { return _hxCreatePyramidLayer(f.w_, f.ds_, f.id_, 2, 2.0, 2.0); });
  levelChange("DeleteLevel2Of3", 3, [](WriteFaultTest& f) { return _hxDeletePyramidLayer(f.w_, f.ds_, f.id_, 2); });
  levelChange("DeleteLevel1Of1", 1, [](WriteFaultTest& f) { return _hxDeletePyramidLayer(f.w_, f.ds_, f.id_, 1); });
  {
    // The layer's header is rewritten with the new range when the layer closes.
    WriteFault row;
    row.name = "HeaderRewriteAtClose";
    row.build = HillWithLevels(1);
    row.prepare = OpenHill();
    row.run = [](WriteFaultTest& f) {
      const bool set =
          _hxOpenPyramidLayer(f.w_, f.ds_, f.id_, 1) == 1 && _hxSetCell(f.w_, f.ds_, f.id_, 1, 0, 3, 3, 42.0) == 1;
      return static_cast<int16_t>(f.CloseLayer() == 1 && set);
    };
    row.finish = [](WriteFaultTest& f) { f.End(); };
    row.layers = {"hill"};
    rows.push_back(row);
  }
  for (const bool crash : {false, true}) {
    rows.push_back(Maintenance(crash ? "CopyCrash" : "CopyFailure", crash, CopyHill, {"hill", "dale"}));
    rows.push_back(
        Maintenance(crash ? "RenameCrash" : "RenameFailure", crash, RenameHill, {"hill", "dale"}, FinishRename));
    rows.push_back(Maintenance(crash ? "RenameIntoSubCrash" : "RenameIntoSubFailure", crash, RenameHillIntoSub,
                               {"hill", "sub/dale"}, FinishRename));
    rows.push_back(Maintenance(crash ? "DeleteCrash" : "DeleteFailure", crash, DeleteHill, {"hill"}, FinishDelete));
  }
  rows.push_back(LevelWrite("MergeLevel2", 2, true, false));
  rows.push_back(LevelWrite("ReplaceLevel2Torn", 2, false, true));
  rows.push_back(LevelWrite("MergeLevel1Torn", 1, true, true));
  rows.push_back(LevelWrite("ReplaceLevel1", 1, false, false));
  rows.push_back(LevelWrite("ReplaceLevel2Crash", 2, false, false, true));
  rows.push_back(LevelWrite("ReplaceLevel1CrashTorn", 1, false, true, true));
  rows.push_back(DbWrite("DbWholeLevel", true, false));
  rows.push_back(DbWrite("DbWholeLevelCrash", true, true));
  rows.push_back(DbWrite("DbCellWrites", false, false));
  rows.push_back(DbWrite("DbCellWritesCrash", false, true));
  return rows;
}

// The same operations with memory running out at each allocation instead.
std::vector<WriteFault> OutOfMemoryRows() {
  std::vector<WriteFault> rows;
  for (WriteFault row : Rows()) {
    if (row.torn || row.persistent) continue;
    row.memory = true;
    rows.push_back(row);
  }
  return rows;
}

std::string RowName(const ::testing::TestParamInfo<WriteFault>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Operations, WriteFaultTest, ::testing::ValuesIn(Rows()), RowName);
INSTANTIATE_TEST_SUITE_P(OutOfMemory, WriteFaultTest, ::testing::ValuesIn(OutOfMemoryRows()), RowName);

}  // namespace
}  // namespace dembase::testing
