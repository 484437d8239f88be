// Large levels written whole three times: replaced compressed (every fifth tile without
// data), merged on every odd tile, then emptied on some tiles and replaced raw on others,
// and read back whole through tile-data reads and sampled through the opened level. One level holds 64 M float
// cells of synthetic terrain in 33 x 33 tiles; another 65 x 65 integer tiles, so tiles
// from 4096 on live in a second data file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "tests/support/layer_files.h"
#include "tests/support/local_store_fixture.h"
#include "tests/support/terrain.h"
#include "tests/support/tile_cells.h"

namespace dembase::testing {
namespace {

struct LargeCase {
  const char* name;
  uint16_t type;
  int32_t tiles;  // across and down
  int16_t level;
  bool terrain;  // the float terrain; else cheap integer patterns
};

class LargeLevelTest : public LocalStoreTest, public ::testing::WithParamInterface<LargeCase> {
 protected:
  const LargeCase& c() const { return GetParam(); }
  int32_t Cells() const { return (c().tiles - 1) * kStep + 1; }
  int32_t Count() const { return c().tiles * c().tiles; }

  // Tile t as pass 1, 2 or 3 writes it.
  CellBlock Pass(int pass, int32_t t) const {
    CellBlock b(c().type);
    if (c().terrain) {
      if (!terrains_[pass - 1]) terrains_[pass - 1].emplace(Cells(), Cells(), static_cast<uint32_t>(pass));
      const Terrain& terrain = *terrains_[pass - 1];
      std::vector<float> cells(kEdge * kEdge);
      terrain.FillTile(t / c().tiles, t % c().tiles, static_cast<float>(NullOf(c().type)), cells.data());
      std::memcpy(b.data(), cells.data(), kBlockBytes);
      return b;
    }
    for (int32_t r = 0; r < kEdge; ++r) {
      for (int32_t col = 0; col < kEdge; ++col) {
        if (pass == 1 && (r + col) % 97 != 0) b.Set(r, col, t * 4.0 + (col & 3));
        if (pass == 2 && ((r >> 4) + (col >> 4)) % 3 != 0) b.Set(r, col, 100000.0 + t + (r & 1));
        if (pass == 3) b.Set(r, col, -1.0 * t - (r & 7));
      }
    }
    return b;
  }
  static bool FirstEmpty(int32_t t) { return t % 5 == 0; }
  static bool Merged(int32_t t) { return t % 2 == 1; }
  static bool Emptied(int32_t t) { return t % 7 == 3; }
  static bool Replaced(int32_t t) { return t % 7 == 4; }
  CellBlock Expected(int32_t t) const {
    if (Emptied(t)) return CellBlock(c().type);
    if (Replaced(t)) return Pass(3, t);
    CellBlock b = FirstEmpty(t) ? CellBlock(c().type) : Pass(1, t);
    if (Merged(t)) b.MergeFrom(Pass(2, t), 0.5f, 0.5f);
    return b;
  }

  // One whole-level write of the tiles `which` picks, as pass `pass` (empty: without data).
  template <typename Pick>
  void WritePass(int32_t id, bool compress, bool blend, int pass, Pick which) {
    ASSERT_EQ(SetOperParam(h_, id, compress, blend, 0.5f, 0.5f), 1);
    ASSERT_EQ(_hxBeginWritePyramidLayer(h_, kLocal, id, c().level), 1);
    for (int32_t t = 0; t < Count(); ++t) {
      const int how = which(t);  // 0 skip, 1 cells (without data when all null), 2 without data
      if (how == 0) continue;
      const CellBlock cells = Pass(pass, t);
      ASSERT_EQ(how == 2 || cells.AllNull() ? WriteNoDataTile(h_, t, cells) : WriteTile(h_, t, cells), 1) << t;
    }
    ASSERT_EQ(_hxEndWritePyramidLayer(h_), 1);
  }

