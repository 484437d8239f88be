// Random cell and tile operations on a layer (local files or an SQLite data set),
// mirrored in a model of every tile's cells (TileCopyModel) and checked against the
// store at random closes and reopens.
// Seeded; DEMBASE_MODEL_SEED=<n> replays another run.
//
// Two behaviours depend on whether the cache has written a tile back since the level was
// opened, which the exports do not show:
// - SetCell of a null with blending on does nothing at all (not even to the neighbours'
//   copies) when the owning tile holds only nulls and is unchanged since it was stored;
// - EndWriteTile with keep 0 goes back to the stored tile when the tile had changes at
//   Begin (an empty tile counts as changed), and keeps everything otherwise.
// A cache of C blocks evicts nothing while fewer than C blocks have been handed out since
// the level was opened and none was released (a discard releases one). A tracked run
// counts the blocks the store can have handed out and reopens the level before that
// bound and right after every discard: the model then predicts both behaviours exactly.
// C is the run's cacheBlocks. An untracked run (on a level larger than the cache)
// lets the cache work, skips a null SetCell whose outcomes could differ, and uses keep 0
// only on tiles known to be stored and unchanged, which must be kept.
//
// Not generated: a discard after statistics found the changed tile all null; its own test
// is DiscardAfterAllNullStatisticsGoesBackToTheStoredTile.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "cache/tile_ref.h"
#include "tests/support/cell_calls.h"
#include "tests/support/layer_kind_fixture.h"
#include "tests/support/local_store_fixture.h"

namespace dembase::testing {
namespace {

// What a level of a local layer should hold, kept the way the store keeps
// it — every tile's own 256 x 256 cells. Neighbouring tiles share a row or column, so a
// level cell on a shared edge has up to four copies; they agree only as long as every
// write goes through SetCell, which updates them all, while a tile-sequence write
// changes the one copy in its tile. Modelling the copies, rather than level cells,
// lets a test write anywhere in a tile and read every copy back.
//
// Besides the cells: per tile what the disk holds since the last close (for discards)
// and whether the tile has been written since (its dirty state).
class TileCopyModel {
 public:
  static constexpr int32_t kEdge = 256;
  static constexpr int32_t kStep = 255;
  static constexpr int32_t kCells = kEdge * kEdge;
  static constexpr float kNull = std::numeric_limits<float>::quiet_NaN();

  struct Copy {
    int32_t tile, r, c;
  };
  struct Tile {
    std::vector<float> cells = std::vector<float>(kCells, kNull);  // NaN: the null value
    int32_t nonNull = 0;
  };

  // keepStored: whether to remember what the disk holds (needed for discards).
  TileCopyModel(int32_t rows, int32_t cols, bool keepStored)
      : rows_(rows), cols_(cols), down_((rows - 1) / kStep + 1), across_((cols - 1) / kStep + 1) {
    current_.resize(static_cast<size_t>(tile_count()));
    if (keepStored) stored_.resize(current_.size());
    dirty_.assign(current_.size(), false);
  }

  int32_t rows() const { return rows_; }
  int32_t cols() const { return cols_; }
  int32_t tiles_down() const { return down_; }
  int32_t tiles_across() const { return across_; }
  int32_t tile_count() const { return down_ * across_; }

  // Every copy of level cell (row, col): the owner's first, then left, above, above-left.
  std::vector<Copy> CopiesOf(int32_t row, int32_t col) const {
    const int32_t tr = row / kStep, tc = col / kStep, r = row % kStep, c = col % kStep;
    std::vector<Copy> out = {{tr * across_ + tc, r, c}};
    if (c == 0 && tc > 0) out.push_back({tr * across_ + tc - 1, r, kStep});
    if (r == 0 && tr > 0) out.push_back({(tr - 1) * across_ + tc, kStep, c});
    if (r == 0 && c == 0 && tr > 0 && tc > 0) out.push_back({(tr - 1) * across_ + tc - 1, kStep, kStep});
    return out;
  }

  // nullopt for the null value.
  std::optional<float> At(const Copy& at) const {
    const float v = current_[static_cast<size_t>(at.tile)].cells[Index(at)];
    return std::isnan(v) ? std::nullopt : std::optional<float>(v);
  }
  void Put(const Copy& at, std::optional<float> v) {
    Tile& t = current_[static_cast<size_t>(at.tile)];
    float& cell = t.cells[Index(at)];
    t.nonNull += (v ? 1 : 0) - (std::isnan(cell) ? 0 : 1);
    cell = v.value_or(kNull);
  }

