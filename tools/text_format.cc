#include "tools/text_format.h"

#include <cmath>
#include <cstdio>

namespace dembase::tool {
namespace {
std::string Printf(const char* format, double v) {
  char text[64];
  std::snprintf(text, sizeof text, format, v);
  return text;
}
}  // namespace

std::string Num(double v) {
  if (std::isnan(v)) return "null";
  // Whole numbers in full (integer cells reach ten digits); others as float needs them.
  return v == std::trunc(v) && std::fabs(v) < 1e15 ? Printf("%.0f", v) : Printf("%.9g", v);
}

std::string Coord(double v) { return Printf("%.17g", v); }

std::string Bytes(uint64_t n) {
  const double v = static_cast<double>(n);
  if (n < 1024) return std::to_string(n) + " B";
  if (n < (uint64_t{1} << 20)) return Printf("%.1f KiB", v / 1024);
  if (n < (uint64_t{1} << 30)) return Printf("%.1f MiB", v / (1 << 20));
  return Printf("%.2f GiB", v / (1 << 30));
}

std::string Count(int64_t n, const std::string& thing) {
  return std::to_string(n) + " " + thing + (n == 1 ? "" : "s");
}

std::string Fixed(double v, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, v);
  return text;
}

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

std::string JsonNumber(double v) { return std::isfinite(v) ? Coord(v) : "null"; }

}  // namespace dembase::tool
