#include "objects/search.h"

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

}  // namespace

regex_holder::~regex_holder() {
  if (compiled_) regfree(&re_);
}

int regex_holder::compile(const char* pattern, int cflags) {
  if (compiled_) return REG_BADPAT;
  const int rc = regcomp(&re_, pattern, cflags);
  compiled_ = rc == 0;
  return rc;
}

bool regex_holder::match(const char* text) const {
  return compiled_ && regexec(&re_, text, 0, nullptr, 0) == 0;
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