  bool AllNull(int32_t tile) const { return current_[static_cast<size_t>(tile)].nonNull == 0; }
  bool StoredAllNull(int32_t tile) const { return stored_[static_cast<size_t>(tile)].nonNull == 0; }
  bool dirty(int32_t tile) const { return dirty_[static_cast<size_t>(tile)]; }
  void set_dirty(int32_t tile) { dirty_[static_cast<size_t>(tile)] = true; }

  // The smallest and largest non-null cell of a tile; nullopt when it holds none.
  std::optional<std::pair<float, float>> Range(int32_t tile) const {
    const Tile& t = current_[static_cast<size_t>(tile)];
    if (t.nonNull == 0) return std::nullopt;
    float lo = std::numeric_limits<float>::infinity(), hi = -lo;
    for (float v : t.cells) {
      if (std::isnan(v)) continue;
      lo = std::min(lo, v);
      hi = std::max(hi, v);
    }
    return std::pair{lo, hi};
  }

  // The level was closed: the disk holds every tile as it is now.
  void Commit() {
    if (!stored_.empty()) stored_ = current_;
    dirty_.assign(dirty_.size(), false);
  }
  // A discard: the tile goes back to what the disk holds. REQUIRES: keepStored.
  void Revert(int32_t tile) {
    current_[static_cast<size_t>(tile)] = stored_[static_cast<size_t>(tile)];
    dirty_[static_cast<size_t>(tile)] = false;
  }

 private:
  static size_t Index(const Copy& at) { return static_cast<size_t>(at.r * kEdge + at.c); }

