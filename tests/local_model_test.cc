// Random cell and tile operations on a layer, mirrored in a model of every tile's cells
// and checked against the store at random closes and reopens. Seeded; DEMBASE_MODEL_SEED=<n>
// replays another run.
//
// Two behaviours depend on whether the cache has written a tile back since the level was
// opened, which the exports do not show: SetCell of a null with blending on does nothing at
// all (not even to the neighbours' copies) when the owning tile holds only nulls and is
// unchanged since it was stored; EndWriteTile with keep 0 goes back to the stored tile when
// the tile had changes at Begin (an empty tile counts as changed), and keeps everything
// otherwise. A tracked run has fewer tiles than its cache (cacheBlocks) has blocks and
// reopens the level before discards (each may release two blocks and step the clock hand
// back two) can bring the hand round to a taken block: nothing is written back, and the
// model predicts both. An untracked run (on a level larger than the cache) lets the cache
// work, also under tile sequences, skips a null SetCell whose outcomes could differ, and
// uses keep 0 only on tiles known to be stored and unchanged, which must be kept.
// Rarely generated: a discard after statistics found the changed tile all null (rows of
// layer_cells_test's StatisticsNeverHideLaterWrites).
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <ostream>
#include <random>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "cache/tile_ref.h"
#include "cells/cell_address.h"
#include "cells/shared_edge.h"
#include "tests/support/cell_calls.h"
#include "tests/support/layer_kind_fixture.h"
#include "tests/support/local_store_fixture.h"

namespace dembase::testing {
namespace {

// Every tile's own 256 x 256 cells, as the store keeps them: SetCell updates all copies of a
// cell on a shared edge, a tile-sequence write only the one in its tile. Per tile also what
// the disk holds since the last close (for discards) and whether it changed since (dirty).
class TileCopyModel {
 public:
  static constexpr double kNull = std::numeric_limits<double>::quiet_NaN();

  struct Tile {
    std::vector<double> cells = std::vector<double>(kTileCells, kNull);  // NaN: the null value
    int32_t nonNull = 0;
  };

  // keepStored: whether to remember what the disk holds (needed for discards).
  TileCopyModel(const TileGrid& grid, bool keepStored) : grid(grid) {
    current_.resize(static_cast<size_t>(grid.TileCount()));
    if (keepStored) stored_.resize(current_.size());
    dirty_.assign(current_.size(), false);
  }

  int32_t tile_count() const { return static_cast<int32_t>(current_.size()); }
  // Which copies a level cell has, and which cells are outside, is pinned by the cell unit tests.
  std::optional<CellCopies> CopiesOf(int32_t row, int32_t col) const { return CopiesOfCell(grid, row, col); }

  // nullopt for the null value.
  std::optional<double> At(const CellCopy& at) const {
    const double v = current_[static_cast<size_t>(at.tile)].cells[Index(at)];
    return std::isnan(v) ? std::nullopt : std::optional<double>(v);
  }
  void Put(const CellCopy& at, std::optional<double> v) {
    Tile& t = current_[static_cast<size_t>(at.tile)];
    double& cell = t.cells[Index(at)];
    t.nonNull += (v ? 1 : 0) - (std::isnan(cell) ? 0 : 1);
    cell = v.value_or(kNull);
  }

  bool AllNull(int32_t tile) const { return current_[static_cast<size_t>(tile)].nonNull == 0; }
  bool dirty(int32_t tile) const { return dirty_[static_cast<size_t>(tile)]; }
  void set_dirty(int32_t tile) { dirty_[static_cast<size_t>(tile)] = true; }

  // The smallest and largest non-null cell of a tile as its statistics hold them (floats);
  // nullopt when it holds none.
  std::optional<std::pair<float, float>> Range(int32_t tile) const {
    const Tile& t = current_[static_cast<size_t>(tile)];
    if (t.nonNull == 0) return std::nullopt;
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    for (double v : t.cells) {
      if (std::isnan(v)) continue;
      lo = std::min(lo, v);
      hi = std::max(hi, v);
    }
    return std::pair{static_cast<float>(lo), static_cast<float>(hi)};
  }

