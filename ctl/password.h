// Passwords for the commands: the first line of a file named by an option ("-" for standard
// input), else a prompt on the terminal with echo off. Never from the command line itself.
#ifndef ORVANE_CTL_PASSWORD_H_
#define ORVANE_CTL_PASSWORD_H_

#include <string>

#include "args.h"

namespace ctl {

// Reads the password of option (a file), or prompts; with confirm the prompt asks twice. False
// with a message when neither a file nor a terminal gives one.
bool read_password(const parsed_args& args, const char* option, const std::string& prompt,
                   bool confirm, std::string* out, std::string* error);

}  // namespace ctl

#endif  // ORVANE_CTL_PASSWORD_H_
