// Whole-level writes and tile-data reads through the exports: what merging and replacing
// writes store (on local files and in database data sets), what they refuse, and how
// they live beside an open level.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "tests/support/layer_files.h"
#include "tests/support/layer_kind_fixture.h"
#include "tests/support/local_store_fixture.h"
#include "tests/support/tile_cells.h"

namespace dembase::testing {
namespace {

// A range deliberately unlike the cells', to see that it is stored as given.
constexpr OneTileInfo kGivenRange{kBlockBytes, -7.0f, 7777.0f};

enum class Stored { kNothing, kCells, kAllNull };
enum class Write { kCells, kNoData, kAllNull };
enum class Expect { kEmpty, kStoredCells, kNewCells, kMerged };

struct SingleTileCase {
  const char* name;
  Stored stored;
  bool blend;
  Write write;
  Expect expect;
  bool givenRange = false;  // written with kGivenRange, else with the cells' range
};

constexpr SingleTileCase kSingleTileCases[] = {
    {"merge onto empty: cells and range as given", Stored::kNothing, true, Write::kCells, Expect::kNewCells, true},
    {"merge keeps stored cells under new nulls", Stored::kCells, true, Write::kCells, Expect::kMerged},
    {"merge without data keeps the stored tile", Stored::kCells, true, Write::kNoData, Expect::kStoredCells},
    {"merge leaving only nulls empties the tile", Stored::kAllNull, true, Write::kAllNull, Expect::kEmpty},
    {"merge without data onto an empty tile", Stored::kNothing, true, Write::kNoData, Expect::kEmpty},
    {"replace: new cells, nulls too, range as given", Stored::kCells, false, Write::kCells, Expect::kNewCells, true},
    {"replace without data empties the stored tile", Stored::kCells, false, Write::kNoData, Expect::kEmpty},
};

// Run on local files and in SQLite and PostgreSQL data sets: the rule is the same code for
// all, the stores below it differ.
using LevelWriteKindTest = LayerKindTest;

TEST_P(LevelWriteKindTest, SingleTileMergesAndReplacements) {
  const uint16_t type = kind().type;
  constexpr float kOldW = 0.25f, kNewW = 0.75f;
  constexpr int32_t kAcross = 4;
  const CellCalls layer = Make("t", 3 * kStep, kAcross * kStep);
  const int32_t id = layer.layer();
  ASSERT_GE(id, 1);
  ASSERT_EQ(_hxCreatePyramidLayer(h_, ds(), id, 2, 1.0, 1.0), 1);
  const CellBlock oldCells = Slope(type, 100, 64, 0);   // null in the top rows
  const CellBlock newCells = Slope(type, 2000, 0, 64);  // null in the left columns
  const CellBlock allNull(type);
  CellBlock merged = oldCells;
  merged.MergeFrom(newCells, kOldW, kNewW);
  const auto expected = [&](const SingleTileCase& k) -> const CellBlock& {
    const CellBlock* blocks[] = {&allNull, &oldCells, &newCells, &merged};  // by Expect
    return *blocks[static_cast<int>(k.expect)];
  };
  constexpr int32_t kCases = static_cast<int32_t>(std::size(kSingleTileCases));

  // The stored state of each case's tile, written by a replacing whole-level write.
  ASSERT_TRUE(layer.SetOper(kind().compress, 0));
  ASSERT_EQ(_hxBeginWritePyramidLayer(h_, ds(), id, 2), 1);
  for (int32_t t = 0; t < kCases; ++t) {
    const Stored s = kSingleTileCases[t].stored;
    if (s == Stored::kNothing) continue;
    ASSERT_EQ(WriteTile(h_, t, s == Stored::kCells ? oldCells : allNull), 1);
  }
  ASSERT_EQ(_hxEndWritePyramidLayer(h_), 1);
  // Reading tile 0 reads the next tiles ahead: the rewrites below must not be answered from there.
  ASSERT_EQ(_hxClosePyramidLayer(h_, ds(), id), 1);
  CellBlock primed(type);
  ASSERT_EQ(ReadTileData(h_, id, 2, 0, 0, &primed, ds()), 2);

  // Each case's write.
  ASSERT_EQ(_hxBeginWritePyramidLayer(h_, ds(), id, 2), 1);
  for (int32_t t = 0; t < kCases; ++t) {
    const SingleTileCase& k = kSingleTileCases[t];
    SCOPED_TRACE(k.name);
    ASSERT_TRUE(layer.SetOper(kind().compress, k.blend, kOldW, kNewW));
    OneTileInfo info = k.givenRange ? kGivenRange : newCells.Info();
    if (k.write == Write::kNoData) info.size = 0;
    ASSERT_EQ(_hxWriteOneTile(h_, 0, t, &info, (k.write == Write::kAllNull ? allNull : newCells).data()), 1);
  }
  ASSERT_EQ(_hxEndWritePyramidLayer(h_), 1);
  for (int32_t t = 0; t < kCases; ++t) {
    SCOPED_TRACE(kSingleTileCases[t].name);
    CellBlock read(type);
    const bool empty = kSingleTileCases[t].expect == Expect::kEmpty;
    ASSERT_EQ(ReadTileData(h_, id, 2, t / kAcross, t % kAcross, &read, ds()), empty ? 2 : 1);
    EXPECT_TRUE(read == expected(kSingleTileCases[t]));
  }
  EXPECT_EQ(_hxBeginReadTileData(h_, ds(), id, 2, 0, 3, 0), 0) << "outside the level";

  // The records as the open level reports them: the merged range covers the stored
  // cells that were kept as well as the new ones.
  ASSERT_EQ(_hxOpenPyramidLayer(h_, ds(), id, 2), 1);
  EXPECT_EQ(_hxBeginReadTileData(h_, ds(), id, 2, 0, 0, 0), 0) << "a level is open";
  for (int32_t t = 0; t < kCases; ++t) {
    const SingleTileCase& k = kSingleTileCases[t];
    SCOPED_TRACE(k.name);
    OneTileInfo got{};
    ASSERT_EQ(_hxGetOneTileInfo(h_, ds(), id, 2, 0, t / kAcross, t % kAcross, &got), 1);
    if (k.expect == Expect::kEmpty) {
      EXPECT_TRUE(IsNullOf(type, got.minimum) && IsNullOf(type, got.maximum));
      continue;
    }
    const OneTileInfo want = k.givenRange ? kGivenRange : expected(k).Info();
    EXPECT_EQ(float{got.minimum}, float{want.minimum});
    EXPECT_EQ(float{got.maximum}, float{want.maximum});
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, LevelWriteKindTest,
                         ::testing::ValuesIn(WithDatabaseKinds({{DEMBASE_TYPE_INT32, 1}, {DEMBASE_TYPE_FLOAT32, 1}})),
                         KindName);

class LevelWriteRulesTest : public LocalStoreTest {
 protected:
  // A layer of tilesDown x tilesAcross tiles with a second level of the same geometry;
  // level 1 is left open. The layer id, or 0.
  int32_t MakeLayer(const std::string& name, uint16_t type, int32_t tilesDown, int32_t tilesAcross) {
    const int32_t id = CreateAndOpen(name, type, tilesDown * kStep, tilesAcross * kStep);
    if (id < 1 || _hxCreatePyramidLayer(h_, kLocal, id, 2, 1.0, 1.0) != 1) return 0;
    return id;
  }
};

// Opening the level being written is refused too: its close would drop a tile the write
// had stored (the record overwritten by the open level's stale index, the bytes by its
// append). Closing the layer ends the write: what was written stays, and the DataFileEnd
// table catches up with the data file.
TEST_F(LevelWriteRulesTest, RefusesWhatIsOutsideOrInUseAndEndsWithTheLayer) {
  const int32_t id = MakeLayer("r.dem", DEMBASE_TYPE_INT32, 2, 3);
  ASSERT_GE(id, 1);
  const CellBlock cells = Slope(DEMBASE_TYPE_INT32, 5);
  OneTileInfo info = cells.Info();
  CellBlock read(DEMBASE_TYPE_INT32);

  for (int16_t level : {int16_t{0}, int16_t{3}, int16_t{1} /* the open level */}) {
    EXPECT_EQ(_hxBeginWritePyramidLayer(h_, kLocal, id, level), 0) << level;
  }
  ASSERT_EQ(_hxClosePyramidLayer(h_, kLocal, id), 1);
  ASSERT_EQ(_hxBeginWritePyramidLayer(h_, kLocal, id, 2), 1);
  EXPECT_EQ(_hxBeginWritePyramidLayer(h_, kLocal, id, 2), 0);  // one sequence per layer
  for (int32_t t : {-1, 6}) EXPECT_EQ(WriteTile(h_, t, cells), 0) << t;
  EXPECT_EQ(_hxWriteOneTile(h_, 0, 0, &info, nullptr), 0);
  EXPECT_EQ(WriteTile(h_, 5, cells), 1);
  EXPECT_EQ(_hxOpenPyramidLayer(h_, kLocal, id, 2), 0) << "the level being written";
  ASSERT_EQ(_hxCloseDataLayer(h_, kLocal, id), 1);

  // Refused writes changed nothing: only tile 5 is stored.
  const LevelProbe probe = LevelProbe::Of(Path("r.dem"), 2);
  for (int32_t t = 0; t < probe.tile_count(); ++t) EXPECT_EQ(probe.Stored(t), t == 5) << t;
  EXPECT_EQ(probe.data_file_end(0), probe.data_file_size(0));
  const int32_t again = _hxOpenDataLayer(h_, kLocal, Path("r.dem").c_str(), 0);
  ASSERT_GE(again, 1);
  PyramidLayerInfo level2{};
  ASSERT_EQ(_hxGetPyramidLayerInfo(h_, kLocal, again, 2, &level2), 1);
  EXPECT_EQ(level2.closedOnce, 1);
  // Tiles outside the level: SingleTileMergesAndReplacements, for every kind.
  for (int16_t level : {0, 3}) EXPECT_EQ(_hxBeginReadTileData(h_, kLocal, again, level, 0, 0, 0), 0) << level;
  EXPECT_EQ(ReadTileData(h_, again, 2, 1, 2, &read), 1);
  EXPECT_TRUE(read == cells);
  EXPECT_EQ(ReadTileData(h_, again, 2, 0, 0, &read), 2);
}

TEST_F(LevelWriteRulesTest, TileDataModeReportsTheLevelButRefusesCellAndTileCalls) {
  const int32_t id = MakeLayer("m.dem", DEMBASE_TYPE_FLOAT32, 2, 2);
  ASSERT_GE(id, 1);
  ASSERT_EQ(_hxClosePyramidLayer(h_, kLocal, id), 1);
  ASSERT_EQ(_hxBeginWritePyramidLayer(h_, kLocal, id, 2), 1);
  ASSERT_EQ(WriteTile(h_, 3, Slope(DEMBASE_TYPE_FLOAT32, 1)), 1);
  ASSERT_EQ(_hxEndWritePyramidLayer(h_), 1);

  ASSERT_EQ(_hxBeginReadTileData(h_, kLocal, id, 2, 0, 1, 1), 1);
  double v = 0;
  uint8_t isNull = 9;
  // The layer reports level 2 as open, so calls for it reach the layer, which fails them.
  EXPECT_EQ(_hxGetCell(h_, kLocal, id, 2, 0, 300, 300, &isNull), NullOf(DEMBASE_TYPE_FLOAT32));
  EXPECT_EQ(isNull, 1);
  EXPECT_EQ(_hxSetCell(h_, kLocal, id, 2, 0, 300, 300, 5.0), 0);
  OneTileInfo info{};
  EXPECT_EQ(_hxGetOneTileInfo(h_, kLocal, id, 2, 0, 1, 1, &info), 0);
  EXPECT_EQ(_hxBeginWriteTile(h_, kLocal, id, 2, 0, 1, 1), 0);
  EXPECT_EQ(_hxBeginReadTile(h_, kLocal, id, 2, 0, 1, 1), 0);
  EXPECT_EQ(_hxOpenPyramidLayer(h_, kLocal, id, 1), 0);
  EXPECT_EQ(_hxClosePyramidLayer(h_, kLocal, id), 0);
  EXPECT_EQ(_hxBeginReadTileData(h_, kLocal, id, 2, 0, 0, 0), 0);
  // The tile stays readable through all of that; positions outside it are refused.
  ASSERT_EQ(_hxReadCellOfTileData(h_, 10, 20, &v, &isNull), 1);
  EXPECT_EQ(v, 1 + 3 * 10 + 20);
  EXPECT_EQ(isNull, 0);
  for (const auto& [r, c] : {std::pair{256, 0}, std::pair{0, -1}}) {
    v = 7;
    EXPECT_EQ(_hxReadCellOfTileData(h_, r, c, &v, &isNull), 0) << r << "," << c;
    EXPECT_EQ(v, 7);
  }
  // The level under the read can move down a number; the read follows it.
  ASSERT_EQ(_hxDeletePyramidLayer(h_, kLocal, id, 1), 1);
  EXPECT_EQ(_hxDeletePyramidLayer(h_, kLocal, id, 1), 0) << "the level being read is now level 1";
  EXPECT_EQ(_hxGetCell(h_, kLocal, id, 1, 0, 300, 300, &isNull), NullOf(DEMBASE_TYPE_FLOAT32));
  EXPECT_EQ(_hxEndReadTileData(h_), 1);
  ASSERT_EQ(_hxBeginReadTileData(h_, kLocal, id, 1, 0, 1, 1), 1);
  EXPECT_EQ(_hxEndReadTileData(h_), 1);

  EXPECT_EQ(_hxReadCellOfTileData(h_, 5, 5, &v, &isNull), 0);  // the sequence is over
  EXPECT_EQ(_hxBeginReadTileData(h_, kLocal, id, 1, 0, 5, 5), 0);
  EXPECT_EQ(_hxReadCellOfTileData(h_, 5, 5, &v, &isNull), 0);  // a failed Begin starts nothing
  EXPECT_EQ(_hxOpenPyramidLayer(h_, kLocal, id, 1), 1);
}

// 81 tiles: more than the cache's 64 blocks, so changing all of them evicts dirty tiles
// of the open level while the whole-level write runs.
TEST_F(LevelWriteRulesTest, OpenLevelChangesSurviveAWholeLevelWrite) {
  constexpr int32_t kTiles = 9;
  const int32_t id = MakeLayer("o.dem", DEMBASE_TYPE_INT32, kTiles, kTiles);
  ASSERT_GE(id, 1);
  const auto cellOf = [](int32_t t) { return std::pair{t / kTiles * kStep + 10, t % kTiles * kStep + 20}; };
  ASSERT_EQ(_hxSetCell(h_, kLocal, id, 1, 0, 3, 4, 42.0), 1);  // an unwritten change of the open level
  ASSERT_EQ(_hxBeginWritePyramidLayer(h_, kLocal, id, 2), 1);
  const CellBlock cells = Slope(DEMBASE_TYPE_INT32, 7);
  for (int32_t t = 0; t < kTiles * kTiles; ++t) {
    ASSERT_EQ(_hxSetCell(h_, kLocal, id, 1, 0, cellOf(t).first, cellOf(t).second, 1000.0 + t), 1);
    if (t % 2 == 1) continue;
    ASSERT_EQ(WriteTile(h_, t, cells), 1);
  }
  ASSERT_EQ(_hxEndWritePyramidLayer(h_), 1);

  ASSERT_EQ(_hxCloseDataLayer(h_, kLocal, id), 1);
  const int32_t again = _hxOpenDataLayer(h_, kLocal, Path("o.dem").c_str(), 0);
  ASSERT_GE(again, 1);
  ASSERT_EQ(_hxOpenPyramidLayer(h_, kLocal, again, 1), 1);
  EXPECT_EQ(Get(again, 3, 4), 42.0);
  for (int32_t t = 0; t < kTiles * kTiles; ++t) ASSERT_EQ(Get(again, cellOf(t).first, cellOf(t).second), 1000.0 + t);
  ASSERT_EQ(_hxClosePyramidLayer(h_, kLocal, again), 1);
  CellBlock read(DEMBASE_TYPE_INT32);
  for (int32_t t = 0; t < kTiles * kTiles; ++t) {
    ASSERT_EQ(ReadTileData(h_, again, 2, t / kTiles, t % kTiles, &read), t % 2 == 0 ? 1 : 2) << t;
  }
}

}  // namespace
}  // namespace dembase::testing
