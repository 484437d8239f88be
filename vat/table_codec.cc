#include "table_codec.h"

#include <array>
#include <cstring>

namespace dembase::vat {
namespace {

constexpr char kSignature[8] = {'D', 'E', 'M', 'V', 'A', 'T', '\r', '\n'};

constexpr std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}
constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();

void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Get32(const uint8_t* p) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
uint64_t Get64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

}  // namespace

uint32_t Crc32(std::span<const uint8_t> bytes, uint32_t crc) {
  crc = ~crc;
  for (const uint8_t b : bytes) crc = kCrcTable[(crc ^ b) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

bool ValidItems(std::span<const DemVatItem> items) {
  if (items.size() > DEMVAT_MAX_ITEMS) return false;
  for (size_t i = 0; i < items.size(); ++i) {
    const DemVatItem& it = items[i];
    if (it.value == kNullValue || it.cells < 1 || it.itemSet < 0 || it.itemSet > DEMVAT_MAX_ITEM_SETS) return false;
    if (i > 0 && items[i - 1].value >= it.value) return false;
  }
  return true;
}

std::vector<uint8_t> EncodeTable(std::span<const DemVatItem> items) {
  std::vector<uint8_t> out(kHeaderBytes + kItemBytes * items.size() + kTrailerBytes, 0);
  std::memcpy(out.data(), kSignature, sizeof kSignature);
  Put32(&out[8], DEMVAT_FORMAT_VERSION);
  Put32(&out[12], static_cast<uint32_t>(items.size()));
  uint8_t* p = &out[kHeaderBytes];
  for (const DemVatItem& it : items) {
    Put32(p, static_cast<uint32_t>(it.value));
    Put64(p + 4, it.cells);
    Put16(p + 12, static_cast<uint16_t>(it.itemSet));
    p += kItemBytes;  // the reserved field stays 0
  }
  Put32(p, Crc32(std::span<const uint8_t>(out.data(), out.size() - kTrailerBytes)));
  return out;
}

int32_t DecodeTable(std::span<const uint8_t> bytes, std::vector<DemVatItem>* items) {
  if (bytes.size() < kHeaderBytes + kTrailerBytes || std::memcmp(bytes.data(), kSignature, sizeof kSignature) != 0) {
    return DEMVAT_E_CORRUPT;
  }
  // The version decides the layout, so it is read before the length is judged.
  if (Get32(&bytes[8]) != DEMVAT_FORMAT_VERSION) return DEMVAT_E_VERSION;
  const uint32_t count = Get32(&bytes[12]);
  if (count > DEMVAT_MAX_ITEMS || bytes.size() != kHeaderBytes + kItemBytes * count + kTrailerBytes) {
    return DEMVAT_E_CORRUPT;
  }
  const size_t body = bytes.size() - kTrailerBytes;
  if (Crc32(bytes.first(body)) != Get32(&bytes[body])) return DEMVAT_E_CORRUPT;
  std::vector<DemVatItem> decoded(count);
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* p = &bytes[kHeaderBytes + kItemBytes * i];
    if (Get16(p + 14) != 0) return DEMVAT_E_CORRUPT;
    decoded[i].value = static_cast<int32_t>(Get32(p));
    decoded[i].cells = Get64(p + 4);
    decoded[i].itemSet = Get16(p + 12);
  }
  if (!ValidItems(decoded)) return DEMVAT_E_CORRUPT;
  *items = std::move(decoded);
  return 1;
}

}  // namespace dembase::vat
