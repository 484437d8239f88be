// TileCopyModel: what a level of a local layer should hold, kept the way the store keeps
// it — every tile's own 256 x 256 cells. Neighbouring tiles share a row or column, so a
// level cell on a shared edge has up to four copies; they agree only as long as every
// write goes through SetCell, which updates them all, while a tile-sequence write
// changes the one copy in its tile. Modelling the copies, rather than level cells,
// lets a test write anywhere in a tile and read every copy back.
//
// Besides the cells: per tile what the disk holds since the last close (for discards)
// and whether the tile has been written since (its dirty state). Tests only.
#ifndef DEMBASE_TESTS_SUPPORT_TILE_COPY_MODEL_H_
#define DEMBASE_TESTS_SUPPORT_TILE_COPY_MODEL_H_

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

namespace dembase::testing {

class TileCopyModel {
 public:
  static constexpr int32_t kEdge = 256;
  static constexpr int32_t kStep = 255;
  static constexpr int32_t kCells = kEdge * kEdge;
  static constexpr float kNull = std::numeric_limits<float>::quiet_NaN();

  struct Copy {
    int32_t tile, r, c;
  };
  struct Tile {
    std::vector<float> cells = std::vector<float>(kCells, kNull);  // NaN: the null value
    int32_t nonNull = 0;
  };

  // keepStored: whether to remember what the disk holds (needed for discards).
  TileCopyModel(int32_t rows, int32_t cols, bool keepStored)
      : rows_(rows), cols_(cols), down_((rows - 1) / kStep + 1), across_((cols - 1) / kStep + 1) {
    current_.resize(static_cast<size_t>(tile_count()));
    if (keepStored) stored_.resize(current_.size());
    dirty_.assign(current_.size(), false);
  }

  int32_t rows() const { return rows_; }
  int32_t cols() const { return cols_; }
  int32_t tiles_down() const { return down_; }
  int32_t tiles_across() const { return across_; }
  int32_t tile_count() const { return down_ * across_; }

  // Every copy of level cell (row, col): the owner's first, then left, above, above-left.
  std::vector<Copy> CopiesOf(int32_t row, int32_t col) const {
    const int32_t tr = row / kStep, tc = col / kStep, r = row % kStep, c = col % kStep;
    std::vector<Copy> out = {{tr * across_ + tc, r, c}};
    if (c == 0 && tc > 0) out.push_back({tr * across_ + tc - 1, r, kStep});
    if (r == 0 && tr > 0) out.push_back({(tr - 1) * across_ + tc, kStep, c});
    if (r == 0 && c == 0 && tr > 0 && tc > 0) out.push_back({(tr - 1) * across_ + tc - 1, kStep, kStep});
    return out;
  }

  // nullopt for the null value.
  std::optional<float> At(const Copy& at) const {
    const float v = current_[static_cast<size_t>(at.tile)].cells[Index(at)];
    return std::isnan(v) ? std::nullopt : std::optional<float>(v);
  }
  void Put(const Copy& at, std::optional<float> v) {
    Tile& t = current_[static_cast<size_t>(at.tile)];
    float& cell = t.cells[Index(at)];
    t.nonNull += (v ? 1 : 0) - (std::isnan(cell) ? 0 : 1);
    cell = v.value_or(kNull);
  }

  bool AllNull(int32_t tile) const { return current_[static_cast<size_t>(tile)].nonNull == 0; }
  bool StoredAllNull(int32_t tile) const { return stored_[static_cast<size_t>(tile)].nonNull == 0; }
  bool dirty(int32_t tile) const { return dirty_[static_cast<size_t>(tile)]; }
  void set_dirty(int32_t tile) { dirty_[static_cast<size_t>(tile)] = true; }

  // The smallest and largest non-null cell of a tile; nullopt when it holds none.
  std::optional<std::pair<float, float>> Range(int32_t tile) const {
    const Tile& t = current_[static_cast<size_t>(tile)];
    if (t.nonNull == 0) return std::nullopt;
    float lo = std::numeric_limits<float>::infinity(), hi = -lo;
    for (float v : t.cells) {
      if (std::isnan(v)) continue;
      lo = std::min(lo, v);
      hi = std::max(hi, v);
    }
    return std::pair{lo, hi};
  }

  // The level was closed: the disk holds every tile as it is now.
  void Commit() {
    if (!stored_.empty()) stored_ = current_;
    dirty_.assign(dirty_.size(), false);
  }
  // A discard: the tile goes back to what the disk holds. REQUIRES: keepStored.
  void Revert(int32_t tile) {
    current_[static_cast<size_t>(tile)] = stored_[static_cast<size_t>(tile)];
    dirty_[static_cast<size_t>(tile)] = false;
  }

 private:
  static size_t Index(const Copy& at) { return static_cast<size_t>(at.r * kEdge + at.c); }

  int32_t rows_, cols_, down_, across_;
  std::vector<Tile> current_;
  std::vector<Tile> stored_;
  std::vector<bool> dirty_;
};

}  // namespace dembase::testing

#endif  // DEMBASE_TESTS_SUPPORT_TILE_COPY_MODEL_H_
