// Whole-level writes of a local layer after crashes and failed reads: no record points at
// bytes that were not written completely, and no later append overwrites a payload that a
// record points at. (Failures at every step of a write: write_fault_test.)
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/cell_block.h"
#include "tests/support/level_io.h"
#include "tests/support/layer_files.h"
#include "tests/support/local_store_fixture.h"

namespace dembase::testing {
namespace {

namespace fs = std::filesystem;

constexpr uint16_t kType = DEMBASE_TYPE_FLOAT32;
constexpr int32_t kDown = 4;
constexpr int32_t kAcross = 5;
constexpr int32_t kCount = kDown * kAcross;

// Tile t's cells: base + t * 1000 + r + c / 4, null in the first nullCols columns.
CellBlock Cells(double base, int32_t t, int32_t nullCols = 0) {
  CellBlock b(kType);
  for (int32_t r = 0; r < kEdge; ++r) {
    for (int32_t c = nullCols; c < kEdge; ++c) b.Set(r, c, base + t * 1000.0 + r + c / 4.0);
  }
  return b;
}

class LevelWriteFaultTest : public LocalStoreTest {
 protected:
  // Makes layer dir/f.dem with levels 1 and 2, both closed and recorded in its header.
  int32_t MakeLayer(const std::string& dir) {
    fs::create_directories(Path(dir));
    const std::string name = dir + "/f.dem";
    const int32_t id = CreateAndOpen(name, kType, kDown * kStep, kAcross * kStep);
    if (id < 1 || _hxCreatePyramidLayer(h_, kLocal, id, 2, 1.0, 1.0) != 1 ||
        _hxClosePyramidLayer(h_, kLocal, id) != 1 || _hxCloseDataLayer(h_, kLocal, id) != 1) {
      return 0;
    }
    return Open(dir);
  }
  int32_t Open(const std::string& dir) { return _hxOpenDataLayer(h_, kLocal, Path(dir + "/f.dem").c_str(), 0); }
  LevelProbe Probe(const std::string& dir, int level) {
    LevelProbe probe;
    EXPECT_TRUE(probe.Load(Path(dir + "/f.dem"), level));
    return probe;
  }
  // Tile t as stored on disk, read without the library; all null for an empty tile.
  CellBlock StoredCells(const LevelProbe& probe, int32_t t) {
    CellBlock b(kType);
    if (probe.Stored(t)) {
      EXPECT_TRUE(probe.ReadCells(t, b.data())) << t;
    }
    return b;
  }
  // Whether the library reads tile t as expected: the tile-data read answers 1 (or 2
  // for an empty tile) and a diagonal of cells matches.
  bool LibraryReads(int32_t id, int16_t level, int32_t t, const CellBlock& expected) {
    return SequenceReads(_hxBeginReadTileData(h_, kLocal, id, level, 0, t / kAcross, t % kAcross), expected);
  }
  // Checks the cells of a tile-data read that Begin answered with r, then ends it.
  bool SequenceReads(int16_t r, const CellBlock& expected) {
    bool ok = r == (expected.AllNull() ? 2 : 1);
    for (int32_t i = 0; ok && i < kEdge; ++i) {
      double v = 0;
      uint8_t isNull = 9;
      ok = _hxReadCellOfTileData(h_, i, (i * 3) % kEdge, &v, &isNull) == 1 &&
           (expected.IsNull(i, (i * 3) % kEdge) ? isNull == 1 : isNull == 0 && v == expected.Get(i, (i * 3) % kEdge));
    }
    if (r > 0 && _hxEndReadTileData(h_) != 1) ok = false;
    return ok;
  }
  static void Restore(const std::string& from, const std::string& to) {
    fs::remove_all(to);
    fs::copy(from, to, fs::copy_options::recursive);
  }
  void StopFaults() {
    env_.FailOperation(0);
    env_.SetTornWrites(false);
  }
};

enum class Crash { kCopiedAsideMidWrite, kTableWriteFailsAtEnd };
enum class LaterAppend { kWholeLevelWrite, kCellWrites };

struct CrashCase {
  const char* name;
  Crash crash;
  LaterAppend later;
  friend void PrintTo(const CrashCase& k, std::ostream* os) { *os << k.name; }
};

class CrashTest : public LevelWriteFaultTest, public ::testing::WithParamInterface<CrashCase> {};

// A crash after some tiles were written leaves their payloads past the data file's
// recorded end, named by no record (the records change only once the payloads are
// durable); whatever appends next goes after them.
TEST_P(CrashTest, LaterAppendsNeverOverwriteWhatARecordPointsAt) {
  const CrashCase k = GetParam();
  constexpr int32_t kWritten = 8;
  int32_t id = MakeLayer("live");
  ASSERT_GE(id, 1);
  ASSERT_EQ(_hxBeginWritePyramidLayer(h_, kLocal, id, 2), 1);
  for (int32_t t = 0; t < kWritten; ++t) ASSERT_EQ(WriteTile(h_, t, Cells(0, t)), 1);
  std::string dir = "live";
  if (k.crash == Crash::kCopiedAsideMidWrite) {
    fs::copy(Path("live"), Path("crashed"), fs::copy_options::recursive);  // the files as a crash leaves them
    dir = "crashed";
  } else {
    env_.FailOperation(2);  // after syncing the data file, the table write fails
  }
  EXPECT_EQ(_hxEndWritePyramidLayer(h_), k.crash == Crash::kTableWriteFailsAtEnd ? 0 : 1);
  StopFaults();
  ASSERT_EQ(_hxCloseDataLayer(h_, kLocal, id), 1);

  const LevelProbe crashed = Probe(dir, 2);
  ASSERT_EQ(crashed.data_file_end(0), 0u);
  ASSERT_EQ(crashed.CountPastRecordedEnd(), 0);
  ASSERT_GT(crashed.data_file_size(0), 0u) << "the interrupted write's payloads";

  std::vector<CellBlock> expected(kCount, CellBlock(kType));
  id = Open(dir);
  ASSERT_GE(id, 1);
  if (k.later == LaterAppend::kWholeLevelWrite) {
    ASSERT_EQ(_hxBeginWritePyramidLayer(h_, kLocal, id, 2), 1);
    for (int32_t t : {kWritten, kWritten + 1, kCount - 1, 0}) {
      expected[t] = Cells(70000, t);
      ASSERT_EQ(WriteTile(h_, t, expected[t]), 1);
    }
    ASSERT_EQ(_hxEndWritePyramidLayer(h_), 1);
  } else {
    ASSERT_EQ(_hxOpenPyramidLayer(h_, kLocal, id, 2), 1);
    for (int32_t t : {kWritten, kWritten + 1, kCount - 1, 0}) {
      const int32_t row = (t / kAcross) * kStep + 9, col = (t % kAcross) * kStep + 11;
      ASSERT_EQ(_hxSetCell(h_, kLocal, id, 2, 0, row, col, -3.5), 1);
      expected[t].Set(9, 11, -3.5);
    }
    ASSERT_EQ(_hxClosePyramidLayer(h_, kLocal, id), 1);
  }

  const LevelProbe after = Probe(dir, 2);
  EXPECT_TRUE(after.Problems().empty());
  EXPECT_FALSE(after.PayloadsOverlap());
  for (int32_t t : {kWritten, kWritten + 1, kCount - 1, 0}) {
    EXPECT_GE(uint32_t{after.record(t).offset}, crashed.data_file_size(0)) << t;
  }
  for (int32_t t = 0; t < kCount; ++t) {
    EXPECT_TRUE(StoredCells(after, t) == expected[t]) << t;
    EXPECT_TRUE(LibraryReads(id, 2, t, expected[t])) << t;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CrashTest,
    ::testing::Values(
        CrashCase{"CopiedAsideThenWholeLevelWrite", Crash::kCopiedAsideMidWrite, LaterAppend::kWholeLevelWrite},
        CrashCase{"CopiedAsideThenCellWrites", Crash::kCopiedAsideMidWrite, LaterAppend::kCellWrites},
        CrashCase{"TableWriteFailedThenWholeLevelWrite", Crash::kTableWriteFailsAtEnd, LaterAppend::kWholeLevelWrite},
        CrashCase{"TableWriteFailedThenCellWrites", Crash::kTableWriteFailsAtEnd, LaterAppend::kCellWrites}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LevelWriteFaultTest, FailedReadsRefuseAndLeaveNothingOpen) {
  const int32_t id = MakeLayer("r");
  ASSERT_GE(id, 1);
  const CellBlock stored = Cells(0, 6);
  ASSERT_EQ(_hxBeginWritePyramidLayer(h_, kLocal, id, 2), 1);
  ASSERT_EQ(WriteTile(h_, 6, stored), 1);
  ASSERT_EQ(_hxEndWritePyramidLayer(h_), 1);

  // A tile-data read failing at any step answers 0 and holds nothing afterwards. A
  // failure that only hit reading the next tile ahead leaves this read whole.
  for (int64_t n = 1;; ++n) {
    ASSERT_LT(n, 100);
    env_.FailOperation(n);
    const int16_t r = _hxBeginReadTileData(h_, kLocal, id, 2, 0, 6 / kAcross, 6 % kAcross);
    const bool fired = env_.fault_fired();
    StopFaults();
    if (!fired) {
      ASSERT_TRUE(SequenceReads(r, stored));
      break;
    }
    if (r == 1) {
      ASSERT_TRUE(SequenceReads(r, stored)) << n;
    } else {
      ASSERT_EQ(r, 0) << n;
    }
    ASSERT_TRUE(LibraryReads(id, 2, 6, stored)) << n;
  }

  // A merge whose stored tile cannot be read answers 0 and writes nothing.
  const LevelProbe before = Probe("r", 2);
  env_.FailReadsOf(before.data_path(0).string());
  ASSERT_EQ(SetOperParam(h_, id, true, true, 0.5f, 0.5f), 1);
  ASSERT_EQ(_hxBeginWritePyramidLayer(h_, kLocal, id, 2), 1);
  EXPECT_EQ(WriteTile(h_, 6, Cells(9, 6)), 0);
  EXPECT_EQ(WriteTile(h_, 7, Cells(9, 7)), 1);  // an empty tile needs no read
  EXPECT_EQ(_hxEndWritePyramidLayer(h_), 0) << "the write did not store everything it was given";
  env_.ClearFaults();
  env_.SetPhysicalMemory(uint64_t{64} << 20);
  const LevelProbe after = Probe("r", 2);
  EXPECT_EQ(std::memcmp(&after.record(6), &before.record(6), sizeof(TileIndexRec)), 0);
  EXPECT_TRUE(LibraryReads(id, 2, 6, stored));
  EXPECT_TRUE(LibraryReads(id, 2, 7, Cells(9, 7)));
}

}  // namespace
}  // namespace dembase::testing
