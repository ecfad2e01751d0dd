#include "utils/numbers.h"

#include <charconv>
#include <cinttypes>
#include <cstdio>

namespace kt {

uint64_t decimal_prefix(std::string_view text, uint64_t max) {
  size_t digits = 0;
  return decimal_prefix(text, max, &digits);
}

uint64_t decimal_prefix(std::string_view text, uint64_t max, size_t* digits) {
  uint64_t v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  *digits = ec == std::errc::invalid_argument ? 0 : static_cast<size_t>(end - text.data());
  if (ec == std::errc::result_out_of_range) return max;
  if (ec != std::errc() || end == text.data()) return 0;
  return v > max ? max : v;
}

bool decimal_parse(std::string_view text, uint64_t max, uint64_t* out) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  uint64_t v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || v > max) return false;
  *out = v;
  return true;
}

namespace {

char* format_unsigned(uint64_t value, char* buf, size_t size) {
  if (buf != nullptr && size > 0) std::snprintf(buf, size, "%" PRIu64, value);
  return buf;
}

}  // namespace

char* u82str_r(uint8_t value, char* buf, size_t size) {
  return format_unsigned(value, buf, size);
}
char* u162str_r(uint16_t value, char* buf, size_t size) {
  return format_unsigned(value, buf, size);
}
char* u322str_r(uint32_t value, char* buf, size_t size) {
  return format_unsigned(value, buf, size);
}
char* u642str_r(uint64_t value, char* buf, size_t size) {
  return format_unsigned(value, buf, size);
}

int bytecmp(const void* a, const void* b, size_t len) {
  const auto* x = static_cast<const unsigned char*>(a);
  const auto* y = static_cast<const unsigned char*>(b);
  for (size_t i = 0; i < len; ++i) {
    if (x[i] != y[i]) return x[i] < y[i] ? -1 : 1;
  }
  return 0;
}

int bytecmp_ct(const void* a, const void* b, size_t len) {
  const auto* x = static_cast<const volatile unsigned char*>(a);
  const auto* y = static_cast<const volatile unsigned char*>(b);
  unsigned char diff = 0;
  for (size_t i = 0; i < len; ++i) diff |= static_cast<unsigned char>(x[i] ^ y[i]);
  return diff != 0 ? 1 : 0;
}

}  // namespace kt
