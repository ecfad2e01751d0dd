// The pattern of the search commands (userSearch, groupSearch, resourceSearch, ...): a POSIX
// extended expression, matched unanchored and without sub-matches against object names.
#ifndef ORVANE_OBJECTS_SEARCH_H_
#define ORVANE_OBJECTS_SEARCH_H_

#include <regex.h>

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

 private:
  regex_t re_{};
  bool compiled_ = false;
};

// Compiles the "s" child of a search command into out: empty text means ".*"; the match
// ignores case unless bit 0x1 of the "opt" attribute (of "s", else of the command) is set.
// Returns 0, 0x10 when there is no "s" child or out already holds an expression, 0x12 when the
// expression does not compile.
int search_pattern_compile(const kt::xmldoc_node& cmd, regex_holder& out);

}  // namespace orvane

#endif  // ORVANE_OBJECTS_SEARCH_H_
