// Tiles inflated ahead on another core must never be handed out once the stored tile
// changed: each row reads tile 0, which inflates tile 1 ahead, rewrites tile 1 another
// way, then reads it.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "dembase/dembase.h"
#include "tests/support/local_store_fixture.h"

namespace dembase::testing {
namespace {

class LocalReadAheadTest : public LocalStoreTest {
 protected:
  // Whole-level write of tile t of 3 x 3 (every tile when t is -1): base + r + c in each
  // cell (in-tile coordinates).
  bool WriteTile(int32_t id, int32_t t, float base) {
    std::vector<float> cells(256 * 256);
    for (size_t i = 0; i < cells.size(); ++i) cells[i] = base + static_cast<float>(i / 256 + i % 256);
    OneTileInfo info{static_cast<int32_t>(cells.size() * 4), base, base + 510};
    bool ok = _hxBeginWritePyramidLayer(h_, kLocal, id, 1) == 1;
    for (int32_t k = 0; k < 9; ++k) {
      if (t < 0 || k == t) ok = _hxWriteOneTile(h_, 0, k, &info, cells.data()) == 1 && ok;
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
  const struct {
    const char* name;
    bool tileData;    // read through tile-data reads with the level closed, else the tile sequence
    bool wholeLevel;  // tile 1 rewritten by a whole-level write, else one cell through the open level
    double at34, at35;
  } rows[] = {
      {"whole", true, true, 5007, 5008},
      {"open", true, false, 42, 108},
      {"seq", false, false, 42, 108},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string name = std::string(row.name) + ".dem";
    const int32_t id = CreateAndOpen(name, DEMBASE_TYPE_FLOAT32, 511, 511);
    ASSERT_GE(id, 1);
    ASSERT_EQ(_hxClosePyramidLayer(h_, kLocal, id), 1);
    ASSERT_TRUE(WriteTile(id, -1, 100));
    ASSERT_TRUE(row.tileData || _hxOpenPyramidLayer(h_, kLocal, id, 1) == 1);
    EXPECT_EQ(Read(row.tileData, id, 0, 0, 0), 100.0);
    if (row.wholeLevel) {
      ASSERT_TRUE(WriteTile(id, 1, 5000));
    } else {
      ASSERT_TRUE(!row.tileData || _hxOpenPyramidLayer(h_, kLocal, id, 1) == 1);
      ASSERT_EQ(_hxSetCell(h_, kLocal, id, 1, 0, 3, 255 + 4, 42.0), 1);
      ASSERT_TRUE(!row.tileData || _hxClosePyramidLayer(h_, kLocal, id) == 1);
    }
    EXPECT_EQ(Read(row.tileData, id, 1, 3, 4), row.at34);
    EXPECT_EQ(Read(row.tileData, id, 1, 3, 5), row.at35);
    // And as stored, once the level was closed and opened again.
    ASSERT_TRUE(row.tileData || _hxClosePyramidLayer(h_, kLocal, id) == 1);
    ASSERT_EQ(_hxOpenPyramidLayer(h_, kLocal, id, 1), 1);
    for (int32_t t = 0; t < 9; ++t) EXPECT_EQ(Read(false, id, t, 3, 4), t == 1 ? row.at34 : 107.0) << t;
    EXPECT_EQ(_hxCloseDataLayer(h_, kLocal, id), 1);
  }
}

}  // namespace
}  // namespace dembase::testing
