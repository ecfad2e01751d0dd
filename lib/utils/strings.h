// String helpers: first-occurrence replacement and splitting at a delimiter byte.
#ifndef KT_UTILS_STRINGS_H_
#define KT_UTILS_STRINGS_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kt {

// Replaces only the first occurrence of pattern in text. *replaced (when given) becomes true
// when pattern occurred; otherwise text comes back unchanged. An empty pattern never occurs, so
// calling this in a loop until nothing is replaced always ends.
std::string strreplace(std::string_view text, std::string_view pattern,
                       std::string_view replacement, bool* replaced = nullptr);

// The fields of a text split at every occurrence of a delimiter byte: count = delimiters + 1,
// empty fields kept ("a--b" at '-' gives "a", "", "b"; "" gives one empty field). The text ends
// at its first zero byte, so a zero-padded record field can be passed whole.
struct split {
  split() = default;
  split(std::string_view text, char delimiter) { assign(text, delimiter); }

  // Splits text into this record. Returns 0, or -1 (logged; the record left empty) when memory
  // runs out.
  int assign(std::string_view text, char delimiter);

  uint32_t count = 0;  // fields.size(); 0 only when empty or after a failure
  std::vector<std::string> fields;
};

}  // namespace kt

#endif  // KT_UTILS_STRINGS_H_
