// The pattern of the search commands (userSearch, groupSearch, resourceSearch, ...): a POSIX
// extended expression, matched unanchored and without sub-matches against object names.
//
// A pattern that is a plain literal, optionally anchored ("abc", "^abc", "abc$", "^abc$"), is
// matched by direct comparison instead of regexec, with the same results in the "C" locale
// (the server never changes its locale).
#ifndef ORVANE_OBJECTS_SEARCH_H_
#define ORVANE_OBJECTS_SEARCH_H_

#include <regex.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace kt {
class xmldoc_node;
}  // namespace kt

namespace orvane {

// A compiled expression, freed with its holder.
class regex_holder {
 public:
  regex_holder() = default;
  ~regex_holder();
  regex_holder(const regex_holder&) = delete;
  regex_holder& operator=(const regex_holder&) = delete;

  // regcomp's result; a holder compiles once.
  int compile(const char* pattern, int cflags);
  // True when the text holds a match (false before a successful compile).
  bool match(const char* text) const;
  bool compiled() const { return compiled_; }
  // True when match() compares a literal instead of running the expression.
  bool is_literal() const { return mode_ != mode::regex; }

 private:
  // How match() decides: regexec, or a comparison with literal_.
  enum class mode { regex, exact, prefix, suffix, substring };

  void set_literal(std::string_view pattern, int cflags);
  bool literal_match(std::string_view text) const;

  regex_t re_{};
  bool compiled_ = false;
  mode mode_ = mode::regex;
  bool icase_ = false;
  std::string literal_;  // lower-cased when icase_
};

// The cost limits of a search pattern, checked before regcomp sees it: regcomp copies the
// expression under a bounded repetition ("a{1,100}" becomes a hundred copies), so nested
// repetitions grow memory and matching time as the product of their counts; a back-reference
// makes matching exponential.
constexpr size_t kSearchPatternMaxBytes = 1024;
constexpr uint64_t kSearchPatternMaxRepeat = 1000;     // product of nested repetition counts
constexpr uint64_t kSearchPatternMaxExpanded = 10000;  // atoms after the copies are made

// 0 when the pattern is within the limits above and holds no back-reference; else 0x12. A
// pattern that regcomp refuses may pass: the limits concern only what it would accept.
uint32_t search_pattern_check(std::string_view pattern);

// Compiles the "s" child of a search command into out: empty text means ".*"; the match
// ignores case unless bit 0x1 of the "opt" attribute (of "s", else of the command) is set.
// Returns 0, 0x10 when there is no "s" child or out already holds an expression, 0x12 when the
// expression is over the limits of search_pattern_check or does not compile.
uint32_t search_pattern_compile(const kt::xmldoc_node& cmd, regex_holder& out);

}  // namespace orvane

#endif  // ORVANE_OBJECTS_SEARCH_H_
