// GDAL as the tool uses it: drivers registered once for the process, GDAL's own error
// printing silenced, and its last error turned into the cause of one error line.
#ifndef DEMBASE_TOOLS_GDAL_SUPPORT_H_
#define DEMBASE_TOOLS_GDAL_SUPPORT_H_

#include <string>

namespace dembase::tool {

// Registers the drivers and silences GDAL's messages; on destruction releases what GDAL
// holds. One per process, made by main before any command runs.
class GdalScope {
 public:
  GdalScope();
  ~GdalScope();
  GdalScope(const GdalScope&) = delete;
  GdalScope& operator=(const GdalScope&) = delete;
};

// GDAL's last error message on one line, or `fallback` when there is none.
std::string GdalError(const std::string& fallback);

}  // namespace dembase::tool

#endif  // DEMBASE_TOOLS_GDAL_SUPPORT_H_
