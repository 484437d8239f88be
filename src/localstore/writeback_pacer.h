// WritebackPacer: asks the system to start writing a level's new payload bytes every few
// MiB, so the fsync that ends a level close or a whole-level write finds little left to
// flush and the disk works while the next tiles are compressed.
#ifndef DEMBASE_LOCALSTORE_WRITEBACK_PACER_H_
#define DEMBASE_LOCALSTORE_WRITEBACK_PACER_H_

#include <cstdint>

#include "platform/env.h"

namespace dembase {

class WritebackPacer {
 public:
  // bytes were just written to file.
  void Wrote(platform::File& file, uint64_t bytes) {
    pending_ += bytes;
    if (pending_ < kEvery) return;
    file.StartWriteback();
    pending_ = 0;
  }

 private:
  static constexpr uint64_t kEvery = uint64_t{8} << 20;
  uint64_t pending_ = 0;
};

}  // namespace dembase

#endif  // DEMBASE_LOCALSTORE_WRITEBACK_PACER_H_
