#include "registry/extent_snap.h"

#include <cmath>

namespace dembase {
namespace {

constexpr double kTolerance = 1e-6;

std::optional<int32_t> ToCount(double n) {
  if (!(n >= 0.0) || n > 2147483647.0) return std::nullopt;
  return static_cast<int32_t>(n);
}

}  // namespace

std::optional<int32_t> TileExtentCount(double extent, double cellSize, bool roundUp) {
  if (!std::isfinite(extent) || !std::isfinite(cellSize) || !(cellSize > 0.0)) return std::nullopt;
  const double q = extent / cellSize;
  if (!std::isfinite(q)) return std::nullopt;
  double ip;
  const double f = std::modf(q, &ip);
  if (roundUp && std::fabs(ip) < kTolerance) return ToCount(std::trunc(q));
  if (std::fabs(1.0 - f) < kTolerance) return ToCount(std::trunc(ip + f + 0.5));
  return ToCount(roundUp ? std::ceil(q) : std::trunc(q));
}

}  // namespace dembase
