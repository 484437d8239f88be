// Random cell and tile operations on a layer, mirrored in a model of every tile's cells
// and checked against the store at random closes and reopens. Seeded; DEMBASE_MODEL_SEED=<n>
// replays another run.
//
// Two behaviours depend on whether the cache has written a tile back since the level was
// opened, which the exports do not show:
// - SetCell of a null with blending on does nothing at all (not even to the neighbours'
//   copies) when the owning tile holds only nulls and is unchanged since it was stored;
// - EndWriteTile with keep 0 goes back to the stored tile when the tile had changes at
//   Begin (an empty tile counts as changed), and keeps everything otherwise.
// A cache of C blocks (the run's cacheBlocks) evicts nothing while fewer than C blocks have
// been handed out since the level was opened and none was released (a discard releases
// one). A tracked run counts the blocks the store can have handed out and reopens the level
// before that bound and right after every discard: the model then predicts both behaviours.
// An untracked run (on a level larger than the cache) lets the cache work, also under tile
// sequences, skips a null SetCell whose outcomes could differ, and uses keep 0 only on
// tiles known to be stored and unchanged, which must be kept.
//
// Not generated: a discard after statistics found the changed tile all null; its rows are
// in layer_cells_test's StatisticsNeverHideLaterWrites.
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
#include <utility>
#include <vector>

#include "cache/tile_ref.h"
#include "tests/support/cell_calls.h"
#include "tests/support/layer_kind_fixture.h"
#include "tests/support/local_store_fixture.h"

namespace dembase::testing {
namespace {

// What a level should hold, kept the way the store keeps it: every tile's own 256 x 256
// cells. A level cell on a shared edge has up to four copies; SetCell updates them all, a
// tile-sequence write only the one in its tile, so the copies are modelled, not level cells.
// Per tile also what the disk holds since the last close (for discards) and whether the
// tile has been written since (its dirty state).
class TileCopyModel {
 public:
  static constexpr int32_t kEdge = 256;
  static constexpr int32_t kStep = 255;
  static constexpr int32_t kCells = kEdge * kEdge;
  static constexpr double kNull = std::numeric_limits<double>::quiet_NaN();

  struct Copy {
    int32_t tile, r, c;
  };
  struct Tile {
    std::vector<double> cells = std::vector<double>(kCells, kNull);  // NaN: the null value
    int32_t nonNull = 0;
  };

  // keepStored: whether to remember what the disk holds (needed for discards).
  TileCopyModel(int32_t rows, int32_t cols, bool keepStored)
      : rows(rows), cols(cols), down((rows - 1) / kStep + 1), across((cols - 1) / kStep + 1) {
    current_.resize(static_cast<size_t>(tile_count()));
    if (keepStored) stored_.resize(current_.size());
    dirty_.assign(current_.size(), false);
  }

  int32_t tile_count() const { return down * across; }

  // Every copy of level cell (row, col): the owner's first, then left, above, above-left.
  std::vector<Copy> CopiesOf(int32_t row, int32_t col) const {
    const int32_t tr = row / kStep, tc = col / kStep, r = row % kStep, c = col % kStep;
    std::vector<Copy> out = {{tr * across + tc, r, c}};
    if (c == 0 && tc > 0) out.push_back({tr * across + tc - 1, r, kStep});
    if (r == 0 && tr > 0) out.push_back({(tr - 1) * across + tc, kStep, c});
    if (r == 0 && c == 0 && tr > 0 && tc > 0) out.push_back({(tr - 1) * across + tc - 1, kStep, kStep});
    return out;
  }

  // nullopt for the null value.
  std::optional<double> At(const Copy& at) const {
    const double v = current_[static_cast<size_t>(at.tile)].cells[Index(at)];
    return std::isnan(v) ? std::nullopt : std::optional<double>(v);
  }
  void Put(const Copy& at, std::optional<double> v) {
    Tile& t = current_[static_cast<size_t>(at.tile)];
    double& cell = t.cells[Index(at)];
    t.nonNull += (v ? 1 : 0) - (std::isnan(cell) ? 0 : 1);
    cell = v.value_or(kNull);
  }

