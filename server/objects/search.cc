#include "objects/search.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "errors.h"
#include "utils/numbers.h"
#include "xmldoc/xmldoc.h"

namespace orvane {

namespace {

// Bit 0x1 of a decimal "opt" value (digits up to the first other byte): the number is odd when
// its last digit is, however many digits it has.
bool match_case(const kt::xmldoc_attr* opt) {
  if (opt == nullptr) return false;
  size_t digits = 0;
  kt::decimal_prefix(opt->value, UINT64_MAX, &digits);
  return digits > 0 && ((opt->value[digits - 1] - '0') & 0x1) != 0;
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

// Reads a repetition count "{m}", "{m,}" or "{m,n}" at p[i] (just after '{'). The count that
// regcomp will copy the expression for: n, or m + 1 for an open bound. False when the text is
// no interval (regcomp then takes the brace literally or refuses it).
bool read_interval(std::string_view p, size_t* i, uint64_t* copies) {
  size_t j = *i;
  const auto number = [&](uint64_t* out) {
    size_t digits = 0;
    *out = kt::decimal_prefix(p.substr(j), 1000000, &digits);
    j += digits;
    return digits > 0;
  };
  uint64_t m = 0;
  uint64_t n = 0;
  const bool has_m = number(&m);
  bool open = false;
  if (j < p.size() && p[j] == ',') {
    ++j;
    open = !number(&n);
  } else {
    n = m;
  }
  if (!has_m && !open && n == 0) return false;
  if (j >= p.size() || p[j] != '}') return false;
  *i = j + 1;
  *copies = std::max<uint64_t>({1, open ? m + 1 : n, m});
  return true;
}

// Skips a bracket expression starting at p[i] == '['; i ends after its closing ']' (or at the
// end of an unterminated one, which regcomp refuses).
void skip_bracket(std::string_view p, size_t* i) {
  size_t j = *i + 1;
  if (j < p.size() && p[j] == '^') ++j;
  if (j < p.size() && p[j] == ']') ++j;  // a leading ']' is a member
  while (j < p.size() && p[j] != ']') {
    if (p[j] == '[' && j + 1 < p.size() && std::strchr(":.=", p[j + 1]) != nullptr) {
      const char kind = p[j + 1];
      j += 2;
      while (j + 1 < p.size() && !(p[j] == kind && p[j + 1] == ']')) ++j;
      j += 2;
      continue;
    }
    ++j;
  }
  *i = std::min(j + 1, p.size());
}

}  // namespace

uint32_t search_pattern_check(std::string_view p) {
  if (p.size() > kSearchPatternMaxBytes) return E_INVALID_REGEX;
  // One frame per open group: atoms counted so far (alternatives add up), and the size and
  // repetition product of the last atom or group, which a repetition operator multiplies.
  struct frame {
    uint64_t total = 0;
    uint64_t last = 0;
    uint64_t last_product = 1;
    uint64_t product = 1;  // the largest repetition product inside
  };
  std::vector<frame> stack(1);
  const auto repeat = [&](uint64_t copies) {
    frame& f = stack.back();
    f.total += f.last * (copies - 1);
    f.last *= copies;
    f.last_product *= copies;
    f.product = std::max(f.product, f.last_product);
    return f.product <= kSearchPatternMaxRepeat && f.total <= kSearchPatternMaxExpanded;
  };
  const auto atom = [&](uint64_t size, uint64_t product) {
    frame& f = stack.back();
    f.total += size;
    f.last = size;
    f.last_product = product;
    f.product = std::max(f.product, product);
    return f.total <= kSearchPatternMaxExpanded;
  };
  size_t i = 0;
  while (i < p.size()) {
    const char c = p[i];
    bool ok = true;
    if (c == '\\') {
      if (i + 1 < p.size() && p[i + 1] >= '1' && p[i + 1] <= '9') return E_INVALID_REGEX;
      i = std::min(i + 2, p.size());
      ok = atom(1, 1);
    } else if (c == '[') {
      skip_bracket(p, &i);
      ok = atom(1, 1);
    } else if (c == '(') {
      ++i;
      stack.emplace_back();
    } else if (c == ')' && stack.size() > 1) {
      ++i;
      const frame inner = stack.back();
      stack.pop_back();
      ok = atom(std::max<uint64_t>(inner.total, 1), inner.product);
    } else if (c == '+') {
      ++i;
      ok = repeat(2);  // "x+" is compiled as "xx*"
    } else if (c == '{') {
      ++i;
      uint64_t copies = 1;
      ok = read_interval(p, &i, &copies) ? repeat(copies) : atom(1, 1);
    } else if (c == '*' || c == '?' || c == '|' || c == '^' || c == '$') {
      ++i;
    } else {
      ++i;
      ok = atom(1, 1);
    }
    if (!ok) return E_INVALID_REGEX;
  }
  // Groups left open: regcomp refuses them; their cost still counts.
  while (stack.size() > 1) {
    const frame inner = stack.back();
    stack.pop_back();
    if (!atom(std::max<uint64_t>(inner.total, 1), inner.product)) return E_INVALID_REGEX;
  }
  return E_OK;
}

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

uint32_t search_pattern_compile(const kt::xmldoc_node& cmd, regex_holder& out) {
  const kt::xmldoc_node* s = cmd.get("s");
  if (s == nullptr || out.compiled()) return E_INVALID_REQUEST;
  const kt::xmldoc_attr* opt = s->attr_get("opt");
  if (opt == nullptr) opt = cmd.attr_get("opt");
  const std::string pattern = s->value().empty() ? std::string(".*") : s->value();
  if (search_pattern_check(pattern) != E_OK) return E_INVALID_REGEX;
  int cflags = REG_EXTENDED | REG_NOSUB;
  if (!match_case(opt)) cflags |= REG_ICASE;
  return out.compile(pattern.c_str(), cflags) == 0 ? E_OK : E_INVALID_REGEX;
}

}  // namespace orvane
