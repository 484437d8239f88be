#include "tools/demo_cells.h"

#include <algorithm>

#include "tools/progress.h"
#include "tools/text_format.h"
#include "tools/tile_strip.h"

namespace dembase::tool {
namespace {

std::string At(int32_t r, int32_t c) { return "row " + std::to_string(r) + " col " + std::to_string(c); }

}  // namespace

Status WriteCellByCell(Layer& layer, const GridSource& grid, bool quiet) {
  if (Status s = layer.ReplaceOnWrite(); !s.ok()) return s;
  if (Status s = layer.OpenLevel(1); !s.ok()) return s;
  Progress progress("set cells", grid.rows(), quiet);
  for (int32_t r = 0; r < grid.rows(); ++r) {
    for (int32_t c = 0; c < grid.cols(); ++c) {
      if (_hxSetCell(layer.h(), layer.ds(), layer.id(), 1, 0, r, c, grid.At(r, c)) != 1) {
        return Status::Error(layer.LevelText(1, "cannot set " + At(r, c)));
      }
    }
    progress.Advance();
  }
  return layer.CloseLevel();
}

Status WriteTileByTile(Layer& layer, const GridSource& grid, bool quiet) {
  if (Status s = layer.ReplaceOnWrite(); !s.ok()) return s;
  if (Status s = layer.OpenLevel(1); !s.ok()) return s;
  const int32_t tiles = TilesFor(grid.rows());
  Progress progress("tiles", int64_t{tiles} * tiles, quiet);
  for (int32_t tr = 0; tr < tiles; ++tr) {
    for (int32_t tc = 0; tc < tiles; ++tc) {
      if (_hxBeginWriteTile(layer.h(), layer.ds(), layer.id(), 1, 0, tr, tc) != 1) {
        return Status::Error(layer.LevelText(1, "cannot begin tile " + std::to_string(tr) + "," + std::to_string(tc)));
      }
      // Every cell of the tile, the overlap with its neighbours included.
      const int32_t rows = std::min(kTileEdge, grid.rows() - tr * kTileStep);
      const int32_t cols = std::min(kTileEdge, grid.cols() - tc * kTileStep);
      for (int32_t r = 0; r < rows; ++r) {
        for (int32_t c = 0; c < cols; ++c) {
          _hxWriteCellOfTile(layer.h(), r, c, grid.At(tr * kTileStep + r, tc * kTileStep + c));
        }
      }
      if (_hxEndWriteTile(layer.h(), 1) != 1) {
        return Status::Error(layer.LevelText(1, "cannot end tile " + std::to_string(tr) + "," + std::to_string(tc)));
      }
      progress.Advance();
    }
  }
  return layer.CloseLevel();
}

Status VerifyCells(Layer& layer, const GridSource& grid, bool quiet) {
  if (Status s = layer.OpenLevel(1); !s.ok()) return s;
  Progress progress("get cells", grid.rows(), quiet);
  for (int32_t r = 0; r < grid.rows(); ++r) {
    for (int32_t c = 0; c < grid.cols(); ++c) {
      uint8_t isNull = 1;
      const double v = _hxGetCell(layer.h(), layer.ds(), layer.id(), 1, 0, r, c, &isNull);
      const double want = layer.floatCells() ? static_cast<float>(grid.At(r, c)) : grid.At(r, c);
      if (isNull || v != want) {
        return Status::Error(layer.LevelText(1, At(r, c) + " holds " + (isNull ? "null" : Num(v)) + ", expected " +
                                                    Num(want)));
      }
    }
    progress.Advance();
  }
  return layer.CloseLevel();
}

}  // namespace dembase::tool