  // The level was closed: the disk holds every tile as it is now (a tile is only changed
  // with its dirty state set).
  void Commit() {
    for (size_t t = 0; t < stored_.size(); ++t) {
      if (dirty_[t]) stored_[t] = current_[t];
    }
    dirty_.assign(dirty_.size(), false);
  }
  // A discard: the tile goes back to what the disk holds. REQUIRES: keepStored.
  void Revert(int32_t tile) {
    current_[static_cast<size_t>(tile)] = stored_[static_cast<size_t>(tile)];
    dirty_[static_cast<size_t>(tile)] = false;
  }

  const TileGrid grid;

 private:
  static size_t Index(const CellCopy& at) { return static_cast<size_t>(at.r * kTileEdge + at.c); }

  std::vector<Tile> current_;
  std::vector<Tile> stored_;
  std::vector<bool> dirty_;
};

struct ModelConfig {
  const char* name;
  LayerKind kind;
  int32_t rows, cols;
  uint8_t blend;  // 0: off (weights set but unused); 1: the default weights (values as written); 2: 0.25, 0.75
  bool tracked;   // reopen before write-backs can happen; see above
  int ops, reopenPerMille;  // operations; chance in 1000 of a close, reopen and full check per operation
  uint64_t seed;
  int32_t cacheBlocks = 64;  // the handle's cache; the fewest blocks a cache has
};

const ModelConfig kConfigs[] = {
    {"IntPackedTracked", {DEMBASE_TYPE_INT32, 1}, 600, 700, 1, true, 2500, 10, 1},
    {"IntPackedTrackedWide", {DEMBASE_TYPE_INT32, 1}, 1300, 2600, 1, true, 1500, 4, 7, 128},  // 66 tiles
    {"FloatRawTrackedUnblended", {DEMBASE_TYPE_FLOAT32, 0}, 700, 520, 0, true, 2500, 10, 2},
    {"IntRawEvictingUnblended", {DEMBASE_TYPE_INT32, 0}, 2100, 1900, 0, false, 3000, 3, 3},  // 72 tiles
    {"FloatRawEvictingSqlite", {DEMBASE_TYPE_FLOAT32, 0, Store::kSqlite}, 2100, 1900, 1, false, 1500, 3, 6},
    // Weighted runs, one per data set (once LayerCellsTest.BlendingWeighsStoredAndWrittenValues).
    {"FloatPackedEvictingWeighted", {DEMBASE_TYPE_FLOAT32, 1}, 2100, 1900, 2, false, 1500, 3, 4},
    {"IntPackedTrackedWeightedSqlite", {DEMBASE_TYPE_INT32, 1, Store::kSqlite}, 600, 700, 2, true, 2500, 10, 5},
    {"IntWeightedPostgresql", {DEMBASE_TYPE_INT32, 1, Store::kPostgresql}, 2100, 1900, 2, false, 800, 3, 8},
};

void PrintTo(const ModelConfig& c, std::ostream* os) { *os << c.name; }

struct Written {
  double value;
  std::optional<double> stored;  // nullopt: the null value
};

// Beside whole numbers, one row per path of the store rule (its boundaries are pinned by
// the cell unit tests): forms of the null value, and values each cell type changes.
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kFloatNull = std::bit_cast<float>(DEMBASE_NULL_FLOAT32_BITS);
constexpr Written kIntOdd[] = {{DEMBASE_NULL_INT32, {}}, {kNaN, {}}, {-2.9, -2}, {3e9, 2147483647}};
constexpr Written kFloatOdd[] = {
    {kFloatNull, {}}, {kNaN, {}}, {1e30, {}}, {0.1, double{0.1f}}, {2100000000, 2100000000}};

class LocalModelTest : public LocalStoreTest, public ::testing::WithParamInterface<ModelConfig> {
 protected:
  void SetUp() override {
    // The cache takes an eighth of what the handle is told memory is (see OpenDataSet).
    env_.SetPhysicalMemory(uint64_t{8} * static_cast<uint64_t>(cfg().cacheBlocks) * CACHE_BLOCK_SIZE);
    LocalStoreTest::SetUp();
    const Store store = cfg().kind.store;
    if (store == Store::kPostgresql && rasterdb::test::PgServer().empty()) GTEST_SKIP() << "no PostgreSQL test server";
    if (store != Store::kFiles) {
      ds_ = OpenTestDataSet(h_, store, store == Store::kSqlite ? Path("layers.db") : pg_.conninfo());
    }
    ASSERT_GE(ds_, 1);
  }
  const ModelConfig& cfg() const { return GetParam(); }
  // The layer's name in its data set: a header path, or a database layer name.
  std::string LayerName() const { return cfg().kind.database() ? cfg().name : Path(std::string(cfg().name) + ".dem"); }

