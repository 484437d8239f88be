// The comparison table: each workload's dembase figure beside its references from the
// same run, the median of the runs with their spread, and the ratio dembase / reference.
// Printed for people, written as JSON for scripts.
#ifndef DEMBASE_BENCH_REPORT_H_
#define DEMBASE_BENCH_REPORT_H_

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "bench/harness.h"

namespace dembase::bench {

struct Figure {
  std::string label;
  Sample sample;
};

struct Row {
  std::string workload;
  std::string unit;
  bool higherIsBetter = true;
  Figure ours;
  std::vector<Figure> references;
};

// Runs of a workload that each answered seconds, as amount / seconds per run; a failed
// run (negative seconds) leaves the sample empty, so the table shows the failure.
Sample RatesOf(const std::vector<double>& seconds, double amount);
// Runs of a workload that each answered seconds, as seconds x scale.
Sample TimesOf(const std::vector<double>& seconds, double scale);

void PrintTable(const std::vector<Row>& rows, std::FILE* out);
// context: name / value pairs describing the run (machine, DEM, cache sizes).
bool WriteJson(const std::vector<Row>& rows, const std::vector<std::pair<std::string, std::string>>& context,
               const std::string& path);

}  // namespace dembase::bench

#endif  // DEMBASE_BENCH_REPORT_H_
