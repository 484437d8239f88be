// A level of 8193 x 8193 float cells (64 M cells in 33 x 33 tiles) of synthetic terrain,
// written whole three times — replaced, merged, then partly replaced raw and partly
// emptied — and read back after each through tile-data reads or the opened level.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "tests/support/cell_block.h"
#include "tests/support/level_io.h"
#include "tests/support/level_probe.h"
#include "tests/support/local_store_fixture.h"
#include "tests/support/terrain.h"

namespace dembase::testing {
namespace {

constexpr uint16_t kType = DEMBASE_TYPE_FLOAT32;
constexpr int32_t kCells = 8193;
constexpr int32_t kTiles = 33;  // (8193 - 1) / 255 + 1
constexpr int32_t kCount = kTiles * kTiles;

class LargeLevelTest : public LocalStoreTest {
 protected:
  LargeLevelTest() : first_(kCells, kCells, 1), second_(kCells, kCells, 2), third_(kCells, kCells, 3) {}

  CellBlock TileOf(const Terrain& terrain, int32_t t) const {
    CellBlock block(kType);
    std::vector<float> cells(kEdge * kEdge);
    terrain.FillTile(t / kTiles, t % kTiles, static_cast<float>(NullOf(kType)), cells.data());
    std::memcpy(block.data(), cells.data(), kBlockBytes);
    return block;
  }
  // Tile t after each of the three writes.
  CellBlock AfterMerge(int32_t t) const {
    CellBlock block = TileOf(first_, t);
    block.MergeFrom(TileOf(second_, t), 0.5f, 0.5f);
    return block;
  }
  static bool Emptied(int32_t t) { return t % 5 == 0; }
  static bool Replaced(int32_t t) { return !Emptied(t) && t % 2 == 0; }
  CellBlock AfterLast(int32_t t) const {
    return Emptied(t) ? CellBlock(kType) : Replaced(t) ? TileOf(third_, t) : AfterMerge(t);
  }

  // Writes tile t: its cells, or a tile without data when it has none.
  int16_t Write(int32_t t, const CellBlock& cells) {
    return cells.AllNull() ? WriteNoDataTile(h_, t, cells) : WriteTile(h_, t, cells);
  }
  // Every cell of every tile through tile-data reads.
  template <typename Expected>
  void ExpectTilesRead(int32_t id, Expected expectedOf) {
    CellBlock read(kType);
    for (int32_t t = 0; t < kCount; ++t) {
      const CellBlock expected = expectedOf(t);
      ASSERT_EQ(ReadTileData(h_, id, 1, t / kTiles, t % kTiles, &read), expected.AllNull() ? 2 : 1) << t;
      ASSERT_TRUE(read == expected) << t;
    }
  }

  const Terrain first_, second_, third_;
};

TEST_F(LargeLevelTest, SixtyFourMillionCellsWrittenMergedAndReplaced) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "too slow under AddressSanitizer; runs in the plain build";
#endif
  const int32_t id = CreateAndOpen("big.dem", kType, kCells, kCells);
  ASSERT_GE(id, 1);
  ASSERT_EQ(_hxClosePyramidLayer(h_, kLocal, id), 1);
  PyramidLayerInfo info{};
  ASSERT_EQ(_hxGetPyramidLayerInfo(h_, kLocal, id, 1, &info), 1);
  ASSERT_EQ(info.tilesDown * info.tilesAcross, kCount);

  // Replace, compressed.
  ASSERT_EQ(SetOperParam(h_, id, true, false), 1);
  ASSERT_EQ(_hxBeginWritePyramidLayer(h_, kLocal, id, 1), 1);
  for (int32_t t = 0; t < kCount; ++t) ASSERT_EQ(Write(t, TileOf(first_, t)), 1) << t;
  ASSERT_EQ(_hxEndWritePyramidLayer(h_), 1);
  ASSERT_NO_FATAL_FAILURE(ExpectTilesRead(id, [&](int32_t t) { return TileOf(first_, t); }));

  // Merge, compressed: the new terrain's null areas keep the stored heights.
  float lo = 3.4e38f, hi = -3.4e38f;
  ASSERT_EQ(SetOperParam(h_, id, true, true, 0.5f, 0.5f), 1);
  ASSERT_EQ(_hxBeginWritePyramidLayer(h_, kLocal, id, 1), 1);
  for (int32_t t = 0; t < kCount; ++t) {
    ASSERT_EQ(Write(t, TileOf(second_, t)), 1) << t;
    const CellBlock merged = AfterMerge(t);
    if (merged.AllNull()) continue;
    const OneTileInfo range = merged.Info();
    lo = std::min(lo, float{range.minimum});
    hi = std::max(hi, float{range.maximum});
  }
  ASSERT_EQ(_hxEndWritePyramidLayer(h_), 1);
  DataLayerParam param{};
  ASSERT_EQ(_hxGetDataLayerParam(h_, kLocal, id, &param), 1);
  EXPECT_EQ(double{param.minValue}, lo);
  EXPECT_EQ(double{param.maxValue}, hi);

  // The opened level, every third row in full, one band of tiles at a time.
  ASSERT_EQ(_hxOpenPyramidLayer(h_, kLocal, id, 1), 1);
  for (int32_t band = 0; band < kTiles; ++band) {
    std::vector<CellBlock> tiles;
    for (int32_t tc = 0; tc < kTiles; ++tc) tiles.push_back(AfterMerge(band * kTiles + tc));
    for (int32_t row = band * kStep; row < std::min(kCells, (band + 1) * kStep); row += 3) {
      for (int32_t col = 0; col < kCells; ++col) {
        const CellBlock& tile = tiles[static_cast<size_t>(col / kStep)];
        uint8_t isNull = 9;
        const double v = _hxGetCell(h_, kLocal, id, 1, 0, row, col, &isNull);
        ASSERT_EQ(isNull, tile.IsNull(row % kStep, col % kStep) ? 1 : 0) << row << "," << col;
        if (isNull == 0) {
          ASSERT_EQ(v, tile.Get(row % kStep, col % kStep)) << row << "," << col;
        }
      }
    }
  }
  ASSERT_EQ(_hxClosePyramidLayer(h_, kLocal, id), 1);

  // Replace, raw: some tiles get a third terrain, every fifth tile is emptied.
  ASSERT_EQ(SetOperParam(h_, id, false, false), 1);
  ASSERT_EQ(_hxBeginWritePyramidLayer(h_, kLocal, id, 1), 1);
  for (int32_t t = 0; t < kCount; ++t) {
    if (Emptied(t)) {
      ASSERT_EQ(WriteNoDataTile(h_, t, CellBlock(kType)), 1) << t;
    } else if (Replaced(t)) {
      ASSERT_EQ(Write(t, TileOf(third_, t)), 1) << t;
    }
  }
  ASSERT_EQ(_hxEndWritePyramidLayer(h_), 1);
  ASSERT_NO_FATAL_FAILURE(ExpectTilesRead(id, [&](int32_t t) { return AfterLast(t); }));

  LevelProbe probe;
  ASSERT_TRUE(probe.Load(Path("big.dem"), 1));
  EXPECT_EQ(probe.data_file_end(0), probe.data_file_size(0));
  EXPECT_TRUE(probe.Problems().empty());
  EXPECT_FALSE(probe.PayloadsOverlap());
}

}  // namespace
}  // namespace dembase::testing
