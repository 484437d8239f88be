// Writers killed with SIGKILL at random moments, many times, on local and database layers.
// A child rewrites every tile between two contents, A and B, by whole-level writes, cell
// writes (stored at the level's close, as tile sequences are) or pyramid rebuilds, until it
// is killed. After each kill the layer opens, every tile holds A or B and a record that
// describes its cells, and `dembase check` finds the layer sound. DEMBASE_KILL_RUNS=<n> kills each writer n times
// (seeded by DEMBASE_KILL_SEED) instead of a few.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/layer_kind_fixture.h"
#include "tests/support/local_store_fixture.h"
#include "tests/support/tile_cells.h"

namespace dembase::testing {
namespace {

constexpr uint16_t kType = DEMBASE_TYPE_FLOAT32;
constexpr int32_t kDown = 3, kAcross = 4, kCount = kDown * kAcross;
constexpr int32_t kMarks = 5;  // cells per tile that tell A from B, off the shared edges

enum class Writer { kWholeLevel, kCells, kPyramid };

// Tile t's cells: a ramp over the level, with a null patch in every tile and nulls beyond
// the level's last row and column, and the marks of content `which` (0: A, 1: B).
CellBlock Content(int32_t t, int which) {
  CellBlock b(kType);
  for (int32_t r = 0; r < kEdge; ++r) {
    for (int32_t c = 0; c < kEdge; ++c) {
      const int32_t row = t / kAcross * kStep + r, col = t % kAcross * kStep + c;
      const bool null = (row % kStep < 20 && col % kStep < 20) || row >= kDown * kStep || col >= kAcross * kStep;
      if (!null) b.Set(r, c, row / 8.0 + col);
    }
  }
  for (int32_t m = 0; m < kMarks; ++m) b.Set(30 + m * 40, 50 + m * 30, (which + 1) * 1e5 + t * 10 + m);
  return b;
}

class WriterKillTest : public LocalStoreTest, public ::testing::WithParamInterface<std::tuple<bool, Writer>> {
 protected:
  bool db() const { return std::get<0>(GetParam()); }
  Writer writer() const { return std::get<1>(GetParam()); }
  std::string Name() const { return db() ? "f" : Path("f.dem"); }
  std::string ToolName() const { return db() ? "sqlite:" + Path("kill.db") + "#test/f" : Path("f"); }

  // A handle with the data set open; its id, or 0.
  int32_t Connect(DemBaseAI** h) const {
    *h = _hxCreateDemBaseAI();
    return *h == nullptr ? 0 : OpenTestDataSet(*h, db(), Path("kill.db"));
  }

  // Rewrites level `level` to content `which`; true when every call answered 1.
  static bool WriteLevel(DemBaseAI* h, int32_t ds, int32_t id, int16_t level, int which) {
    bool ok = _hxBeginWritePyramidLayer(h, ds, id, level) == 1;
    for (int32_t t = 0; t < kCount; ++t) ok = WriteTile(h, t, Content(t, which)) == 1 && ok;
    return _hxEndWritePyramidLayer(h) == 1 && ok;
  }

  // One rewrite of level 1 (or of level 2 for the pyramid writer) to content `which`.
  bool Rewrite(DemBaseAI* h, int32_t ds, int32_t id, int which) const {
    switch (writer()) {
      case Writer::kWholeLevel:
        return WriteLevel(h, ds, id, 1, which);
      case Writer::kCells: {
        bool ok = _hxOpenPyramidLayer(h, ds, id, 1) == 1;
        for (int32_t t = 0; t < kCount; ++t) {
          const CellBlock want = Content(t, which);
          for (int32_t m = 0; m < kMarks; ++m) {
            const int32_t r = 30 + m * 40, c = 50 + m * 30;
            const int32_t row = t / kAcross * kStep + r, col = t % kAcross * kStep + c;
            ok = _hxSetCell(h, ds, id, 1, 0, row, col, want.Get(r, c)) == 1 && ok;
          }
        }
        return _hxClosePyramidLayer(h, ds, id) == 1 && ok;
      }
      case Writer::kPyramid: {
        DataLayerParam p{};
        if (_hxGetDataLayerParam(h, ds, id, &p) != 1) return false;
        if (p.levelCount >= 2 && _hxDeletePyramidLayer(h, ds, id, 2) != 1) return false;
        return _hxCreatePyramidLayer(h, ds, id, 2, 1.0, 1.0) == 1 && WriteLevel(h, ds, id, 2, which);
      }
    }
    return false;
  }

