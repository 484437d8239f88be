// The pass through the library's exports.
#include <algorithm>
#include <vector>

#include "tools/layer_check.h"
#include "tools/progress.h"
#include "tools/text_format.h"
#include "tools/tile_strip.h"

namespace dembase::tool {
namespace {

bool SameCell(double a, double b) { return (IsNullCell(a) && IsNullCell(b)) || a == b; }

class LevelChecker {
 public:
  LevelChecker(Layer& layer, int16_t level, const PyramidLayerInfo& info, CheckReport* report)
      : layer_(layer), level_(level), info_(info), report_(report), cells_(kTileCells),
        above_(static_cast<size_t>(info.tilesAcross) * kTileEdge), aboveKnown_(static_cast<size_t>(info.tilesAcross)),
        left_(kTileEdge) {}

  void CheckTile(int32_t tr, int32_t tc) {
    const std::string tile = "tile " + std::to_string(tr) + "," + std::to_string(tc);
    const bool readable = ReadTile(tr, tc, tile);
    if (readable) {
      CheckEdges(tr, tc, tile);
      for (int32_t r = 0; r < kTileEdge; ++r) left_[static_cast<size_t>(r)] = cells_[Index(r, kTileEdge - 1)];
      std::copy_n(cells_.begin() + Index(kTileEdge - 1, 0), kTileEdge,
                  above_.begin() + static_cast<ptrdiff_t>(tc) * kTileEdge);
    }
    leftKnown_ = readable;
    aboveKnown_[static_cast<size_t>(tc)] = readable;
  }

 private:
  static ptrdiff_t Index(int32_t r, int32_t c) { return static_cast<ptrdiff_t>(r) * kTileEdge + c; }

  void Add(const std::string& what) { report_->Add(layer_.LevelText(level_, what)); }

  // Reads the tile into cells_ and checks its statistics; false when it cannot be read.
  bool ReadTile(int32_t tr, int32_t tc, const std::string& tile) {
    OneTileInfo stats{};
    const bool statsKnown = _hxGetOneTileInfo(layer_.h(), layer_.ds(), layer_.id(), level_, 0, tr, tc, &stats) == 1;
    if (!statsKnown) Add(tile + ": its statistics cannot be read");
    const int16_t r = _hxBeginReadTile(layer_.h(), layer_.ds(), layer_.id(), level_, 0, tr, tc);
    if (r != 1 && r != 2) {
      Add(tile + ": cannot be read");
      return false;
    }
    ++report_->tilesRead;
    if (r == 2) {
      if (_hxEndReadTile(layer_.h()) != 1) Add(tile + ": its read cannot be ended");
      ++report_->tilesEmpty;
      std::fill(cells_.begin(), cells_.end(), kNullCell);
      if (statsKnown) CheckClaims(stats, false, tile);
      return true;
    }
    float lo = 0;
    float hi = 0;
    bool any = false;
    for (int32_t row = 0; row < kTileEdge; ++row) {
      for (int32_t col = 0; col < kTileEdge; ++col) {
        double v = 0;
        uint8_t isNull = 0;
        if (_hxReadCellOfTile(layer_.h(), row, col, &v, &isNull) != 1) {
          (void)_hxEndReadTile(layer_.h());
          Add(tile + ": cell " + std::to_string(row) + "," + std::to_string(col) + " cannot be read");
          return false;
        }
        cells_[Index(row, col)] = isNull ? kNullCell : v;
        if (isNull) continue;
        // Statistics are kept as floats, so they bracket the cells rounded to float.
        const float f = static_cast<float>(v);
        lo = any ? std::min(lo, f) : f;
        hi = any ? std::max(hi, f) : f;
        any = true;
      }
    }
    if (_hxEndReadTile(layer_.h()) != 1) Add(tile + ": its read cannot be ended");
    if (statsKnown) CheckClaims(stats, any, tile);
    if (statsKnown && any && (lo < stats.minimum || hi > stats.maximum)) {
      Add(tile + ": cells range " + Num(lo) + " .. " + Num(hi) + " beyond its recorded " + Num(stats.minimum) +
          " .. " + Num(stats.maximum));
    }
    return true;
  }

