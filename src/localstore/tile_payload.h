// A tile's payload in a data file: the zlib stream of its 262144-byte block (packed 1)
// or the block itself (packed 0), located only by its TileIndexRec.
#ifndef DEMBASE_LOCALSTORE_TILE_PAYLOAD_H_
#define DEMBASE_LOCALSTORE_TILE_PAYLOAD_H_

#include <cstdint>
#include <span>

#include "dembase/dembase.h"
#include "platform/env.h"

namespace dembase {

// Room a payload may need on its way to or from disk: twice the block.
inline constexpr uint32_t kPayloadScratchBytes = 2 * 262144;

struct EncodedPayload {
  const uint8_t* data = nullptr;
  uint32_t size = 0;
  uint8_t packed = 0;
};

// The payload of block: compressed into scratch when compress is set and the codec
// succeeds, else the raw block. REQUIRES: scratch holds kPayloadScratchBytes.
EncodedPayload EncodePayload(const uint8_t* block, bool compress, std::span<uint8_t> scratch);

// Reads the payload rec describes from file (null: false) and inflates it into block (262144 bytes).
// False when the record's size or form is impossible, the read is short, or the stream
// does not inflate to exactly one block. REQUIRES: scratch holds kPayloadScratchBytes.
[[nodiscard]] bool ReadPayload(platform::File* file, const TileIndexRec& rec, uint8_t* block,
                               std::span<uint8_t> scratch);

}  // namespace dembase

#endif  // DEMBASE_LOCALSTORE_TILE_PAYLOAD_H_
