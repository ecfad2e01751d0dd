// audit list|export|clear: the domain's audit log.
#include <cstdio>
#include <fstream>

#include "commands.h"
#include "objects.h"
#include "utils/base64.h"

namespace ctl {

namespace {

constexpr const char kFilterOptions[] = "since until api user code from-addr info audit";

// A getAuditLog command for the range and filters of the options.
bool audit_command(context& c, bool export_csv, std::unique_ptr<kt::xmldoc_node>* out, int* usage) {
  uint64_t since = 0;
  uint64_t until = 0;
  if (!parse_time(c.args.get("since", "-1d"), &since) ||
      !parse_time(c.args.get("until", "now"), &until)) {
    *usage = c.usage_error(
        "times are now, seconds since the epoch, -30m/-12h/-7d, YYYY-MM-DD "
        "or 'YYYY-MM-DD HH:MM[:SS]'");
    return false;
  }
  auto cmd = c.command("getAuditLog");
  cmd->attr_addval("from", std::to_string(since));
  cmd->attr_addval("to", std::to_string(until));
  cmd->attr_addval("api", c.args.get("api"));
  if (export_csv) cmd->attr_addval("export", "1");
  const std::pair<const char*, const char*> filters[] = {{"user", "username"},
                                                         {"code", "responseCode"},
                                                         {"audit", "auditCode"},
                                                         {"from-addr", "remoteAddr"},
                                                         {"info", "auditInfo"}};
  for (const auto& [option, child] : filters) {
    if (c.args.has(option))
      cmd->add_child(kt::xmldoc_node::create(child))->set_value(c.args.get(option));
  }
  *out = std::move(cmd);
  return true;
}

int list(context& c, const std::vector<std::string>&) {
  std::unique_ptr<kt::xmldoc_node> cmd;
  int usage = 0;
  if (!audit_command(c, false, &cmd, &usage)) return usage;
  const answer a = c.call(std::move(cmd));
  if (!a.ok()) return c.fail(a);
  table t{{"time", "api", "code", "audit_code", "user", "address", "info"}, {}};
  if (const kt::xmldoc_node* log = a.find("auditlog")) {
    for (const auto& e : log->children()) {
      const std::string* user = e->get_value("u");
      const std::string* info = e->get_value("i");
      t.add({time_text(attr(e.get(), "ts")), attr(e.get(), "api"), attr(e.get(), "resCode"),
             attr(e.get(), "auditCode"), user != nullptr ? *user : "", attr(e.get(), "remoteAddr4"),
             info != nullptr ? *info : ""});
    }
  }
  c.print(t);
  return 0;
}

int export_csv(context& c, const std::vector<std::string>&) {
  std::unique_ptr<kt::xmldoc_node> cmd;
  int usage = 0;
  if (!audit_command(c, true, &cmd, &usage)) return usage;
  const answer a = c.call(std::move(cmd));
  if (!a.ok()) return c.fail(a);
  const kt::xmldoc_node* log = a.find("auditlog");
  const std::string* file = log != nullptr ? log->get_value("file") : nullptr;
  std::string csv;
  if (file == nullptr || kt::base64decode_(*file, csv) != 0) {
    return c.local_error("the server's answer holds no CSV file");
  }
  if (!c.args.has("out") || c.args.get("out") == "-") {
    std::fwrite(csv.data(), 1, csv.size(), stdout);
    return 0;
  }
  std::ofstream out(c.args.get("out"), std::ios::binary | std::ios::trunc);
  if (!out.write(csv.data(), static_cast<std::streamsize>(csv.size()))) {
    return c.local_error(c.args.get("out") + ": cannot be written");
  }
  return c.done(a, "audit log written to " + c.args.get("out"));
}

int clear(context& c, const std::vector<std::string>&) {
  const answer a = c.call(c.command("clearAuditLog"));
  if (!a.ok()) return c.fail(a);
  return c.done(a, "audit log of " + c.domain + " cleared");
}

constexpr const char kFilterHelp[] =
    "Range: --since TIME (default -1d) and --until TIME (default now); TIME is now,\n"
    "seconds since the epoch, -30m, -12h, -7d, YYYY-MM-DD or 'YYYY-MM-DD HH:MM[:SS]'.\n"
    "Filters: --api COMMAND (exact), --user TEXT and --info TEXT (contained, any case),\n"
    "--code N (result code), --audit N (audit code), --from-addr A.B.C.D[/LEN].";

constexpr verb kVerbs[] = {
    {"list", "[--since TIME] [--until TIME] [--api NAME] [--user TEXT] [...]", kFilterHelp,
     kFilterOptions, 0, 0, list},
    {"export", "[--since TIME] [--until TIME] [...] [--out FILE]",
     "Writes the entries as CSV to FILE (default standard output). Same range and\n"
     "filters as list.",
     "since until api user code from-addr info audit out", 0, 0, export_csv},
    {"clear", "", "Empties the domain's audit log (the clearing itself is logged).", "", 0, 0,
     clear},
};

}  // namespace

const family kAuditFamily{"audit", "the audit log", kVerbs, std::size(kVerbs)};

}  // namespace ctl
