// The per-cell reads that the handle answers from memory without calling the layer:
// each case leaves memory behind that a stale read would still find (a closed level, a
// renumbered level, an evicted block, the previous tile of a tile-data read) and checks
// that the calls answer what the layer holds now.
#include <gtest/gtest.h>

#include <cstdint>

#include "dembase/dembase.h"
#include "tests/support/local_store_fixture.h"

namespace dembase::testing {
namespace {

constexpr int32_t kSide = 600;  // 3 x 3 tiles at level 1

class LocalCellViewsTest : public LocalStoreTest {
 protected:
  // A float layer with levels 1 .. levels, cell (r, c) of level L holding L * 1000 + r + c
  // for r, c < 140 (level 3 has 150 x 150 cells); level 1 open on return. The layer id, or 0.
  int32_t MakeLevels(const char* name, int16_t levels) {
    const int32_t id = CreateAndOpen(name, DEMBASE_TYPE_FLOAT32, kSide, kSide);
    if (id < 1 || _hxClosePyramidLayer(h_, kLocal, id) != 1) return 0;
    for (int16_t level = 1; level <= levels; ++level) {
      if (level > 1 && _hxCreatePyramidLayer(h_, kLocal, id, level, 1 << (level - 1), 1 << (level - 1)) != 1) return 0;
      if (_hxOpenPyramidLayer(h_, kLocal, id, level) != 1) return 0;
      for (int32_t r = 0; r < 140; r += 7) {
        for (int32_t c = 0; c < 140; c += 5) {
          if (_hxSetCell(h_, kLocal, id, level, 0, r, c, level * 1000.0 + r + c) != 1) return 0;
        }
      }
      if (_hxClosePyramidLayer(h_, kLocal, id) != 1) return 0;
    }
    return _hxOpenPyramidLayer(h_, kLocal, id, 1) == 1 ? id : 0;
  }

