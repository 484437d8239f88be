// Fixed-width little-endian encoding over byte buffers, for every on-disk record.
// Bytes are shifted one at a time, so nothing depends on the host's byte order or on
// alignment. Floats and doubles travel as their IEEE 754 bit patterns.
//
// The Encode/Decode functions REQUIRE room for the value at the pointer; ByteReader and
// ByteWriter check a span instead and refuse (false) when it is too short.
#ifndef DEMBASE_FORMAT_CODING_H_
#define DEMBASE_FORMAT_CODING_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace dembase {

inline void EncodeFixed16(std::byte* dst, uint16_t v) {
  dst[0] = static_cast<std::byte>(v);
  dst[1] = static_cast<std::byte>(v >> 8);
}

inline void EncodeFixed32(std::byte* dst, uint32_t v) {
  for (int i = 0; i < 4; ++i) dst[i] = static_cast<std::byte>(v >> (8 * i));
}

inline void EncodeFixed64(std::byte* dst, uint64_t v) {
  for (int i = 0; i < 8; ++i) dst[i] = static_cast<std::byte>(v >> (8 * i));
}

inline uint16_t DecodeFixed16(const std::byte* p) {
  return static_cast<uint16_t>(std::to_integer<uint16_t>(p[0]) | std::to_integer<uint16_t>(p[1]) << 8);
}

inline uint32_t DecodeFixed32(const std::byte* p) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= std::to_integer<uint32_t>(p[i]) << (8 * i);
  return v;
}

inline uint64_t DecodeFixed64(const std::byte* p) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v |= std::to_integer<uint64_t>(p[i]) << (8 * i);
  return v;
}

inline void EncodeFloat(std::byte* dst, float v) { EncodeFixed32(dst, std::bit_cast<uint32_t>(v)); }
inline void EncodeDouble(std::byte* dst, double v) { EncodeFixed64(dst, std::bit_cast<uint64_t>(v)); }
inline float DecodeFloat(const std::byte* p) { return std::bit_cast<float>(DecodeFixed32(p)); }
inline double DecodeDouble(const std::byte* p) { return std::bit_cast<double>(DecodeFixed64(p)); }

// Writes fields one after another into a span. A put that does not fit writes
// nothing and makes ok() false for good, so a caller checks once at the end.
class ByteWriter {
 public:
  explicit ByteWriter(std::span<std::byte> out) : out_(out) {}

  [[nodiscard]] bool ok() const { return ok_; }
  size_t position() const { return pos_; }

  void PutU8(uint8_t v) {
    if (std::byte* p = Take(1)) *p = static_cast<std::byte>(v);
  }
  void PutU16(uint16_t v) {
    if (std::byte* p = Take(2)) EncodeFixed16(p, v);
  }
  void PutU32(uint32_t v) {
    if (std::byte* p = Take(4)) EncodeFixed32(p, v);
  }
  void PutU64(uint64_t v) {
    if (std::byte* p = Take(8)) EncodeFixed64(p, v);
  }
  void PutI16(int16_t v) { PutU16(static_cast<uint16_t>(v)); }
  void PutI32(int32_t v) { PutU32(static_cast<uint32_t>(v)); }
  void PutFloat(float v) { PutU32(std::bit_cast<uint32_t>(v)); }
  void PutDouble(double v) { PutU64(std::bit_cast<uint64_t>(v)); }
  void PutBytes(std::span<const std::byte> bytes) {
    if (std::byte* p = Take(bytes.size()); p && !bytes.empty()) std::memcpy(p, bytes.data(), bytes.size());
  }
  void PutFill(std::byte value, size_t n) {
    if (std::byte* p = Take(n); p && n > 0) std::memset(p, std::to_integer<int>(value), n);
  }

 private:
  std::byte* Take(size_t n) {
    if (!ok_ || out_.size() - pos_ < n) {
      ok_ = false;
      return nullptr;
    }
    std::byte* p = out_.data() + pos_;
    pos_ += n;
    return p;
  }

  std::span<std::byte> out_;
  size_t pos_ = 0;
  bool ok_ = true;
};

// Reads fields one after another from a span. A read that does not fit returns false
// and leaves both the output and the position unchanged.
class ByteReader {
 public:
  explicit ByteReader(std::span<const std::byte> in) : in_(in) {}

  size_t position() const { return pos_; }
  size_t remaining() const { return in_.size() - pos_; }

  [[nodiscard]] bool ReadU8(uint8_t* v) {
    const std::byte* p = Take(1);
    if (p) *v = std::to_integer<uint8_t>(*p);
    return p != nullptr;
  }
  [[nodiscard]] bool ReadU16(uint16_t* v) {
    const std::byte* p = Take(2);
    if (p) *v = DecodeFixed16(p);
    return p != nullptr;
  }
  [[nodiscard]] bool ReadU32(uint32_t* v) {
    const std::byte* p = Take(4);
    if (p) *v = DecodeFixed32(p);
    return p != nullptr;
  }
  [[nodiscard]] bool ReadU64(uint64_t* v) {
    const std::byte* p = Take(8);
    if (p) *v = DecodeFixed64(p);
    return p != nullptr;
  }
  [[nodiscard]] bool ReadI16(int16_t* v) {
    const std::byte* p = Take(2);
    if (p) *v = static_cast<int16_t>(DecodeFixed16(p));
    return p != nullptr;
  }
  [[nodiscard]] bool ReadI32(int32_t* v) {
    const std::byte* p = Take(4);
    if (p) *v = static_cast<int32_t>(DecodeFixed32(p));
    return p != nullptr;
  }
  [[nodiscard]] bool ReadFloat(float* v) {
    const std::byte* p = Take(4);
    if (p) *v = DecodeFloat(p);
    return p != nullptr;
  }
  [[nodiscard]] bool ReadDouble(double* v) {
    const std::byte* p = Take(8);
    if (p) *v = DecodeDouble(p);
    return p != nullptr;
  }
  // The next n bytes, viewed in place; false (no advance) when fewer remain.
  [[nodiscard]] bool ReadBytes(size_t n, std::span<const std::byte>* out) {
    if (n == 0) {
      *out = {};
      return true;
    }
    const std::byte* p = Take(n);
    if (p) *out = std::span<const std::byte>(p, n);
    return p != nullptr;
  }

 private:
  const std::byte* Take(size_t n) {
    if (in_.size() - pos_ < n) return nullptr;
    const std::byte* p = in_.data() + pos_;
    pos_ += n;
    return p;
  }

  std::span<const std::byte> in_;
  size_t pos_ = 0;
};

}  // namespace dembase

#endif  // DEMBASE_FORMAT_CODING_H_
