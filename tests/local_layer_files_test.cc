// The files of local layers as the exports leave them: headers byte for byte, level
// naming, where tile payloads go, the layer's range, and who may open a layer.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "localstore/open_level.h"
#include "tests/support/layer_files.h"
#include "tests/support/local_store_fixture.h"
#include "tests/support/tile_cells.h"

namespace dembase::testing {
namespace {

namespace fs = std::filesystem;

class LocalLayerFilesTest : public LocalStoreTest {
 protected:
  double CellSize(int32_t id, int16_t level) {
    PyramidLayerInfo info{};
    EXPECT_EQ(_hxGetPyramidLayerInfo(h_, kLocal, id, level, &info), 1) << "level " << level;
    return info.cellSizeX;
  }
  std::pair<double, double> Range(int32_t id) {
    DataLayerParam p{};
    EXPECT_EQ(_hxGetDataLayerParam(h_, kLocal, id, &p), 1);
    return {Copy(p.minValue), Copy(p.maxValue)};
  }
  LevelProbe Level(const std::string& layer) { return LevelProbe::Of(Path(layer), 1); }
  // The level directories the layer header names, in level order.
  std::vector<std::string> Dirs(const std::string& layer) {
    std::vector<std::string> dirs;
    for (const PyramidLevelRec& rec : ReadLevelRecords(Path(layer)).value_or(std::vector<PyramidLevelRec>{})) {
      dirs.push_back(rec.directory);
    }
    return dirs;
  }
  // Closes and opens level 1 again, so its tiles are written and read back from disk.
  void Cycle(int32_t id) {
    ASSERT_EQ(_hxClosePyramidLayer(h_, kLocal, id), 1);
    ASSERT_EQ(_hxOpenPyramidLayer(h_, kLocal, id, 1), 1);
  }
};

// The files a new layer and two more levels leave, byte for byte, against golden copies
// in tests/golden (DEMBASE_UPDATE_GOLDEN=1 rewrites them after a deliberate change of
// format). The layer description keeps its reserved fields and, before any level was
// closed, the caller's range; every record of a new level is {1, 0, 0, null, null}.
TEST_F(LocalLayerFilesTest, HeaderAndNewLevelsMatchTheirGoldenBytes) {
  const auto golden = [this](const std::string& rel, const std::string& name) {
    const std::string path = std::string(DEMBASE_GOLDEN_DIR) + "/" + name;
    if (std::getenv("DEMBASE_UPDATE_GOLDEN") != nullptr) {
      ASSERT_TRUE(WriteFileBytes(path, ReadFileBytes(Path(rel))));
    }
    EXPECT_TRUE(ReadFileBytes(Path(rel)) == ReadFileBytes(path)) << rel << " differs from golden " << name;
  };
  for (uint16_t type : {DEMBASE_TYPE_INT32, DEMBASE_TYPE_FLOAT32}) {
    const std::string base = type == DEMBASE_TYPE_INT32 ? "ihill" : "fhill";
    SCOPED_TRACE(base);
    DataLayerParam p = LayerParam(type, 600, 700);
    p.reserved0 = 0xA5;
    p.reserved1 = 0xBEEF;
    p.minValue = -1.5;
    p.maxValue = 2.5;
    ASSERT_EQ(_hxCreateDataLayer(h_, kLocal, Path(base + ".dem").c_str(), &p, 0, 0), 1);
    golden(base + ".dem", base + "-created.dem");
    golden(base + "/" + base + ".Hdr", base + ".Hdr");  // 3 x 3 tiles, one data file
    EXPECT_EQ(fs::file_size(Path(base + "/" + base + ".Dem")), 0u);
    EXPECT_FALSE(FileExists(Path(base + "/" + base + "1.Dem")));

    const int32_t id = _hxOpenDataLayer(h_, kLocal, Path(base + ".dem").c_str(), 0);
    ASSERT_GE(id, 1);
    ASSERT_EQ(_hxCreatePyramidLayer(h_, kLocal, id, 2, 2.0, 2.0), 1);
    ASSERT_EQ(_hxCreatePyramidLayer(h_, kLocal, id, 3, 4.0, 4.0), 1);
    ASSERT_EQ(_hxCloseDataLayer(h_, kLocal, id), 1);
    golden(base + ".dem", base + "-3-levels.dem");
    golden(base + "_1/" + base + "_1.Hdr", base + "_1.Hdr");  // 350 x 300 cells, 2 x 2 tiles
  }
}

// Tiles 4095 and 4096 of one row of tiles lie in two data files, each at its file's start.
// A level opened again reads records and data files only as its tiles are used: an open
// that writes only tile 4096 keeps every record it never read, takes the layer's range
// over them too, and appends behind the second file's real end though its table lags.
// Whole-level writes reach the second file as well.
TEST_F(LocalLayerFilesTest, DataFilesSplitAtTile4096) {
  const int32_t id = CreateAndOpen("hill.dem", DEMBASE_TYPE_INT32, 1, 4096 * 255 + 200);
  ASSERT_GE(id, 1);
  EXPECT_EQ(fs::file_size(Path("hill/hill1.Dem")), 0u);
  ASSERT_EQ(_hxSetCell(h_, kLocal, id, 1, 0, 0, 4095 * 255 + 7, 11.0), 1);
  ASSERT_EQ(_hxSetCell(h_, kLocal, id, 1, 0, 0, 4096 * 255 + 7, 22.0), 1);
  Cycle(id);
  const LevelProbe probe = Level("hill.dem");
  ASSERT_EQ(probe.data_file_count(), 2);
  for (int f = 0; f < 2; ++f) {
    EXPECT_EQ(Copy(probe.record(4095 + f).offset), 0u);
    EXPECT_EQ(Copy(probe.record(4095 + f).storedSize), probe.data_file_size(f));
    EXPECT_EQ(probe.data_file_end(f), probe.data_file_size(f));
  }
  ASSERT_EQ(_hxCloseDataLayer(h_, kLocal, id), 1);

  Bytes header = ReadFileBytes(Path("hill/hill.Hdr"));
  std::fill_n(header.begin() + LevelHeaderPrefix::kEncodedLength + kDataFileEndLength, 4, uint8_t{0});  // file 1's end
  ASSERT_TRUE(WriteFileBytes(Path("hill/hill.Hdr"), header));
  const int32_t again = _hxOpenDataLayer(h_, kLocal, Path("hill.dem").c_str(), 0);
  ASSERT_GE(again, 1);
  ASSERT_EQ(_hxOpenPyramidLayer(h_, kLocal, again, 1), 1);
  ASSERT_EQ(_hxSetCell(h_, kLocal, again, 1, 0, 0, 4096 * 255 + 8, 33.0), 1);
  ASSERT_EQ(_hxClosePyramidLayer(h_, kLocal, again), 1);
  EXPECT_EQ(Range(again), std::make_pair(11.0, 33.0));
  ASSERT_EQ(_hxCloseDataLayer(h_, kLocal, again), 1);
  const LevelProbe after = Level("hill.dem");
  EXPECT_EQ(Copy(after.record(4095).offset), Copy(probe.record(4095).offset));
  EXPECT_EQ(Copy(after.record(4096).offset), probe.data_file_size(1));
  EXPECT_FALSE(after.PayloadsOverlap());

  // A whole-level write merging onto both tiles appends to both files and keeps every cell
  // the cell writes left.
  const int32_t third = _hxOpenDataLayer(h_, kLocal, Path("hill.dem").c_str(), 0);
  ASSERT_GE(third, 1);
  ASSERT_EQ(SetOperParam(h_, third, true, true), 1);
  const CellBlock cells = Slope(DEMBASE_TYPE_INT32, 100, 0, 10);  // null where the cells were set
  ASSERT_EQ(_hxBeginWritePyramidLayer(h_, kLocal, third, 1), 1);
  for (int32_t t : {4095, 4096}) ASSERT_EQ(WriteTile(h_, t, cells), 1);
  ASSERT_EQ(_hxEndWritePyramidLayer(h_), 1);
  const LevelProbe whole = Level("hill.dem");
  for (int f = 0; f < 2; ++f) {
    EXPECT_EQ(Copy(whole.record(4095 + f).offset), after.data_file_size(f));
    EXPECT_EQ(whole.data_file_end(f), whole.data_file_size(f));
    CellBlock want = cells, read(DEMBASE_TYPE_INT32);
    want.Set(0, 7, f == 0 ? 11 : 22);
    want.Set(0, 8, f == 0 ? NullOf(DEMBASE_TYPE_INT32) : 33);
    ASSERT_EQ(ReadTileData(h_, third, 1, 0, 4095 + f, &read), 1);
    EXPECT_TRUE(read == want);
  }
  EXPECT_TRUE(whole.Problems().empty());
  EXPECT_EQ(_hxCloseDataLayer(h_, kLocal, third), 1);
}

TEST_F(LocalLayerFilesTest, LevelsAreNamedInCreationOrderAndMoveDownOnDelete) {
  int32_t id = CreateAndOpen("hill.dem", DEMBASE_TYPE_INT32, 300, 300, false);
  ASSERT_GE(id, 1);
  ASSERT_EQ(_hxCreatePyramidLayer(h_, kLocal, id, 2, 2.0, 2.0), 1);
  ASSERT_EQ(_hxCreatePyramidLayer(h_, kLocal, id, 3, 4.0, 4.0), 1);
  EXPECT_EQ(_hxCreatePyramidLayer(h_, kLocal, id, 2, 2.0, 2.0), -5);
  EXPECT_TRUE(FileExists(Path("hill_2/hill_2.Dem")));
  EXPECT_EQ(Dirs("hill.dem"), (std::vector<std::string>{"hill\\", "hill_1\\", "hill_2\\"}));
  for (int16_t level : {0, -1, 4}) EXPECT_EQ(_hxDeletePyramidLayer(h_, kLocal, id, level), -6) << level;

  // The open level cannot be deleted; deleting the one below it renumbers it.
  ASSERT_EQ(_hxOpenPyramidLayer(h_, kLocal, id, 2), 1);
  ASSERT_EQ(_hxSetCell(h_, kLocal, id, 2, 0, 5, 5, 55.0), 1);
  EXPECT_EQ(_hxDeletePyramidLayer(h_, kLocal, id, 2), 0);
  EXPECT_TRUE(FileExists(Path("hill_1/hill_1.Hdr")));
  ASSERT_EQ(_hxDeletePyramidLayer(h_, kLocal, id, 1), 1);
  EXPECT_FALSE(FileExists(Path("hill")));
  EXPECT_EQ(CellSize(id, 1), 2.0) << "former level 2";
  EXPECT_EQ(CellSize(id, 2), 4.0) << "former level 3";
  EXPECT_EQ(Get(id, 5, 5), 55.0) << "the open level is now level 1";
  ASSERT_EQ(_hxClosePyramidLayer(h_, kLocal, id), 1);
  EXPECT_EQ(Dirs("hill.dem"), (std::vector<std::string>{"hill_1\\", "hill_2\\"})) << "written as soon as one goes";

  // A new level takes its number's name only when that is free: an empty directory left
  // on disk holds hill_3\, so level 3 goes to hill_4\; one created as level 7 goes to the
  // end, as level 4, named hill_6\.
  ASSERT_TRUE(fs::create_directory(Path("hill_3")));
  ASSERT_EQ(_hxCreatePyramidLayer(h_, kLocal, id, 3, 8.0, 8.0), 1);
  ASSERT_EQ(_hxCreatePyramidLayer(h_, kLocal, id, 7, 16.0, 16.0), 1);
  EXPECT_TRUE(fs::is_empty(Path("hill_3")));
  EXPECT_EQ(CellSize(id, 4), 16.0);
  ASSERT_EQ(_hxCloseDataLayer(h_, kLocal, id), 1);
  EXPECT_EQ(Dirs("hill.dem"), (std::vector<std::string>{"hill_1\\", "hill_2\\", "hill_4\\", "hill_6\\"}));
  for (const char* f : {"hill_4/hill_4.Hdr", "hill_6/hill_6.Hdr"}) EXPECT_TRUE(FileExists(Path(f))) << f;

  // A layer named like one of hill's level directories gets a level 1 of its own.
  const int32_t other = CreateAndOpen("hill_1.dem", DEMBASE_TYPE_INT32, 300, 300);
  ASSERT_GE(other, 1);
  ASSERT_EQ(_hxSetCell(h_, kLocal, other, 1, 0, 5, 5, 77.0), 1);
  ASSERT_EQ(_hxCloseDataLayer(h_, kLocal, other), 1);
  EXPECT_EQ(Dirs("hill_1.dem"), std::vector<std::string>{"hill_1_1\\"});
  id = _hxOpenDataLayer(h_, kLocal, Path("hill.dem").c_str(), 0);
  ASSERT_GE(id, 1);
  ASSERT_EQ(_hxOpenPyramidLayer(h_, kLocal, id, 1), 1);
  EXPECT_EQ(Get(id, 5, 5), 55.0);
  EXPECT_EQ(_hxCloseDataLayer(h_, kLocal, id), 1);
}

// Deleting, renaming and copying a whole layer refuse what they must and then touch
// nothing.
TEST_F(LocalLayerFilesTest, LayerOperationsRefuseWithTheirCodesAndTouchNothing) {
  const int32_t id = CreateAndOpen("hill.dem", DEMBASE_TYPE_INT32, 300, 300, false);
  ASSERT_GE(id, 1);
  ASSERT_EQ(_hxCreatePyramidLayer(h_, kLocal, id, 2, 2.0, 2.0), 1);
  ASSERT_TRUE(WriteFileBytes(Path("note.dem"), Bytes(200, 'x')));
  Bytes oldVersion = ReadFileBytes(Path("hill.dem"));
  oldVersion.at(9) ^= 1;
  ASSERT_TRUE(WriteFileBytes(Path("old.dem"), oldVersion));
  DataLayerParam vale = LayerParam(DEMBASE_TYPE_FLOAT32, 10, 10);
  ASSERT_EQ(_hxCreateDataLayer(h_, kLocal, Path("vale.dem").c_str(), &vale, 0, 0), 1);
  using Op = int16_t (*)(DemBaseAI*, const char*, const char*);
  const Op del = [](DemBaseAI* h, const char* f, const char*) { return _hxDeleteDataLayer(h, kLocal, f); };
  const Op ren = [](DemBaseAI* h, const char* f, const char* t) { return _hxRenameDataLayer(h, kLocal, f, t); };
  const Op cpy = [](DemBaseAI* h, const char* f, const char* t) { return _hxCopyDataLayer(h, kLocal, f, t); };
  const struct {
    const char* what;
    const char* from;
    const char* to;  // nullptr: a case of the source alone, for delete too
    int16_t want;
  } cases[] = {
      {"open layer", "hill.dem", nullptr, 0},
      {"not a layer header", "note.dem", nullptr, -1},
      {"wrong version", "old.dem", nullptr, -2},
      {"missing", "none.dem", nullptr, 0},
      {"empty path", "", nullptr, 0},
      {"target is a file", "vale.dem", "note.dem", -3},
      {"target in no directory", "vale.dem", "no/dale.dem", 0},
      {"no layer name", "vale.dem", ".dem", 0},
  };
  const DirectorySnapshot before(dir_.path());
  for (const auto& c : cases) {
    const std::string from = c.from[0] == '\0' ? "" : Path(c.from);
    const std::string to = Path(c.to != nullptr ? c.to : "dale.dem");
    for (const auto& [name, op] : {std::pair{"delete", del}, {"rename", ren}, {"copy", cpy}}) {
      if (op == del && c.to != nullptr) continue;
      EXPECT_EQ(op(h_, from.c_str(), to.c_str()), c.want) << name << ": " << c.what;
    }
  }
  EXPECT_EQ(_hxRenameDataLayer(h_, kLocal, nullptr, Path("x.dem").c_str()), 0);
  EXPECT_EQ(_hxCopyDataLayer(h_, kLocal, Path("vale.dem").c_str(), nullptr), 0);
  EXPECT_TRUE(DirectorySnapshot(dir_.path()) == before) << "a refusal touches nothing";

  // Level directories of a copy skip names that are taken.
  ASSERT_EQ(_hxCloseDataLayer(h_, kLocal, id), 1);
  ASSERT_TRUE(fs::create_directory(Path("dale")));
  ASSERT_EQ(_hxCopyDataLayer(h_, kLocal, Path("hill.dem").c_str(), Path("dale.dem").c_str()), 1);
  EXPECT_TRUE(fs::is_empty(Path("dale")));
  EXPECT_EQ(Dirs("dale.dem"), (std::vector<std::string>{"dale_1\\", "dale_2\\"}));
  EXPECT_EQ(LevelProbe::Of(Path("dale.dem"), 2).data_file_count(), 1);
}

TEST_F(LocalLayerFilesTest, DeletingALayerRemovesAllItsFilesUnlessItIsOpen) {
  const int32_t id = CreateAndOpen("hill.dem", DEMBASE_TYPE_INT32, 300, 300);
  ASSERT_GE(id, 1);
  ASSERT_EQ(_hxCreatePyramidLayer(h_, kLocal, id, 2, 2.0, 2.0), 1);
  ASSERT_EQ(_hxSetCell(h_, kLocal, id, 1, 0, 5, 5, 1.0), 1);
  EXPECT_EQ(_hxDeleteDataLayer(h_, kLocal, Path("hill.dem").c_str()), 0);
  ASSERT_EQ(_hxCloseDataLayer(h_, kLocal, id), 1);
  EXPECT_EQ(_hxDeleteDataLayer(h_, kLocal, Path("hill.dem").c_str()), 1);
  EXPECT_TRUE(fs::is_empty(dir_.path())) << "every file and directory of the layer goes";
}

// A tile's new payload goes to the end of the data file, even where it would fit in place
// (that no failure or kill leaves a record naming overwritten bytes is the fault loop's to
// show). A tile of only nulls stores nothing and gets the record a new level has (held by
// the golden files).
TEST_F(LocalLayerFilesTest, PayloadsGoToTheEndAndTilesOfOnlyNullsStoreNothing) {
  const int32_t id = CreateAndOpen("i.dem", DEMBASE_TYPE_INT32, 255, 510);  // tiles 0 and 1
  ASSERT_GE(id, 1);
  const LevelProbe fresh = Level("i.dem");
  // Set, then reset to null, before anything was stored: nothing is written.
  for (double v : {4.0, _hxGetNullValue(h_, kLocal, id)}) ASSERT_EQ(_hxSetCell(h_, kLocal, id, 1, 0, 7, 300, v), 1);
  Cycle(id);
  EXPECT_EQ(Level("i.dem").data_file_size(0), 0u);
  EXPECT_EQ(Copy(Level("i.dem").info().closedOnce), 1) << "set by the first close";
  ASSERT_TRUE(WriteTile(h_, id, 1, 0, 0, Noise(1)));
  ASSERT_TRUE(WriteTile(h_, id, 1, 0, 1, Noise(2)));
  Cycle(id);
  const LevelProbe before = Level("i.dem");
  ASSERT_TRUE(WriteTile(h_, id, 1, 0, 0, Smooth(3)));  // far shorter
  ASSERT_TRUE(WriteTile(h_, id, 1, 0, 1, kNullTile));
  Cycle(id);
  const LevelProbe after = Level("i.dem");
  EXPECT_EQ(Copy(after.record(0).offset), before.data_file_size(0));
  EXPECT_EQ(after.data_file_size(0), before.data_file_size(0) + after.record(0).storedSize);
  EXPECT_TRUE(SameRecord(after.record(1), fresh.record(1)));
  EXPECT_EQ(ClassifyTile(h_, id, 1, 0, 0, Smooth(3), Smooth(3)), Seen::kFirst);
  EXPECT_EQ(ClassifyTile(h_, id, 1, 0, 1, kNullTile, kNullTile), Seen::kFirst);
  EXPECT_EQ(_hxCloseDataLayer(h_, kLocal, id), 1);
}

// The layer's range is recomputed from level 1's records when it closes or a whole-level
// write of it ends; null-like cells and other levels' cells never count.
TEST_F(LocalLayerFilesTest, LayerRangeFollowsLevelOneOnly) {
  const int32_t id = CreateAndOpen("hill.dem", DEMBASE_TYPE_FLOAT32, 300, 300, false);
  ASSERT_GE(id, 1);
  ASSERT_EQ(_hxCreatePyramidLayer(h_, kLocal, id, 2, 2.0, 2.0), 1);
  const auto edit = [&](int16_t level, std::initializer_list<std::pair<int32_t, double>> cells) {
    ASSERT_EQ(_hxOpenPyramidLayer(h_, kLocal, id, level), 1);
    for (const auto& [at, v] : cells) ASSERT_EQ(_hxSetCell(h_, kLocal, id, level, 0, at, at, v), 1);
    ASSERT_EQ(_hxClosePyramidLayer(h_, kLocal, id), 1);
  };
  edit(1, {{0, -2.0}, {10, 10.0}, {20, -2e18}, {280, 3.0}});
  EXPECT_EQ(Range(id), std::make_pair(-2.0, 10.0));
  edit(2, {{0, 1000.0}});
  EXPECT_EQ(Range(id), std::make_pair(-2.0, 10.0)) << "another level's cells";
  edit(1, {{0, 4.0}});
  EXPECT_EQ(Range(id), std::make_pair(3.0, 10.0)) << "recomputed from every record, not merged";
  // With every cell null again, the range is the empty one: +FLT_MAX .. -FLT_MAX.
  const double null = _hxGetNullValue(h_, kLocal, id);
  edit(1, {{0, null}, {10, null}, {280, null}});
  EXPECT_EQ(Range(id), std::make_pair(3.402823e38, -3.402823e38));

  // Replacing whole-level writes of level 1 refresh it as well; emptying the high tile
  // lowers the maximum.
  const CellBlock low = Slope(DEMBASE_TYPE_FLOAT32, -50), high = Slope(DEMBASE_TYPE_FLOAT32, 3000, 10, 10);
  const auto write = [&](std::initializer_list<std::pair<int32_t, const CellBlock*>> tiles) {
    ASSERT_EQ(_hxBeginWritePyramidLayer(h_, kLocal, id, 1), 1);
    for (const auto& [t, cells] : tiles) ASSERT_EQ(cells ? WriteTile(h_, t, *cells) : WriteNoDataTile(h_, t, low), 1);
    ASSERT_EQ(_hxEndWritePyramidLayer(h_), 1);
  };
  ASSERT_EQ(SetOperParam(h_, id, true, false), 1);
  write({{0, &low}, {3, &high}});
  EXPECT_EQ(Range(id), (std::pair<double, double>(low.Info().minimum, high.Info().maximum)));
  write({{3, nullptr}});
  EXPECT_EQ(Range(id), (std::pair<double, double>(low.Info().minimum, low.Info().maximum)));
  EXPECT_EQ(_hxCloseDataLayer(h_, kLocal, id), 1);
}

// While a layer is open its header file is held unshared: no second open succeeds,
// through the same handle, another handle, or another process; nor does a delete from
// another process.
TEST_F(LocalLayerFilesTest, AnOpenLayerCannotBeOpenedAgain) {
  const int32_t id = CreateAndOpen("hill.dem", DEMBASE_TYPE_INT32, 10, 10);
  ASSERT_GE(id, 1);
  const std::string path = Path("hill.dem");
  EXPECT_EQ(_hxOpenDataLayer(h_, kLocal, path.c_str(), 0), 0);
  DemBaseAI* other = _hxCreateDemBaseAI();
  ASSERT_NE(other, nullptr);
  ASSERT_EQ(_hxOpenDataSet(other, nullptr, 0.125f), kLocal);
  EXPECT_EQ(_hxOpenDataLayer(other, kLocal, path.c_str(), 0), 0);

  // The child uses only a handle of its own and reports the result by exit status.
  using Call = int32_t (*)(DemBaseAI*, const char*);
  const auto inChild = [&path](Call op) {
    const pid_t pid = fork();
    if (pid == 0) {
      DemBaseAI* mine = _hxCreateDemBaseAI();
      int32_t r = -100;
      if (mine != nullptr && _hxOpenDataSet(mine, nullptr, 0.125f) == kLocal) r = op(mine, path.c_str());
      _exit(r >= 1 ? 1 : r == 0 ? 0 : 2);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
  };
  // Rename and copy take the header the same way as a delete.
  const Call open = [](DemBaseAI* h, const char* p) { return _hxOpenDataLayer(h, kLocal, p, 0); };
  const Call del = [](DemBaseAI* h, const char* p) -> int32_t { return _hxDeleteDataLayer(h, kLocal, p); };
  const DirectorySnapshot before(dir_.path());
  EXPECT_EQ(inChild(open), 0);
  EXPECT_EQ(inChild(del), 0);
  EXPECT_TRUE(DirectorySnapshot(dir_.path()) == before);
  // Creating a level replaces the header file; the layer stays held while the new one
  // is about to take the old one's name and after it has.
  int seenInSwap = -1;
  env_.SetBeforeReplace([&] { seenInSwap = inChild(open); });
  ASSERT_EQ(_hxCreatePyramidLayer(h_, kLocal, id, 2, 2.0, 2.0), 1);
  env_.SetBeforeReplace(nullptr);
  EXPECT_EQ(seenInSwap, 0) << "refused while the header is being replaced";
  EXPECT_EQ(inChild(open), 0) << "refused once the new header is in place";

  ASSERT_EQ(_hxClosePyramidLayer(h_, kLocal, id), 1);
  ASSERT_EQ(_hxCloseDataLayer(h_, kLocal, id), 1);
  EXPECT_EQ(inChild(open), 1) << "opens once the layer is closed";
  const int32_t again = _hxOpenDataLayer(other, kLocal, path.c_str(), 0);
  EXPECT_GE(again, 1);
  EXPECT_EQ(_hxOpenDataLayer(h_, kLocal, path.c_str(), 0), 0);
  EXPECT_EQ(_hxCloseDataLayer(other, kLocal, again), 1);
  EXPECT_EQ(_hxDeleteDemBaseAI(other), 1);
}

// A level close compresses on several cores; the files it leaves must be exactly those a
// one-thread close leaves.
TEST_F(LocalLayerFilesTest, ParallelCloseFilesMatchAOneThreadClose) {
  for (const auto& [name, workers] : {std::pair{"one", 1u}, {"four", 4u}}) {
    SetFlushWorkersForTesting(workers);
    const int32_t id = CreateAndOpen(std::string(name) + ".dem", DEMBASE_TYPE_FLOAT32, 1200, 1300);
    ASSERT_GE(id, 1);
    std::mt19937 rng(42);
    for (int pass = 0; pass < 2; ++pass) {  // some tiles written twice, so some payloads move
      for (int i = 0; i < 10000; ++i) {
        const int32_t r = static_cast<int32_t>(rng() % 1200), c = static_cast<int32_t>(rng() % 1300);
        ASSERT_EQ(_hxSetCell(h_, kLocal, id, 1, 0, r, c, r * 0.25 + c + pass * 1000.0 + (rng() % 97)), 1);
      }
      ASSERT_EQ(_hxClosePyramidLayer(h_, kLocal, id), 1);
      ASSERT_EQ(_hxOpenPyramidLayer(h_, kLocal, id, 1), 1);
    }
    ASSERT_EQ(_hxCloseDataLayer(h_, kLocal, id), 1);
  }
  SetFlushWorkersForTesting(0);
  EXPECT_EQ(ReadFileBytes(Path("one/one.Dem")), ReadFileBytes(Path("four/four.Dem")));
  EXPECT_EQ(ReadFileBytes(Path("one/one.Hdr")), ReadFileBytes(Path("four/four.Hdr")));
  EXPECT_GT(fs::file_size(Path("one/one.Dem")), 0u);
}

}  // namespace
}  // namespace dembase::testing