  int32_t Uniform(int32_t lo, int32_t hi) { return std::uniform_int_distribution<int32_t>(lo, hi)(rng_); }
  bool Chance(int percent) { return Uniform(0, 99) < percent; }

  // Whole numbers (quarters on float layers); one time in seven a form of the null value
  // or a value the cell type truncates, saturates or rounds.
  Written RandomValue() {
    const bool isFloat = cfg().kind.is_float();
    if (Chance(15)) {
      const std::span<const Written> odd = isFloat ? std::span<const Written>(kFloatOdd) : kIntOdd;
      return odd[static_cast<size_t>(Uniform(0, static_cast<int32_t>(odd.size()) - 1))];
    }
    const double v = Uniform(-100000, 100000) / (isFloat ? 4.0 : 1.0);
    return {v, v};
  }
  // What writing w makes of a cell holding old. A null is never blended.
  std::optional<double> Stored(std::optional<double> old, const Written& w) const {
    if (cfg().blend != 2 || !old || !w.stored) return w.stored;
    const double v = 0.25 * *old + 0.75 * w.value;
    if (cfg().kind.is_float()) return double{static_cast<float>(v)};
    return std::clamp(std::trunc(v), -2147483648.0, 2147483647.0);
  }
  // Opens the layer with its level 1. Blend settings belong to the open layer and are
  // never stored: each open starts from the defaults.
  void OpenLayer() {
    const int32_t id = _hxOpenDataLayer(h_, ds_, LayerName().c_str(), 0);
    ASSERT_GE(id, 1);
    ASSERT_EQ(_hxOpenPyramidLayer(h_, ds_, id, 1), 1);
    layer_ = CellCalls(h_, id, 1, ds_);
    LayerOperParam p{};
    ASSERT_EQ(_hxGetLayerOperParam(h_, ds_, id, &p), 1);
    ASSERT_TRUE(p.blendValues == 1 && p.oldWeight == 0.0f && p.newWeight == 1.0f);
    ASSERT_TRUE(layer_.SetOper(cfg().kind.compress, cfg().blend != 0, cfg().blend == 1 ? 0.0f : 0.25f,
                               cfg().blend == 1 ? 1.0f : 0.75f));
  }
  // A level coordinate, often on or beside a shared edge, now and then just outside the level.
  int32_t Coordinate(int32_t cells) {
    if (Chance(1)) return Chance(50) ? -1 : cells;
    if (!Chance(40)) return Uniform(0, cells - 1);
    const int32_t offsets[] = {-1, 0, 1, 254};
    const int32_t v = Uniform(0, (cells - 1) / 255) * 255 + offsets[Uniform(0, 3)];
    return std::clamp(v, 0, cells - 1);
  }
  // An in-tile position, often the first or last row or column.
  int32_t InTile() {
    if (Chance(30)) return Chance(50) ? 0 : 255;
    return Uniform(0, 255);
  }

