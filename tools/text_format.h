// How the tool prints numbers.
#ifndef DEMBASE_TOOLS_TEXT_FORMAT_H_
#define DEMBASE_TOOLS_TEXT_FORMAT_H_

#include <cstdint>
#include <string>

namespace dembase::tool {

// A cell value or statistic: enough digits to give back the float; "null" for NaN.
std::string Num(double v);
// A coordinate or cell size: enough digits to give back the double.
std::string Coord(double v);
// Bytes for people: "12.3 MiB".
std::string Bytes(uint64_t n);
// "1 tile", "3 tiles".
std::string Count(int64_t n, const std::string& thing);
// A number with a fixed count of decimals.
std::string Fixed(double v, int decimals);
// JSON: a quoted, escaped string; a number ("null" when not finite).
std::string JsonString(const std::string& s);
std::string JsonNumber(double v);

}  // namespace dembase::tool

#endif  // DEMBASE_TOOLS_TEXT_FORMAT_H_
