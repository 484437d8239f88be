// Which layers of a database are open anywhere. Each connection that has a layer open
// holds a shared lock on byte `layer id` of a lock file beside the database (PATH-locks);
// deleting a layer takes that byte exclusively, so it fails while a connection in this
// process or another has the layer open. The locks belong to the connection's open file
// description (OFD locks), so they go with the connection, or with its process when that
// dies, and never with another connection's file.
#ifndef DEMBASE_RASTERDB_LAYER_LOCKS_H_
#define DEMBASE_RASTERDB_LAYER_LOCKS_H_

#include <cstdint>
#include <memory>
#include <string>

namespace dembase::rasterdb {

class LayerLocks {
 public:
  // nullptr when the lock file cannot be opened or made (a database in a directory that
  // takes no new files cannot have layers deleted either).
  static std::unique_ptr<LayerLocks> Open(const std::string& databasePath);
  ~LayerLocks();
  LayerLocks(const LayerLocks&) = delete;
  LayerLocks& operator=(const LayerLocks&) = delete;

  // Marks the layer open by this connection. False when the lock cannot be taken: the
  // layer is being deleted.
  [[nodiscard]] bool Share(int32_t layerId);
  // Takes the layer for deleting; false while another connection has it open.
  [[nodiscard]] bool TakeForDelete(int32_t layerId);
  // Drops what this connection holds on the layer (either kind).
  void Release(int32_t layerId);

 private:
  explicit LayerLocks(int fd) : fd_(fd) {}
  bool Lock(int32_t layerId, short type);
  int fd_;
};

}  // namespace dembase::rasterdb

#endif  // DEMBASE_RASTERDB_LAYER_LOCKS_H_
