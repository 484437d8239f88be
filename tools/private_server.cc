#include "tools/private_server.h"

#include <stdio.h>
#include <unistd.h>

#include <optional>
#include <sstream>
#include <string>

namespace dembase::tool {
namespace {

// The script's output; nullopt when it could not run or failed (it said why on stderr).
std::optional<std::string> RunScript(const std::string& args) {
  FILE* p = popen(("'" DEMBASE_PG_SERVER_SCRIPT "' " + args).c_str(), "r");
  if (p == nullptr) return std::nullopt;
  std::string out;
  char buf[256];
  for (std::size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  if (pclose(p) != 0) return std::nullopt;
  return out;
}

}  // namespace

StatusOr<std::unique_ptr<PrivateServer>> PrivateServer::Start() {
  if (access(DEMBASE_PG_SERVER_SCRIPT, X_OK) != 0) return Error(DEMBASE_PG_SERVER_SCRIPT, "not found");
  std::istringstream lines(RunScript("start").value_or(""));
  std::string dir, conninfo;
  if (!std::getline(lines, dir) || !std::getline(lines, conninfo) || dir.empty() || conninfo.empty()) {
    return Error(DEMBASE_PG_SERVER_SCRIPT, "cannot start a private PostgreSQL server");
  }
  return std::unique_ptr<PrivateServer>(new PrivateServer(std::move(dir), std::move(conninfo)));
}

// The directory holds no quote: pg_server.sh names it itself.
PrivateServer::~PrivateServer() { (void)RunScript("stop '" + dir_ + "'"); }

}  // namespace dembase::tool
