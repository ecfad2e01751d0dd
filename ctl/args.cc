#include "args.h"

#include <cstring>
#include <sstream>

namespace ctl {

namespace {

constexpr const char* kValued[] = {"server",       "domain",        "ca",
                                   "cert",         "key",           "cert-password",
                                   "user",         "password-file", "old-password-file",
                                   "flags",        "rename",        "parent",
                                   "type",         "member-of",     "group",
                                   "addr",         "pfx",           "descr",
                                   "on",           "since",         "until",
                                   "api",          "code",          "from-addr",
                                   "info",         "out",           "uid",
                                   "gid",          "home",          "shell",
                                   "include",      "note",          "member-user",
                                   "member-group", "audit-code",    "timeout",
                                   "count",        "audit"};

// Options every command accepts.
constexpr const char kGlobal[] =
    "server domain ca cert key cert-password json xml help version timeout note audit-code";

bool listed(const std::string& name, const char* list) {
  std::istringstream words(list);
  std::string w;
  while (words >> w) {
    if (w == name) return true;
  }
  return false;
}

}  // namespace

bool option_takes_value(const std::string& name) {
  for (const char* v : kValued) {
    if (name == v) return true;
  }
  return false;
}

bool parsed_args::has(const std::string& name) const {
  for (const auto& [n, v] : options) {
    if (n == name) return true;
  }
  return false;
}

std::string parsed_args::get(const std::string& name, const std::string& fallback) const {
  std::string value = fallback;
  for (const auto& [n, v] : options) {
    if (n == name) value = v;
  }
  return value;
}

std::vector<std::string> parsed_args::all(const std::string& name) const {
  std::vector<std::string> values;
  for (const auto& [n, v] : options) {
    if (n == name) values.push_back(v);
  }
  return values;
}

bool parse_args(int argc, char** argv, parsed_args* out, std::string* error) {
  bool options_end = false;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (options_end || word.size() < 2 || word[0] != '-') {
      out->words.push_back(word);
      continue;
    }
    if (word == "--") {
      options_end = true;
      continue;
    }
    if (word == "-h") {
      out->options.emplace_back("help", "");
      continue;
    }
    if (word[1] != '-') {
      // A negative number or a lone dash is a word ("-1d", "-" for standard input).
      out->words.push_back(word);
      continue;
    }
    std::string name = word.substr(2);
    std::string value;
    const size_t eq = name.find('=');
    const bool inline_value = eq != std::string::npos;
    if (inline_value) {
      value = name.substr(eq + 1);
      name.resize(eq);
    }
    if (option_takes_value(name)) {
      if (!inline_value) {
        if (i + 1 >= argc) {
          *error = "option --" + name + " needs a value";
          return false;
        }
        value = argv[++i];
      }
    } else if (inline_value) {
      *error = "option --" + name + " takes no value";
      return false;
    }
    out->options.emplace_back(name, value);
  }
  return true;
}

std::string unknown_option(const parsed_args& args, const char* allowed) {
  for (const auto& [n, v] : args.options) {
    if (!listed(n, kGlobal) && (allowed == nullptr || !listed(n, allowed))) return n;
  }
  return "";
}

}  // namespace ctl
