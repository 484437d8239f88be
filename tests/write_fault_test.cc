// One failure loop over every operation that writes, and over the opens and reads that must
// fail cleanly: the Nth counted operation of the local files (or of the SQLite files) fails,
// once or from there on as when the process dies, or the Nth allocation fails, for N = 1, 2,
// ... until the operation completes. After each failure the answer says whether everything
// was stored, every item of the layers is old or new (all old or all new where the operation
// promises it), a failure that undoes itself leaves the files as they were, and running the
// operation again finishes the job with nothing left behind.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <new>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "cache/buffers.h"
#include "tests/support/layer_files.h"
#include "tests/support/layer_kind_fixture.h"
#include "tests/support/local_store_fixture.h"
#include "tests/support/tile_cells.h"

namespace dembase::testing {
namespace {

namespace fs = std::filesystem;

// Every operator new of the program counted, so that the nth can throw std::bad_alloc as
// memory exhaustion does; failsAt 0: none fails.
std::atomic<int64_t> failNewAt{0}, newCount{0};
std::atomic<bool> newFailed{false};
void FailNthNew(int64_t n) {
  newCount = 0;
  newFailed = false;
  failNewAt = n;
}

// A SQLite VFS that wraps the default one and fails the nth write, sync or truncate of any
// database file, or every one from the nth on (as FaultEnv does for the local files). It is
// the default VFS for its lifetime, so every connection opened meanwhile goes through it.
// Apart from xOpen, the default VFS's methods never look at the VFS they are called through,
// and its files use a few fixed method tables, so copies of them keep what needs no change.
class SqliteFaultVfs {
 public:
  SqliteFaultVfs() : base_(sqlite3_vfs_find(nullptr)), vfs_(*base_) {
    vfs_.pNext = nullptr;
    vfs_.zName = "dembase-test-fault";
    vfs_.xOpen = &Open;
    active_ = this;
    ok_ = sqlite3_vfs_register(&vfs_, 1) == SQLITE_OK;
  }
  ~SqliteFaultVfs() {
    (void)sqlite3_vfs_register(base_, 1);
    (void)sqlite3_vfs_unregister(&vfs_);
  }
  SqliteFaultVfs(const SqliteFaultVfs&) = delete;
  SqliteFaultVfs& operator=(const SqliteFaultVfs&) = delete;

  bool registered() const { return ok_; }
  // As FaultEnv::FailOperation: n = 0 disables.
  void FailOperation(int64_t n, bool persistent = false) {
    failAt_ = n;
    persistent_ = persistent;
    count_ = 0;
    fired_ = false;
  }
  bool fault_fired() const { return fired_; }

 private:
  static bool Fail() {
    const int64_t n = ++active_->count_;
    const bool fail = active_->failAt_ > 0 && (n == active_->failAt_ || (n > active_->failAt_ && active_->persistent_));
    if (fail) active_->fired_ = true;
    return fail;
  }

  static int Open(sqlite3_vfs* /*v*/, const char* name, sqlite3_file* file, int flags, int* outFlags) {
    sqlite3_vfs* base = active_->base_;
    const int rc = base->xOpen(base, name, file, flags, outFlags);
    if (file->pMethods == nullptr) return rc;
    for (Table& t : tables_) {
      if (t.real == nullptr) Wrap(file->pMethods, &t);
      if (t.real == file->pMethods) {
        file->pMethods = &t.wrapped;
        return rc;
      }
    }
    (void)file->pMethods->xClose(file);  // more tables than foreseen: fail loudly
    file->pMethods = nullptr;
    return SQLITE_CANTOPEN;
  }

  struct Table {
    const sqlite3_io_methods* real;  // null while unused
    sqlite3_io_methods wrapped;
  };
  static const sqlite3_io_methods* Real(sqlite3_file* f) {
    for (const Table& t : tables_) {
      if (&t.wrapped == f->pMethods) return t.real;
    }
    return nullptr;
  }
  // Without memory-mapped reads and writes (version 3), which would bypass the faults.
  static void Wrap(const sqlite3_io_methods* real, Table* t) {
    t->real = real;
    t->wrapped = *real;
    t->wrapped.iVersion = std::min(real->iVersion, 2);
    t->wrapped.xWrite = [](sqlite3_file* f, const void* p, int n, sqlite3_int64 o) {
      return Fail() ? SQLITE_IOERR_WRITE : Real(f)->xWrite(f, p, n, o);
    };
    t->wrapped.xTruncate = [](sqlite3_file* f, sqlite3_int64 size) {
      return Fail() ? SQLITE_IOERR_TRUNCATE : Real(f)->xTruncate(f, size);
    };
    t->wrapped.xSync = [](sqlite3_file* f, int flags) {
      return Fail() ? SQLITE_IOERR_FSYNC : Real(f)->xSync(f, flags);
    };
  }

