// Repeated measurements and their summary. A figure is whatever one run yields (a rate,
// a time, a size); a Sample keeps every run so the table can show the median and how far
// the runs spread around it.
#ifndef DEMBASE_BENCH_HARNESS_H_
#define DEMBASE_BENCH_HARNESS_H_

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dembase::bench {

struct Sample {
  std::vector<double> runs;

  bool empty() const { return runs.empty(); }
  double Median() const;
  double Min() const;
  double Max() const;
  // (max - min) / median: 0.05 means the runs lie within 5 % of the median.
  double Spread() const;
};

// Beyond this spread a figure is flagged as too noisy to trust.
inline constexpr double kTrustedSpread = 0.20;

class Stopwatch {
 public:
  Stopwatch() : start_(std::chrono::steady_clock::now()) {}
  double Seconds() const { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count(); }

 private:
  std::chrono::steady_clock::time_point start_;
};

// Peak resident set of this process (VmHWM) and its current one (VmRSS), in bytes.
std::optional<uint64_t> PeakResidentBytes();
std::optional<uint64_t> ResidentBytes();

// Runs argv[0] (looked up on PATH unless it holds a slash) with its output passed
// through; the seconds it took, or a negative figure when it did not exit with 0.
double RunCommand(const std::vector<std::string>& argv);

// Bytes of a file, or of every file below a directory.
uint64_t BytesOnDisk(const std::string& path);
// Makes `to` a copy of `from` (a file or a directory tree), replacing what to held, and
// syncs every file system so no writeback falls into the timed run that follows.
bool CopyAnew(const std::string& from, const std::string& to);

// Random cells of a rows x cols grid, the same for every seed on every machine.
struct CellPos {
  int32_t row;
  int32_t col;
};
std::vector<CellPos> RandomCells(size_t count, int32_t rows, int32_t cols, uint64_t seed);

}  // namespace dembase::bench

#endif  // DEMBASE_BENCH_HARNESS_H_
