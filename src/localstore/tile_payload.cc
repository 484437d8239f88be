#include "localstore/tile_payload.h"

#include "cache/tile_codec.h"
#include "cells/cell_address.h"

namespace dembase {

EncodedPayload EncodePayload(const uint8_t* block, bool compress, std::span<uint8_t> scratch) {
  if (compress && scratch.size() >= kPayloadScratchBytes) {
    uint32_t n = 0;
    if (CompressTile(block, kTileBlockBytes, scratch.data(), &n) == 1) return EncodedPayload{scratch.data(), n, 1};
  }
  // A failed compression is no error: the raw block is stored instead.
  return EncodedPayload{block, static_cast<uint32_t>(kTileBlockBytes), 0};
}

bool ReadPayload(platform::File* file, const TileIndexRec& rec, uint8_t* block, std::span<uint8_t> scratch) {
  if (file == nullptr) return false;
  if (rec.packed == 1) {
    if (rec.storedSize == 0 || rec.storedSize > scratch.size()) return false;
    return file->ReadAt(rec.offset, std::as_writable_bytes(scratch.first(rec.storedSize))) &&
           UncompressTile(scratch.data(), rec.storedSize, block, kTileBlockBytes) == 1;
  }
  if (rec.packed != 0 || rec.storedSize != kTileBlockBytes) return false;
  return file->ReadAt(rec.offset, std::as_writable_bytes(std::span<uint8_t>(block, kTileBlockBytes)));
}

}  // namespace dembase
