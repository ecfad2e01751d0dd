#include "objects/search.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "errors.h"
#include "xmldoc/xmldoc.h"

namespace orvane {

namespace {

// Bit 0x1 of a decimal "opt" value (digits up to the first other byte): the number is odd
// when its last digit is.
bool match_case(const kt::xmldoc_attr* opt) {
  if (opt == nullptr) return false;
  char last = '0';
  for (char c : opt->value) {
    if (c < '0' || c > '9') break;
    last = c;
  }
  return ((last - '0') & 0x1) != 0;
}

// A byte that stands for itself in an extended expression: printable ASCII other than the
// operators, brackets, anchors and the escape.
bool is_literal_byte(char c) {
  return c >= 0x20 && c <= 0x7e && std::strchr(".[]()*+?{}|^$\\", c) == nullptr;
}

// ASCII case folding, as the "C" locale folds.
char fold(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

regex_holder::~regex_holder() {
  if (compiled_) regfree(&re_);
}

int regex_holder::compile(const char* pattern, int cflags) {
  if (compiled_) return REG_BADPAT;
  const int rc = regcomp(&re_, pattern, cflags);
  compiled_ = rc == 0;
  if (compiled_) set_literal(pattern, cflags);
  return rc;
}

void regex_holder::set_literal(std::string_view pattern, int cflags) {
  const bool head = pattern.starts_with('^');
  if (head) pattern.remove_prefix(1);
  const bool tail = pattern.ends_with('$');
  if (tail) pattern.remove_suffix(1);
  if (pattern.empty() || !std::all_of(pattern.begin(), pattern.end(), is_literal_byte)) return;
  icase_ = (cflags & REG_ICASE) != 0;
  literal_.assign(pattern);
  if (icase_) std::transform(literal_.begin(), literal_.end(), literal_.begin(), fold);
  mode_ = head ? (tail ? mode::exact : mode::prefix) : (tail ? mode::suffix : mode::substring);
}

bool regex_holder::literal_match(std::string_view text) const {
  const size_t n = literal_.size();
  if (text.size() < n) return false;
  const auto equal_at = [&](size_t pos) {
    if (!icase_) return text.compare(pos, n, literal_) == 0;
    for (size_t i = 0; i < n; ++i) {
      if (fold(text[pos + i]) != literal_[i]) return false;
    }
    return true;
  };
  switch (mode_) {
    case mode::exact:
      return text.size() == n && equal_at(0);
    case mode::prefix:
      return equal_at(0);
    case mode::suffix:
      return equal_at(text.size() - n);
    case mode::substring:
      if (!icase_) return text.find(literal_) != std::string_view::npos;
      for (size_t pos = 0; pos + n <= text.size(); ++pos) {
        if (equal_at(pos)) return true;
      }
      return false;
    case mode::regex:
      break;
  }
  return false;
}

bool regex_holder::match(const char* text) const {
  if (!compiled_) return false;
  if (mode_ != mode::regex) return literal_match(text);
  return regexec(&re_, text, 0, nullptr, 0) == 0;
}

int search_pattern_compile(const kt::xmldoc_node& cmd, regex_holder& out) {
  const kt::xmldoc_node* s = cmd.get("s");
  if (s == nullptr || out.compiled()) return E_INVALID_REQUEST;
  const kt::xmldoc_attr* opt = s->attr_get("opt");
  if (opt == nullptr) opt = cmd.attr_get("opt");
  const std::string pattern = s->value().empty() ? std::string(".*") : s->value();
  int cflags = REG_EXTENDED | REG_NOSUB;
  if (!match_case(opt)) cflags |= REG_ICASE;
  return out.compile(pattern.c_str(), cflags) == 0 ? 0 : static_cast<int>(E_INVALID_REGEX);
}

}  // namespace orvane
