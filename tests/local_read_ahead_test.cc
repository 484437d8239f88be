// Tiles inflated ahead on another core must never be handed out once the stored tile
// changed: each row reads tile 0, which inflates tile 1 ahead, rewrites tile 1, then reads
// it. Tile-data reads and the tile sequence each keep their own read-ahead.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "dembase/dembase.h"
#include "tests/support/local_store_fixture.h"
#include "tests/support/tile_cells.h"

namespace dembase::testing {
namespace {

class LocalReadAheadTest : public LocalStoreTest {
 protected:
  // Whole-level write of tile t of 3 x 3 (every tile when t is -1), cells base + 3r + c.
  bool WriteLevel(int32_t id, int32_t t, double base) {
    bool ok = _hxBeginWritePyramidLayer(h_, kLocal, id, 1) == 1;
    for (int32_t k = 0; k < 9; ++k) {
      if (t < 0 || k == t) ok = WriteTile(h_, k, Slope(DEMBASE_TYPE_FLOAT32, base)) == 1 && ok;
    }
    return _hxEndWritePyramidLayer(h_) == 1 && ok;
  }

  // Cell (r, c) of tile t through a tile-data read (level closed) or the tile sequence.
  double Read(bool tileData, int32_t id, int32_t t, int32_t r, int32_t c) {
    double v = -1;
    uint8_t isNull = 9;
    const bool ok = tileData ? _hxBeginReadTileData(h_, kLocal, id, 1, 0, t / 3, t % 3) == 1 &&
                                   _hxReadCellOfTileData(h_, r, c, &v, &isNull) == 1 && _hxEndReadTileData(h_) == 1
                             : _hxBeginReadTile(h_, kLocal, id, 1, 0, t / 3, t % 3) == 1 &&
                                   _hxReadCellOfTile(h_, r, c, &v, &isNull) == 1 && _hxEndReadTile(h_) == 1;
    EXPECT_TRUE(ok) << t << " at " << r << "," << c;
    return v;
  }
};

TEST_F(LocalReadAheadTest, ATileRewrittenAfterItWasInflatedAheadIsReadAsRewritten) {
  // Tile-data reads see tile 1 rewritten by a whole-level write; the tile sequence sees one
  // cell set through the open level.
  for (const bool tileData : {true, false}) {
    SCOPED_TRACE(tileData ? "tile data" : "sequence");
    const std::string name = tileData ? "data.dem" : "seq.dem";
    const double at34 = tileData ? 5013 : 42, at35 = tileData ? 5014 : 114;
    const int32_t id = CreateAndOpen(name, DEMBASE_TYPE_FLOAT32, 511, 511, false);
    ASSERT_GE(id, 1);
    ASSERT_TRUE(WriteLevel(id, -1, 100));
    ASSERT_TRUE(tileData || _hxOpenPyramidLayer(h_, kLocal, id, 1) == 1);
    EXPECT_EQ(Read(tileData, id, 0, 0, 0), 100.0);
    if (tileData) {
      ASSERT_TRUE(WriteLevel(id, 1, 5000));
    } else {
      ASSERT_EQ(_hxSetCell(h_, kLocal, id, 1, 0, 3, 255 + 4, 42.0), 1);
    }
    EXPECT_EQ(Read(tileData, id, 1, 3, 4), at34);
    EXPECT_EQ(Read(tileData, id, 1, 3, 5), at35);
    // And as stored, once the level was closed and opened again.
    ASSERT_TRUE(tileData || _hxClosePyramidLayer(h_, kLocal, id) == 1);
    ASSERT_EQ(_hxOpenPyramidLayer(h_, kLocal, id, 1), 1);
    for (int32_t t = 0; t < 9; ++t) EXPECT_EQ(Read(false, id, t, 3, 4), t == 1 ? at34 : 113.0) << t;
    EXPECT_EQ(_hxCloseDataLayer(h_, kLocal, id), 1);
  }
}

}  // namespace
}  // namespace dembase::testing
