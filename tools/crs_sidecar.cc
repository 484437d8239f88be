#include "tools/crs_sidecar.h"

#include <ogr_spatialref.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace dembase::tool {
namespace {
// Larger than any WKT GDAL writes; a bigger file is not ours.
constexpr std::uintmax_t kMaxCrsBytes = 1 << 20;
}  // namespace

StatusOr<std::string> ReadCrs(const LayerRef& ref) {
  if (!ref.local()) return std::string();
  std::error_code ec;
  if (!std::filesystem::exists(ref.crsPath, ec)) return std::string();
  const std::uintmax_t size = std::filesystem::file_size(ref.crsPath, ec);
  if (ec) return Error(ref.crsPath, ec.message());
  if (size > kMaxCrsBytes) return Error(ref.crsPath, "too large for a reference system");
  std::ifstream in(ref.crsPath, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  if (!in) return Error(ref.crsPath, "cannot read");
  std::string wkt = text.str();
  OGRSpatialReference srs;
  if (!wkt.empty() && srs.importFromWkt(wkt.c_str()) != OGRERR_NONE) {
    return Error(ref.crsPath, "not a reference system in WKT");
  }
  return wkt;
}

Status WriteCrs(const LayerRef& ref, const std::string& wkt) {
  const std::string part = ref.crsPath + ".part";
  {
    std::ofstream out(part, std::ios::binary | std::ios::trunc);
    out << wkt << '\n';
    out.close();
    if (!out) {
      std::remove(part.c_str());
      return Error(part, "cannot write");
    }
  }
  if (std::rename(part.c_str(), ref.crsPath.c_str()) != 0) {
    const std::string cause = std::strerror(errno);
    std::remove(part.c_str());
    return Error(ref.crsPath, cause);
  }
  return {};
}

std::string CrsName(const std::string& wkt) {
  OGRSpatialReference srs;
  if (wkt.empty() || srs.importFromWkt(wkt.c_str()) != OGRERR_NONE) return "";
  const char* name = srs.GetName();
  return name != nullptr ? name : "";
}

}  // namespace dembase::tool
