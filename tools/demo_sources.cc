#include "tools/demo_sources.h"

#include <cmath>

#include "tools/tile_strip.h"

namespace dembase::tool {
namespace {

// A lattice value in [0, 1) from its coordinates and octave (a 32-bit integer hash).
double LatticeValue(int32_t x, int32_t y, int32_t octave) {
  uint32_t h = static_cast<uint32_t>(x) * 0x8da6b343u ^ static_cast<uint32_t>(y) * 0xd8163841u ^
               static_cast<uint32_t>(octave) * 0xcb1ab31fu;
  h ^= h >> 16;
  h *= 0x7feb352du;
  h ^= h >> 15;
  h *= 0x846ca68bu;
  h ^= h >> 16;
  return (h >> 8) * (1.0 / 16777216.0);
}

double Smooth(double t) { return t * t * (3 - 2 * t); }

constexpr double kLakeLevel = 430;  // ground below this is water: null

}  // namespace

TerrainSource::TerrainSource(int32_t size) : size_(size) {
  double amplitude = 1;
  for (int32_t spacing = 1024; spacing >= 32; spacing /= 2, amplitude *= 0.5) {
    Octave o{spacing, amplitude, std::vector<double>(static_cast<size_t>(size))};
    for (int32_t c = 0; c < size; ++c) o.wx[static_cast<size_t>(c)] = Smooth(double(c % spacing) / spacing);
    octaves_.push_back(std::move(o));
  }
}

void TerrainSource::FillRow(int32_t r, double* out) {
  for (int32_t c = 0; c < size_; ++c) out[c] = 0;
  double total = 0;
  for (size_t k = 0; k < octaves_.size(); ++k) {
    const Octave& o = octaves_[k];
    const int32_t iy = r / o.spacing;
    const double wy = Smooth(double(r % o.spacing) / o.spacing);
    // The row's values at each lattice column, interpolated along y once per row.
    const int32_t points = size_ / o.spacing + 2;
    lattice_.resize(static_cast<size_t>(points));
    for (int32_t ix = 0; ix < points; ++ix) {
      const double a = LatticeValue(ix, iy, static_cast<int32_t>(k));
      const double b = LatticeValue(ix, iy + 1, static_cast<int32_t>(k));
      lattice_[static_cast<size_t>(ix)] = a + (b - a) * wy;
    }
    for (int32_t c = 0; c < size_; ++c) {
      const int32_t ix = c / o.spacing;
      const double a = lattice_[static_cast<size_t>(ix)];
      const double b = lattice_[static_cast<size_t>(ix) + 1];
      out[c] += o.amplitude * (a + (b - a) * o.wx[static_cast<size_t>(c)]);
    }
    total += o.amplitude;
  }
  const int32_t survey = size_ - size_ / 6;  // the north-east block beyond it is unsurveyed
  for (int32_t c = 0; c < size_; ++c) {
    const double height = std::round((150 + 1400 * out[c] / total) * 16) / 16;
    out[c] = height < kLakeLevel || (r < size_ / 6 && c >= survey) ? kNullCell : height;
  }
}

Status TerrainSource::ReadRows(int32_t row0, int32_t n, double* out) {
  for (int32_t i = 0; i < n; ++i) FillRow(row0 + i, out + static_cast<size_t>(i) * static_cast<size_t>(size_));
  return {};
}

double GridSource::At(int32_t r, int32_t c) const {
  if (floatCells_) return static_cast<double>((int64_t{r} * 7919 + int64_t{c} * 104729) % 65536) / 16;
  return static_cast<double>(r) * size_ + c;
}

Status GridSource::ReadRows(int32_t row0, int32_t n, double* out) {
  for (int32_t i = 0; i < n; ++i) {
    for (int32_t c = 0; c < size_; ++c) out[static_cast<size_t>(i) * static_cast<size_t>(size_) + c] = At(row0 + i, c);
  }
  return {};
}

}  // namespace dembase::tool
