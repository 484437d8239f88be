// The bytes of a table file (layout in demvat.h): encoding a list of items and decoding a
// file's bytes back, with every rule of the format checked. No I/O here.
#ifndef DEMBASE_VAT_TABLE_CODEC_H_
#define DEMBASE_VAT_TABLE_CODEC_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "demvat.h"

namespace dembase::vat {

inline constexpr size_t kHeaderBytes = 16;
inline constexpr size_t kItemBytes = 16;
inline constexpr size_t kTrailerBytes = 4;
inline constexpr size_t kMaxTableBytes = kHeaderBytes + kItemBytes * DEMVAT_MAX_ITEMS + kTrailerBytes;
inline constexpr int32_t kNullValue = 2100000000;  // the null cell of an integer layer: never an item

// CRC-32 with the polynomial and conventions of zlib's crc32 (crc starts at 0).
uint32_t Crc32(std::span<const uint8_t> bytes, uint32_t crc = 0);

// Whether items obey the format: at most DEMVAT_MAX_ITEMS, values strictly ascending and
// not the null value, cells >= 1, classes in range.
bool ValidItems(std::span<const DemVatItem> items);

// REQUIRES: ValidItems(items).
std::vector<uint8_t> EncodeTable(std::span<const DemVatItem> items);

// 1 with *items filled, or DEMVAT_E_CORRUPT / DEMVAT_E_VERSION.
int32_t DecodeTable(std::span<const uint8_t> bytes, std::vector<DemVatItem>* items);

}  // namespace dembase::vat

#endif  // DEMBASE_VAT_TABLE_CODEC_H_
