// Terrain: a synthetic elevation model that behaves like a real one where it matters for
// storage — smooth relief of long waves and ridges, centimetre noise in every cell (so
// float tiles compress about as measured ones do), and areas without data: a sea along
// the west edge and a few round holes. Cheap per cell (table look-ups), deterministic
// for a seed, and defined up to 256 cells past the level's edge so edge tiles fill whole.
#ifndef DEMBASE_TESTS_SUPPORT_TERRAIN_H_
#define DEMBASE_TESTS_SUPPORT_TERRAIN_H_

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

namespace dembase::testing {

class Terrain {
 public:
  Terrain(int32_t rows, int32_t cols, uint32_t seed) : seed_(seed) {
    const int32_t down = rows + 256;
    const int32_t across = cols + 256;
    const double phase = Next() * 6.283;
    for (int32_t r = 0; r < down; ++r) {
      rowWave_.push_back(static_cast<float>(420 * std::sin(r / 610.0 + phase) + 95 * std::sin(r / 87.0)));
      rowRidge_.push_back(static_cast<float>(std::sin(r / 230.0 + 2 * phase)));
      coast_.push_back(static_cast<int32_t>(cols * (0.05 + 0.03 * std::sin(r / (rows / 2.3 + 1.0) + phase))));
    }
    for (int32_t c = 0; c < across; ++c) {
      colWave_.push_back(static_cast<float>(380 * std::cos(c / 540.0 - phase) + 70 * std::sin(c / 61.0)));
      colRidge_.push_back(static_cast<float>(260 * std::cos(c / 190.0)));
    }
    holeSpans_.resize(static_cast<size_t>(down));
    for (int hole = 0; hole < 4; ++hole) {
      const double cy = Next() * rows;
      const double cx = Next() * cols;
      const double radius = (0.02 + 0.03 * Next()) * std::min(rows, cols) + 8;
      for (int32_t r = std::max(0, static_cast<int32_t>(cy - radius)); r < down && r <= cy + radius; ++r) {
        const double half = std::sqrt(std::max(0.0, radius * radius - (r - cy) * (r - cy)));
        holeSpans_[static_cast<size_t>(r)].emplace_back(static_cast<int32_t>(cx - half),
                                                        static_cast<int32_t>(cx + half));
      }
    }
  }

  // REQUIRES: 0 <= row < rows + 256, 0 <= col < cols + 256.
  bool IsNull(int32_t row, int32_t col) const {
    if (col < coast_[static_cast<size_t>(row)]) return true;
    for (const auto& [lo, hi] : holeSpans_[static_cast<size_t>(row)]) {
      if (col >= lo && col < hi) return true;
    }
    return false;
  }

  float Height(int32_t row, int32_t col) const {
    uint32_t x = static_cast<uint32_t>(row) * 0x9E3779B1u ^ static_cast<uint32_t>(col) * 0x85EBCA77u ^ seed_;
    x ^= x >> 15;
    x *= 0x2C1B3C6Du;
    x ^= x >> 12;
    const float noise = static_cast<float>(x % 101) * 0.01f - 0.5f;
    return 900.0f + rowWave_[static_cast<size_t>(row)] + colWave_[static_cast<size_t>(col)] +
           rowRidge_[static_cast<size_t>(row)] * colRidge_[static_cast<size_t>(col)] + noise;
  }

 private:
  double Next() {
    state_ = state_ * 6364136223846793005ull + 1442695040888963407ull + seed_;
    return static_cast<double>(state_ >> 11) / 9007199254740992.0;
  }

  uint32_t seed_;
  uint64_t state_ = 0;
  std::vector<float> rowWave_, rowRidge_, colWave_, colRidge_;
  std::vector<int32_t> coast_;
  std::vector<std::vector<std::pair<int32_t, int32_t>>> holeSpans_;
};

}  // namespace dembase::testing

#endif  // DEMBASE_TESTS_SUPPORT_TERRAIN_H_
