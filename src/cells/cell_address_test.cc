#include "cells/cell_address.h"

#include <gtest/gtest.h>

#include "cells/shared_edge.h"

namespace dembase {
namespace {

TEST(CellAddress, GridsRefuseEmptyOversizedAndInconsistentLevels) {
  EXPECT_FALSE(TileGrid::FromCells(0, 10));
  EXPECT_FALSE(TileGrid::FromCells(10, -1));
  EXPECT_FALSE(TileGrid::FromCells(int64_t{1} << 31, 10));
  ASSERT_TRUE(TileGrid::FromCells(2147483647, 2147483647));
  EXPECT_FALSE(TileGrid::FromCells(2147483647, 2147483647)->Addressable());
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
  const struct {
    int32_t row, col;
    std::optional<CellAddress> want;
  } cases[] = {
      {0, 0, CellAddress{0, 0, 0, 0, 0}},     {254, 254, CellAddress{0, 0, 0, 254, 254}},
      {255, 0, CellAddress{1, 0, 3, 0, 0}},   {510, 510, CellAddress{2, 2, 8, 0, 0}},
      {999, 599, CellAddress{3, 2, 11, 234, 89}}, {-1, 0, {}}, {0, -1, {}}, {1000, 0, {}}, {0, 600, {}},
      {INT32_MIN, INT32_MIN, {}},
  };
  for (const auto& c : cases) EXPECT_EQ(AddressCell(grid, c.row, c.col), c.want) << c.row << "," << c.col;
  EXPECT_EQ(TileNumber(grid, 3, 2), 11);
  EXPECT_FALSE(TileNumber(grid, 4, 0));
  EXPECT_FALSE(TileNumber(grid, 0, -1));
  EXPECT_EQ(CellByteOffset(0, 1), 4u);
  EXPECT_EQ(CellByteOffset(1, 0), 1024u);
  EXPECT_EQ(CellByteOffset(255, 255), kTileBlockBytes - 4);
  ASSERT_TRUE(WrapToTile(300, 5));
  EXPECT_EQ(WrapToTile(300, 5)->r, 44);
  EXPECT_EQ(WrapToTile(300, 5)->c, 5);
  EXPECT_FALSE(WrapToTile(-1, 5));
  EXPECT_FALSE(WrapToTile(5, -256));
  EXPECT_TRUE(InTile(255, 0));
  EXPECT_FALSE(InTile(256, 0));
  EXPECT_FALSE(InTile(0, -1));
}

// Every copy of a shared cell, owner first.
TEST(SharedEdge, CopiesOfCell) {
  const TileGrid grid = *TileGrid::FromCells(1000, 1000);  // 4 x 4 tiles
  const struct {
    int32_t row, col;
    std::vector<CellCopy> want;
  } cases[] = {
      {0, 0, {{0, 0, 0}}},                                                // first row and column
      {0, 255, {{1, 0, 0}, {0, 0, 255}}},                                 // first row: left only
      {255, 0, {{4, 0, 0}, {0, 255, 0}}},                                 // first column: above only
      {254, 254, {{0, 254, 254}}},                                        // inside
      {255, 254, {{4, 0, 254}, {0, 255, 254}}},                           // top edge
      {254, 255, {{1, 254, 0}, {0, 254, 255}}},                           // left edge
      {510, 510, {{10, 0, 0}, {9, 0, 255}, {6, 255, 0}, {5, 255, 255}}},  // corner: all four
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

// Writing every cell through its copies leaves every shared position equal to the cell it repeats.
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
  for (int32_t t = 0; t < 9; ++t) {
    for (int32_t i = 0; i < kTileCells; ++i) {
      const int32_t row = t / 3 * kTileStep + i / kTileEdge, col = t % 3 * kTileStep + i % kTileEdge;
      if (row < grid.rows && col < grid.cols) {
        ASSERT_EQ(tiles[t][i], row * grid.cols + col) << t << " at " << i;
      }
    }
  }
}

}  // namespace
}  // namespace dembase
