#include "tools/pyramid_builder.h"

#include <cmath>
#include <map>

#include "tools/progress.h"
#include "tools/tile_row_reader.h"
#include "tools/tile_row_writer.h"
#include "tools/tile_strip.h"

namespace dembase::tool {
namespace {

// Rows of the level below, from its tile rows; keeps the few a tile row above needs.
class RowSource {
 public:
  explicit RowSource(const TileRowReader& reader) : reader_(reader) {}

  // Drops the strips that hold no row from r on; pointers into them die.
  void ForgetBefore(int32_t r) {
    while (!strips_.empty() && strips_.begin()->first < r / kTileStep) strips_.erase(strips_.begin());
  }

  // REQUIRES: 0 <= r < rows of the level.
  StatusOr<const double*> Row(int32_t r) {
    const int32_t tr = r / kTileStep;
    auto it = strips_.find(tr);
    if (it == strips_.end()) {
      it = strips_.emplace(tr, TileStrip()).first;
      if (Status s = reader_.Read(tr, &it->second); !s.ok()) return s;
    }
    return it->second.Row(r);
  }

 private:
  const TileRowReader& reader_;
  std::map<int32_t, TileStrip> strips_;
};

Status BuildLevel(Layer& layer, int16_t level, const TileRowReader& reader, const PyramidLayerInfo& above,
                  Progress& progress) {
  const PyramidLayerInfo& below = reader.info();
  RowSource rows(reader);
  StatusOr<std::unique_ptr<TileRowWriter>> writer = TileRowWriter::Begin(layer, level);
  if (!writer.ok()) return writer.status();
  const bool floatCells = layer.floatCells();
  TileStrip out;
  for (int32_t tr = 0; tr < above.tilesDown; ++tr) {
    out.Reset(tr, above.rows, above.cols);
    for (int32_t r = out.firstRow; r < out.firstRow + out.rows; ++r) {
      rows.ForgetBefore(2 * r);
      StatusOr<const double*> top = rows.Row(2 * r);
      if (!top.ok()) return top.status();
      const double* bottom = nullptr;
      if (2 * r + 1 < below.rows) {
        StatusOr<const double*> next = rows.Row(2 * r + 1);
        if (!next.ok()) return next.status();
        bottom = *next;
      }
      double* dst = out.Row(r);
      for (int32_t c = 0; c < above.cols; ++c) {
        const int32_t c0 = 2 * c;
        const bool right = c0 + 1 < below.cols;
        dst[c] = AverageOfBlock((*top)[c0], right ? (*top)[c0 + 1] : kNullCell, bottom ? bottom[c0] : kNullCell,
                                bottom && right ? bottom[c0 + 1] : kNullCell, floatCells);
      }
    }
    if (Status s = (*writer)->Write(out); !s.ok()) return s;
    progress.Advance();
  }
  return (*writer)->End();
}

}  // namespace

int16_t LevelsToOneTile(int32_t rows, int32_t cols) {
  int16_t levels = 1;
  while (rows > kTileEdge || cols > kTileEdge) {
    rows = HalfUp(rows);
    cols = HalfUp(cols);
    ++levels;
  }
  return levels;
}

double AverageOfBlock(double a, double b, double c, double d, bool floatCells) {
  double sum = 0;
  int n = 0;
  for (double v : {a, b, c, d}) {
    if (IsNullCell(v)) continue;
    sum += v;
    ++n;
  }
  if (n == 0) return kNullCell;
  const double mean = sum / n;
  return floatCells ? mean : std::round(mean);
}

Status BuildPyramid(Layer& layer, int16_t levels, bool quiet) {
  StatusOr<DataLayerParam> param = layer.Param();
  if (!param.ok()) return param.status();
  if (Status s = layer.CheckLevel(1); !s.ok()) return s;
  // Read first, replace after: the old levels stay until level 1 is known to read whole.
  StatusOr<TileRowReader> base = TileRowReader::Checked(layer, 1);
  if (!base.ok()) return base.status();
  if (Status s = base->CheckAll(); !s.ok()) return s;
  StatusOr<std::vector<int16_t>> old = layer.Levels();
  if (!old.ok()) return old.status();
  for (auto it = old->rbegin(); it != old->rend() && *it >= 2; ++it) {
    const int16_t l = *it;
    const int16_t r = _hxDeletePyramidLayer(layer.h(), layer.ds(), layer.id(), l);
    if (r != 1)
      return Status::Error(
          layer.LevelText(l, "cannot delete the old level: " + ResultText(r, "its files cannot be removed")));
  }
  // Progress counts the tile rows of every level to build.
  int64_t tileRows = 0;
  for (int32_t l = 2, rows = base->info().rows; l <= levels; ++l) {
    rows = HalfUp(rows);
    tileRows += TilesFor(rows);
  }
  Progress progress("pyramid", tileRows, quiet);
  double cellX = param->cellSizeX;
  double cellY = param->cellSizeY;
  for (int16_t level = 2; level <= levels; ++level) {
    cellX *= 2;
    cellY *= 2;
    const int16_t r = _hxCreatePyramidLayer(layer.h(), layer.ds(), layer.id(), level, cellX, cellY);
    if (r != 1) {
      return Status::Error(layer.LevelText(level, "cannot create: " + ResultText(r, "its files cannot be written")));
    }
    StatusOr<PyramidLayerInfo> above = layer.LevelInfo(level);
    if (!above.ok()) return above.status();
    StatusOr<TileRowReader> below = TileRowReader::Checked(layer, static_cast<int16_t>(level - 1));
    if (!below.ok()) return below.status();
    if (above->rows != HalfUp(below->info().rows) || above->cols != HalfUp(below->info().cols)) {
      const std::string size = std::to_string(above->rows) + " x " + std::to_string(above->cols);
      return Status::Error(layer.LevelText(level, "came out " + size + " cells, not half of the level below"));
    }
    if (Status s = BuildLevel(layer, level, *below, *above, progress); !s.ok()) return s;
  }
  return {};
}

}  // namespace dembase::tool
