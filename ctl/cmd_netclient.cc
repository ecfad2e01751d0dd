// netclient add|list|show|edit|rm|pfx: client machines and their certificates.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "commands.h"
#include "objects.h"
#include "utils/base64.h"

namespace ctl {

namespace {

std::vector<std::string> addresses(const kt::xmldoc_node* n) {
  std::vector<std::string> out;
  for (const auto& a : n->children()) {
    if (a->name() == "v4" || a->name() == "v6") out.push_back(a->value());
  }
  return out;
}

void add_addresses(kt::xmldoc_node* netc, const std::vector<std::string>& list) {
  for (const std::string& a : list) {
    const bool v6 = a.find(':') != std::string::npos;
    netc->add_child(kt::xmldoc_node::create(v6 ? "v6" : "v4"))->set_value(a);
  }
}

// Fetches the net client's PKCS#12 bundle into path (owner-only).
int write_pfx(context& c, const std::string& id, const std::string& path) {
  auto cmd = c.command("netClientGetPfx");
  cmd->add_child(kt::xmldoc_node::create("netc"))->attr_addval("id", id);
  const answer a = c.call(std::move(cmd));
  if (!a.ok()) return c.fail(a);
  const kt::xmldoc_node* netc = a.find("netc");
  const std::string* pfx = netc != nullptr ? netc->get_value("pfx") : nullptr;
  std::string bytes;
  if (pfx == nullptr || kt::base64decode_(*pfx, bytes) != 0 || bytes.empty()) {
    return c.local_error("the server's answer holds no key bundle");
  }
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return c.local_error(path + ": " + std::strerror(errno));
  const bool ok = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  if (::close(fd) != 0 || !ok) return c.local_error(path + ": " + std::strerror(errno));
  return 0;
}

int list(context& c, const std::vector<std::string>& w) {
  const answer a = search(c, kNetclients, w.empty() ? "" : w[0], c.args.has("case"));
  if (!a.ok()) return c.fail(a);
  table t{{"id", "name", "addresses"}, {}};
  for (const kt::xmldoc_node* n : items(a, kNetclients)) {
    t.add({attr(n, "id"), attr(n, "name"), join(addresses(n), " ")});
  }
  c.print(t);
  return 0;
}

int show(context& c, const std::vector<std::string>& w) {
  found f = find(c, kNetclients, w[0]);
  if (!f.a.ok()) return c.fail(f.a);
  record r;
  r.add("id", attr(f.item, "id"));
  r.add("name", attr(f.item, "name"));
  r.add("addresses", join(addresses(f.item), " "));
  c.print(r);
  return 0;
}

int add(context& c, const std::vector<std::string>& w) {
  auto cmd = c.command("netClientInsert");
  kt::xmldoc_node* n = cmd->add_child(kt::xmldoc_node::create("netc"));
  n->attr_addval("name", w[0]);
  add_addresses(n, c.args.all("addr"));
  const answer a = c.call(std::move(cmd));
  if (!a.ok()) return c.fail(a);
  const kt::xmldoc_node* id = a.find("insertedId");
  const std::string text = id != nullptr ? id->value() : "";
  if (c.args.has("pfx")) {
    if (const int rc = write_pfx(c, text, c.args.get("pfx")); rc != 0) return rc;
  }
  record r;
  r.add("id", text);
  r.add("name", w[0]);
  if (c.args.has("pfx")) r.add("pfx", c.args.get("pfx"));
  return c.done(a,
                "net client " + w[0] + " added (id " + text + ")" +
                    (c.args.has("pfx") ? "; certificate bundle in " + c.args.get("pfx") : ""),
                r);
}

int edit(context& c, const std::vector<std::string>& w) {
  found f = find(c, kNetclients, w[0]);
  if (!f.a.ok()) return c.fail(f.a);
  // The address list is replaced by what the edit carries: without --addr the current one.
  std::vector<std::string> list = addresses(f.item);
  if (c.args.has("addr") || c.args.has("no-addr")) list = c.args.all("addr");
  auto cmd = c.command("netClientEdit");
  kt::xmldoc_node* n = cmd->add_child(kt::xmldoc_node::create("netc"));
  n->attr_addval("id", attr(f.item, "id"));
  n->attr_addval("name", c.args.get("rename", w[0]));
  add_addresses(n, list);
  // An edit without address children keeps the server's list; an empty one clears it.
  if (list.empty()) n->add_child(kt::xmldoc_node::create("v4"));
  const answer a = c.call(std::move(cmd));
  if (!a.ok()) return c.fail(a);
  return c.done(a, "net client " + c.args.get("rename", w[0]) + " changed");
}

int remove(context& c, const std::vector<std::string>& w) {
  found f = find(c, kNetclients, w[0]);
  if (!f.a.ok()) return c.fail(f.a);
  auto cmd = c.command("netClientRemove");
  cmd->add_child(kt::xmldoc_node::create("netc"))->attr_addval("id", attr(f.item, "id"));
  const answer a = c.call(std::move(cmd));
  if (!a.ok()) return c.fail(a);
  return c.done(a, "net client " + w[0] + " removed");
}

int pfx(context& c, const std::vector<std::string>& w) {
  if (!c.args.has("pfx")) return c.usage_error("name the file with --pfx FILE");
  found f = find(c, kNetclients, w[0]);
  if (!f.a.ok()) return c.fail(f.a);
  if (const int rc = write_pfx(c, attr(f.item, "id"), c.args.get("pfx")); rc != 0) return rc;
  answer a;
  a.sent = true;
  a.code = 0;
  a.msg = "no error.";
  record r;
  r.add("pfx", c.args.get("pfx"));
  return c.done(a, "certificate bundle of " + w[0] + " written to " + c.args.get("pfx"), r);
}

constexpr verb kVerbs[] = {
    {"add", "NAME [--addr ADDRESS]... [--pfx FILE]",
     "Adds a net client allowed from the addresses (a.b.c.d, a.b.c.d/len; none: any).\n"
     "The server issues its client certificate; --pfx writes the PKCS#12 bundle (no\n"
     "password, owner-only) for use with --cert.",
     "addr pfx", 1, 1, add},
    {"list", "[PATTERN] [--case]", "Lists the net clients.", "case", 0, 1, list},
    {"show", "NAME", "Shows one net client.", "", 1, 1, show},
    {"edit", "NAME [--rename NEW] [--addr ADDRESS... | --no-addr]",
     "Renames a net client or replaces its addresses (kept when neither is given).",
     "rename addr no-addr", 1, 1, edit},
    {"rm", "NAME", "Removes a net client and its certificate.", "", 1, 1, remove},
    {"pfx", "NAME --pfx FILE", "Writes the net client's PKCS#12 bundle to FILE (owner-only).",
     "pfx", 1, 1, pfx},
};

}  // namespace

const family kNetclientFamily{"netclient", "net clients and their certificates", kVerbs,
                              std::size(kVerbs)};

}  // namespace ctl
