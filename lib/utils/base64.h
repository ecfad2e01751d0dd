// Base64 (RFC 4648 standard alphabet with '+' and '/', '=' padding, no line breaks).
#ifndef KT_UTILS_BASE64_H_
#define KT_UTILS_BASE64_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace kt {

// Encodes len bytes; the result is padded with '=' to a multiple of four characters.
std::string base64encode_(const void* bytes, size_t len);
inline std::string base64encode_(std::string_view bytes) {
  return base64encode_(bytes.data(), bytes.size());
}

// Decodes len characters into out (replaced). A line feed is skipped; the first '=' ends
// decoding and the rest is ignored; any other character outside the alphabet (a carriage return
// or a zero byte included) fails. A trailing group of 2 or 3 characters yields 1 or 2 bytes; a
// lone trailing character yields nothing. Returns 0, or -1 on failure (out is then empty).
int base64decode_(const char* text, size_t len, std::string& out);
inline int base64decode_(std::string_view text, std::string& out) {
  return base64decode_(text.data(), text.size(), out);
}

}  // namespace kt

#endif  // KT_UTILS_BASE64_H_
