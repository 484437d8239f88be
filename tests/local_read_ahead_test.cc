// Tiles inflated ahead on another core must never be handed out once the stored tile
// changed: each case starts a read that inflates the next tile ahead, rewrites that tile
// another way, then reads it.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "dembase/dembase.h"
#include "tests/support/local_store_fixture.h"

namespace dembase::testing {
namespace {

constexpr int32_t kSide = 511;  // 3 x 3 tiles

class LocalReadAheadTest : public LocalStoreTest {
 protected:
  // A float layer whose level 1 holds base + r + c in every cell of every tile (in-tile
  // coordinates), written whole; closed at level 1. The layer id, or 0.
  int32_t MakeLayer(const char* name, float base) {
    const int32_t id = CreateAndOpen(name, DEMBASE_TYPE_FLOAT32, kSide, kSide);
    if (id < 1 || _hxClosePyramidLayer(h_, kLocal, id) != 1) return 0;
    return WriteTile(id, -1, base) ? id : 0;
  }

  // Whole-level write of tile t (every tile when t is -1) with base + r + c.
  bool WriteTile(int32_t id, int32_t t, float base) {
    std::vector<float> cells(256 * 256);
    for (int32_t r = 0; r < 256; ++r) {
      for (int32_t c = 0; c < 256; ++c) cells[static_cast<size_t>(r * 256 + c)] = base + static_cast<float>(r + c);
    }
    OneTileInfo info{static_cast<int32_t>(cells.size() * 4), base, base + 510};
    if (_hxBeginWritePyramidLayer(h_, kLocal, id, 1) != 1) return false;
    bool ok = true;
    for (int32_t k = 0; k < 9; ++k) {
      if (t < 0 || k == t) ok = _hxWriteOneTile(h_, 0, k, &info, cells.data()) == 1 && ok;
    }
    return _hxEndWritePyramidLayer(h_) == 1 && ok;
  }

  // Cell (r, c) of tile (0, 1) through a tile-data read.
  double TileDataCell(int32_t id, int32_t r, int32_t c) {
    double v = -1;
    uint8_t isNull = 9;
    EXPECT_EQ(_hxBeginReadTileData(h_, kLocal, id, 1, 0, 0, 1), 1);
    EXPECT_EQ(_hxReadCellOfTileData(h_, r, c, &v, &isNull), 1);
    EXPECT_EQ(_hxEndReadTileData(h_), 1);
    return v;
  }

  // A tile-data read of tile (0, 0), which inflates tile (0, 1) ahead.
  void ReadFirstTile(int32_t id) {
    ASSERT_EQ(_hxBeginReadTileData(h_, kLocal, id, 1, 0, 0, 0), 1);
    ASSERT_EQ(_hxEndReadTileData(h_), 1);
  }
};

TEST_F(LocalReadAheadTest, TileDataReadAfterAWholeLevelWriteOfTheNextTile) {
  const int32_t id = MakeLayer("whole.dem", 100);
  ASSERT_GE(id, 1);
  ReadFirstTile(id);
  ASSERT_TRUE(WriteTile(id, 1, 5000));
  EXPECT_EQ(TileDataCell(id, 3, 4), 5007.0);
}

TEST_F(LocalReadAheadTest, TileDataReadAfterTheOpenLevelRewroteTheNextTile) {
  const int32_t id = MakeLayer("open.dem", 100);
  ASSERT_GE(id, 1);
  ReadFirstTile(id);
  ASSERT_EQ(_hxOpenPyramidLayer(h_, kLocal, id, 1), 1);
  ASSERT_EQ(_hxSetCell(h_, kLocal, id, 1, 0, 3, 255 + 4, 42.0), 1);
  ASSERT_EQ(_hxClosePyramidLayer(h_, kLocal, id), 1);
  EXPECT_EQ(TileDataCell(id, 3, 4), 42.0);
  EXPECT_EQ(TileDataCell(id, 3, 5), 108.0);
}

TEST_F(LocalReadAheadTest, ReadSequenceAfterTheNextTileWasWritten) {
  const int32_t id = MakeLayer("seq.dem", 100);
  ASSERT_GE(id, 1);
  ASSERT_EQ(_hxOpenPyramidLayer(h_, kLocal, id, 1), 1);
  double v = -1;
  uint8_t isNull = 9;
  // Tile (0, 0) first, then its neighbour (0, 1) written cell by cell and read back,
  // also after the level was closed and opened again.
  ASSERT_EQ(_hxBeginReadTile(h_, kLocal, id, 1, 0, 0, 0), 1);
  ASSERT_EQ(_hxEndReadTile(h_), 1);
  ASSERT_EQ(_hxSetCell(h_, kLocal, id, 1, 0, 3, 255 + 4, 42.0), 1);
  ASSERT_EQ(_hxBeginReadTile(h_, kLocal, id, 1, 0, 0, 1), 1);
  ASSERT_EQ(_hxReadCellOfTile(h_, 3, 4, &v, &isNull), 1);
  EXPECT_EQ(v, 42.0);
  ASSERT_EQ(_hxReadCellOfTile(h_, 3, 5, &v, &isNull), 1);
  EXPECT_EQ(v, 108.0);
  ASSERT_EQ(_hxEndReadTile(h_), 1);
  ASSERT_EQ(_hxClosePyramidLayer(h_, kLocal, id), 1);

  ASSERT_EQ(_hxOpenPyramidLayer(h_, kLocal, id, 1), 1);
  for (int32_t t = 0; t < 9; ++t) {
    ASSERT_EQ(_hxBeginReadTile(h_, kLocal, id, 1, 0, t / 3, t % 3), 1);
    ASSERT_EQ(_hxReadCellOfTile(h_, 3, 4, &v, &isNull), 1);
    EXPECT_EQ(v, t == 1 ? 42.0 : 107.0) << "tile " << t;
    ASSERT_EQ(_hxEndReadTile(h_), 1);
  }
}

}  // namespace
}  // namespace dembase::testing
