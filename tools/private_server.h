// A private PostgreSQL server for one run of the tool (scripts/pg_server.sh): a fresh cluster
// on a Unix socket in a temporary directory, stopped and removed with this object.
#ifndef DEMBASE_TOOLS_PRIVATE_SERVER_H_
#define DEMBASE_TOOLS_PRIVATE_SERVER_H_

#include <memory>
#include <string>

#include "tools/status.h"

namespace dembase::tool {

class PrivateServer {
 public:
  [[nodiscard]] static StatusOr<std::unique_ptr<PrivateServer>> Start();
  ~PrivateServer();
  PrivateServer(const PrivateServer&) = delete;
  PrivateServer& operator=(const PrivateServer&) = delete;

  const std::string& conninfo() const { return conninfo_; }

 private:
  PrivateServer(std::string dir, std::string conninfo) : dir_(std::move(dir)), conninfo_(std::move(conninfo)) {}
  std::string dir_;
  std::string conninfo_;
};

}  // namespace dembase::tool

#endif  // DEMBASE_TOOLS_PRIVATE_SERVER_H_
