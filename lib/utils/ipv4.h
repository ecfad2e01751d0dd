// IPv4 addresses with a prefix length, as used by net-client address lists and audit entries.
#ifndef KT_UTILS_IPV4_H_
#define KT_UTILS_IPV4_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kt {

struct ipv4_address {
  uint32_t address = 0;  // host byte order
  uint8_t prefix = 0;    // 0..32; 32 for a single host
};

inline ipv4_address ipv4_address_create() {
  return {};
}

// Parses "a.b.c.d", "a.b.c.d/len" or "a.b.c.d/m.m.m.m" (strict dotted decimal: exactly four
// parts of one to three digits, each at most 255; len is decimal digits only; a netmask must be
// contiguous ones, its count of ones becomes the prefix). Without a suffix the prefix is 32.
// Results: 0; -1 absent text, text of 130 characters or more, or an address that doesn't parse;
// -2 prefix over 32; -3 any other suffix that isn't a valid length ("", "x", "00", a
// non-contiguous mask). out is only written on success.
int ipv4_parse_addr(const char* text, ipv4_address& out);
int ipv4_parse_addr(std::string_view text, ipv4_address& out);

// Writes "a.b.c.d" (and "/prefix" when with_prefix) into buf, truncated to size. Returns 0.
int ipv4_to_string_r(const ipv4_address& addr, bool with_prefix, char* buf, size_t size);
std::string ipv4_to_string(const ipv4_address& addr, bool with_prefix);

// True when the top prefix bits of address and network agree; prefix 0 matches every address
// and a prefix over 32 counts as 32.
inline bool ipv4_address_in_network(uint32_t address, uint32_t network, uint8_t prefix) {
  if (prefix == 0) return true;
  const uint32_t mask = prefix >= 32 ? ~uint32_t{0} : ~uint32_t{0} << (32 - prefix);
  return ((address ^ network) & mask) == 0;
}

// 0 when both are absent or equal in address and prefix; 1 when only a is absent, -1 when only
// b is; equal prefixes: -3 when a's address is greater, 3 when smaller; different prefixes: 2
// when a's prefix is greater, -2 when smaller. Callers only test for 0.
int ipv4_compare(const ipv4_address* a, const ipv4_address* b);

}  // namespace kt

#endif  // KT_UTILS_IPV4_H_
