// The command table: families of verbs ("user add", "group members add", ...) and the commands
// without verbs ("login", "watch", ...). Each family lives in its own file; main() finds the
// verb, checks its options and word count, prints its help on --help and runs it.
#ifndef ORVANE_CTL_COMMANDS_H_
#define ORVANE_CTL_COMMANDS_H_

#include <cstddef>
#include <string>
#include <vector>

#include "context.h"

namespace ctl {

using verb_fn = int (*)(context& c, const std::vector<std::string>& words);

struct verb {
  const char* name;     // "" for a command without verbs; may be two words ("members add")
  const char* usage;    // the words and options after the verb
  const char* help;     // what it does (lines)
  const char* options;  // the options it accepts besides the global ones (space-separated)
  int min_words;        // positional words after the verb
  int max_words;        // -1: any number
  verb_fn run;
};

struct family {
  const char* name;
  const char* summary;
  const verb* verbs;
  size_t count;
};

extern const family kLoginFamily, kLogoutFamily, kRefreshFamily, kWhoamiFamily, kUserFamily,
    kGroupFamily, kResourceFamily, kPermFamily, kAttrFamily, kDomainFamily, kNetclientFamily,
    kNssFamily, kAuditFamily, kBackupFamily, kHealthFamily, kWatchFamily, kRawFamily;

// Every family, in the order of the help text.
const std::vector<const family*>& families();

// Runs the command line; returns the exit status.
int run_command_line(int argc, char** argv);

}  // namespace ctl

#endif  // ORVANE_CTL_COMMANDS_H_