  bool Matches(const CellRead& got, std::optional<double> want) const {
    return want ? got.isNull == 0 && got.value == *want : got.isNull == 1 && got.value == null_;
  }
  void ExpectCell(const CellRead& got, std::optional<double> want) {
    ASSERT_TRUE(Matches(got, want)) << "read " << got.value << " isNull " << int{got.isNull} << ", want "
                                    << (want ? std::to_string(*want) : "null");
  }

  // Tile statistics follow the cells, whether or not they have reached the disk.
  void CheckTileInfo(int32_t t) {
    const int32_t tr = t / model_->grid.tilesAcross, tc = t % model_->grid.tilesAcross;
    SCOPED_TRACE(::testing::Message() << "statistics of tile " << tr << "," << tc);
    const auto range = model_->Range(t);
    const auto info = layer_.TileInfo(tr, tc);
    ASSERT_TRUE(info.has_value());
    ASSERT_EQ(info->minValue, range ? range->first : static_cast<float>(null_));
    ASSERT_EQ(info->maxValue, range ? range->second : static_cast<float>(null_));
  }

  void SetCellOp() {
    const int32_t row = Coordinate(model_->grid.rows), col = Coordinate(model_->grid.cols);
    const Written w = RandomValue();
    const std::optional<CellCopies> copies = model_->CopiesOf(row, col);
    if (!copies) {
      ASSERT_EQ(layer_.Set(row, col, w.value), 0) << row << "," << col;  // and writes nowhere
      return;
    }
    const int32_t owner = copies->owner().tile;
    if (cfg().blend && !w.stored && model_->AllNull(owner)) {
      const bool copiesNull =
          std::ranges::none_of(copies->copies(), [&](const CellCopy& c) { return model_->At(c).has_value(); });
      if (cfg().tracked && !model_->dirty(owner)) {
        ASSERT_EQ(layer_.Set(row, col, w.value), 1);
        return;  // nothing happens
      }
      if (!cfg().tracked && !copiesNull) return;
    }
    ASSERT_EQ(layer_.Set(row, col, w.value), 1) << row << "," << col;
    for (const CellCopy& c : copies->copies()) {
      model_->Put(c, Stored(model_->At(c), w));
      model_->set_dirty(c.tile);
      touched_[static_cast<size_t>(c.tile)] = true;
    }
  }

  void GetCellOp() {
    const int32_t row = Coordinate(model_->grid.rows), col = Coordinate(model_->grid.cols);
    SCOPED_TRACE(::testing::Message() << "GetCell " << row << "," << col);
    const std::optional<CellCopies> copies = model_->CopiesOf(row, col);
    ExpectCell(layer_.Get(row, col), copies ? model_->At(copies->owner()) : std::nullopt);
  }

  // Cell calls in the middle of a tile sequence, which may evict the sequence's tile.
  void Interleave() { Chance(50) ? SetCellOp() : GetCellOp(); }

  // Untracked runs: where a tile sequence of n steps runs a sweep, or -1.
  int SweepAt(int n) { return !cfg().tracked && Chance(2) ? Uniform(0, n - 1) : -1; }
  // SetCell on an inner cell of every tile: more tiles than the cache holds, so every
  // block is evicted, the running sequence's tile among them.
  void Sweep() {
    const TileGrid& g = model_->grid;
    for (int32_t t = 0; t < model_->tile_count(); ++t) {
      const int32_t row = std::min(t / g.tilesAcross * 255 + Uniform(1, 254), g.rows - 1);
      const int32_t col = std::min(t % g.tilesAcross * 255 + Uniform(1, 254), g.cols - 1);
      const double v = Uniform(-100000, 100000);
      ASSERT_EQ(layer_.Set(row, col, v), 1);
      const CellCopies copies = *model_->CopiesOf(row, col);
      for (const CellCopy& c : copies.copies()) {
        model_->Put(c, Stored(model_->At(c), {v, v}));
        model_->set_dirty(c.tile);  // not touched: checked by the statistics and GetCell samples
      }
    }
  }

