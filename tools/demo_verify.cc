#include "tools/demo_verify.h"

#include <cmath>
#include <memory>
#include <vector>

#include "tools/progress.h"
#include "tools/text_format.h"
#include "tools/tile_row_reader.h"
#include "tools/tile_strip.h"

namespace dembase::tool {
namespace {

// Expected cells of one level, row-major, NaN for null.
struct Grid {
  int32_t rows = 0;
  int32_t cols = 0;
  std::vector<double> cells;
};

// The value a layer of this type stores for v.
double AsStored(double v, bool floatCells) {
  if (NullLike(v, floatCells)) return kNullCell;
  if (!floatCells) return v;
  const float f = static_cast<float>(v);
  return NullLike(f, true) ? kNullCell : f;
}

class BlockSums {
 public:
  BlockSums(int32_t rowsBelow, int32_t colsBelow)
      : rows_(rowsBelow / 2 + rowsBelow % 2), cols_(colsBelow / 2 + colsBelow % 2), sum_(Size()), count_(Size()) {}

  void Add(int32_t r, int32_t c, double v) {
    if (IsNullCell(v)) return;
    const size_t i = static_cast<size_t>(r / 2) * static_cast<size_t>(cols_) + static_cast<size_t>(c / 2);
    sum_[i] += v;
    ++count_[i];
  }

  Grid Means(bool floatCells) const {
    Grid g{rows_, cols_, std::vector<double>(Size(), kNullCell)};
    for (size_t i = 0; i < g.cells.size(); ++i) {
      if (count_[i] == 0) continue;
      const double mean = sum_[i] / count_[i];
      g.cells[i] = floatCells ? static_cast<float>(mean) : std::round(mean);
    }
    return g;
  }

 private:
  size_t Size() const { return static_cast<size_t>(rows_) * static_cast<size_t>(cols_); }
  int32_t rows_;
  int32_t cols_;
  std::vector<double> sum_;
  std::vector<uint8_t> count_;
};

Status Mismatch(const Layer& layer, int16_t level, int32_t r, int32_t c, double got, double want) {
  return Status::Error(layer.LevelText(level, "row " + std::to_string(r) + " col " + std::to_string(c) + " holds " +
                                                  Num(got) + ", expected " + Num(want)));
}

bool Same(double a, double b) { return (IsNullCell(a) && IsNullCell(b)) || a == b; }

// Level 1 against the source; leaves the sums of level 2's blocks in *sums.
StatusOr<int64_t> VerifyBase(const Layer& layer, const PyramidLayerInfo& info, RasterSource& source, BlockSums* sums,
                             Progress& progress) {
  const TileRowReader reader(layer, 1, info);
  TileStrip stored;
  std::vector<double> want;
  for (int32_t tr = 0; tr < info.tilesDown; ++tr) {
    if (Status s = reader.Read(tr, &stored); !s.ok()) return s;
    want.resize(stored.cells.size());
    if (Status s = source.ReadRows(stored.firstRow, stored.rows, want.data()); !s.ok()) return s;
    // Each row once: the strip's last row opens the next strip.
    const int32_t rows = tr + 1 < info.tilesDown ? kTileStep : stored.rows;
    for (int32_t i = 0; i < rows; ++i) {
      const int32_t r = stored.firstRow + i;
      for (int32_t c = 0; c < info.cols; ++c) {
        const size_t at = static_cast<size_t>(i) * static_cast<size_t>(info.cols) + static_cast<size_t>(c);
        const double w = AsStored(want[at], layer.floatCells());
        const double got = stored.Row(r)[c];
        if (!Same(got, w)) return Mismatch(layer, 1, r, c, got, w);
        sums->Add(r, c, w);
      }
    }
    progress.Advance();
  }
  return int64_t{info.rows} * info.cols;
}

StatusOr<int64_t> VerifyLevel(const Layer& layer, int16_t level, const PyramidLayerInfo& info, const Grid& want,
                              BlockSums* sums, Progress& progress) {
  if (info.rows != want.rows || info.cols != want.cols) {
    return Status::Error(layer.LevelText(level, std::to_string(info.rows) + " x " + std::to_string(info.cols) +
                                                    " cells, expected " + std::to_string(want.rows) + " x " +
                                                    std::to_string(want.cols)));
  }
  const TileRowReader reader(layer, level, info);
  TileStrip stored;
  for (int32_t tr = 0; tr < info.tilesDown; ++tr) {
    if (Status s = reader.Read(tr, &stored); !s.ok()) return s;
    for (int32_t r = stored.firstRow; r < stored.firstRow + stored.rows; ++r) {
      for (int32_t c = 0; c < info.cols; ++c) {
        const double w = want.cells[static_cast<size_t>(r) * static_cast<size_t>(want.cols) + c];
        if (!Same(stored.Row(r)[c], w)) return Mismatch(layer, level, r, c, stored.Row(r)[c], w);
        if (tr + 1 == info.tilesDown || r < stored.firstRow + kTileStep) sums->Add(r, c, w);
      }
    }
    progress.Advance();
  }
  return int64_t{info.rows} * info.cols;
}

}  // namespace

StatusOr<int64_t> VerifyPyramid(const Layer& layer, RasterSource& source, bool quiet) {
  StatusOr<DataLayerParam> param = layer.Param();
  if (!param.ok()) return param.status();
  std::vector<PyramidLayerInfo> levels;
  int64_t tileRows = 0;
  for (int16_t level = 1; level <= param->levelCount; ++level) {
    StatusOr<PyramidLayerInfo> info = layer.LevelInfo(level);
    if (!info.ok()) return info.status();
    levels.push_back(*info);
    tileRows += info->tilesDown;
  }
  if (levels.empty()) return Error(layer.ref().text, "has no level");
  if (levels[0].rows != source.rows() || levels[0].cols != source.cols()) {
    return Status::Error(layer.LevelText(1, "does not have the source's size"));
  }
  Progress progress("verify", tileRows, quiet);
  // Copies: the level records are packed, and make_unique takes references.
  auto sums = std::make_unique<BlockSums>(int32_t{levels[0].rows}, int32_t{levels[0].cols});
  StatusOr<int64_t> compared = VerifyBase(layer, levels[0], source, sums.get(), progress);
  if (!compared.ok()) return compared;
  int64_t total = *compared;
  for (size_t i = 1; i < levels.size(); ++i) {
    const Grid want = sums->Means(layer.floatCells());
    sums = std::make_unique<BlockSums>(want.rows, want.cols);
    compared = VerifyLevel(layer, static_cast<int16_t>(i + 1), levels[i], want, sums.get(), progress);
    if (!compared.ok()) return compared;
    total += *compared;
  }
  return total;
}

}  // namespace dembase::tool
