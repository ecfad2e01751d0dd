// domain add|list|show|edit|rm: the domain tree.
#include "commands.h"
#include "objects.h"
#include "password.h"

namespace ctl {

namespace {

int list(context& c, const std::vector<std::string>& w) {
  const answer a = search(c, kDomains, w.empty() ? "" : w[0], c.args.has("case"));
  if (!a.ok()) return c.fail(a);
  name_index names;
  for (const kt::xmldoc_node* d : items(a, kDomains)) {
    names.entries.emplace_back(attr(d, "id"), attr(d, "name"));
  }
  table t{{"id", "name", "parent"}, {}};
  for (const kt::xmldoc_node* d : items(a, kDomains)) {
    const std::string parent = attr(d, "parentId");
    t.add({attr(d, "id"), attr(d, "name"), parent == "0" ? "-" : names.name_of(parent)});
  }
  c.print(t);
  return 0;
}

int show(context& c, const std::vector<std::string>& w) {
  found f = find(c, kDomains, w[0]);
  if (!f.a.ok()) return c.fail(f.a);
  record r;
  r.add("id", attr(f.item, "id"));
  r.add("name", attr(f.item, "name"));
  r.add("parent_id", attr(f.item, "parentId"));
  c.print(r);
  return 0;
}

// The identifier of --parent, else of the domain in force.
bool parent_id(context& c, std::string* id, answer* failed) {
  found p = find(c, kDomains, c.args.get("parent", c.domain));
  if (!p.a.ok()) {
    *failed = std::move(p.a);
    return false;
  }
  *id = attr(p.item, "id");
  return true;
}

int add(context& c, const std::vector<std::string>& w) {
  std::string parent;
  answer failed;
  if (!parent_id(c, &parent, &failed)) return c.fail(failed);
  std::string password;
  std::string error;
  if (!read_password(c.args, "password-file", "Administrator password for " + w[0] + ": ", true,
                     &password, &error)) {
    return c.local_error(error);
  }
  auto cmd = c.command("domainInsert");
  kt::xmldoc_node* d = cmd->add_child(kt::xmldoc_node::create("d"));
  d->attr_addval("name", w[0]);
  d->attr_addval("parentId", parent);
  cmd->add_child(kt::xmldoc_node::create("p"))->set_value(password);
  const answer a = c.call(std::move(cmd));
  if (!a.ok()) return c.fail(a);
  const kt::xmldoc_node* id = a.find("insertedId");
  record r;
  r.add("id", id != nullptr ? id->value() : "");
  r.add("name", w[0]);
  return c.done(a, "domain " + w[0] + " added (id " + r.fields[0].second + ")", r);
}

int edit(context& c, const std::vector<std::string>& w) {
  found f = find(c, kDomains, w[0]);
  if (!f.a.ok()) return c.fail(f.a);
  std::string parent = attr(f.item, "parentId");
  if (c.args.has("parent")) {
    answer failed;
    if (!parent_id(c, &parent, &failed)) return c.fail(failed);
  }
  auto cmd = c.command("domainEdit");
  kt::xmldoc_node* d = cmd->add_child(kt::xmldoc_node::create("d"));
  d->attr_addval("id", attr(f.item, "id"));
  d->attr_addval("name", c.args.get("rename", w[0]));
  d->attr_addval("parentId", parent);
  const answer a = c.call(std::move(cmd));
  if (!a.ok()) return c.fail(a);
  return c.done(a, "domain " + c.args.get("rename", w[0]) + " changed");
}

int remove(context& c, const std::vector<std::string>& w) {
  auto cmd = c.command("domainRemove");
  cmd->add_child(kt::xmldoc_node::create("d"))->attr_addval("name", w[0]);
  const answer a = c.call(std::move(cmd));
  if (!a.ok()) return c.fail(a);
  return c.done(a, "domain " + w[0] + " removed");
}

constexpr verb kVerbs[] = {
    {"add", "NAME [--parent DOMAIN] [--password-file FILE]",
     "Adds a domain below --parent (default: the domain in force) with its own\n"
     "Administrator, whose password is asked for twice or read from FILE.",
     "parent password-file", 1, 1, add},
    {"list", "[PATTERN] [--case]", "Lists the domain in force and those below it.", "case", 0, 1,
     list},
    {"show", "NAME", "Shows one domain.", "", 1, 1, show},
    {"edit", "NAME [--rename NEW] [--parent DOMAIN]", "Renames or moves a domain.", "rename parent",
     1, 1, edit},
    {"rm", "NAME", "Removes a domain without subdomains, with all it holds.", "", 1, 1, remove},
};

}  // namespace

const family kDomainFamily{"domain", "the domain tree", kVerbs, std::size(kVerbs)};

}  // namespace ctl
