// The tile sequences of layers in local files and in SQLite data sets, end to end through
// the exports, for integer and float layers with compressed and raw tiles: what
// EndWriteTile keeps and discards, where tile-sequence writes land, calls out of order,
// the answers of BeginReadTile, and tile statistics that must follow every later write.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/cell_block.h"
#include "tests/support/cell_calls.h"
#include "tests/support/level_io.h"
#include "tests/support/layer_kind_fixture.h"

namespace dembase::testing {
namespace {

constexpr int32_t kRows = 600;  // 3 tiles down
constexpr int32_t kCols = 700;  // 3 tiles across
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using LayerTileSequenceTest = LayerKindTest;

// The tile of the keep cases and the cells they use (level coordinates in tile (1, 1)).
constexpr int32_t kSeqTile = 1;
struct SeqCell {
  int32_t row, col;
  double value;
};
constexpr SeqCell kStored{255 + 10, 255 + 10, 11};  // reached the disk before the sequence
constexpr SeqCell kBefore{255 + 20, 255 + 20, 22};  // set, not yet written back, before it
constexpr SeqCell kInSeq{255 + 30, 255 + 30, 33};   // written by the sequence
constexpr SeqCell kWitness{1, 1, 5};                // in tile (0, 0), so the level changes

enum class Before : uint8_t {
  kEmpty,             // nothing in the tile
  kEmptyDirty,        // a cell set into an empty tile
  kEmptyPending,      // the same, and statistics made by an earlier sequence kept
  kStored,            // a stored tile, clean
  kStoredDirty,       // a stored tile with a cell set since
  kStoredDirtyStats,  // the same, and statistics made by an earlier sequence kept
};

struct KeepCase {
  const char* name;
  Before before;
  uint8_t keep;
  bool wantStored, wantBefore, wantInSeq;
};

class LayerKeepTest : public LayerKindTest {
 protected:
  void Prepare(CellCalls& layer, const std::string& stem, Before before) {
    const bool stored =
        before == Before::kStored || before == Before::kStoredDirty || before == Before::kStoredDirtyStats;
    if (stored) {
      ASSERT_EQ(layer.Set(kStored.row, kStored.col, kStored.value), 1);
      layer = Again(layer, stem);
      ASSERT_GE(layer.layer(), 1);
    }
    if (before != Before::kEmpty && before != Before::kStored) {
      ASSERT_EQ(layer.Set(kBefore.row, kBefore.col, kBefore.value), 1);
    }
    if (before == Before::kEmptyPending || before == Before::kStoredDirtyStats) {
      ASSERT_TRUE(layer.WriteTile(kSeqTile, kSeqTile, {}, 1));
    }
    ASSERT_EQ(layer.Set(kWitness.row, kWitness.col, kWitness.value), 1);
  }

  using Expectation = std::array<std::pair<const SeqCell*, bool>, 3>;
  static Expectation Expected(const KeepCase& k) {
    return {{{&kStored, k.wantStored}, {&kBefore, k.wantBefore}, {&kInSeq, k.wantInSeq}}};
  }

