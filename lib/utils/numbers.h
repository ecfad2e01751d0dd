// Decimal parsing, number-to-text converters, big-endian packing and byte comparisons.
#ifndef KT_UTILS_NUMBERS_H_
#define KT_UTILS_NUMBERS_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kt {

// The unsigned decimal number at the start of text (its leading digits, up to the first other
// byte), saturating at max; 0 when text does not start with a digit.
uint64_t decimal_prefix(std::string_view text, uint64_t max = UINT64_MAX);
// The same, telling in *digits how many bytes the number took (0 when text does not start with
// a digit).
uint64_t decimal_prefix(std::string_view text, uint64_t max, size_t* digits);
// The whole text as an unsigned decimal number no greater than max: false (and *out untouched)
// for an empty text, a byte that is not a digit, or a number above max.
bool decimal_parse(std::string_view text, uint64_t max, uint64_t* out);

// Decimal text of the value into buf (truncated to size); each returns buf.
char* u82str_r(uint8_t value, char* buf, size_t size);
char* u162str_r(uint16_t value, char* buf, size_t size);
char* u322str_r(uint32_t value, char* buf, size_t size);
char* u642str_r(uint64_t value, char* buf, size_t size);

// The unsigned 32-bit number stored big-endian at bytes + offset.
inline uint32_t be_byte2uint32(const uint8_t* bytes, size_t offset) {
  const uint8_t* p = bytes + offset;
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

// Stores value big-endian in bytes[0..3].
inline void be_uint322byte(uint32_t value, uint8_t* bytes) {
  bytes[0] = static_cast<uint8_t>(value >> 24);
  bytes[1] = static_cast<uint8_t>(value >> 16);
  bytes[2] = static_cast<uint8_t>(value >> 8);
  bytes[3] = static_cast<uint8_t>(value);
}

// Compares len bytes as unsigned numbers: 0 when equal, else -1 or 1 by the first differing
// byte (a smaller gives -1).
int bytecmp(const void* a, const void* b, size_t len);

// 0 when the len bytes are equal, non-zero otherwise; takes the same time wherever the first
// difference is. Use it for digests and other secrets.
int bytecmp_ct(const void* a, const void* b, size_t len);

}  // namespace kt

#endif  // KT_UTILS_NUMBERS_H_
