#include "bench/report.h"

#include <algorithm>
#include <cmath>
#include <fstream>

namespace dembase::bench {
namespace {

bool AnyFailed(const std::vector<double>& seconds) {
  return std::any_of(seconds.begin(), seconds.end(), [](double s) { return !(s > 0); });
}

std::string Number(double v) {
  char buf[32];
  if (v >= 1e6) {
    std::snprintf(buf, sizeof buf, "%.3g M", v / 1e6);
  } else if (v >= 100) {
    std::snprintf(buf, sizeof buf, "%.0f", v);
  } else {
    std::snprintf(buf, sizeof buf, "%.3g", v);
  }
  return buf;
}

// "12.3 ±4%", with a '!' when the runs spread too widely to trust the median.
std::string Cell(const Sample& s) {
  if (s.empty()) return "failed";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s ±%.0f%%%s", Number(s.Median()).c_str(), 100 * s.Spread(),
                s.Spread() > kTrustedSpread ? "!" : "");
  return buf;
}

std::string Ratio(const Sample& ours, const Sample& ref) {
  if (ours.empty() || ref.empty() || ref.Median() == 0) return "-";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f", ours.Median() / ref.Median());
  return buf;
}

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string JsonNumber(double v) {
  if (!std::isfinite(v)) return "null";
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  return buf;
}

std::string JsonFigure(const Figure& f, const Sample* ours) {
  std::string out = "{\"label\": " + JsonString(f.label);
  if (f.sample.empty()) return out + ", \"failed\": true}";
  out += ", \"median\": " + JsonNumber(f.sample.Median()) + ", \"min\": " + JsonNumber(f.sample.Min()) +
         ", \"max\": " + JsonNumber(f.sample.Max()) + ", \"spread\": " + JsonNumber(f.sample.Spread()) +
         ", \"runs\": [";
  for (size_t i = 0; i < f.sample.runs.size(); ++i) out += (i ? ", " : "") + JsonNumber(f.sample.runs[i]);
  out += "]";
  if (ours != nullptr && !ours->empty() && f.sample.Median() != 0) {
    out += ", \"ratio\": " + JsonNumber(ours->Median() / f.sample.Median());
  }
  return out + "}";
}

}  // namespace

Sample RatesOf(const std::vector<double>& seconds, double amount) {
  Sample s;
  if (AnyFailed(seconds)) return s;
  for (double t : seconds) s.runs.push_back(amount / t);
  return s;
}

Sample TimesOf(const std::vector<double>& seconds, double scale) {
  Sample s;
  if (AnyFailed(seconds)) return s;
  for (double t : seconds) s.runs.push_back(t * scale);
  return s;
}

void PrintTable(const std::vector<Row>& rows, std::FILE* out) {
  const char* format = "%-50s %-9s %-14s %-46s %-14s %6s\n";
  std::fprintf(out, format, "workload", "unit", "dembase", "reference in the same run", "reference", "ratio");
  std::fprintf(out, "%s\n", std::string(144, '-').c_str());
  bool noisy = false;
  for (const Row& row : rows) {
    const std::string unit = row.unit + (row.higherIsBetter ? " ^" : " v");
    noisy = noisy || row.ours.sample.Spread() > kTrustedSpread;
    for (size_t i = 0; i < std::max<size_t>(1, row.references.size()); ++i) {
      const bool first = i == 0;
      const Figure* ref = i < row.references.size() ? &row.references[i] : nullptr;
      if (ref != nullptr) noisy = noisy || ref->sample.Spread() > kTrustedSpread;
      std::fprintf(out, format, first ? row.workload.c_str() : "", first ? unit.c_str() : "",
                   first ? Cell(row.ours.sample).c_str() : "", ref ? ref->label.c_str() : "",
                   ref ? Cell(ref->sample).c_str() : "", ref ? Ratio(row.ours.sample, ref->sample).c_str() : "");
    }
  }
  std::fprintf(out,
               "\nmedian of the runs ±(max - min) / median; ratio = dembase / reference; "
               "^ higher is better, v lower is better\n");
  if (noisy) {
    std::fprintf(out, "! the runs spread more than %.0f %%: the machine was busy, do not trust that median\n",
                 100 * kTrustedSpread);
  }
}

bool WriteJson(const std::vector<Row>& rows, const std::vector<std::pair<std::string, std::string>>& context,
               const std::string& path) {
  std::ofstream out(path);
  out << "{\n  \"context\": {";
  for (size_t i = 0; i < context.size(); ++i) {
    out << (i ? ", " : "") << JsonString(context[i].first) << ": " << JsonString(context[i].second);
  }
  out << "},\n  \"rows\": [\n";
  for (size_t i = 0; i < rows.size(); ++i) {
    const Row& r = rows[i];
    out << "    {\"workload\": " << JsonString(r.workload) << ", \"unit\": " << JsonString(r.unit)
        << ", \"higher_is_better\": " << (r.higherIsBetter ? "true" : "false")
        << ",\n     \"dembase\": " << JsonFigure(r.ours, nullptr) << ",\n     \"references\": [";
    for (size_t k = 0; k < r.references.size(); ++k) {
      out << (k ? ",\n       " : "\n       ") << JsonFigure(r.references[k], &r.ours.sample);
    }
    out << "]}" << (i + 1 < rows.size() ? "," : "") << "\n";
  }
  out << "  ]\n}\n";
  return static_cast<bool>(out);
}

}  // namespace dembase::bench