  // The cells of the case as the tile holds them, and the tile's answers.
  void Check(const CellCalls& layer, const KeepCase& k, bool statsCurrent) {
    double tileMin = 1e300, tileMax = -1e300;
    for (const auto& [cell, want] : Expected(k)) {
      const CellRead got = layer.Get(cell->row, cell->col);
      EXPECT_EQ(got.isNull, want ? 0 : 1) << "cell " << cell->value;
      EXPECT_EQ(got.value, want ? cell->value : NullValue()) << "cell " << cell->value;
      if (want) {
        tileMin = std::min(tileMin, cell->value);
        tileMax = std::max(tileMax, cell->value);
      }
    }
    const bool empty = tileMin > tileMax;
    EXPECT_EQ(layer.BeginRead(kSeqTile, kSeqTile), empty ? 2 : 1);
    EXPECT_EQ(_hxEndReadTile(h_), 1);
    if (!statsCurrent) return;
    const auto info = layer.TileInfo(kSeqTile, kSeqTile);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->minimum, static_cast<float>(empty ? NullValue() : tileMin));
    EXPECT_EQ(info->maximum, static_cast<float>(empty ? NullValue() : tileMax));
  }
};

TEST_P(LayerKeepTest, EndWriteTileKeepsOrDiscards) {
  const KeepCase cases[] = {
      {"empty, keep", Before::kEmpty, 1, false, false, true},
      {"empty, discard: stays empty", Before::kEmpty, 0, false, false, false},
      {"empty with a cell, keep", Before::kEmptyDirty, 1, false, true, true},
      {"empty with a cell, discard: all unwritten changes go", Before::kEmptyDirty, 0, false, false, false},
      {"pending, discard: the earlier statistics go too", Before::kEmptyPending, 0, false, false, false},
      {"pending, keep", Before::kEmptyPending, 1, false, true, true},
      {"stored and clean, keep", Before::kStored, 1, true, false, true},
      {"stored and clean, discard: a clean tile is always kept", Before::kStored, 0, true, false, true},
      {"stored with a cell, keep", Before::kStoredDirty, 1, true, true, true},
      {"stored with a cell, discard: back to the stored tile", Before::kStoredDirty, 0, true, false, false},
      {"stored with statistics of changes, discard", Before::kStoredDirtyStats, 0, true, false, false},
  };
  int n = 0;
  for (const KeepCase& k : cases) {
    SCOPED_TRACE(k.name);
    const std::string stem = "keep" + std::to_string(n++);
    CellCalls layer = Make(stem, kRows, kCols);
    ASSERT_GE(layer.layer(), 1);
    Prepare(layer, stem, k.before);
    const TileWrite w{kInSeq.row - 255, kInSeq.col - 255, kInSeq.value};
    ASSERT_TRUE(layer.WriteTile(kSeqTile, kSeqTile, {&w, 1}, k.keep));
    // Statistics are made at End with keep, and made again from what is stored when a
    // discard dropped changes; a clean tile that is kept anyway reports the statistics of
    // its stored form until it is written back.
    Check(layer, k, k.keep != 0 || k.before != Before::kStored);

    const ValueRange p = RangeAfterLevelClose(layer);
    double lowest = kWitness.value, highest = kWitness.value;
    for (const auto& [cell, want] : Expected(k)) {
      if (!want) continue;
      lowest = std::min(lowest, cell->value);
      highest = std::max(highest, cell->value);
    }
    EXPECT_EQ(p.minValue, lowest);
    EXPECT_EQ(p.maxValue, highest);
    ASSERT_EQ(_hxOpenPyramidLayer(h_, ds(), layer.layer(), 1), 1);
    Check(layer, k, true);
  }
}

// A discard that went back to an empty tile leaves it as empty as a tile never written:
// the next discard drops its cells too.
TEST_P(LayerKeepTest, DiscardsOfAnEmptiedTileKeepDiscarding) {
  CellCalls layer = Make("again", kRows, kCols);
  ASSERT_GE(layer.layer(), 1);
  ASSERT_EQ(layer.Set(kBefore.row, kBefore.col, kBefore.value), 1);
  ASSERT_TRUE(layer.WriteTile(kSeqTile, kSeqTile, {}, 1));
  const TileWrite w{kInSeq.row - 255, kInSeq.col - 255, kInSeq.value};
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(layer.WriteTile(kSeqTile, kSeqTile, {&w, 1}, 0));
    EXPECT_EQ(layer.Get(kInSeq.row, kInSeq.col).isNull, 1) << i;
    EXPECT_EQ(layer.Get(kBefore.row, kBefore.col).isNull, 1) << i;
    EXPECT_EQ(layer.BeginRead(kSeqTile, kSeqTile), 2) << i;
    EXPECT_EQ(_hxEndReadTile(h_), 1);
  }
}