  mutable std::optional<Terrain> terrains_[3];
};

TEST_P(LargeLevelTest, WrittenMergedEmptiedAndReplacedWhole) {
#if defined(__SANITIZE_ADDRESS__)
  if (c().terrain) GTEST_SKIP() << "too slow under AddressSanitizer; runs in the plain build";
#endif
  const int32_t id = CreateAndOpen("big.dem", c().type, Cells(), Cells());
  ASSERT_GE(id, 1);
  if (c().level == 2) {
    ASSERT_EQ(_hxCreatePyramidLayer(h_, kLocal, id, 2, 1.0, 1.0), 1);
  }
  ASSERT_EQ(_hxClosePyramidLayer(h_, kLocal, id), 1);
  // Level 2 has the same cells as level 1 here: the layer is made on the level's grid.
  ASSERT_NO_FATAL_FAILURE(WritePass(id, true, false, 1, [](int32_t t) { return FirstEmpty(t) ? 2 : 1; }));
  ASSERT_NO_FATAL_FAILURE(WritePass(id, true, true, 2, [](int32_t t) { return Merged(t) ? 1 : 0; }));
  ASSERT_NO_FATAL_FAILURE(WritePass(id, false, false, 3, [](int32_t t) {
    return Emptied(t) ? 2 : Replaced(t) ? 1 : 0;
  }));

  LevelProbe probe;
  ASSERT_TRUE(probe.Load(Path("big.dem"), c().level));
  ASSERT_EQ(probe.data_file_count(), Count() > 4096 ? 2 : 1);
  for (int f = 0; f < probe.data_file_count(); ++f) EXPECT_EQ(probe.data_file_end(f), probe.data_file_size(f)) << f;
  EXPECT_TRUE(probe.Problems().empty());
  EXPECT_FALSE(probe.PayloadsOverlap());

  // Every tile read whole through tile-data reads; the layer's range is that of level 1.
  double lo = 3.402823e38, hi = -3.402823e38;
  for (int32_t t = 0; t < Count(); ++t) {
    const CellBlock want = Expected(t);
    const bool empty = want.AllNull();
    CellBlock got(c().type);
    ASSERT_EQ(ReadTileData(h_, id, c().level, t / c().tiles, t % c().tiles, &got), empty ? 2 : 1) << t;
    ASSERT_TRUE(got == want) << t;
    const OneTileInfo info = want.Info();
    lo = empty ? lo : std::min(lo, double{info.minimum});
    hi = empty ? hi : std::max(hi, double{info.maximum});
  }
  if (c().level == 1) {
    DataLayerParam param{};
    ASSERT_EQ(_hxGetDataLayerParam(h_, kLocal, id, &param), 1);
    EXPECT_EQ(double{param.minValue}, lo);
    EXPECT_EQ(double{param.maxValue}, hi);
  }

  // The opened level: a few cells of every third tile, tile by tile so each is fetched once.
  ASSERT_EQ(_hxOpenPyramidLayer(h_, kLocal, id, c().level), 1);
  for (int32_t t = 0; t < Count(); t += 3) {
    const CellBlock want = Expected(t);
    for (int32_t r = 0; r < kStep; r += 17) {
      const int32_t row = (t / c().tiles) * kStep + r, col = (t % c().tiles) * kStep + (r * 7) % kStep;
      if (row >= Cells() || col >= Cells()) continue;
      uint8_t isNull = 9;
      const double v = _hxGetCell(h_, kLocal, id, c().level, 0, row, col, &isNull);
      ASSERT_EQ(isNull, want.IsNull(r, (r * 7) % kStep) ? 1 : 0) << t << " " << r;
      ASSERT_TRUE(isNull || v == want.Get(r, (r * 7) % kStep)) << t << " " << r << ": " << v;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, LargeLevelTest,
                         ::testing::Values(LargeCase{"SixtyFourMillionTerrainCells", DEMBASE_TYPE_FLOAT32, 33, 1, true},
                                           LargeCase{"TwoDataFiles", DEMBASE_TYPE_INT32, 65, 2, false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace dembase::testing