  bool AllNull(int32_t tile) const { return current_[static_cast<size_t>(tile)].nonNull == 0; }
  bool StoredAllNull(int32_t tile) const { return stored_[static_cast<size_t>(tile)].nonNull == 0; }
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

  const int32_t rows, cols, down, across;  // cells, and tiles down and across

 private:
  static size_t Index(const Copy& at) { return static_cast<size_t>(at.r * kEdge + at.c); }

  std::vector<Tile> current_;
  std::vector<Tile> stored_;
  std::vector<bool> dirty_;
};

using Copy = TileCopyModel::Copy;

struct ModelConfig {
  const char* name;
  LayerKind kind;
  int32_t rows, cols;
  uint8_t blend;  // 0: off (weights set but unused); 1: the default weights (values as written); 2: 0.25, 0.75
  bool tracked;   // reopen before write-backs can happen; see above
  int ops;
  int reopenPerMille;  // chance of a close, reopen and full check per operation
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

// Beside whole numbers: forms of the null value, and values each cell type changes.
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN(), kInf = std::numeric_limits<double>::infinity();
constexpr double kFloatNull = std::bit_cast<float>(DEMBASE_NULL_FLOAT32_BITS);
constexpr Written kIntNulls[] = {{DEMBASE_NULL_INT32, {}}, {kNaN, {}}, {2100000000.5, {}}};
constexpr Written kFloatNulls[] = {{kFloatNull, {}}, {kNaN, {}}, {kInf, {}}, {1e30, {}}, {-1e20, {}}, {1e300, {}}};
constexpr Written kIntChanged[] = {{2.9, 2},           {-2.9, -2},
                                   {-0.5, 0},          {2099999999.9, 2099999999},
                                   {3e9, 2147483647},  {-3e9, -2147483648.0},
                                   {kInf, 2147483647}, {-kInf, -2147483648.0}};
constexpr Written kFloatChanged[] = {
    {0.1, double{0.1f}}, {-123456.789, double{-123456.789f}}, {1e17, double{1e17f}}, {2100000000, 2100000000}};

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

  uint64_t Seed() const {
    const char* s = std::getenv("DEMBASE_MODEL_SEED");
    return s != nullptr ? std::strtoull(s, nullptr, 10) : cfg().seed;
  }
  int32_t Uniform(int32_t lo, int32_t hi) { return std::uniform_int_distribution<int32_t>(lo, hi)(rng_); }
  bool Chance(int percent) { return Uniform(0, 99) < percent; }

