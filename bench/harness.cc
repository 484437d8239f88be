#include "bench/harness.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

extern char** environ;

namespace dembase::bench {

double Sample::Median() const {
  if (runs.empty()) return 0;
  std::vector<double> sorted = runs;
  std::sort(sorted.begin(), sorted.end());
  const size_t n = sorted.size();
  return n % 2 == 1 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
}

double Sample::Min() const { return runs.empty() ? 0 : *std::min_element(runs.begin(), runs.end()); }
double Sample::Max() const { return runs.empty() ? 0 : *std::max_element(runs.begin(), runs.end()); }

double Sample::Spread() const {
  const double m = Median();
  return m == 0 ? 0 : (Max() - Min()) / m;
}

namespace {

std::optional<uint64_t> StatusField(const std::string& key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(key, 0) != 0) continue;
    // "VmHWM:     123456 kB"
    return std::stoull(line.substr(key.size())) * 1024;
  }
  return std::nullopt;
}

}  // namespace

std::optional<uint64_t> PeakResidentBytes() { return StatusField("VmHWM:"); }
std::optional<uint64_t> ResidentBytes() { return StatusField("VmRSS:"); }

double RunCommand(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const Stopwatch watch;
  pid_t pid = 0;
  if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) {
    std::fprintf(stderr, "cannot run %s\n", args[0]);
    return -1;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  const double seconds = watch.Seconds();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "%s failed\n", args[0]);
    return -1;
  }
  return seconds;
}

uint64_t BytesOnDisk(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (fs::is_regular_file(path, ec)) return fs::file_size(path, ec);
  uint64_t total = 0;
  for (const auto& entry : fs::recursive_directory_iterator(path, ec)) {
    if (entry.is_regular_file(ec)) total += entry.file_size(ec);
  }
  return total;
}

bool CopyAnew(const std::string& from, const std::string& to) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::remove_all(to, ec);
  fs::copy(from, to, fs::copy_options::recursive, ec);
  if (ec) return false;
  // A copy precedes a timed run: the kernel must not write it back (nor what an earlier
  // run left unsynced, as GDAL's closes do) while the next run is timed.
  sync();
  return true;
}

std::vector<CellPos> RandomCells(size_t count, int32_t rows, int32_t cols, uint64_t seed) {
  // splitmix64: a fixed generator, so every run and machine visits the same cells.
  uint64_t state = seed;
  auto next = [&state] {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  };
  std::vector<CellPos> cells(count);
  for (CellPos& p : cells) {
    p.row = static_cast<int32_t>(next() % static_cast<uint64_t>(rows));
    p.col = static_cast<int32_t>(next() % static_cast<uint64_t>(cols));
  }
  return cells;
}

}  // namespace dembase::bench