// A discard goes back to the stored tile even when the changes it drops had nulled every
// cell and statistics were made from them (which record the tile as empty).
TEST_P(LayerKeepTest, DiscardAfterAllNullStatisticsGoesBackToTheStoredTile) {
  const std::function<bool(CellCalls&)> recounts[] = {
      [this](CellCalls& l) { return l.Set(3, 3, l.Null()) == 1 && l.BeginRead(0, 0) == 2 && _hxEndReadTile(h_) == 1; },
      [](CellCalls& l) {
        const TileWrite w{3, 3, l.Null()};
        return l.WriteTile(0, 0, {&w, 1}, 1);
      },
  };
  int n = 0;
  for (const auto& recount : recounts) {
    const std::string stem = "nulled" + std::to_string(n);
    SCOPED_TRACE(n++);
    CellCalls layer = Make(stem, kRows, kCols);
    ASSERT_GE(layer.layer(), 1);
    ASSERT_EQ(layer.Set(3, 3, 5), 1);
    layer = Again(layer, stem);
    ASSERT_GE(layer.layer(), 1);
    ASSERT_TRUE(recount(layer));
    ASSERT_TRUE(layer.WriteTile(0, 0, {}, 0));
    EXPECT_EQ(layer.Get(3, 3).value, 5);
    layer = Again(layer, stem);
    ASSERT_GE(layer.layer(), 1);
    EXPECT_EQ(layer.Get(3, 3).value, 5);
  }
}

TEST_P(LayerTileSequenceTest, TileWritePositionsWrapAndStayInTheirTile) {
  CellCalls layer = Make("wrap", kRows, kCols);
  ASSERT_GE(layer.layer(), 1);
  const std::vector<TileWrite> writes = {
      {300, 5, 1},    // wraps to (44, 5)
      {256, 257, 2},  // wraps to (0, 1)
      {-1, 3, 3},     // refused
      {3, -1, 4},     // refused
      {255, 10, 5},   // the tile's own copy of a cell owned by tile (1, 0)
      {10, 255, 6},   // the tile's own copy of a cell owned by tile (0, 1)
  };
  ASSERT_TRUE(layer.WriteTile(0, 0, writes));
  for (int pass = 0; pass < 2; ++pass) {
    EXPECT_EQ(layer.Get(44, 5).value, 1);
    EXPECT_EQ(layer.Get(0, 1).value, 2);
    EXPECT_EQ(layer.ReadTileCell(0, 0, 255, 10)->value, 5);
    EXPECT_EQ(layer.ReadTileCell(0, 0, 10, 255)->value, 6);
    // A tile write never updates the neighbours' copies.
    EXPECT_EQ(layer.Get(255, 10).isNull, 1);
    EXPECT_EQ(layer.Get(10, 255).isNull, 1);
    EXPECT_EQ(layer.BeginRead(1, 0), 2);
    EXPECT_EQ(_hxEndReadTile(h_), 1);
    EXPECT_EQ(layer.BeginRead(0, 1), 2);
    EXPECT_EQ(_hxEndReadTile(h_), 1);
    const auto cells = layer.ReadWholeTile(0, 0);
    ASSERT_TRUE(cells.has_value());
    EXPECT_EQ(std::count_if(cells->begin(), cells->end(), [](const CellRead& c) { return c.isNull == 0; }), 4);
    layer = Again(layer, "wrap");
    ASSERT_GE(layer.layer(), 1);
  }
}

// Each step is one call and the answer it must give; the steps run in order on one layer.
struct Step {
  const char* what;
  std::function<int16_t()> call;
  int16_t want;
};

