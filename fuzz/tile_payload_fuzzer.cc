// Feeds a tile payload through the decode every local read uses (ReadPayload: the
// record's form and size, the read from the data file, the inflate into one 256 x 256 x
// 4-byte block), then the tile statistics of both cell types over what came out.
//
// Input: u8 packed | u8 offset | i32 size delta | u16 file KiB (10 bits) | data file bytes.
// The data file is those bytes, repeated out to file KiB when that is longer (so a raw
// block of 262144 bytes needs no large input); the record is {offset, packed,
// file size - offset + delta}.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "cells/cell_address.h"
#include "cells/cell_value.h"
#include "cells/tile_stats.h"
#include "fuzz/fuzz_support.h"
#include "localstore/tile_payload.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dembase;
  constexpr size_t kPrefix = 8;
  if (size < kPrefix) return 0;
  int32_t delta = 0;
  std::memcpy(&delta, data + 2, sizeof delta);
  const size_t fileBytes = std::max<size_t>(size - kPrefix, size_t{1024} * (data[6] | (data[7] & 3) << 8));
  std::vector<uint8_t> file(fileBytes);
  for (size_t i = kPrefix; i < size && i - kPrefix < fileBytes; ++i) file[i - kPrefix] = data[i];
  for (size_t i = size - kPrefix; size > kPrefix && i < fileBytes; ++i) file[i] = file[i % (size - kPrefix)];

  TileIndexRec rec{};
  rec.packed = data[0];
  rec.offset = data[1];
  rec.storedSize = static_cast<uint32_t>(static_cast<int64_t>(fileBytes) - rec.offset + delta);

  static std::vector<uint8_t> scratch(kPayloadScratchBytes);
  static std::vector<uint8_t> block(kTileBlockBytes);
  fuzz::MemoryFile source(file);
  if (!ReadPayload(&source, rec, block.data(), scratch)) return 0;
  const TileBlock cells(block.data(), block.size());
  for (const CellType type : {CellType::kInt32, CellType::kFloat32}) {
    const TileStats stats = ComputeTileStats(type, cells);
    fuzz::Require(stats.empty || stats.minimum <= stats.maximum, "a tile's minimum is not above its maximum");
  }
  return 0;
}