  double GetAt(int32_t id, int16_t level, int32_t row, int32_t col, uint8_t* isNull) {
    return _hxGetCell(h_, kLocal, id, level, 0, row, col, isNull);
  }
};

TEST_F(LocalCellViewsTest, GetCellFollowsTheOpenLevel) {
  const int32_t id = MakeLevels("levels.dem", 3);
  ASSERT_GE(id, 1);
  uint8_t isNull = 9;
  EXPECT_EQ(GetAt(id, 1, 14, 10, &isNull), 1024.0);  // level 1's tiles now sit in the cache
  EXPECT_EQ(isNull, 0);

  ASSERT_EQ(_hxClosePyramidLayer(h_, kLocal, id), 1);
  isNull = 9;
  EXPECT_EQ(GetAt(id, 1, 14, 10, &isNull), 0.0) << "a closed level answered";
  EXPECT_EQ(isNull, 9);

  ASSERT_EQ(_hxOpenPyramidLayer(h_, kLocal, id, 3), 1);
  EXPECT_EQ(GetAt(id, 3, 14, 10, &isNull), 3024.0);
  EXPECT_EQ(GetAt(id, 1, 14, 10, &isNull), 0.0) << "level 1 answered while level 3 is open";

  // Deleting level 2 renumbers the open level 3 as 2.
  ASSERT_EQ(_hxDeletePyramidLayer(h_, kLocal, id, 2), 1);
  isNull = 9;
  EXPECT_EQ(GetAt(id, 3, 14, 10, &isNull), 0.0) << "the old number still answered";
  EXPECT_EQ(isNull, 9);
  EXPECT_EQ(GetAt(id, 2, 14, 10, &isNull), 3024.0);
  EXPECT_EQ(isNull, 0);

  ASSERT_EQ(_hxCloseDataLayer(h_, kLocal, id), 1);
  isNull = 9;
  EXPECT_EQ(GetAt(id, 2, 14, 10, &isNull), 0.0) << "a closed layer answered";
  EXPECT_EQ(isNull, 9);
}

TEST_F(LocalCellViewsTest, ReadSequenceSurvivesEvictionOfItsTile) {
  const int32_t id = MakeLevels("seq.dem", 1);
  ASSERT_GE(id, 1);
  // A second layer of 10 x 10 tiles: reading one cell of each takes every block of the
  // 64-block cache, the sequence's tile among them.
  const int32_t other = CreateAndOpen("other.dem", DEMBASE_TYPE_INT32, 2550, 2550);
  ASSERT_GE(other, 1);
  for (int32_t t = 0; t < 100; ++t)
    ASSERT_EQ(_hxSetCell(h_, kLocal, other, 1, 0, t / 10 * 255 + 1, t % 10 * 255 + 1, t), 1);

  ASSERT_EQ(_hxBeginReadTile(h_, kLocal, id, 1, 0, 0, 0), 1);
  double v = 0;
  uint8_t isNull = 9;
  ASSERT_EQ(_hxReadCellOfTile(h_, 7, 5, &v, &isNull), 1);
  EXPECT_EQ(v, 1012.0);
  for (int32_t t = 0; t < 100; ++t)
    (void)_hxGetCell(h_, kLocal, other, 1, 0, t / 10 * 255 + 1, t % 10 * 255 + 1, &isNull);
  for (int32_t r = 0; r < 140; r += 7) {
    for (int32_t c = 0; c < 140; c += 5) {
      ASSERT_EQ(_hxReadCellOfTile(h_, r, c, &v, &isNull), 1);
      ASSERT_EQ(v, 1000.0 + r + c) << r << "," << c;
      ASSERT_EQ(isNull, 0);
    }
  }
  ASSERT_EQ(_hxEndReadTile(h_), 1);
  v = -1;
  EXPECT_EQ(_hxReadCellOfTile(h_, 7, 5, &v, &isNull), 0) << "a read after End answered";
  EXPECT_EQ(v, -1);
}

TEST_F(LocalCellViewsTest, TileDataReadsNeverShowThePreviousTile) {
  const int32_t id = MakeLevels("data.dem", 1);
  ASSERT_GE(id, 1);
  ASSERT_EQ(_hxClosePyramidLayer(h_, kLocal, id), 1);

  double v = 0;
  uint8_t isNull = 9;
  ASSERT_EQ(_hxBeginReadTileData(h_, kLocal, id, 1, 0, 0, 0), 1);
  ASSERT_EQ(_hxReadCellOfTileData(h_, 7, 5, &v, &isNull), 1);
  EXPECT_EQ(v, 1012.0);
  ASSERT_EQ(_hxEndReadTileData(h_), 1);

  // Tile (2, 2) was never written: only nulls, nothing of tile (0, 0) may show.
  ASSERT_EQ(_hxBeginReadTileData(h_, kLocal, id, 1, 0, 2, 2), 2);
  ASSERT_EQ(_hxReadCellOfTileData(h_, 7, 5, &v, &isNull), 1);
  EXPECT_EQ(isNull, 1);
  EXPECT_NE(v, 1012.0);
  ASSERT_EQ(_hxEndReadTileData(h_), 1);

  // A Begin that fails starts nothing: no cell of the earlier tiles is handed out.
  EXPECT_EQ(_hxBeginReadTileData(h_, kLocal, id, 1, 0, 5, 5), 0);
  v = -1;
  EXPECT_EQ(_hxReadCellOfTileData(h_, 7, 5, &v, &isNull), 0);
  EXPECT_EQ(v, -1);

  // The same reader serves the next tile of the pass.
  ASSERT_EQ(_hxBeginReadTileData(h_, kLocal, id, 1, 0, 0, 0), 1);
  ASSERT_EQ(_hxReadCellOfTileData(h_, 133, 130, &v, &isNull), 1);
  EXPECT_EQ(v, 1263.0);
  EXPECT_EQ(isNull, 0);
  ASSERT_EQ(_hxEndReadTileData(h_), 1);
}

}  // namespace
}  // namespace dembase::testing