TEST_P(LayerTileSequenceTest, SequenceCallsOutOfOrderAreRefused) {
  CellCalls layer = Make("order", kRows, kCols);
  ASSERT_GE(layer.layer(), 1);
  DemBaseAI* h = h_;
  double v = 0;
  uint8_t isNull = 0;
  const auto writeCell = [h](int32_t r, int32_t c, double x) {
    return [h, r, c, x] {
      _hxWriteCellOfTile(h, r, c, x);
      return int16_t{1};
    };
  };
  const auto get = [&layer](int32_t row, int32_t col) {
    return [&layer, row, col] {
      return static_cast<int16_t>(layer.Get(row, col).isNull == 0 ? layer.Get(row, col).value : -1);
    };
  };
  const std::vector<Step> steps = {
      {"end write, no sequence", [h] { return _hxEndWriteTile(h, 1); }, 0},
      {"end read, no sequence", [h] { return _hxEndReadTile(h); }, 0},
      {"read cell, no sequence", [&] { return _hxReadCellOfTile(h, 1, 1, &v, &isNull); }, 0},
      {"write cell, no sequence", writeCell(1, 1, 9), 1},
      {"begin write", [&] { return layer.BeginWrite(0, 0); }, 1},
      {"begin write of a tile outside the level", [&] { return layer.BeginWrite(3, 0); }, 0},
      {"write cell (2, 2)", writeCell(2, 2, 7), 1},
      {"end read in a write sequence", [h] { return _hxEndReadTile(h); }, 0},
      {"read cell in a write sequence", [&] { return _hxReadCellOfTile(h, 2, 2, &v, &isNull); }, 0},
      {"begin read of a tile outside the level", [&] { return layer.BeginRead(0, 3); }, 0},
      {"begin read nested in a write sequence", [&] { return layer.BeginRead(1, 1); }, 0},
      {"end write", [h] { return _hxEndWriteTile(h, 1); }, 1},
      {"end write again", [h] { return _hxEndWriteTile(h, 1); }, 0},
      {"the refused begins left the sequence alone", get(2, 2), 7},
      {"no write outside a sequence", get(1, 1), -1},
      {"begin read", [&] { return layer.BeginRead(0, 0); }, 1},
      {"read cell (2, 2)", [&] { return _hxReadCellOfTile(h, 2, 2, &v, &isNull); }, 1},
      {"read cell past the tile", [&] { return _hxReadCellOfTile(h, 256, 2, &v, &isNull); }, 0},
      {"read cell before the tile", [&] { return _hxReadCellOfTile(h, 2, -1, &v, &isNull); }, 0},
      {"write cell in a read sequence", writeCell(3, 3, 8), 1},
      {"end write in a read sequence", [h] { return _hxEndWriteTile(h, 1); }, 0},
      {"end read", [h] { return _hxEndReadTile(h); }, 1},
      {"end read again", [h] { return _hxEndReadTile(h); }, 0},
      {"no write in a read sequence", get(3, 3), -1},
      {"begin write", [&] { return layer.BeginWrite(0, 0); }, 1},
      {"close level in the sequence", [&] { return _hxClosePyramidLayer(h, ds(), layer.layer()); }, 1},
      {"open level again", [&] { return _hxOpenPyramidLayer(h, ds(), layer.layer(), 1); }, 1},
      {"write cell after the level closed", writeCell(4, 4, 6), 1},
      {"end write after the level closed", [h] { return _hxEndWriteTile(h, 1); }, 0},
      {"the closed sequence wrote nothing", get(4, 4), -1},
      {"the closed sequence kept what it wrote", get(2, 2), 7},
      {"begin read", [&] { return layer.BeginRead(0, 0); }, 1},
      {"close level in the read sequence", [&] { return _hxClosePyramidLayer(h, ds(), layer.layer()); }, 1},
      {"open level again", [&] { return _hxOpenPyramidLayer(h, ds(), layer.layer(), 1); }, 1},
      {"read cell after the level closed", [&] { return _hxReadCellOfTile(h, 2, 2, &v, &isNull); }, 0},
      {"end read after the level closed", [h] { return _hxEndReadTile(h); }, 0},
  };
  for (const Step& s : steps) EXPECT_EQ(s.call(), s.want) << s.what;
}

TEST_P(LayerTileSequenceTest, BeginReadTileAnswersTwoOnlyForTilesOfNulls) {
  CellCalls layer = Make("reads", kRows, kCols);
  ASSERT_GE(layer.layer(), 1);
  const auto answer = [&](int32_t tr, int32_t tc) {
    const int16_t a = layer.BeginRead(tr, tc);
    if (a > 0) {
      EXPECT_EQ(_hxEndReadTile(h_), 1);
    }
    return a;
  };
  EXPECT_EQ(answer(0, 0), 2);
  // A tile answering 2 still reads, as nulls.
  ASSERT_EQ(layer.BeginRead(0, 0), 2);
  CellRead c;
  EXPECT_EQ(_hxReadCellOfTile(h_, 7, 7, &c.value, &c.isNull), 1);
  EXPECT_EQ(c.isNull, 1);
  EXPECT_EQ(c.value, NullValue());
  EXPECT_EQ(_hxEndReadTile(h_), 1);

  ASSERT_EQ(layer.Set(7, 7, 3), 1);  // cells since the statistics were made
  EXPECT_EQ(answer(0, 0), 1);
  ASSERT_EQ(layer.Set(7, 7, layer.Null()), 1);  // and back to nothing but nulls
  EXPECT_EQ(answer(0, 0), 2);
  ASSERT_EQ(layer.Set(300, 300, kind().is_float() ? 1e19 : kNaN), 1);  // null-like only
  EXPECT_EQ(answer(1, 1), 2);
  EXPECT_EQ(answer(-1, 0), 0);
  EXPECT_EQ(answer(0, -1), 0);
  EXPECT_EQ(answer(3, 3), 0);
  layer = Again(layer, "reads");
  ASSERT_GE(layer.layer(), 1);
  EXPECT_EQ(answer(0, 0), 2);
  EXPECT_EQ(answer(1, 1), 2);
}

