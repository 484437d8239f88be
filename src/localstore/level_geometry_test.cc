#include "localstore/level_geometry.h"

#include <limits>

#include <gtest/gtest.h>

namespace dembase {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity(), kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(LevelGeometry, TileAndDataFileCounts) {
  const struct {
    int64_t rows, cols;
    int32_t tilesDown, tilesAcross;
    int64_t tiles, dataFiles;
  } cases[] = {
      {101, 101, 1, 1, 1, 1},
      {255, 256, 1, 2, 2, 1},
      {510, 511, 2, 3, 6, 1},
      {64 * 255, 64 * 255, 64, 64, 4096, 1},      // 4096 tiles: one data file
      {64 * 255, 64 * 255 + 1, 64, 65, 4160, 2},  // more: a second one
      {4096 * 255, 4096 * 255, 4096, 4096, 4096LL * 4096, 4096},
      {4096 * 255 + 1, 4096 * 255, 4097, 4096, 4097LL * 4096, 4097},
      // The largest level does not overflow: it needs far more than 4096 data files.
      {2147483647, 2147483647, 8421505, 8421505, 8421505LL * 8421505, (8421505LL * 8421505 + 4095) / 4096},
  };
  for (const auto& c : cases) {
    const std::optional<LevelGeometry> g = LevelGeometry::FromCells(c.rows, c.cols);
    ASSERT_TRUE(g) << c.rows << "x" << c.cols;
    EXPECT_EQ(g->grid.tilesDown, c.tilesDown);
    EXPECT_EQ(g->grid.tilesAcross, c.tilesAcross);
    EXPECT_EQ(g->tileCount, c.tiles);
    EXPECT_EQ(g->dataFileCount, c.dataFiles);
    EXPECT_EQ(g->WithinDataFileLimit(), c.dataFiles <= 4096);
  }
  EXPECT_FALSE(LevelGeometry::FromCells(0, 1));
  EXPECT_FALSE(LevelGeometry::FromCells(int64_t{1} << 31, 1));
}

TEST(LevelGeometry, HeaderLayout) {
  const LevelGeometry g = *LevelGeometry::FromCells(64 * 255, 64 * 255 + 1);  // T 4160, F 2
  EXPECT_EQ(g.DataFileEndsOffset(), 39u);
  EXPECT_EQ(g.TileIndexOffset(), 39u + 8);
  EXPECT_EQ(g.TileRecordOffset(10), 47u + 170);
  EXPECT_EQ(g.HeaderFileSize(), 47u + 17 * 4160);
  EXPECT_EQ(DataFileOfTile(4095), 0);
  EXPECT_EQ(DataFileOfTile(4096), 1);
  const LevelHeaderPrefix h = g.NewHeader(2.0, 3.0);
  EXPECT_EQ(int{h.info.closedOnce}, 0);
  EXPECT_EQ(int{h.info.rows}, 64 * 255);
  EXPECT_EQ(int{h.info.tileRows}, 256);
  EXPECT_EQ(int{h.info.tilesAcross}, 65);
  EXPECT_EQ(h.dataFileCount, 2);
}

TEST(LevelGeometry, CountCells) {
  const struct {
    double min, max, cell;
    std::optional<int32_t> want;
  } cases[] = {
      {0, 100, 1, 101},  {0, 100 - 5e-7, 1, 101},  // short of a whole number by less than 1e-6
      {0, 99.99, 1, 100}, {5, 5, 1, 1},            {0, 100, 0, {}},     {0, 100, -1, {}},
      {10, 0, 1, {}},     {0, kInf, 1, {}},        {0, 100, kNaN, {}},  {0, 1e300, 1e-300, {}},
      {0, 3e9, 1, {}},
  };
  for (const auto& c : cases) EXPECT_EQ(CountCells(c.min, c.max, c.cell), c.want) << c.max << "/" << c.cell;
}

TEST(LevelGeometry, ValidateLevelHeader) {
  const LevelGeometry g = *LevelGeometry::FromCells(511, 256);
  const LevelHeaderPrefix good = g.NewHeader(1.0, 1.0);
  const uint64_t size = g.HeaderFileSize();
  ASSERT_EQ(size, 39u + 4 + 17 * 6);
  EXPECT_TRUE(ValidateLevelHeader(good, size));
  EXPECT_TRUE(ValidateLevelHeader(good, size + 100));
  EXPECT_FALSE(ValidateLevelHeader(good, size - 1));
  const struct {
    const char* what;
    void (*spoil)(LevelHeaderPrefix&);
  } bad[] = {
      {"tile rows", [](LevelHeaderPrefix& h) { h.info.tileRows = 128; }},
      {"tile cols", [](LevelHeaderPrefix& h) { h.info.tileCols = 0; }},
      {"rows", [](LevelHeaderPrefix& h) { h.info.rows = 0; }},
      {"negative cols", [](LevelHeaderPrefix& h) { h.info.cols = -256; }},
      {"tiles down", [](LevelHeaderPrefix& h) { h.info.tilesDown = 2; }},
      {"tiles across", [](LevelHeaderPrefix& h) { h.info.tilesAcross = 1000000; }},
      {"F", [](LevelHeaderPrefix& h) { h.dataFileCount = 2; }},
      {"negative F", [](LevelHeaderPrefix& h) { h.dataFileCount = -1; }},
      {"huge level",
       [](LevelHeaderPrefix& h) {
         h.info.rows = h.info.cols = 2147483647;
         h.info.tilesDown = h.info.tilesAcross = 8421505;
       }},
  };
  for (const auto& b : bad) {
    LevelHeaderPrefix h = good;
    b.spoil(h);
    EXPECT_FALSE(ValidateLevelHeader(h, 1ull << 62)) << b.what;
  }
}

}  // namespace
}  // namespace dembase