  std::tuple<int32_t, int32_t, int32_t> RandomTile() {  // number, row and column of tiles
    const int32_t t = Uniform(0, model_->tile_count() - 1);
    return {t, t / model_->grid.tilesAcross, t % model_->grid.tilesAcross};
  }

  void WriteSequenceOp() {
    const auto [t, tr, tc] = RandomTile();
    const bool changedAtBegin = model_->dirty(t) || model_->AllNull(t);
    uint8_t keep = Chance(cfg().tracked ? 85 : 50) ? 1 : 0;
    if (keep == 0 && changedAtBegin && !cfg().tracked) keep = 1;
    SCOPED_TRACE(::testing::Message() << "write sequence on tile " << tr << "," << tc << " keep " << int{keep});
    ASSERT_EQ(layer_.BeginWrite(tr, tc), 1);
    model_->set_dirty(t);
    touched_[static_cast<size_t>(t)] = true;
    const int n = Uniform(1, 200), sweepAt = SweepAt(n);
    for (int i = 0; i < n; ++i) {
      if (i == sweepAt || Chance(10)) {
        ASSERT_NO_FATAL_FAILURE(i == sweepAt ? Sweep() : Interleave());
        continue;
      }
      const int32_t r = InTile(), c = InTile();
      const Written w = RandomValue();
      if (Chance(3)) {
        _hxWriteCellOfTile(h_, -1 - r, c, w.value);  // a position below zero is dropped
        continue;
      }
      const int32_t wrap = Chance(5) ? 256 * Uniform(1, 3) : 0;  // positions are taken modulo 256
      _hxWriteCellOfTile(h_, r + wrap, c, w.value);
      model_->Put({t, r, c}, Stored(model_->At({t, r, c}), w));
    }
    ASSERT_EQ(_hxEndWriteTile(h_, keep), 1);
    if (keep == 0 && changedAtBegin) {
      model_->Revert(t);
      ++discards_;
    }
  }

  void ReadSequenceOp() {
    const auto [t, tr, tc] = RandomTile();
    SCOPED_TRACE(::testing::Message() << "read sequence on tile " << tr << "," << tc);
    ASSERT_EQ(layer_.BeginRead(tr, tc), model_->AllNull(t) ? 2 : 1);
    const int n = Uniform(1, 200), sweepAt = SweepAt(n);
    for (int i = 0; i < n; ++i) {
      if (i == sweepAt || Chance(10)) {
        ASSERT_NO_FATAL_FAILURE(i == sweepAt ? Sweep() : Interleave());
        continue;
      }
      const int32_t r = InTile(), c = InTile();
      CellRead got;
      ASSERT_EQ(_hxReadCellOfTile(h_, r, c, &got.value, &got.isNull), 1);
      ASSERT_NO_FATAL_FAILURE(ExpectCell(got, model_->At({t, r, c}))) << "at " << r << "," << c;
    }
    ASSERT_EQ(_hxEndReadTile(h_), 1);
  }