  // The layer with level 1 (and level 2 for the pyramid writer) in content A, closed.
  void MakeLayer() {
    DemBaseAI* h = nullptr;
    const int32_t ds = Connect(&h);
    ASSERT_GE(ds, 1);
    DataLayerParam p = LayerParam(kType, kDown * kStep, kAcross * kStep);
    ASSERT_EQ(_hxCreateDataLayer(h, ds, Name().c_str(), &p, 0, 0), 1);
    const int32_t id = _hxOpenDataLayer(h, ds, Name().c_str(), 0);
    ASSERT_GE(id, 1);
    ASSERT_EQ(SetOperParam(h, id, true, false, 0.0f, 1.0f, ds), 1);
    ASSERT_TRUE(WriteLevel(h, ds, id, 1, 0));
    if (writer() == Writer::kPyramid) {
      ASSERT_TRUE(Rewrite(h, ds, id, 0));
    }
    ASSERT_EQ(_hxCloseDataLayer(h, ds, id), 1);
    ASSERT_EQ(_hxDeleteDemBaseAI(h), 1);
  }

  // Forks a writer that alternates B and A until killed after `delay`. Whether it was
  // killed; *rewrites counts the rewrites it finished.
  bool KillWriterAfter(useconds_t delay, bool afterFirst, int* rewrites) {
    int done[2];
    if (pipe(done) != 0) return false;
    const pid_t pid = fork();
    if (pid == 0) {
      close(done[0]);
      DemBaseAI* h = nullptr;
      const int32_t ds = Connect(&h);
      const int32_t id = ds < 1 ? 0 : _hxOpenDataLayer(h, ds, Name().c_str(), 0);
      if (id < 1 || SetOperParam(h, id, true, false, 0.0f, 1.0f, ds) != 1) _exit(2);
      for (int which = 1; Rewrite(h, ds, id, which) && write(done[1], "x", 1) == 1; which ^= 1) {
      }
      _exit(1);
    }
    close(done[1]);
    if (pid < 0) {
      close(done[0]);
      return false;
    }
    // Half the kills come after a first rewrite at least, however slow the machine.
    if (afterFirst) {
      pollfd ready{done[0], POLLIN, 0};
      char c = 0;
      if (poll(&ready, 1, 20000) == 1 && read(done[0], &c, 1) == 1) ++*rewrites;
    }
    usleep(delay);
    int status = 0;
    const bool killed = kill(pid, SIGKILL) == 0 && waitpid(pid, &status, 0) == pid && WIFSIGNALED(status);
    char buf[256];
    for (ssize_t n; (n = read(done[0], buf, sizeof buf)) > 0;) *rewrites += static_cast<int>(n);
    close(done[0]);
    return killed;
  }

