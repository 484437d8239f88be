#include "cells/cell_address.h"

#include <gtest/gtest.h>

#include "cells/shared_edge.h"

namespace dembase {
namespace {

TEST(CellAddress, TilesFollowTheStepOf255) {
  struct {
    int64_t cells;
    int64_t tiles;
  } cases[] = {{1, 1}, {255, 1}, {256, 2}, {510, 2}, {511, 3}, {101, 1}};
  for (const auto& c : cases) EXPECT_EQ(TilesAlong(c.cells), c.tiles) << c.cells;
}

TEST(CellAddress, GridRefusesEmptyAndOversizedLevels) {
  EXPECT_FALSE(TileGrid::FromCells(0, 10));
  EXPECT_FALSE(TileGrid::FromCells(10, -1));
  EXPECT_FALSE(TileGrid::FromCells(int64_t{1} << 31, 10));
  ASSERT_TRUE(TileGrid::FromCells(2147483647, 2147483647));
  EXPECT_FALSE(TileGrid::FromCells(2147483647, 2147483647)->Addressable());
}

TEST(CellAddress, GridFromLevelInfoChecksConsistency) {
  PyramidLayerInfo info{0, 1.0, 1.0, 511, 256, 256, 256, 3, 2};
  ASSERT_TRUE(TileGrid::FromLevelInfo(info));
  info.tilesAcross = 3;
  EXPECT_FALSE(TileGrid::FromLevelInfo(info));
  info.tilesAcross = 2;
  info.tileCols = 128;
  EXPECT_FALSE(TileGrid::FromLevelInfo(info));
}

TEST(CellAddress, Addresses) {
  const TileGrid grid = *TileGrid::FromCells(1000, 600);  // 4 x 3 tiles
  struct {
    int32_t row, col;
    CellAddress want;
  } cases[] = {
      {0, 0, {0, 0, 0, 0, 0}},         {254, 254, {0, 0, 0, 254, 254}}, {255, 0, {1, 0, 3, 0, 0}},
      {510, 510, {2, 2, 8, 0, 0}},     {999, 599, {3, 2, 11, 234, 89}},
  };
  for (const auto& c : cases) {
    const std::optional<CellAddress> a = AddressCell(grid, c.row, c.col);
    ASSERT_TRUE(a) << c.row << "," << c.col;
    EXPECT_EQ(*a, c.want) << c.row << "," << c.col;
  }
  for (auto [row, col] : {std::pair{-1, 0}, {0, -1}, {1000, 0}, {0, 600}, {INT32_MIN, INT32_MIN}}) {
    EXPECT_FALSE(AddressCell(grid, row, col)) << row << "," << col;
  }
  EXPECT_EQ(TileNumber(grid, 3, 2), 11);
  EXPECT_FALSE(TileNumber(grid, 4, 0));
  EXPECT_FALSE(TileNumber(grid, 0, -1));
}

TEST(CellAddress, InTilePositions) {
  EXPECT_EQ(CellByteOffset(0, 0), 0u);
  EXPECT_EQ(CellByteOffset(0, 1), 4u);
  EXPECT_EQ(CellByteOffset(1, 0), 1024u);
  EXPECT_EQ(CellByteOffset(255, 255), kTileBlockBytes - 4);
  const std::optional<InTilePosition> p = WrapToTile(300, 5);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->r, 44);
  EXPECT_EQ(p->c, 5);
  EXPECT_FALSE(WrapToTile(-1, 5));
  EXPECT_FALSE(WrapToTile(5, -256));
  EXPECT_TRUE(InTile(255, 0));
  EXPECT_FALSE(InTile(256, 0));
  EXPECT_FALSE(InTile(0, -1));
}

// Every copy of a shared cell, owner first.
TEST(SharedEdge, CopiesOfCell) {
  const TileGrid grid = *TileGrid::FromCells(1000, 1000);  // 4 x 4 tiles
  struct {
    int32_t row, col;
    std::vector<CellCopy> want;
  } cases[] = {
      {0, 0, {{0, 0, 0}}},                                                   // first row and column
      {0, 255, {{1, 0, 0}, {0, 0, 255}}},                                    // first row: left only
      {255, 0, {{4, 0, 0}, {0, 255, 0}}},                                    // first column: above only
      {254, 254, {{0, 254, 254}}},                                           // inside
      {255, 254, {{4, 0, 254}, {0, 255, 254}}},                              // top edge
      {254, 255, {{1, 254, 0}, {0, 254, 255}}},                              // left edge
      {510, 510, {{10, 0, 0}, {9, 0, 255}, {6, 255, 0}, {5, 255, 255}}},     // corner: all four
      {765, 255, {{13, 0, 0}, {12, 0, 255}, {9, 255, 0}, {8, 255, 255}}},
  };
  for (const auto& c : cases) {
    const std::optional<CellCopies> copies = CopiesOfCell(grid, c.row, c.col);
    ASSERT_TRUE(copies);
    EXPECT_EQ(std::vector<CellCopy>(copies->copies().begin(), copies->copies().end()), c.want)
        << c.row << "," << c.col;
  }
  EXPECT_FALSE(CopiesOfCell(grid, -1, 0));
  EXPECT_FALSE(CopiesOfCell(grid, 1000, 0));
}

// Writing every cell through its copies leaves every shared position equal to the
// cell it repeats.
TEST(SharedEdge, CopiesCoverEverySharedPosition) {
  const TileGrid grid = *TileGrid::FromCells(600, 600);  // 3 x 3 tiles
  std::vector<std::vector<int>> tiles(9, std::vector<int>(kTileCells, -1));
  for (int32_t row = 0; row < grid.rows; ++row) {
    for (int32_t col = 0; col < grid.cols; ++col) {
      const std::optional<CellCopies> copies = CopiesOfCell(grid, row, col);
      for (const CellCopy& copy : copies->copies()) {
        tiles[copy.tile][copy.r * kTileEdge + copy.c] = row * grid.cols + col;
      }
    }
  }
  for (int32_t tr = 0; tr < grid.tilesDown; ++tr) {
    for (int32_t tc = 0; tc < grid.tilesAcross; ++tc) {
      for (int32_t r = 0; r < kTileEdge; ++r) {
        for (int32_t c = 0; c < kTileEdge; ++c) {
          const int32_t row = tr * kTileStep + r, col = tc * kTileStep + c;
          const int got = tiles[tr * grid.tilesAcross + tc][r * kTileEdge + c];
          if (row < grid.rows && col < grid.cols) {
            ASSERT_EQ(got, row * grid.cols + col) << tr << "," << tc << " at " << r << "," << c;
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace dembase
