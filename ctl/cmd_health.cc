// health and raw: the server's state, and any command document as it is.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

#include "commands.h"
#include "objects.h"

namespace ctl {

namespace {

int health(context& c, const std::vector<std::string>&) {
  auto cmd = c.command("getHealth");
  if (c.args.has("reset")) cmd->attr_addval("reset", "1");
  const answer a = c.call(std::move(cmd));
  if (!a.ok()) return c.fail(a);
  const kt::xmldoc_node* h = a.find("health");
  if (h == nullptr) return c.local_error("the server's answer holds no health element");
  record r;
  const std::string* uptime = h->get_value("uptime");
  const std::string* requests = h->get_value("requests");
  r.add("uptime_seconds", uptime != nullptr ? *uptime : "");
  r.add("requests", requests != nullptr ? *requests : "");
  const kt::xmldoc_node* mem = h->get("memory");
  r.add("memory_total", attr(mem, "total"));
  r.add("memory_free", attr(mem, "free"));
  r.add("memory_process", attr(mem, "process"));
  const kt::xmldoc_node* disk = h->get("disk");
  r.add("disk_total", attr(disk, "total"));
  r.add("disk_free", attr(disk, "free"));
  const kt::xmldoc_node* cpu = h->get("cpu");
  r.add("cpu_cores", attr(cpu, "cores"));
  r.add("cpu_model", attr(cpu, "model"));
  const std::string* last = cpu != nullptr ? cpu->get_value("i") : nullptr;
  r.add("cpu_busy_percent", last != nullptr ? *last : "");
  if (const kt::xmldoc_node* domains = h->get("domains")) {
    for (const auto& d : domains->children()) {
      r.add("requests." + d->value(), attr(d.get(), "r"));
    }
  }
  if (const kt::xmldoc_node* ncs = h->get("netclients")) {
    for (const auto& n : ncs->children()) {
      r.add("requests." + attr(n.get(), "d") + "." + n->value(), attr(n.get(), "r"));
    }
  }
  c.print(r);
  return 0;
}

// Every command element of the document gets the domain and the token in force where it has
// none (unless --no-fill).
int raw(context& c, const std::vector<std::string>& w) {
  std::string text;
  const std::string source = w.empty() ? "-" : w[0];
  if (source == "-") {
    std::ostringstream in;
    in << std::cin.rdbuf();
    text = in.str();
  } else {
    std::ifstream in(source, std::ios::binary);
    if (!in) return c.local_error(source + ": cannot be read");
    std::ostringstream all;
    all << in.rdbuf();
    text = all.str();
  }
  kt::xmldoc doc;
  if (doc.parse(text, 64u * 1024 * 1024) != 0 || doc.root() == nullptr) {
    return c.usage_error(source + ": not an XML document");
  }
  if (!c.args.has("no-fill")) {
    for (const auto& cmd : doc.root()->children()) {
      if (cmd->attr_get("domain") == nullptr) cmd->attr_addval("domain", c.domain);
      if (cmd->attr_get("token") == nullptr && cmd->get("token") == nullptr &&
          c.session_matches()) {
        cmd->attr_addval("token", c.stored.token);
      }
    }
  }
  kt::buffer out;
  doc.save(doc.root(), out);
  const answer a = c.send(out.view());
  if (!a.sent) return c.fail(a);
  std::fwrite(a.body.data(), 1, a.body.size(), stdout);
  std::fputc('\n', stdout);
  return exit_status_of(a.code);
}

constexpr verb kHealth[] = {{"", "[--reset]",
                             "Shows uptime, request counters, memory, disk and CPU. --reset\n"
                             "also clears the counters (WRITE on the root domain's ORVANE).",
                             "reset", 0, 0, health}};
constexpr verb kRaw[] = {{"", "[FILE | -] [--no-fill]",
                          "Sends an XML command document (from FILE or standard input) and\n"
                          "prints the answer. Commands without a domain or token attribute get\n"
                          "those in force unless --no-fill. The exit status follows the code.",
                          "no-fill", 0, 1, raw}};

}  // namespace

const family kHealthFamily{"health", "server health and counters", kHealth, 1};
const family kRawFamily{"raw", "send an XML document, print the answer", kRaw, 1};

}  // namespace ctl
