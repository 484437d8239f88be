#include "tools/gdal_support.h"

#include <cpl_error.h>
#include <gdal.h>

#include <algorithm>

namespace dembase::tool {

GdalScope::GdalScope() {
  GDALAllRegister();
  CPLPushErrorHandler(CPLQuietErrorHandler);
}

GdalScope::~GdalScope() {
  CPLPopErrorHandler();
  GDALDestroy();
}

std::string GdalError(const std::string& fallback) {
  std::string message = CPLGetLastErrorType() != CE_None ? CPLGetLastErrorMsg() : "";
  if (message.empty()) return fallback;
  std::replace(message.begin(), message.end(), '\n', ' ');
  return message;
}

}  // namespace dembase::tool
