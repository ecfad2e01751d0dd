#include "utils/base64.h"

#include <array>
#include <cstdint>
#include <new>

namespace kt {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr uint8_t kSkip = 64;  // line feed
constexpr uint8_t kEnd = 65;   // '='
constexpr uint8_t kInvalid = 255;

constexpr std::array<uint8_t, 256> make_decode_table() {
  std::array<uint8_t, 256> table{};
  for (auto& v : table) v = kInvalid;
  for (uint8_t i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = i;
  table['\n'] = kSkip;
  table['='] = kEnd;
  return table;
}

constexpr std::array<uint8_t, 256> kDecode = make_decode_table();

}  // namespace

std::string base64encode_(const void* bytes, size_t len) {
  const auto* in = static_cast<const unsigned char*>(bytes);
  std::string out;
  try {
    out.resize((len + 2) / 3 * 4);
  } catch (const std::bad_alloc&) {
    return {};
  }
  char* o = out.data();
  size_t i = 0;
  for (; i + 3 <= len; i += 3) {
    const uint32_t v = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2];
    *o++ = kAlphabet[v >> 18];
    *o++ = kAlphabet[(v >> 12) & 63];
    *o++ = kAlphabet[(v >> 6) & 63];
    *o++ = kAlphabet[v & 63];
  }
  if (i < len) {
    const bool two = i + 1 < len;
    const uint32_t v = (uint32_t{in[i]} << 16) | (two ? uint32_t{in[i + 1]} << 8 : 0);
    *o++ = kAlphabet[v >> 18];
    *o++ = kAlphabet[(v >> 12) & 63];
    *o++ = two ? kAlphabet[(v >> 6) & 63] : '=';
    *o++ = '=';
  }
  return out;
}

int base64decode_(const char* text, size_t len, std::string& out) {
  out.clear();
  if (text == nullptr) return len == 0 ? 0 : -1;
  try {
    out.resize(len / 4 * 3 + 2);
  } catch (const std::bad_alloc&) {
    return -1;
  }
  auto* o = reinterpret_cast<unsigned char*>(out.data());
  const auto* in = reinterpret_cast<const unsigned char*>(text);
  uint32_t acc = 0;
  int have = 0;
  for (size_t i = 0; i < len; ++i) {
    const uint8_t v = kDecode[in[i]];
    if (v < 64) {
      acc = (acc << 6) | v;
      if (++have == 4) {
        *o++ = static_cast<unsigned char>(acc >> 16);
        *o++ = static_cast<unsigned char>(acc >> 8);
        *o++ = static_cast<unsigned char>(acc);
        acc = 0;
        have = 0;
      }
    } else if (v == kSkip) {
      continue;
    } else if (v == kEnd) {
      break;
    } else {
      out.clear();
      return -1;
    }
  }
  if (have == 2) {
    *o++ = static_cast<unsigned char>(acc >> 4);
  } else if (have == 3) {
    *o++ = static_cast<unsigned char>(acc >> 10);
    *o++ = static_cast<unsigned char>(acc >> 2);
  }
  out.resize(static_cast<size_t>(o - reinterpret_cast<unsigned char*>(out.data())));
  return 0;
}

}  // namespace kt
