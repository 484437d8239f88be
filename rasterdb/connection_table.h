// The process-wide table of connection handles. A handle is a small integer, never a pointer:
// 0 is never issued and numbers are not reused while the counter has fresh ones, so a stale
// handle finds nothing instead of someone else's connection. A child process after fork finds
// none of the connections it inherited: they belong to the parent. Safe from any thread.
#ifndef DEMBASE_RASTERDB_CONNECTION_TABLE_H_
#define DEMBASE_RASTERDB_CONNECTION_TABLE_H_

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "connection.h"

namespace dembase::rasterdb {

class ConnectionTable {
 public:
  [[nodiscard]] static ConnectionTable& Instance();

  // The new handle, or 0 when every number is taken.
  [[nodiscard]] uint32_t Add(std::shared_ptr<Connection> connection);
  // Null for an unknown handle.
  [[nodiscard]] std::shared_ptr<Connection> Find(uint32_t handle);
  // Takes the connection out of the table; null for an unknown handle.
  [[nodiscard]] std::shared_ptr<Connection> Remove(uint32_t handle);

 private:
  std::mutex mutex_;
  struct Entry {
    std::shared_ptr<Connection> connection;
    pid_t owner;  // the process that connected
  };
  std::unordered_map<uint32_t, Entry> connections_;
  uint32_t next_ = 1;
};

}  // namespace dembase::rasterdb

#endif  // DEMBASE_RASTERDB_CONNECTION_TABLE_H_