  int32_t rows_, cols_, down_, across_;
  std::vector<Tile> current_;
  std::vector<Tile> stored_;
  std::vector<bool> dirty_;
};

using Copy = TileCopyModel::Copy;

struct ModelConfig {
  const char* name;
  LayerKind kind;
  int32_t rows, cols;
  uint8_t blend;  // 1: blending with the default weights (every value stored as written)
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
    {"IntRawEvicting", {DEMBASE_TYPE_INT32, 0}, 2100, 1900, 1, false, 3000, 3, 3},  // 72 tiles
    {"FloatPackedEvicting", {DEMBASE_TYPE_FLOAT32, 1}, 2100, 1900, 1, false, 1500, 3, 4},
    {"IntPackedTrackedSqlite", {DEMBASE_TYPE_INT32, 1, Store::kSqlite}, 600, 700, 1, true, 2500, 10, 5},
    {"FloatRawEvictingSqlite", {DEMBASE_TYPE_FLOAT32, 0, Store::kSqlite}, 2100, 1900, 1, false, 1500, 3, 6},
};

void PrintTo(const ModelConfig& c, std::ostream* os) { *os << c.name; }

struct Written {
  double value;
  std::optional<float> stored;  // nullopt: the null value
};

class LocalModelTest : public LocalStoreTest, public ::testing::WithParamInterface<ModelConfig> {
 protected:
  void SetUp() override {
    // The cache takes an eighth of what the handle is told memory is (see OpenDataSet).
    env_.SetPhysicalMemory(uint64_t{8} * static_cast<uint64_t>(cfg().cacheBlocks) * CACHE_BLOCK_SIZE);
    LocalStoreTest::SetUp();
    if (cfg().kind.database()) ds_ = OpenTestDataSet(h_, true, Path("layers.db"));
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

  // Whole numbers (quarters on float layers) or, one time in ten, a form of the null value.
  Written RandomValue() {
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    if (Chance(10)) {
      const std::vector<double> nulls = cfg().kind.is_float() ? std::vector<double>{null_, kNaN, 1e30, -1e20, 1e300}
                                                              : std::vector<double>{null_, kNaN, 2100000000.5};
      return {nulls[static_cast<size_t>(Uniform(0, static_cast<int32_t>(nulls.size()) - 1))], std::nullopt};
    }
    const double v = Uniform(-100000, 100000) / (cfg().kind.is_float() ? 4.0 : 1.0);
    return {v, static_cast<float>(v)};
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

  bool Matches(const CellRead& got, std::optional<float> want) const {
    return want ? got.isNull == 0 && got.value == static_cast<double>(*want) : got.isNull == 1 && got.value == null_;
  }
  void ExpectCell(const CellRead& got, std::optional<float> want) {
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
    const int32_t row = Coordinate(model_->rows()), col = Coordinate(model_->cols());
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
      model_->Put(c, w.stored);
      MarkWritten(c.tile);
    }
  }

  void GetCellOp() {
    const int32_t row = Coordinate(model_->rows()), col = Coordinate(model_->cols());
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

  void WriteSequenceOp() {
    const int32_t tr = Uniform(0, model_->tiles_down() - 1), tc = Uniform(0, model_->tiles_across() - 1);
    const int32_t t = tr * model_->tiles_across() + tc;
    const bool changedAtBegin = model_->dirty(t) || model_->AllNull(t);
    // A discard costs a tracked run a reopen: fewer of them there.
    uint8_t keep = Chance(cfg().tracked ? 85 : 50) ? 1 : 0;
    if (keep == 0 && changedAtBegin && (!cfg().tracked || forgot_[static_cast<size_t>(t)])) keep = 1;
    SCOPED_TRACE(::testing::Message() << "write sequence on tile " << tr << "," << tc << " keep " << int{keep});
    ASSERT_EQ(layer_.BeginWrite(tr, tc), 1);
    Fetch(t);
    MarkWritten(t);
    const int n = Uniform(1, 200);
    for (int i = 0; i < n; ++i) {
      if (Chance(10)) {
        ASSERT_NO_FATAL_FAILURE(Interleave());
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
      model_->Put({t, r, c}, w.stored);
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
    const int32_t tr = Uniform(0, model_->tiles_down() - 1), tc = Uniform(0, model_->tiles_across() - 1);
    const int32_t t = tr * model_->tiles_across() + tc;
    SCOPED_TRACE(::testing::Message() << "read sequence on tile " << tr << "," << tc);
    FetchToRead(t);
    ASSERT_EQ(layer_.BeginRead(tr, tc), model_->AllNull(t) ? 2 : 1);
    if (model_->dirty(t)) NoteStatistics(t);
    const int n = Uniform(1, 200);
    for (int i = 0; i < n; ++i) {
      if (Chance(10)) {
        ASSERT_NO_FATAL_FAILURE(Interleave());
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
      ASSERT_TRUE(layer_.SetOper(cfg().kind.compress, cfg().blend));
    } else {
      ASSERT_EQ(_hxClosePyramidLayer(h_, ds_, layer_.layer()), 1);
      ASSERT_EQ(_hxOpenPyramidLayer(h_, ds_, layer_.layer(), 1), 1);
    }
    model_->Commit();
    forgot_.assign(forgot_.size(), false);
    cached_.assign(cached_.size(), false);
    handedOut_ = 0;
    discarded_ = false;

    std::optional<std::pair<float, float>> levelRange;
    for (int32_t t = 0; t < model_->tile_count(); ++t) {
      const int32_t tr = t / model_->tiles_across(), tc = t % model_->tiles_across();
      SCOPED_TRACE(::testing::Message() << "tile " << tr << "," << tc);
      const auto range = model_->Range(t);
      if (range) {
        levelRange = levelRange ? std::pair{std::min(levelRange->first, range->first),
                                            std::max(levelRange->second, range->second)}
                                : *range;
      }
      const auto info = layer_.TileInfo(tr, tc);
      ASSERT_TRUE(info.has_value());
      ASSERT_EQ(info->minimum, range ? range->first : static_cast<float>(null_));
      ASSERT_EQ(info->maximum, range ? range->second : static_cast<float>(null_));
      ASSERT_EQ(layer_.BeginRead(tr, tc), range ? 1 : 2);
      ASSERT_EQ(_hxEndReadTile(h_), 1);
      if (!written[static_cast<size_t>(t)]) continue;
      const auto cells = layer_.ReadWholeTile(tr, tc);
      ASSERT_TRUE(cells.has_value());
      for (int32_t r = 0; r < 256; ++r) {
        for (int32_t c = 0; c < 256; ++c) {
          const CellRead& got = (*cells)[static_cast<size_t>(r * 256 + c)];
          if (!Matches(got, model_->At({t, r, c}))) {
            SCOPED_TRACE(::testing::Message() << "at " << r << "," << c);
            ASSERT_NO_FATAL_FAILURE(ExpectCell(got, model_->At({t, r, c})));
          }
        }
      }
    }
    for (int i = 0; i < 500; ++i) ASSERT_NO_FATAL_FAILURE(GetCellOp());
    if (levelRange) {
      const auto recorded = layer_.LayerRange();
      ASSERT_TRUE(recorded.has_value());
      EXPECT_EQ(recorded->minValue, static_cast<double>(levelRange->first));
      EXPECT_EQ(recorded->maxValue, static_cast<double>(levelRange->second));
    }
  }

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
  ASSERT_TRUE(layer_.SetOper(cfg().kind.compress, cfg().blend));
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
