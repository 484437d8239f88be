// Rasters the demo makes up, as RasterSources: each cell is a pure function of its row
// and column, so a verifier can ask for the same cells again.
#ifndef DEMBASE_TOOLS_DEMO_SOURCES_H_
#define DEMBASE_TOOLS_DEMO_SOURCES_H_

#include <cstdint>
#include <vector>

#include "tools/raster_source.h"

namespace dembase::tool {

// A terrain of size x size float cells in metres: six octaves of smoothed value noise,
// quantised to 1/16 m (so float holds it exactly). Null: the lowest ground (lakes) and a
// block in the north-east corner outside the survey, which leaves whole tiles empty.
class TerrainSource final : public RasterSource {
 public:
  explicit TerrainSource(int32_t size);
  int32_t rows() const override { return size_; }
  int32_t cols() const override { return size_; }
  Status ReadRows(int32_t row0, int32_t n, double* out) override;

 private:
  struct Octave {
    int32_t spacing;          // cells between lattice points
    double amplitude;
    std::vector<double> wx;   // smoothstep weight of each column between its lattice points
  };
  void FillRow(int32_t r, double* out);
  int32_t size_;
  std::vector<Octave> octaves_;
  std::vector<double> lattice_;  // scratch: one row of lattice values of an octave
};

// A grid of size x size cells whose values tell where each one belongs: r * size + c for
// integer layers, a pattern of sixteenths that float holds exactly for float layers.
class GridSource final : public RasterSource {
 public:
  GridSource(int32_t size, bool floatCells) : size_(size), floatCells_(floatCells) {}
  int32_t rows() const override { return size_; }
  int32_t cols() const override { return size_; }
  Status ReadRows(int32_t row0, int32_t n, double* out) override;
  double At(int32_t r, int32_t c) const;

 private:
  int32_t size_;
  bool floatCells_;
};

}  // namespace dembase::tool

#endif  // DEMBASE_TOOLS_DEMO_SOURCES_H_
