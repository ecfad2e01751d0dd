#include "commands.h"

#include <cstdio>
#include <string>

namespace ctl {

namespace {

constexpr const char kGlobalHelp[] =
    "Global options (any position):\n"
    "  --server URL          server, e.g. https://host:8443 (env ORVANE_SERVER;\n"
    "                        default: the session's, else %s)\n"
    "  --domain NAME         domain (env ORVANE_DOMAIN; default: the session's, else ORVANE)\n"
    "  --ca FILE             trust the CA certificates in FILE (env ORVANE_CA;\n"
    "                        default: the session's, else %s)\n"
    "  --cert FILE           client certificate, PEM or PKCS#12 .pfx/.p12, for domains that\n"
    "                        accept only net clients (env ORVANE_CERT)\n"
    "  --key FILE            key of a PEM certificate that does not hold it (env ORVANE_KEY)\n"
    "  --cert-password TEXT  PKCS#12 password (env ORVANE_CERT_PASSWORD; default none)\n"
    "  --json                rows and records as JSON (values as strings)\n"
    "  --xml                 the server's answer document as it came\n"
    "  --note TEXT           audit note of a change (--audit-code N: its code)\n"
    "  --timeout SECONDS     connect and answer timeout (default 30)\n"
    "  -h, --help            help of any command or verb; --version\n";

constexpr const char kExitHelp[] =
    "Exit status: 0 success; 1 local failure; 2 usage; 3 server unreachable or not answering;\n"
    "4 + (result code >> 8) for a server result code from 0x10 to 0x9ff (4 request, 5 token,\n"
    "rights or missing object, 6 password change, 7 domain, 8 resource, 9 user, 10 group,\n"
    "11 NSS profile, 12 attribute, 13 net client); 14 any other result code.\n";

// The global options' help, with this build's defaults.
void print_global_help(FILE* out) {
  const std::string ca = *ORVANECTL_DEFAULT_CA != '\0'
                             ? std::string(ORVANECTL_DEFAULT_CA) + " while it exists"
                             : std::string("the system's");
  std::fprintf(out, kGlobalHelp, ORVANECTL_DEFAULT_SERVER, ca.c_str());
}

void print_top_help(FILE* out) {
  std::fprintf(out,
               "usage: orvanectl [OPTIONS] COMMAND [VERB] [ARGUMENTS]\n\n"
               "Administers an Orvane server over its XML command protocol.\n\nCommands:\n");
  for (const family* f : families()) std::fprintf(out, "  %-10s %s\n", f->name, f->summary);
  std::fputc('\n', out);
  print_global_help(out);
  std::fprintf(out, "\n%s\nRun 'orvanectl COMMAND --help' for its verbs.\n", kExitHelp);
}

bool single(const family& f) {
  return f.count == 1 && f.verbs[0].name[0] == '\0';
}

std::string verb_line(const family& f, const verb& v) {
  std::string line = std::string("orvanectl ") + f.name;
  if (v.name[0] != '\0') line += std::string(" ") + v.name;
  if (v.usage[0] != '\0') line += std::string(" ") + v.usage;
  return line;
}

void print_family_help(const family& f) {
  if (single(f)) {
    std::printf("usage: %s\n\n%s\n\n", verb_line(f, f.verbs[0]).c_str(), f.verbs[0].help);
    print_global_help(stdout);
    return;
  }
  std::printf("usage: orvanectl %s VERB ...\n\n%s\n\nVerbs:\n", f.name, f.summary);
  for (size_t i = 0; i < f.count; ++i) {
    std::printf("  %s\n", verb_line(f, f.verbs[i]).c_str());
  }
  std::printf("\nRun 'orvanectl %s VERB --help' for details.\n", f.name);
}

void print_verb_help(const family& f, const verb& v) {
  std::printf("usage: %s\n\n%s\n\n", verb_line(f, v).c_str(), v.help);
  print_global_help(stdout);
}

const family* find_family(const std::string& name) {
  for (const family* f : families()) {
    if (name == f->name) return f;
  }
  return nullptr;
}

// The verb named by the words after the family (two words first); *used tells how many.
const verb* find_verb(const family& f, const std::vector<std::string>& words, size_t* used) {
  if (single(f)) {
    *used = 0;
    return &f.verbs[0];
  }
  if (words.size() >= 3) {
    const std::string two = words[1] + " " + words[2];
    for (size_t i = 0; i < f.count; ++i) {
      if (two == f.verbs[i].name) {
        *used = 2;
        return &f.verbs[i];
      }
    }
  }
  if (words.size() >= 2) {
    for (size_t i = 0; i < f.count; ++i) {
      if (words[1] == f.verbs[i].name) {
        *used = 1;
        return &f.verbs[i];
      }
    }
  }
  return nullptr;
}

}  // namespace

const std::vector<const family*>& families() {
  static const std::vector<const family*> all = {
      &kLoginFamily,     &kLogoutFamily,   &kRefreshFamily, &kWhoamiFamily, &kUserFamily,
      &kGroupFamily,     &kResourceFamily, &kPermFamily,    &kAttrFamily,   &kDomainFamily,
      &kNetclientFamily, &kNssFamily,      &kAuditFamily,   &kBackupFamily, &kHealthFamily,
      &kWatchFamily,     &kRawFamily};
  return all;
}

int run_command_line(int argc, char** argv) {
  context c;
  if (std::string error; !parse_args(argc, argv, &c.args, &error)) return c.usage_error(error);
  const std::vector<std::string>& words = c.args.words;
  if (words.empty()) {
    if (c.args.has("version")) {
      std::printf("orvanectl %s\n", ORVANE_VERSION);
      return 0;
    }
    print_top_help(c.args.has("help") ? stdout : stderr);
    return c.args.has("help") ? 0 : EXIT_USAGE;
  }
  const family* f = find_family(words[0]);
  if (f == nullptr) {
    if (words[0] == "help") {
      print_top_help(stdout);
      return 0;
    }
    return c.usage_error("unknown command '" + words[0] + "'");
  }
  size_t used = 0;
  const verb* v = find_verb(*f, words, &used);
  if (v == nullptr) {
    if (c.args.has("help") || words.size() == 1) {
      print_family_help(*f);
      return c.args.has("help") ? 0 : EXIT_USAGE;
    }
    return c.usage_error("unknown verb '" + words[1] + "' of " + f->name);
  }
  if (c.args.has("help")) {
    print_verb_help(*f, *v);
    return 0;
  }
  if (const std::string bad = unknown_option(c.args, v->options); !bad.empty()) {
    return c.usage_error("option --" + bad + " is not known to " + verb_line(*f, *v));
  }
  const std::vector<std::string> rest(words.begin() + 1 + static_cast<long>(used), words.end());
  const int n = static_cast<int>(rest.size());
  if (n < v->min_words || (v->max_words >= 0 && n > v->max_words)) {
    return c.usage_error("usage: " + verb_line(*f, *v));
  }
  if (const int rc = c.setup(); rc != 0) return rc;
  return v->run(c, rest);
}

}  // namespace ctl
