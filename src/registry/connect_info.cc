#include "registry/connect_info.h"

#include <cmath>
#include <cstddef>

namespace dembase {
namespace {

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Case-insensitive comparison of two zero-terminated strings kept in fields of n bytes.
bool FieldEqualNoCase(const char* a, const char* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    if (a[i] == '\0') return true;
  }
  return true;
}

template <size_t N>
bool Terminated(const char (&field)[N]) {
  for (size_t i = 0; i < N; ++i) {
    if (field[i] == '\0') return true;
  }
  return false;
}

}  // namespace

bool SameConnection(const DbConnectInfo& a, const DbConnectInfo& b) {
  return FieldEqualNoCase(a.dataSet, b.dataSet, sizeof a.dataSet) &&
         FieldEqualNoCase(a.connectArg1, b.connectArg1, sizeof a.connectArg1) &&
         FieldEqualNoCase(a.connectArg2, b.connectArg2, sizeof a.connectArg2) &&
         FieldEqualNoCase(a.connectArg3, b.connectArg3, sizeof a.connectArg3) &&
         a.connectKind == b.connectKind;
}

bool ConnectInfoIsTerminated(const DbConnectInfo& info) {
  return Terminated(info.dataSet) && Terminated(info.connectArg1) && Terminated(info.connectArg2) &&
         Terminated(info.connectArg3);
}

float ClampCacheFraction(float fraction) {
  if (std::isnan(fraction) || fraction < 0.125f) return 0.125f;
  if (fraction > 0.5f) return 0.5f;
  return fraction;
}

}  // namespace dembase