  // Static: the files of a connection may outlive the test that opened them.
  static inline SqliteFaultVfs* active_ = nullptr;
  static inline std::array<Table, 4> tables_{};
  sqlite3_vfs* const base_;
  sqlite3_vfs vfs_;
  bool ok_ = false;
  std::atomic<int64_t> count_{0};
  std::atomic<int64_t> failAt_{0};
  std::atomic<bool> persistent_{false};
  std::atomic<bool> fired_{false};
};

using LayerState = std::map<std::string, std::string>;

// Items of the layer `name` as a fresh handle reads them, keys prefixed with `name`.
// The layer's value range is left out: it follows the records, which may be a mix.
void CaptureLayer(const std::function<int32_t(DemBaseAI*)>& openDataSet, const std::string& name, LayerState* state) {
  DemBaseAI* h = _hxCreateDemBaseAI();
  const int32_t ds = h == nullptr ? 0 : openDataSet(h);
  const int32_t id = ds < 1 ? 0 : _hxOpenDataLayer(h, ds, name.c_str(), 0);
  DataLayerParam p{};
  if (id < 1 || _hxGetDataLayerParam(h, ds, id, &p) != 1) {
    (*state)[name] = h != nullptr && _hxDeleteDemBaseAI(h) != 1 ? "absent, close refused" : "absent";
    return;
  }
  (*state)[name] = "type " + std::to_string(p.dataType) + " levels " + std::to_string(p.levelCount);
  float lo = 3.402823e38f, hi = -3.402823e38f;  // over level 1's tiles with cells
  for (int16_t level = 1; level <= p.levelCount; ++level) {
    const std::string key = name + " level " + std::to_string(level);
    PyramidLayerInfo info{};
    if (_hxGetPyramidLayerInfo(h, ds, id, level, &info) != 1 || _hxOpenPyramidLayer(h, ds, id, level) != 1) {
      (*state)[key] = "unreadable";
      continue;
    }
    const int32_t down = info.tilesDown, across = info.tilesAcross;
    (*state)[key] = std::to_string(info.rows) + " x " + std::to_string(info.cols);
    for (int32_t t = 0; t < down * across; ++t) {
      const std::string tileKey = key + " tile " + std::to_string(t);
      OneTileInfo rec{};
      if (_hxGetOneTileInfo(h, ds, id, level, 0, t / across, t % across, &rec) == 1) {
        (*state)[tileKey + " record"] = std::to_string(rec.minimum) + " .. " + std::to_string(rec.maximum);
      }
      const int16_t begin = _hxBeginReadTile(h, ds, id, level, 0, t / across, t % across);
      std::string tile = " begin " + std::to_string(begin) + ";";
      uint64_t hash = 1469598103934665603u;
      // Every seventh row and column, and the last, which neighbouring tiles share.
      const auto next = [](int32_t i) { return i == 255 ? 256 : std::min(i + 7, 255); };
      for (int32_t r = 0; begin > 0 && r < 256; r = next(r)) {
        for (int32_t c = 0; c < 256; c = next(c)) {
          double v = 0;
          uint8_t isNull = 9;
          if (_hxReadCellOfTile(h, r, c, &v, &isNull) != 1) isNull = 7;
          hash = (hash ^ static_cast<uint64_t>(isNull == 0 ? v * 4.0 : -1e12 - isNull)) * 1099511628211u;
        }
      }
      if (begin > 0 && _hxEndReadTile(h) != 1) tile += " end refused";
      if (begin == 1 && level == 1) lo = std::min(lo, rec.minimum), hi = std::max(hi, rec.maximum);
      (*state)[tileKey] = tile + " cells " + std::to_string(hash);
    }
    if (_hxClosePyramidLayer(h, ds, id) != 1) (*state)[key] += ", close refused";
  }
  // The layer's range is that of level 1's records.
  DataLayerParam closed{};
  const bool follows =
      _hxGetDataLayerParam(h, ds, id, &closed) == 1 && (lo > hi || (closed.minValue == lo && closed.maxValue == hi));
  (*state)[name + " range record"] = follows ? "follows level 1" : "stale";
  // Reading changes nothing, so closing it has nothing to fail on.
  if (_hxCloseDataLayer(h, ds, id) != 1 || _hxDeleteDemBaseAI(h) != 1) (*state)[name] += ", close refused";
}

// The keys whose item in `now` is neither as in `before` nor as in `after`; tile records
// left out when `records` is false.
std::vector<std::string> NeitherOldNorNew(const LayerState& before, const LayerState& after, const LayerState& now,
                                          bool records = true) {
  std::vector<std::string> bad;
  const auto at = [](const LayerState& s, const std::string& k) {
    const auto it = s.find(k);
    return it == s.end() ? std::string("none") : it->second;
  };
  LayerState keys = before;
  keys.insert(after.begin(), after.end());
  keys.insert(now.begin(), now.end());
  for (const auto& [k, v] : keys) {
    if (!records && k.ends_with(" record")) continue;
    const std::string n = at(now, k);
    if (n != at(before, k) && n != at(after, k)) bad.push_back(k + ": " + n);
  }
  return bad;
}

class WriteFaultTest;
enum class Undone { kNo, kNames, kBytes };
using Step = std::function<void(WriteFaultTest&)>;
using Run = std::function<int16_t(WriteFaultTest&)>;

struct WriteFault {
  const char* name = "";
  Step build{};    // the starting layers, made once
  Step prepare{};  // before each attempt, with nothing failing; a handle when empty
  Run run{};
  Step finish{};                               // closes what the attempt left open; layer and handle when empty
  std::vector<std::string> layers = {"hill"};  // stems of the layers to compare
  bool sqlite = false;
  bool persistent = false;             // every operation from the Nth on fails, through `finish`
  bool torn = false;                   // a failed write leaves part of its bytes
  bool memory = false;                 // the Nth allocation fails instead (operator new and buffers)
  bool buffersOnly = false;            // of the allocations, only the buffers' fail
  bool changes = true;                 // false: an open or read, which leaves everything as it was
  bool atomic = false;                 // all old or all new
  Undone undone = Undone::kNo;         // what a failure leaves as it was
  bool everyFailureReported = true;    // 0 exactly when an I/O operation failed
  bool memoryFailureReported = false;  // 0 exactly when an allocation failed
  bool retries = true;                 // running it again is meant to finish it
  Run recover{};                       // when running again answers 0
  std::set<std::string> leftovers{};   // may stay in the directory after a failure
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
    id_ = 0;
    ASSERT_GE(ds_, 1);
  }
  void End() {
    if (w_ != nullptr) end_ = _hxDeleteDemBaseAI(w_);
    w_ = nullptr;
  }
  // The run may have closed the layer, or failed to: what the files hold is checked after.
  void CloseAndEnd() {
    if (w_ != nullptr) (void)CloseLayer();
    End();
  }
  int32_t OpenLayer(const std::string& stem) { return id_ = _hxOpenDataLayer(w_, ds_, Name(stem).c_str(), 0); }
  int16_t CloseLayer() { return _hxCloseDataLayer(w_, ds_, id_); }
  int16_t CloseLevel() { return _hxClosePyramidLayer(w_, ds_, id_); }
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
  // A whole-level write of `tiles`, or of those at odd positions (tiles without data where
  // the block is all null); 1 when every call answered 1.
  int16_t WriteLevel(int16_t level, const std::vector<CellBlock>& tiles, bool oddOnly = false) {
    int16_t r = _hxBeginWritePyramidLayer(w_, ds_, id_, level);
    for (int32_t t = oddOnly ? 1 : 0; t < static_cast<int32_t>(tiles.size()); t += oddOnly ? 2 : 1) {
      if ((tiles[t].AllNull() ? WriteNoDataTile(w_, t, tiles[t]) : WriteTile(w_, t, tiles[t])) != 1) r = 0;
    }
    return _hxEndWritePyramidLayer(w_) == 1 ? r : 0;
  }

