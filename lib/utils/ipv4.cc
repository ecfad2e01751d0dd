#include "utils/ipv4.h"
#include "utils/numbers.h"

#include <bit>
#include <cstdio>
#include <cstring>

namespace kt {

namespace {

constexpr size_t kMaxText = 130;  // text must be shorter

// Strict dotted decimal "a.b.c.d" into host byte order.
bool parse_dotted(std::string_view text, uint32_t& out) {
  uint32_t value = 0;
  size_t pos = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (pos >= text.size() || text[pos] != '.') return false;
      ++pos;
    }
    size_t digits = 0;
    const uint64_t octet = decimal_prefix(text.substr(pos), UINT64_MAX, &digits);
    pos += digits;
    if (digits == 0 || digits > 3 || octet > 255) return false;
    value = (value << 8) | octet;
  }
  if (pos != text.size()) return false;
  out = value;
  return true;
}

}  // namespace

int ipv4_parse_addr(std::string_view text, ipv4_address& out) {
  if (text.size() >= kMaxText) return -1;
  const size_t slash = text.find('/');
  uint32_t address = 0;
  if (!parse_dotted(text.substr(0, slash), address)) return -1;
  uint8_t prefix = 32;
  if (slash != std::string_view::npos) {
    const std::string_view suffix = text.substr(slash + 1);
    uint32_t mask = 0;
    if (parse_dotted(suffix, mask)) {
      // Contiguous ones: the inverted mask plus one is a power of two (or zero for /32).
      const uint32_t inverted = ~mask;
      if ((inverted & (inverted + 1)) != 0) return -3;
      prefix = static_cast<uint8_t>(std::popcount(mask));
    } else if (suffix == "0") {
      prefix = 0;
    } else {
      if (suffix.find_first_not_of("0123456789") != std::string_view::npos) return -3;
      const uint64_t length = decimal_prefix(suffix, 33);
      if (length > 32) return -2;
      if (length == 0) return -3;  // "", "00", ...
      prefix = static_cast<uint8_t>(length);
    }
  }
  out.address = address;
  out.prefix = prefix;
  return 0;
}

int ipv4_parse_addr(const char* text, ipv4_address& out) {
  if (text == nullptr) return -1;
  const size_t len = strnlen(text, kMaxText);
  if (len >= kMaxText) return -1;
  return ipv4_parse_addr(std::string_view(text, len), out);
}

int ipv4_to_string_r(const ipv4_address& addr, bool with_prefix, char* buf, size_t size) {
  if (buf == nullptr || size == 0) return 0;
  const uint32_t a = addr.address;
  if (with_prefix) {
    std::snprintf(buf, size, "%u.%u.%u.%u/%u", a >> 24, (a >> 16) & 255, (a >> 8) & 255, a & 255,
                  static_cast<unsigned>(addr.prefix));
  } else {
    std::snprintf(buf, size, "%u.%u.%u.%u", a >> 24, (a >> 16) & 255, (a >> 8) & 255, a & 255);
  }
  return 0;
}

std::string ipv4_to_string(const ipv4_address& addr, bool with_prefix) {
  char buf[24];
  ipv4_to_string_r(addr, with_prefix, buf, sizeof buf);
  return buf;
}

int ipv4_compare(const ipv4_address* a, const ipv4_address* b) {
  if (a == nullptr && b == nullptr) return 0;
  if (a == nullptr) return 1;
  if (b == nullptr) return -1;
  if (a->prefix == b->prefix) {
    if (a->address == b->address) return 0;
    return a->address > b->address ? -3 : 3;
  }
  return a->prefix > b->prefix ? 2 : -2;
}

}  // namespace kt
