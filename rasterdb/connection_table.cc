#include "connection_table.h"

#include <unistd.h>

#include <utility>

namespace dembase::rasterdb {

ConnectionTable& ConnectionTable::Instance() {
  // Destroyed at exit, which closes what callers left open (rolling back unended batches).
  static ConnectionTable table;
  return table;
}

uint32_t ConnectionTable::Add(std::shared_ptr<Connection> connection) {
  std::lock_guard lock(mutex_);
  // Counting on from the last handle; only after 2^32 connects does a number come round again,
  // and then only one that is free.
  for (uint64_t tries = 0; tries < UINT32_MAX; ++tries) {
    const uint32_t handle = next_;
    next_ = next_ == UINT32_MAX ? 1 : next_ + 1;
    if (connections_.try_emplace(handle, Entry{connection, getpid()}).second) return handle;
  }
  return 0;
}

std::shared_ptr<Connection> ConnectionTable::Find(uint32_t handle) {
  std::lock_guard lock(mutex_);
  auto it = connections_.find(handle);
  return it == connections_.end() || it->second.owner != getpid() ? nullptr : it->second.connection;
}

std::shared_ptr<Connection> ConnectionTable::Remove(uint32_t handle) {
  std::lock_guard lock(mutex_);
  auto it = connections_.find(handle);
  if (it == connections_.end() || it->second.owner != getpid()) return nullptr;
  std::shared_ptr<Connection> connection = std::move(it->second.connection);
  connections_.erase(it);
  return connection;
}

}  // namespace dembase::rasterdb