// Statistics made while a tile is cached must not outlive later writes into the tile:
// each case leaves tile (0, 0) cached with statistics made, then changes cells, and the
// changes must be stored and counted.
TEST_P(LayerTileSequenceTest, StatisticsNeverHideLaterWrites) {
  const auto bySetCell = [](CellCalls& l) { return l.Set(4, 4, 100) == 1 && l.Set(2, 2, -50) == 1; };
  // Keep 0 on a tile that was clean at Begin keeps the cells.
  const auto byCleanTileSequence = [](CellCalls& l) {
    const TileWrite w[] = {{4, 4, 100}, {2, 2, -50}};
    return l.WriteTile(0, 0, w, 0);
  };
  struct Case {
    const char* name;
    std::function<bool(CellCalls&, const std::string& stem)> before;
    std::function<bool(CellCalls&)> later;
  };
  const Case cases[] = {
      {"an empty tile kept at End", [](CellCalls& l, const std::string&) { return l.WriteTile(0, 0, {}, 1); },
       bySetCell},
      {"a cell written and nulled, recounted by BeginReadTile",
       [this](CellCalls& l, const std::string&) {
         return l.Set(3, 3, 1) == 1 && l.Set(3, 3, l.Null()) == 1 && l.BeginRead(0, 0) == 2 && _hxEndReadTile(h_) == 1;
       },
       bySetCell},
      {"a tile written and kept",
       [](CellCalls& l, const std::string&) {
         const TileWrite w{3, 3, 5};
         return l.WriteTile(0, 0, {&w, 1}, 1);
       },
       bySetCell},
      {"a discard that went back to a stored tile, then a clean-tile sequence",
       [this](CellCalls& l, const std::string& stem) {
         if (l.Set(3, 3, 5) != 1) return false;
         l = Again(l, stem);
         return l.layer() >= 1 && l.Set(3, 3, 6) == 1 && l.WriteTile(0, 0, {}, 1) && l.WriteTile(0, 0, {}, 0);
       },
       byCleanTileSequence},
  };
  int n = 0;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    const std::string stem = "stats" + std::to_string(n++);
    CellCalls layer = Make(stem, kRows, kCols);
    ASSERT_GE(layer.layer(), 1);
    ASSERT_TRUE(k.before(layer, stem));
    ASSERT_TRUE(k.later(layer));
    // Tile statistics follow the cells before anything reaches the disk.
    const auto current = layer.TileInfo(0, 0);
    ASSERT_TRUE(current.has_value());
    EXPECT_EQ(current->minimum, -50.0f);
    EXPECT_EQ(current->maximum, 100.0f);
    const ValueRange p = RangeAfterLevelClose(layer);
    EXPECT_EQ(p.minValue, -50);
    EXPECT_EQ(p.maxValue, 100);
    ASSERT_EQ(_hxOpenPyramidLayer(h_, ds(), layer.layer(), 1), 1);
    EXPECT_EQ(layer.Get(4, 4).value, 100);
    EXPECT_EQ(layer.Get(2, 2).value, -50);
    const auto info = layer.TileInfo(0, 0);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->minimum, -50.0f);
    EXPECT_EQ(info->maximum, 100.0f);
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, LayerTileSequenceTest, ::testing::ValuesIn(AllLayerKinds()), KindName);
INSTANTIATE_TEST_SUITE_P(Kinds, LayerKeepTest, ::testing::ValuesIn(AllLayerKinds()), KindName);

}  // namespace
}  // namespace dembase::testing