  // Whole numbers (quarters on float layers); one time in ten a form of the null value,
  // one in twenty a value the cell type truncates, saturates or rounds.
  Written RandomValue() {
    const bool isFloat = cfg().kind.is_float();
    const auto pick = [this](std::span<const Written> from) {
      return from[static_cast<size_t>(Uniform(0, static_cast<int32_t>(from.size()) - 1))];
    };
    if (Chance(10)) return pick(isFloat ? std::span<const Written>(kFloatNulls) : kIntNulls);
    if (Chance(5)) return pick(isFloat ? std::span<const Written>(kFloatChanged) : kIntChanged);
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
  bool SetOper() {
    return layer_.SetOper(cfg().kind.compress, cfg().blend != 0, cfg().blend == 1 ? 0.0f : 0.25f,
                          cfg().blend == 1 ? 1.0f : 0.75f);
  }
  // A level coordinate, often on or beside a shared edge.
  int32_t Coordinate(int32_t cells) {
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

  // Statistics were made from tile t: when it is all null but its stored form is not,
  // the stored form is no longer reachable by a discard.
  void NoteStatistics(int32_t t) {
    if (cfg().tracked && model_->AllNull(t) && !model_->StoredAllNull(t)) forgot_[static_cast<size_t>(t)] = true;
  }

  // Tile t is fetched: a block is handed out unless it holds one.
  void Fetch(int32_t t) {
    if (cached_[static_cast<size_t>(t)]) return;
    cached_[static_cast<size_t>(t)] = true;
    ++handedOut_;
  }
  // A fetch for reading leaves a tile that holds only nulls and is unchanged without a block.
  void FetchToRead(int32_t t) {
    if (model_->dirty(t) || !model_->AllNull(t)) Fetch(t);
  }

  void MarkWritten(int32_t t) {
    model_->set_dirty(t);
    touched_[static_cast<size_t>(t)] = true;
  }

  void SetCellOp() {
    const int32_t row = Coordinate(model_->rows), col = Coordinate(model_->cols);
    const Written w = RandomValue();
    const std::vector<Copy> copies = model_->CopiesOf(row, col);
    const int32_t owner = copies[0].tile;
    if (cfg().blend && !w.stored && model_->AllNull(owner)) {
      const bool copiesNull = std::none_of(copies.begin(), copies.end(), [&](const Copy& c) { return model_->At(c); });
      if (cfg().tracked && !model_->dirty(owner)) {
        ASSERT_EQ(layer_.Set(row, col, w.value), 1);
        return;  // nothing happens
      }
      if (!cfg().tracked && !copiesNull) return;
    }
    ASSERT_EQ(layer_.Set(row, col, w.value), 1) << row << "," << col;
    for (const Copy& c : copies) {
      Fetch(c.tile);
      model_->Put(c, Stored(model_->At(c), w));
      MarkWritten(c.tile);
    }
  }

  void GetCellOp() {
    const int32_t row = Coordinate(model_->rows), col = Coordinate(model_->cols);
    SCOPED_TRACE(::testing::Message() << "GetCell " << row << "," << col);
    const Copy owner = model_->CopiesOf(row, col)[0];
    FetchToRead(owner.tile);
    ExpectCell(layer_.Get(row, col), model_->At(owner));
  }

  // Cell calls in the middle of a tile sequence, which may evict the sequence's tile.
  // A tracked run keeps what they hand out (4 blocks at most each) within its budget.
  void Interleave() {
    if (cfg().tracked && handedOut_ >= InterleaveLimit()) return;
    if (Chance(50)) {
      SetCellOp();
    } else {
      GetCellOp();
    }
  }

  // Untracked runs: where a tile sequence of n steps runs a sweep, or -1.
  int SweepAt(int n) { return !cfg().tracked && Chance(2) ? Uniform(0, n - 1) : -1; }
  // SetCell on an inner cell of every tile: more tiles than the cache holds, so every
  // block is evicted, the running sequence's tile among them.
  void Sweep() {
    for (int32_t t = 0; t < model_->tile_count(); ++t) {
      const int32_t row = std::min(t / model_->across * 255 + Uniform(1, 254), model_->rows - 1);
      const int32_t col = std::min(t % model_->across * 255 + Uniform(1, 254), model_->cols - 1);
      const double v = Uniform(-100000, 100000);
      ASSERT_EQ(layer_.Set(row, col, v), 1);
      for (const Copy& c : model_->CopiesOf(row, col)) {
        model_->Put(c, Stored(model_->At(c), {v, v}));
        model_->set_dirty(c.tile);  // not touched: checked by the statistics and GetCell samples
      }
    }
  }

  void WriteSequenceOp() {
    const int32_t tr = Uniform(0, model_->down - 1), tc = Uniform(0, model_->across - 1);
    const int32_t t = tr * model_->across + tc;
    const bool changedAtBegin = model_->dirty(t) || model_->AllNull(t);
    // A discard costs a tracked run a reopen: fewer of them there.
    uint8_t keep = Chance(cfg().tracked ? 85 : 50) ? 1 : 0;
    if (keep == 0 && changedAtBegin && (!cfg().tracked || forgot_[static_cast<size_t>(t)])) keep = 1;
    SCOPED_TRACE(::testing::Message() << "write sequence on tile " << tr << "," << tc << " keep " << int{keep});
    ASSERT_EQ(layer_.BeginWrite(tr, tc), 1);
    Fetch(t);
    MarkWritten(t);
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
      // Dropped, then read again from what is stored to remake its statistics; a tile
      // with nothing stored is left without a block.
      model_->Revert(t);
      forgot_[static_cast<size_t>(t)] = false;
      ++handedOut_;
      cached_[static_cast<size_t>(t)] = !model_->AllNull(t);
      discarded_ = true;
    } else if (keep != 0) {
      NoteStatistics(t);
    }
  }

  void ReadSequenceOp() {
    const int32_t tr = Uniform(0, model_->down - 1), tc = Uniform(0, model_->across - 1);
    const int32_t t = tr * model_->across + tc;
    SCOPED_TRACE(::testing::Message() << "read sequence on tile " << tr << "," << tc);
    FetchToRead(t);
    ASSERT_EQ(layer_.BeginRead(tr, tc), model_->AllNull(t) ? 2 : 1);
    if (model_->dirty(t)) NoteStatistics(t);
    const int n = Uniform(1, 200), sweepAt = SweepAt(n);
    for (int i = 0; i < n; ++i) {
      if (i == sweepAt || Chance(10)) {
        ASSERT_NO_FATAL_FAILURE(i == sweepAt ? Sweep() : Interleave());
        continue;
      }
      const int32_t r = InTile(), c = InTile();
      CellRead got;
      ASSERT_EQ(_hxReadCellOfTile(h_, r, c, &got.value, &got.isNull), 1);
      SCOPED_TRACE(::testing::Message() << "at " << r << "," << c);
      ASSERT_NO_FATAL_FAILURE(ExpectCell(got, model_->At({t, r, c})));
    }
    ASSERT_EQ(_hxEndReadTile(h_), 1);
  }

  // Closes and opens the level (with the layer when wholeLayer), then checks every tile's
  // answers and statistics, the cells of the tiles written since the last check (of all
  // tiles when everything), and a sample of cells through GetCell.
  void ReopenAndCheck(bool wholeLayer, bool everything) {
    const std::vector<bool> written = everything ? std::vector<bool>(touched_.size(), true) : touched_;
    touched_.assign(touched_.size(), false);
    if (wholeLayer) {
      ASSERT_EQ(_hxClosePyramidLayer(h_, ds_, layer_.layer()), 1);
      ASSERT_EQ(_hxCloseDataLayer(h_, ds_, layer_.layer()), 1);
      const int32_t id = _hxOpenDataLayer(h_, ds_, LayerName().c_str(), 0);
      ASSERT_GE(id, 1);
      ASSERT_EQ(_hxOpenPyramidLayer(h_, ds_, id, 1), 1);
      layer_ = CellCalls(h_, id, 1, ds_);
      // Blend settings belong to the open layer: a reopened one has the defaults.
      LayerOperParam p{};
      ASSERT_EQ(_hxGetLayerOperParam(h_, ds_, id, &p), 1);
      const float oldWeight = p.oldWeight, newWeight = p.newWeight;  // unpacked copies
      ASSERT_EQ(p.blendValues, 1);
      ASSERT_EQ(oldWeight, 0.0f);
      ASSERT_EQ(newWeight, 1.0f);
      ASSERT_TRUE(SetOper());
    } else {
      ASSERT_EQ(_hxClosePyramidLayer(h_, ds_, layer_.layer()), 1);
      ASSERT_EQ(_hxOpenPyramidLayer(h_, ds_, layer_.layer(), 1), 1);
    }
    model_->Commit();
    forgot_.assign(forgot_.size(), false);
    cached_.assign(cached_.size(), false);
    handedOut_ = 0;
    discarded_ = false;

    float lo = std::numeric_limits<float>::infinity(), hi = -lo;  // of the level
    for (int32_t t = 0; t < model_->tile_count(); ++t) {
      const int32_t tr = t / model_->across, tc = t % model_->across;
      SCOPED_TRACE(::testing::Message() << "tile " << tr << "," << tc);
      const auto range = model_->Range(t);
      if (range) {
        lo = std::min(lo, range->first);
        hi = std::max(hi, range->second);
      }
      const auto info = layer_.TileInfo(tr, tc);
      ASSERT_TRUE(info.has_value());
      ASSERT_EQ(info->size, TileCopyModel::kCells * 4);
      ASSERT_EQ(info->minimum, range ? range->first : static_cast<float>(null_));
      ASSERT_EQ(info->maximum, range ? range->second : static_cast<float>(null_));
      ASSERT_EQ(layer_.BeginRead(tr, tc), range ? 1 : 2);
      ASSERT_EQ(_hxEndReadTile(h_), 1);
      if (!written[static_cast<size_t>(t)]) continue;
      const auto cells = layer_.ReadWholeTile(tr, tc);
      ASSERT_TRUE(cells.has_value());
      for (int32_t i = 0; i < TileCopyModel::kCells; ++i) {
        const CellRead& got = (*cells)[static_cast<size_t>(i)];
        const Copy at{t, i / 256, i % 256};
        if (!Matches(got, model_->At(at))) {
          ASSERT_NO_FATAL_FAILURE(ExpectCell(got, model_->At(at))) << "at " << at.r << "," << at.c;
        }
      }
    }
    for (int i = 0; i < 500; ++i) ASSERT_NO_FATAL_FAILURE(GetCellOp());
    if (lo <= hi) {
      const auto recorded = layer_.LayerRange();
      ASSERT_TRUE(recorded.has_value());
      EXPECT_EQ(recorded->minValue, static_cast<double>(lo));
      EXPECT_EQ(recorded->maxValue, static_cast<double>(hi));
    }
  }

  rasterdb::test::PgDatabase pg_{GetParam().kind.store == Store::kPostgresql};
  int32_t ds_ = kLocal;
  std::mt19937_64 rng_;
  std::optional<TileCopyModel> model_;
  CellCalls layer_{nullptr, 0};
  double null_ = 0;
  std::vector<bool> forgot_;   // statistics found the changed tile all null; its stored form was not
  std::vector<bool> touched_;  // written since the last check
  // Tracked runs: the tiles holding a block, how many blocks the store can have handed
  // out since the level was opened, and whether a discard released one. An operation
  // hands out at most 2, plus 4 for each interleaved call it makes below the limit of
  // interleaving: the count stays below the cache's size.
  int HandOutLimit() const { return cfg().cacheBlocks - 12; }
  int InterleaveLimit() const { return cfg().cacheBlocks - 6; }
  std::vector<bool> cached_;
  int handedOut_ = 0;
  bool discarded_ = false;
};

TEST_P(LocalModelTest, StoreMatchesTheModel) {
  const uint64_t seed = Seed();
  SCOPED_TRACE(::testing::Message() << "DEMBASE_MODEL_SEED=" << seed);
  rng_.seed(seed);
  DataLayerParam p = LayerParam(cfg().kind.type, cfg().rows, cfg().cols);
  ASSERT_EQ(_hxCreateDataLayer(h_, ds_, LayerName().c_str(), &p, 0, 0), 1);
  const int32_t id = _hxOpenDataLayer(h_, ds_, LayerName().c_str(), 0);
  ASSERT_GE(id, 1);
  ASSERT_EQ(_hxOpenPyramidLayer(h_, ds_, id, 1), 1);
  layer_ = CellCalls(h_, id, 1, ds_);
  ASSERT_TRUE(SetOper());
  null_ = layer_.Null();
  model_.emplace(cfg().rows, cfg().cols, cfg().tracked);
  forgot_.assign(static_cast<size_t>(model_->tile_count()), false);
  touched_.assign(forgot_.size(), false);
  cached_.assign(forgot_.size(), false);

  for (int i = 0; i < cfg().ops; ++i) {
    SCOPED_TRACE(::testing::Message() << "operation " << i);
    const int pick = Uniform(0, 999);
    if (pick < cfg().reopenPerMille) {
      ASSERT_NO_FATAL_FAILURE(ReopenAndCheck(true, false));
    } else if (cfg().tracked && (handedOut_ >= HandOutLimit() || discarded_)) {
      ASSERT_NO_FATAL_FAILURE(ReopenAndCheck(false, false));
    } else if (pick < 450) {
      ASSERT_NO_FATAL_FAILURE(SetCellOp());
    } else if (pick < 700) {
      ASSERT_NO_FATAL_FAILURE(GetCellOp());
    } else if (pick < 850) {
      ASSERT_NO_FATAL_FAILURE(WriteSequenceOp());
    } else {
      ASSERT_NO_FATAL_FAILURE(ReadSequenceOp());
    }
  }
  ASSERT_NO_FATAL_FAILURE(ReopenAndCheck(true, true));
}

INSTANTIATE_TEST_SUITE_P(Configs, LocalModelTest, ::testing::ValuesIn(kConfigs),
                         [](const ::testing::TestParamInfo<ModelConfig>& info) { return info.param.name; });

}  // namespace
}  // namespace dembase::testing