  // A tile that reads without a value must not claim any: its stored bytes are lost.
  void CheckClaims(const OneTileInfo& stats, bool any, const std::string& tile) {
    if (any || !layer_.ClaimsValues(stats)) return;
    Add(tile + ": reads as empty, yet its record claims values " + Num(stats.minimum) + " .. " + Num(stats.maximum));
  }

  // The first column must repeat the left neighbour's last; the first row the last row of
  // the tile above. Only cells inside the level count.
  void CheckEdges(int32_t tr, int32_t tc, const std::string& tile) {
    const int32_t rows = std::min(kTileEdge, info_.rows - tr * kTileStep);
    const int32_t cols = std::min(kTileEdge, info_.cols - tc * kTileStep);
    if (tc > 0 && leftKnown_) {
      for (int32_t r = 0; r < rows; ++r) {
        const double mine = cells_[Index(r, 0)];
        const double theirs = left_[static_cast<size_t>(r)];
        if (!SameCell(mine, theirs)) {
          Add(tile + ": its first column differs from tile " + std::to_string(tr) + "," + std::to_string(tc - 1) +
              " at row " + std::to_string(tr * kTileStep + r) + " (" + Num(mine) + " against " + Num(theirs) + ")");
          break;
        }
      }
    }
    if (tr > 0 && aboveKnown_[static_cast<size_t>(tc)]) {
      for (int32_t c = 0; c < cols; ++c) {
        const double mine = cells_[Index(0, c)];
        const double theirs = above_[static_cast<size_t>(tc) * kTileEdge + static_cast<size_t>(c)];
        if (!SameCell(mine, theirs)) {
          Add(tile + ": its first row differs from tile " + std::to_string(tr - 1) + "," + std::to_string(tc) +
              " at column " + std::to_string(tc * kTileStep + c) + " (" + Num(mine) + " against " + Num(theirs) +
              ")");
          break;
        }
      }
    }
  }

  Layer& layer_;
  int16_t level_;
  PyramidLayerInfo info_;
  CheckReport* report_;
  std::vector<double> cells_;
  std::vector<double> above_;    // last row of each tile of the tile row above
  std::vector<bool> aboveKnown_;
  std::vector<double> left_;     // last column of the tile to the left
  bool leftKnown_ = false;
};

}  // namespace

void CheckThroughLibrary(Session& session, const LayerRef& ref, bool quiet, CheckReport* report) {
  StatusOr<std::unique_ptr<Layer>> layer = Layer::Open(session, ref);
  if (!layer.ok()) {
    report->Add(layer.status().message());
    return;
  }
  StatusOr<DataLayerParam> param = (*layer)->Param();
  if (!param.ok()) {
    report->Add(param.status().message());
    return;
  }
  StatusOr<std::vector<int16_t>> levels = (*layer)->Levels();
  if (!levels.ok()) {
    report->Add(levels.status().message());
    return;
  }
  report->levels = static_cast<int32_t>(levels->size());
  if (param->levelCount < 1) report->Add(ref.text + ": has no pyramid level");
  if (static_cast<int32_t>(levels->size()) < param->levelCount) {
    report->Add(ref.text + ": its description counts " + Count(param->levelCount, "level") + ", but only " +
                std::to_string(levels->size()) + " can be read");
  }
  for (const int16_t level : *levels) {
    StatusOr<PyramidLayerInfo> info = (*layer)->LevelInfo(level);
    if (!info.ok()) {
      report->Add(info.status().message());
      continue;
    }
    if (Status s = (*layer)->OpenLevel(level); !s.ok()) {
      report->Add(s.message());
      continue;
    }
    LevelChecker checker(**layer, level, *info, report);
    Progress progress("check " + std::to_string(level), static_cast<int64_t>(info->tilesDown) * info->tilesAcross,
                      quiet);
    for (int32_t tr = 0; tr < info->tilesDown; ++tr) {
      for (int32_t tc = 0; tc < info->tilesAcross; ++tc) {
        checker.CheckTile(tr, tc);
        progress.Advance();
      }
    }
    if (Status s = (*layer)->CloseLevel(); !s.ok()) report->Add(s.message());
  }
  if (Status s = (*layer)->Close(); !s.ok()) report->Add(s.message());
}

}  // namespace dembase::tool