  // Closes and opens the layer and its level, then checks every tile's
  // answers and statistics, the cells of the tiles written since the last check (of all
  // tiles when everything), and a sample of cells through GetCell.
  void ReopenAndCheck(bool everything) {
    const std::vector<bool> written = everything ? std::vector<bool>(touched_.size(), true) : touched_;
    touched_.assign(touched_.size(), false);
    ASSERT_EQ(_hxClosePyramidLayer(h_, ds_, layer_.layer()), 1);
    ASSERT_EQ(_hxCloseDataLayer(h_, ds_, layer_.layer()), 1);
    ASSERT_NO_FATAL_FAILURE(OpenLayer());
    model_->Commit();
    discards_ = 0;

    const TileGrid& g = model_->grid;
    EXPECT_FALSE(layer_.TileInfo(g.tilesDown, 0).has_value() || layer_.TileInfo(0, g.tilesAcross).has_value());
    for (int32_t t = 0; t < model_->tile_count(); ++t) {
      const int32_t tr = t / g.tilesAcross, tc = t % g.tilesAcross;
      SCOPED_TRACE(::testing::Message() << "tile " << tr << "," << tc);
      ASSERT_NO_FATAL_FAILURE(CheckTileInfo(t));
      ASSERT_EQ(layer_.BeginRead(tr, tc), model_->AllNull(t) ? 2 : 1);
      for (int32_t i = 0; written[static_cast<size_t>(t)] && i < kTileCells; ++i) {
        const CellCopy at{t, i / kTileEdge, i % kTileEdge};
        CellRead got;
        const int16_t read = _hxReadCellOfTile(h_, at.r, at.c, &got.value, &got.isNull);
        if (read != 1 || !Matches(got, model_->At(at))) {  // checked cheaply first: millions of cells
          ASSERT_EQ(read, 1);
          ASSERT_NO_FATAL_FAILURE(ExpectCell(got, model_->At(at))) << "at " << at.r << "," << at.c;
        }
      }
      ASSERT_EQ(_hxEndReadTile(h_), 1);
    }
    for (int i = 0; i < 500; ++i) ASSERT_NO_FATAL_FAILURE(GetCellOp());
  }

  rasterdb::test::PgDatabase pg_{GetParam().kind.store == Store::kPostgresql};
  int32_t ds_ = kLocal;
  std::mt19937_64 rng_;
  std::optional<TileCopyModel> model_;
  CellCalls layer_{nullptr, 0};
  double null_ = 0;
  std::vector<bool> touched_;  // written since the last check
  int discards_ = 0;           // since the level was opened
};

TEST_P(LocalModelTest, StoreMatchesTheModel) {
  const char* replay = std::getenv("DEMBASE_MODEL_SEED");
  const uint64_t seed = replay != nullptr ? std::strtoull(replay, nullptr, 10) : cfg().seed;
  SCOPED_TRACE(::testing::Message() << "DEMBASE_MODEL_SEED=" << seed);
  rng_.seed(seed);
  DataLayerParam p = LayerParam(cfg().kind.type, cfg().rows, cfg().cols);
  ASSERT_EQ(_hxCreateDataLayer(h_, ds_, LayerName().c_str(), &p, 0, 0), 1);
  ASSERT_NO_FATAL_FAILURE(OpenLayer());
  null_ = layer_.Null();
  model_.emplace(*TileGrid::FromCells(cfg().rows, cfg().cols), cfg().tracked);
  touched_.assign(static_cast<size_t>(model_->tile_count()), false);
  ASSERT_TRUE(!cfg().tracked || model_->tile_count() < cfg().cacheBlocks) << "a tracked run must not evict";

  for (int i = 0; i < cfg().ops; ++i) {
    SCOPED_TRACE(::testing::Message() << "operation " << i);
    const int pick = Uniform(0, 999);
    if (pick < cfg().reopenPerMille || (cfg().tracked && 4 * discards_ >= cfg().cacheBlocks - model_->tile_count())) {
      ASSERT_NO_FATAL_FAILURE(ReopenAndCheck(false));
    } else if (pick < 450) {
      ASSERT_NO_FATAL_FAILURE(SetCellOp());
    } else if (pick < 650) {
      ASSERT_NO_FATAL_FAILURE(GetCellOp());
    } else if (pick < 700) {
      ASSERT_NO_FATAL_FAILURE(CheckTileInfo(Uniform(0, model_->tile_count() - 1)));
    } else if (pick < 850) {
      ASSERT_NO_FATAL_FAILURE(WriteSequenceOp());
    } else {
      ASSERT_NO_FATAL_FAILURE(ReadSequenceOp());
    }
  }
  ASSERT_NO_FATAL_FAILURE(ReopenAndCheck(true));
}

INSTANTIATE_TEST_SUITE_P(Configs, LocalModelTest, ::testing::ValuesIn(kConfigs),
                         [](const ::testing::TestParamInfo<ModelConfig>& info) { return info.param.name; });

}  // namespace
}  // namespace dembase::testing