  void Arm(int64_t n) {
    if (row().memory) {
      if (!row().buffersOnly) FailNthNew(n);
      FailNthAllocation(n);
    } else if (row().sqlite) {
      vfs_.FailOperation(n, row().persistent);
    } else {
      env_.SetTornWrites(row().torn);
      env_.FailOperation(n, row().persistent);
    }
  }
  bool Fired() const {
    if (row().memory) return newFailed || AllocationFaultFired();
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
    row().prepare ? row().prepare(*this) : Begin();
    if (HasFatalFailure()) return -100;
    Arm(n);
    int16_t r = kTestsOwnAllocation;
    try {
      r = row().run(*this);
    } catch (const std::bad_alloc&) {
      // The exports never throw: the allocation that failed was the test's own.
    }
    *fired = Fired();
    answer_ = r;
    if (!row().persistent) Disarm();  // which also forgets whether the fault fired
    row().finish ? row().finish(*this) : CloseAndEnd();
    *fired = *fired || Fired();
    Disarm();
    return r;
  }

  DemBaseAI* w_ = nullptr;
  int32_t ds_ = 0, id_ = 0;
  int16_t end_ = 1, answer_ = 0;  // of the handle's deletion and of the run
  SqliteFaultVfs vfs_;
};

TEST_P(WriteFaultTest, EachItemOldOrNewAndTheRetryFinishes) {
  ASSERT_TRUE(vfs_.registered());
  Begin();
  if (row().build) row().build(*this);
  End();
  ASSERT_FALSE(HasFatalFailure());
  // Reading a level never closed marks it closed: the snapshot follows the first look.
  LayerState old = Capture();
  const DirectorySnapshot before(dir_.path());
  const std::set<std::string> beforeEntries = Entries();
  bool fired = false;
  ASSERT_EQ(Attempt(0, &fired), 1);
  const LayerState done = Capture();
  const std::set<std::string> doneEntries = Entries();
  ASSERT_EQ(old != done, row().changes);

  int64_t n = 1;
  for (; n < kGiveUpAfter; ++n) {
    SCOPED_TRACE(::testing::Message() << (row().persistent ? "every operation failing from " : "operation ") << n);
    before.Restore();
    const int16_t r = Attempt(n, &fired);
    ASSERT_NE(r, -100);
    if (r == kTestsOwnAllocation) continue;
    EXPECT_TRUE(r == 1 || (fired && r == 0)) << r;
    // Out of memory, some steps have a slower way that needs none.
    if (row().memory ? row().memoryFailureReported : row().everyFailureReported && !row().persistent) {
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
void BuildHill(WriteFaultTest& f) { f.BuildHill(); }
int16_t CloseLevel(WriteFaultTest& f) { return f.CloseLevel(); }
void OpenHill(WriteFaultTest& f) {
  f.Begin();
  ASSERT_GE(f.OpenLayer("hill"), 1);
}
// hill open with level 1, and edited from `from` when given.
Step OpenHillLevel(const TileContent* from = nullptr) {
  return [from](WriteFaultTest& f) {
    f.Begin();
    ASSERT_NO_FATAL_FAILURE(f.OpenLayerAndLevel("hill"));
    if (from != nullptr) f.Edit(from);  // last: a fatal failure in it ends the step anyway
  };
}

// `count` float tiles Cells(base, t, nullCols), every `emptyEvery`th all null from tile 0 on.
std::vector<CellBlock> FloatTiles(int32_t count, int32_t emptyEvery, double base, int32_t nullCols = 0) {
  std::vector<CellBlock> tiles;
  for (int32_t t = 0; t < count; ++t) {
    tiles.push_back(t % emptyEvery == 0 ? CellBlock(DEMBASE_TYPE_FLOAT32) : Cells(base, t, nullCols));
  }
  return tiles;
}
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
// A float layer of down x across tiles and `levels` levels, every fourth tile empty, written to `level`.
Step FloatLayer(int32_t down, int32_t across, int16_t levels, int16_t level) {
  return [=](WriteFaultTest& f) {
    ASSERT_NO_FATAL_FAILURE(f.CreateLayer("hill", DEMBASE_TYPE_FLOAT32, down * kStep, across * kStep));
    ASSERT_GE(f.OpenLayer("hill"), 1);
    if (levels == 2) {
      ASSERT_EQ(_hxCreatePyramidLayer(f.w_, f.ds_, f.id_, 2, 1.0, 1.0), 1);
    }
    ASSERT_EQ(SetOperParam(f.w_, f.id_, true, false, 0.0f, 1.0f, f.ds_), 1);
    ASSERT_EQ(f.WriteLevel(level, FloatTiles(down * across, 4, 0)), 1);
    ASSERT_EQ(f.CloseLayer(), 1);
  };
}
// The layer open with the write mode set: compressed, merging with weights 0.5 or replacing.
Step OpenToWrite(bool merge) {
  return [merge](WriteFaultTest& f) {
    ASSERT_NO_FATAL_FAILURE(OpenHill(f));
    ASSERT_EQ(SetOperParam(f.w_, f.id_, true, merge, merge ? 0.5f : 0.0f, merge ? 0.5f : 1.0f, f.ds_), 1);
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
int16_t DeleteHill(WriteFaultTest& f) { return _hxDeleteDataLayer(f.w_, f.ds_, f.Name("hill").c_str()); }
// A rename that got as far as the new header is finished by deleting the old name; a delete
// that got as far as removing the header has nothing left to do.
Run FinishBy(int16_t doneAlready) {
  return [doneAlready](WriteFaultTest& f) { return FileExists(f.Name("hill")) ? DeleteHill(f) : doneAlready; };
}
// Copy, rename or delete of hill: `to` names the target, empty for a delete.
WriteFault Maintenance(const char* name, bool crash, const char* to, bool copy = false) {
  const std::string target = to;
  return {.name = name,
          .build = BuildHillForMaintenance,
          .run = [=](WriteFaultTest& f) -> int16_t {
            if (target.empty()) return DeleteHill(f);
            const auto op = copy ? _hxCopyDataLayer : _hxRenameDataLayer;
            return op(f.w_, f.ds_, f.Name("hill").c_str(), f.Name(target).c_str());
          },
          .layers = target.empty() ? std::vector<std::string>{"hill"} : std::vector<std::string>{"hill", target},
          .persistent = crash,
          .atomic = !crash || copy || target.empty(),  // a rename may end with both names whole
          .undone = Undone::kBytes,
          .everyFailureReported = false,  // clearing the old names is best effort
          .recover = copy ? Run() : FinishBy(target.empty() ? 1 : 0),
          .leftovers = {"hill", "hill/hill.Dem", "hill/hill.Hdr", "hill/hill.WB", "hill_2", "hill_2/hill_2.Dem",
                        "hill_2/hill_2.Hdr"}};
}

// Whole-level writes over level `level` of kCount tiles (every fourth empty): the new tiles
// have null cells in their first 64 columns, every third is without data. After a crash
// the payloads written past the recorded end are named by no record, and the retry's
// appends must never land on bytes a record names.
WriteFault LevelWrite(const char* name, int16_t level, bool merge, bool torn, bool crash = false) {
  return {.name = name,
          .build = FloatLayer(kDown, kAcross, 2, level),
          .prepare = OpenToWrite(merge),
          .run = [level](WriteFaultTest& f) { return f.WriteLevel(level, FloatTiles(kCount, 3, 500000, 64)); },
          .persistent = crash,
          .torn = torn,
          .retries = !merge};  // a merge of the same tiles again blends them twice
}

// A database layer of 3 x 4 float tiles, every fourth empty; whole-level writes replace
// every other tile, cell writes change a cell inside every third (an empty one gains a
// tile of one cell) and are stored when the level closes.
WriteFault DbWrite(const char* name, bool wholeLevel, bool crash) {
  return {.name = name,
          .build = FloatLayer(3, 4, 1, 1),
          .prepare = OpenToWrite(false),
          .run =
              [wholeLevel](WriteFaultTest& f) {
                if (wholeLevel) {
                  return f.WriteLevel(1, FloatTiles(12, 2, 500000), true);
                }
                int16_t r = _hxOpenPyramidLayer(f.w_, f.ds_, f.id_, 1);
                for (int32_t t = 0; t < 12; t += 3) {
                  const int32_t row = t / 4 * kStep + 100, col = t % 4 * kStep + 100;
                  if (_hxSetCell(f.w_, f.ds_, f.id_, 1, 0, row, col, 900000 + t) != 1) r = 0;
                }
                return f.CloseLevel() == 1 ? r : int16_t{0};
              },
          .sqlite = true,
          .persistent = crash};
}

// Level changes: the header and the level directories always agree.
WriteFault LevelChange(const char* name, int16_t levels, Run op) {
  return {.name = name,
          .build = HillWithLevels(levels),
          .prepare = OpenHill,
          .run = std::move(op),
          .atomic = true,
          .undone = Undone::kNames,
          .everyFailureReported = false,  // removing a level's files after the header let go is best effort
          .leftovers = {"hill_1", "hill_1/hill_1.Dem", "hill_1/hill_1.Hdr", "hill_2", "hill_2/hill_2.Dem",
                        "hill_2/hill_2.Hdr", "hill", "hill/hill.Dem", "hill/hill.Hdr"}};
}

// A float layer with tile 4 (row 1, column 1) stored, read back whole through tile data.
const CellBlock& StoredTile() {
  static const CellBlock stored = Cells(0, 4);
  return stored;
}
void BuildStoredTile(WriteFaultTest& f) {
  ASSERT_NO_FATAL_FAILURE(f.CreateLayer("hill", DEMBASE_TYPE_FLOAT32, kRows, kCols));
  ASSERT_GE(f.OpenLayer("hill"), 1);
  std::vector<CellBlock> tiles(5, CellBlock(DEMBASE_TYPE_FLOAT32));
  tiles[4] = StoredTile();
  ASSERT_EQ(f.WriteLevel(1, tiles), 1);
  ASSERT_EQ(f.CloseLayer(), 1);
}
// 1 when tile 4 reads whole, 0 when refused, -1 when it reads wrong.
int16_t ReadStoredTile(WriteFaultTest& f) {
  CellBlock read(DEMBASE_TYPE_FLOAT32);
  const int16_t r = ReadTileData(f.w_, f.id_, 1, 1, 1, &read, f.ds_);
  return r == 1 && !(read == StoredTile()) ? int16_t{-1} : r;
}

// A failed open holds nothing: the same handle opens the level afterwards and reads it.
void ReopenAndRead(WriteFaultTest& f) {
  if (f.id_ >= 1) {
    EXPECT_TRUE(f.answer_ == 1 || _hxOpenPyramidLayer(f.w_, f.ds_, f.id_, 1) == 1)
        << "the failed open released what it held";
    EXPECT_EQ(ClassifyTile(f.w_, f.id_, 1, 0, 0, kBefore[0], kBefore[0]), Seen::kFirst);
  }
  f.CloseAndEnd();
}

std::vector<WriteFault> Rows(bool memory) {
  std::vector<WriteFault> rows = {
      {.name = "CreateLayer",
       .run = CreateHill,
       .atomic = true,
       .undone = Undone::kBytes,
       .everyFailureReported = false,  // a failed directory sync after the header was in place
       // A level directory that could not be made leaves its name to the next one.
       .leftovers = {"hill", "hill/hill.Dem", "hill/hill.Hdr", "hill_1", "hill_1/hill_1.Dem", "hill_1/hill_1.Hdr"}},
      {// Tiles evicted from the cache are written back long before the close; a write-back
       // that fails must still make the close answer 0. 68 tiles: more than the cache's 64 blocks.
       .name = "WriteBackOnEviction",
       .build = [](WriteFaultTest& f) { f.CreateLayer("hill", DEMBASE_TYPE_INT32, 100, 68 * kStep); },
       .prepare = OpenHillLevel(),
       .run =
           [](WriteFaultTest& f) {
             int16_t r = 1;
             for (int32_t t = 0; t < 68; ++t) {
               if (_hxSetCell(f.w_, f.ds_, f.id_, 1, 0, 50, t * kStep + 9, t + 1.0) != 1) r = 0;
             }
             return f.CloseLevel() == 1 ? r : int16_t{0};
           }},
      {// The layer's header is rewritten with the new range when the layer closes.
       .name = "HeaderRewriteAtClose",
       .build = HillWithLevels(1),
       .prepare = OpenHill,
       .run =
           [](WriteFaultTest& f) {
             const bool set = _hxOpenPyramidLayer(f.w_, f.ds_, f.id_, 1) == 1 &&
                              _hxSetCell(f.w_, f.ds_, f.id_, 1, 0, 3, 3, 42.0) == 1;
             return static_cast<int16_t>(f.CloseLayer() == 1 && set);
           },
       .finish = [](WriteFaultTest& f) { f.End(); }},
      LevelChange("CreateLevel2", 1,
                  [](WriteFaultTest& f) { return _hxCreatePyramidLayer(f.w_, f.ds_, f.id_, 2, 2.0, 2.0); }),
      LevelChange("DeleteLevel2Of3", 3, [](WriteFaultTest& f) { return _hxDeletePyramidLayer(f.w_, f.ds_, f.id_, 2); }),
      LevelChange("DeleteLevel1Of1", 1, [](WriteFaultTest& f) { return _hxDeletePyramidLayer(f.w_, f.ds_, f.id_, 1); }),
      LevelWrite("MergeLevel2", 2, true, false),
      LevelWrite("ReplaceLevel1", 1, false, false),
      DbWrite("DbWholeLevel", true, false),
      DbWrite("DbCellWrites", false, false),
  };
  // Closing level 1 after the edit, from kBefore (torn and not) and from a new level.
  for (const auto& [name, torn, fresh] :
       {std::tuple{"CloseAfterRewrites", false, false}, std::tuple{"CloseAfterRewritesTorn", true, false},
        std::tuple{"FirstCloseOfANewLevel", false, true}}) {
    static constexpr TileContent kNothing[kTiles] = {};
    rows.push_back(
        {.name = name,
         .build = fresh ? Step([](WriteFaultTest& f) { f.CreateLayer("hill", DEMBASE_TYPE_INT32, kRows, kCols); })
                        : Step(BuildHill),
         .prepare = OpenHillLevel(fresh ? kNothing : kBefore),
         .run = CloseLevel,
         .torn = torn});
  }
  for (const bool crash : {false, true}) {
    rows.push_back(Maintenance(crash ? "CopyCrash" : "CopyFailure", crash, "dale", true));
    rows.push_back(Maintenance(crash ? "RenameCrash" : "RenameFailure", crash, "dale"));
    // Out of memory, a rename into a subdirectory takes the same steps as the one above.
    if (!memory) rows.push_back(Maintenance(crash ? "RenameIntoSubCrash" : "RenameIntoSubFailure", crash, "sub/dale"));
    rows.push_back(Maintenance(crash ? "DeleteCrash" : "DeleteFailure", crash, ""));
  }
  if (memory) {
    // Memory running out while a handle is deleted with edits unwritten never ends the
    // process: the answer tells of the loss, and each tile is old or new.
    rows.push_back({.name = "DeletingAHandleWithUnwrittenEdits",
                    .build = BuildHill,
                    .prepare = OpenHillLevel(kBefore),
                    .run = [](WriteFaultTest& f) {
                      const int16_t r = _hxDeleteDemBaseAI(f.w_);
                      f.w_ = nullptr;
                      return r;
                    }});
    // A level open whose buffers cannot be allocated is refused cleanly.
    rows.push_back({.name = "OpenLevel",
                    .build = BuildHill,
                    .prepare = OpenHill,
                    .run = [](WriteFaultTest& f) { return _hxOpenPyramidLayer(f.w_, f.ds_, f.id_, 1); },
                    .finish = ReopenAndRead,
                    .buffersOnly = true,
                    .changes = false,
                    .memoryFailureReported = true});
    std::erase_if(rows, [](const WriteFault& row) { return row.torn || row.persistent; });
    for (WriteFault& row : rows) row.memory = true;
    return rows;
  }
  // A tile-data read failing at any step answers 0 and holds nothing afterwards; a failure
  // that only hit reading the next tile ahead leaves this read whole.
  rows.push_back({.name = "OpenLayerAndLevel",
                  .build = BuildHill,
                  .run = [](WriteFaultTest& f) -> int16_t {
                    return f.OpenLayer("hill") >= 1 && _hxOpenPyramidLayer(f.w_, f.ds_, f.id_, 1) == 1;
                  },
                  .finish = ReopenAndRead,
                  .changes = false});
  rows.push_back({.name = "ReadTileData",
                  .build = BuildStoredTile,
                  .prepare = OpenHill,
                  .run = ReadStoredTile,
                  .finish =
                      [](WriteFaultTest& f) {
                        EXPECT_EQ(ReadStoredTile(f), 1) << "the failed read released what it held";
                        f.CloseAndEnd();
                      },
                  .changes = false,
                  .everyFailureReported = false});
  rows.push_back(LevelWrite("ReplaceLevel2Torn", 2, false, true));
  rows.push_back(LevelWrite("MergeLevel1Torn", 1, true, true));
  rows.push_back(LevelWrite("ReplaceLevel2Crash", 2, false, false, true));
  rows.push_back(LevelWrite("ReplaceLevel1CrashTorn", 1, false, true, true));
  rows.push_back(DbWrite("DbWholeLevelCrash", true, true));
  rows.push_back(DbWrite("DbCellWritesCrash", false, true));
  return rows;
}

std::string RowName(const ::testing::TestParamInfo<WriteFault>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Operations, WriteFaultTest, ::testing::ValuesIn(Rows(false)), RowName);
INSTANTIATE_TEST_SUITE_P(OutOfMemory, WriteFaultTest, ::testing::ValuesIn(Rows(true)), RowName);

using LocalFaultTest = LocalStoreTest;

// Failures outside the loop, on hill.dem with tile 4 (row 1, column 1) stored: a merge whose
// stored tile cannot be read answers 0 and writes nothing; a cache pool that cannot be
// reserved refuses the level open until it can.
TEST_F(LocalFaultTest, MergeOverAnUnreadableTileAndAnUnreservableCachePoolAreRefused) {
  const int32_t id = CreateAndOpen("hill.dem", DEMBASE_TYPE_FLOAT32, kRows, kCols, false);
  ASSERT_GE(id, 1);
  ASSERT_EQ(SetOperParam(h_, id, true, true, 0.5f, 0.5f), 1);
  ASSERT_EQ(_hxBeginWritePyramidLayer(h_, kLocal, id, 1), 1);
  ASSERT_EQ(WriteTile(h_, 4, StoredTile()), 1);  // merged with nothing: stored as written
  ASSERT_EQ(_hxEndWritePyramidLayer(h_), 1);
  env_.FailReadsOf(Path("hill/hill.Dem"));
  ASSERT_EQ(_hxBeginWritePyramidLayer(h_, kLocal, id, 1), 1);
  EXPECT_EQ(WriteTile(h_, 4, Cells(9, 4)), 0);
  EXPECT_EQ(WriteTile(h_, 5, Cells(9, 5)), 1);  // an empty tile needs no read
  EXPECT_EQ(_hxEndWritePyramidLayer(h_), 0) << "the write did not store everything it was given";
  env_.ClearFaults();
  env_.SetPhysicalMemory(uint64_t{64} << 20);
  CellBlock read(DEMBASE_TYPE_FLOAT32);
  EXPECT_EQ(ReadTileData(h_, id, 1, 1, 1, &read), 1);
  EXPECT_TRUE(read == StoredTile());
  EXPECT_EQ(ReadTileData(h_, id, 1, 1, 2, &read), 1);
  EXPECT_TRUE(read == Cells(9, 5));
  ASSERT_EQ(_hxCloseDataLayer(h_, kLocal, id), 1);

  DemBaseAI* fresh = _hxCreateDemBaseAI();  // its cache pool does not exist before its first level open
  ASSERT_NE(fresh, nullptr);
  ASSERT_EQ(_hxOpenDataSet(fresh, nullptr, 0.125f), kLocal);
  const int32_t again = _hxOpenDataLayer(fresh, kLocal, Path("hill.dem").c_str(), 0);
  ASSERT_GE(again, 1);
  env_.SetReserveMemoryFails(true);
  EXPECT_EQ(_hxOpenPyramidLayer(fresh, kLocal, again, 1), 0);
  env_.SetReserveMemoryFails(false);
  EXPECT_EQ(_hxOpenPyramidLayer(fresh, kLocal, again, 1), 1);
  uint8_t isNull = 9;
  EXPECT_EQ(_hxGetCell(fresh, kLocal, again, 1, 0, kStep + 7, kStep + 9, &isNull), StoredTile().Get(7, 9));
  EXPECT_EQ(isNull, 0);
  EXPECT_EQ(_hxCloseDataLayer(fresh, kLocal, again), 1);
  EXPECT_EQ(_hxDeleteDemBaseAI(fresh), 1);
}

}  // namespace
}  // namespace dembase::testing

// The counting operator new below hands out malloc's blocks, which operator delete frees.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(size_t size) {
  using dembase::testing::failNewAt, dembase::testing::newCount, dembase::testing::newFailed;
  if (failNewAt.load(std::memory_order_relaxed) > 0 && ++newCount == failNewAt.load()) {
    newFailed = true;
    throw std::bad_alloc();
  }
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }

#if defined(__SANITIZE_ADDRESS__)
// The counting operator new pairs malloc with free, and blocks the sanitizer's own
// operator new handed out before these took over are freed through them too.
extern "C" __attribute__((visibility("default"), used)) const char* __asan_default_options() {
  return "alloc_dealloc_mismatch=0";
}
#endif