  // After a kill: the level's tiles each A or B with records that match.
  void ExpectEachTileAOrB(int16_t level) {
    DemBaseAI* h = nullptr;
    const int32_t ds = Connect(&h);
    const int32_t id = ds < 1 ? 0 : _hxOpenDataLayer(h, ds, Name().c_str(), 0);
    EXPECT_GE(id, 1) << "the layer opens after the kill";
    DataLayerParam p{};
    if (id >= 1 && _hxGetDataLayerParam(h, ds, id, &p) == 1 && p.levelCount >= level) {
      std::vector<CellBlock> seen;
      for (int32_t t = 0; t < kCount; ++t) {
        CellBlock cells(kType);
        EXPECT_GE(ReadTileData(h, id, level, t / kAcross, t % kAcross, &cells, ds), 1) << t;
        const bool isB = cells == Content(t, 1);
        // A pyramid level made again holds nothing until its first write.
        const bool fresh = writer() == Writer::kPyramid && cells.AllNull();
        EXPECT_TRUE(isB || fresh || cells == Content(t, 0)) << "tile " << t << " is neither A nor B";
        seen.push_back(cells);
      }
      EXPECT_EQ(_hxOpenPyramidLayer(h, ds, id, level), 1);
      for (int32_t t = 0; t < kCount; ++t) {
        OneTileInfo info{};
        EXPECT_EQ(_hxGetOneTileInfo(h, ds, id, level, 0, t / kAcross, t % kAcross, &info), 1);
        if (seen[t].AllNull()) continue;
        EXPECT_EQ(info.maximum, seen[t].Info().maximum) << "tile " << t << "'s record describes other cells";
      }
    } else {
      // Only the pyramid writer may be caught between deleting level 2 and making it again.
      EXPECT_TRUE(id >= 1 && writer() == Writer::kPyramid && p.levelCount == 1) << p.levelCount;
    }
    EXPECT_TRUE(id < 1 || _hxCloseDataLayer(h, ds, id) == 1);
    EXPECT_TRUE(h == nullptr || _hxDeleteDemBaseAI(h) == 1);
  }

  // What `dembase check` of the layer says beyond a clean report, the count of problems and
  // what an interrupted pyramid build left for deletion: nothing for a sound layer.
  std::string CheckComplaints() const {
    const std::string cmd =
        std::string(DEMBASE_TOOL) + " check '" + ToolName() +
        "' 2>&1 | grep -v -e ': clean (' -e ' problem' -e 'left over from an interrupted pyramid build'";
    FILE* out = popen(cmd.c_str(), "r");
    if (out == nullptr) return "no check ran";
    std::string said;
    char buf[512];
    while (std::fgets(buf, sizeof buf, out) != nullptr) said += buf;
    return pclose(out) == -1 ? "no check ran" : said;
  }
};

TEST_P(WriterKillTest, EveryKillLeavesASoundLayerWithEachTileOldOrNew) {
  ASSERT_NO_FATAL_FAILURE(MakeLayer());
  const char* runs = std::getenv("DEMBASE_KILL_RUNS");
  const char* seed = std::getenv("DEMBASE_KILL_SEED");
  const int kills = runs != nullptr ? std::atoi(runs) : 6;
  std::mt19937 rng(seed != nullptr ? static_cast<unsigned>(std::atoi(seed)) : 1u);
  int rewrites = 0;
  for (int k = 0; k < kills; ++k) {
    SCOPED_TRACE("kill " + std::to_string(k));
    // Early kills land in the writer's first rewrite, later ones anywhere in its loop.
    const auto delay = static_cast<useconds_t>(std::uniform_int_distribution<int>(1000, 60000 + k * 40000)(rng));
    ASSERT_TRUE(KillWriterAfter(delay, k % 2 == 1, &rewrites)) << "the writer stopped before it was killed";
    ExpectEachTileAOrB(writer() == Writer::kPyramid ? 2 : 1);
    EXPECT_EQ(CheckComplaints(), "");
  }
  EXPECT_GT(rewrites, 0) << "no writer finished a rewrite before it was killed";
}

std::string KillName(const ::testing::TestParamInfo<std::tuple<bool, Writer>>& info) {
  const char* names[] = {"WholeLevel", "Cells", "Pyramid"};
  return std::string(std::get<0>(info.param) ? "Sqlite" : "Local") + names[static_cast<int>(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(Writers, WriterKillTest,
                         ::testing::Combine(::testing::Bool(),
                                            ::testing::Values(Writer::kWholeLevel, Writer::kCells, Writer::kPyramid)),
                         KillName);

}  // namespace
}  // namespace dembase::testing
