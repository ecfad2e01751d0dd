// Command-line words: options ("--name value", "--name=value", "-h") wherever they stand, and the
// positional words in order. Which options take a value is fixed for the whole program, so the
// words can be split before the command is known; each command then checks the options it was
// given against its own list.
#ifndef ORVANE_CTL_ARGS_H_
#define ORVANE_CTL_ARGS_H_

#include <string>
#include <utility>
#include <vector>

namespace ctl {

struct parsed_args {
  std::vector<std::string> words;                            // positional words, in order
  std::vector<std::pair<std::string, std::string>> options;  // name (no dashes), value

  bool has(const std::string& name) const;
  // The last value given for the option, or fallback.
  std::string get(const std::string& name, const std::string& fallback = "") const;
  // Every value given for a repeatable option, in order.
  std::vector<std::string> all(const std::string& name) const;
};

// Splits argv[1..argc-1]. Returns false with a message in *error for an option that needs a value
// and has none, or a value given to a flag.
bool parse_args(int argc, char** argv, parsed_args* out, std::string* error);

// The options that take a value (the others are flags).
bool option_takes_value(const std::string& name);

// Checks that every option given is in the space-separated list allowed (global options are
// always allowed). Returns the first one that is not, or "".
std::string unknown_option(const parsed_args& args, const char* allowed);

}  // namespace ctl

#endif  // ORVANE_CTL_ARGS_H_
