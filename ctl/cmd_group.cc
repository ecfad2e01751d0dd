// group add|list|show|edit|rm|members list|members add|members remove
#include <algorithm>

#include "commands.h"
#include "objects.h"

namespace ctl {

namespace {

// The identifiers listed by an element's memberof child.
std::vector<std::string> parent_ids(const kt::xmldoc_node* n) {
  std::vector<std::string> ids;
  if (const kt::xmldoc_node* m = n != nullptr ? n->get("memberof") : nullptr) {
    for (const auto& g : m->children()) ids.push_back(attr(g.get(), "id"));
  }
  return ids;
}

std::vector<std::string> parent_names(const kt::xmldoc_node* n) {
  std::vector<std::string> names;
  if (const kt::xmldoc_node* m = n != nullptr ? n->get("memberof") : nullptr) {
    for (const auto& g : m->children()) names.push_back(attr(g.get(), "name"));
  }
  return names;
}

void add_memberof(kt::xmldoc_node* parent, const std::vector<std::string>& ids) {
  kt::xmldoc_node* m = parent->add_child(kt::xmldoc_node::create("memberof"));
  for (const std::string& id : ids) {
    m->add_child(kt::xmldoc_node::create("g"))->attr_addval("id", id);
  }
}

// Resolves the --member-of options to group identifiers.
bool parents_from_options(context& c, std::vector<std::string>* ids, answer* failed) {
  for (const std::string& name : c.args.all("member-of")) {
    found g = find(c, kGroups, name);
    if (!g.a.ok()) {
      *failed = std::move(g.a);
      return false;
    }
    ids->push_back(attr(g.item, "id"));
  }
  return true;
}

int list(context& c, const std::vector<std::string>& w) {
  const answer a = search(c, kGroups, w.empty() ? "" : w[0], c.args.has("case"));
  if (!a.ok()) return c.fail(a);
  table t{{"id", "name", "member_of"}, {}};
  for (const kt::xmldoc_node* g : items(a, kGroups)) {
    t.add({attr(g, "id"), attr(g, "name"), join(parent_names(g))});
  }
  c.print(t);
  return 0;
}

// The direct members of a group: users and groups whose memberof lists it.
bool members_of(context& c, const std::string& id, std::vector<std::string>* users,
                std::vector<std::string>* groups, answer* failed) {
  answer u = search(c, kUsers, "", false);
  if (!u.ok()) {
    *failed = std::move(u);
    return false;
  }
  for (const kt::xmldoc_node* n : items(u, kUsers)) {
    const auto ids = parent_ids(n);
    if (std::find(ids.begin(), ids.end(), id) != ids.end()) users->push_back(attr(n, "uname"));
  }
  answer g = search(c, kGroups, "", false);
  if (!g.ok()) {
    *failed = std::move(g);
    return false;
  }
  for (const kt::xmldoc_node* n : items(g, kGroups)) {
    const auto ids = parent_ids(n);
    if (std::find(ids.begin(), ids.end(), id) != ids.end()) groups->push_back(attr(n, "name"));
  }
  return true;
}

int show(context& c, const std::vector<std::string>& w) {
  found f = find(c, kGroups, w[0]);
  if (!f.a.ok()) return c.fail(f.a);
  record r;
  r.add("id", attr(f.item, "id"));
  r.add("name", attr(f.item, "name"));
  r.add("member_of", join(parent_names(f.item)));
  std::vector<std::string> users;
  std::vector<std::string> groups;
  answer failed;
  if (!members_of(c, attr(f.item, "id"), &users, &groups, &failed)) return c.fail(failed);
  r.add("users", join(users));
  r.add("groups", join(groups));
  c.print(r);
  return 0;
}

int add(context& c, const std::vector<std::string>& w) {
  std::vector<std::string> parents;
  answer failed;
  if (!parents_from_options(c, &parents, &failed)) return c.fail(failed);
  auto cmd = c.command("groupInsert");
  kt::xmldoc_node* g = cmd->add_child(kt::xmldoc_node::create("g"));
  g->attr_addval("name", w[0]);
  if (!parents.empty()) add_memberof(g, parents);
  const answer a = c.call(std::move(cmd));
  if (!a.ok()) return c.fail(a);
  const kt::xmldoc_node* id = a.find("insertedId");
  record r;
  r.add("id", id != nullptr ? id->value() : "");
  r.add("name", w[0]);
  return c.done(a, "group " + w[0] + " added (id " + r.fields[0].second + ")", r);
}

int edit(context& c, const std::vector<std::string>& w) {
  found f = find(c, kGroups, w[0]);
  if (!f.a.ok()) return c.fail(f.a);
  auto cmd = c.command("groupEdit");
  kt::xmldoc_node* g = cmd->add_child(kt::xmldoc_node::create("g"));
  g->attr_addval("id", attr(f.item, "id"));
  g->attr_addval("name", c.args.get("rename", w[0]));
  if (c.args.has("member-of") || c.args.has("no-parents")) {
    std::vector<std::string> parents;
    answer failed;
    if (!parents_from_options(c, &parents, &failed)) return c.fail(failed);
    add_memberof(g, parents);
  }
  const answer a = c.call(std::move(cmd));
  if (!a.ok()) return c.fail(a);
  return c.done(a, "group " + c.args.get("rename", w[0]) + " changed");
}

int remove(context& c, const std::vector<std::string>& w) {
  auto cmd = c.command("groupRemove");
  cmd->add_child(kt::xmldoc_node::create("g"))->attr_addval("name", w[0]);
  const answer a = c.call(std::move(cmd));
  if (!a.ok()) return c.fail(a);
  return c.done(a, "group " + w[0] + " removed");
}

int members_list(context& c, const std::vector<std::string>& w) {
  found f = find(c, kGroups, w[0]);
  if (!f.a.ok()) return c.fail(f.a);
  std::vector<std::string> users;
  std::vector<std::string> groups;
  answer failed;
  if (!members_of(c, attr(f.item, "id"), &users, &groups, &failed)) return c.fail(failed);
  table t{{"kind", "name"}, {}};
  for (const auto& u : users) t.add({"user", u});
  for (const auto& g : groups) t.add({"group", g});
  c.print(t);
  return 0;
}

// Adds the group to (or takes it from) each member's own list and writes the list back whole:
// the protocol replaces a membership list rather than adding one entry.
int members_change(context& c, const std::vector<std::string>& w, bool add) {
  found target = find(c, kGroups, w[0]);
  if (!target.a.ok()) return c.fail(target.a);
  const std::string gid = attr(target.item, "id");
  const bool groups = c.args.has("groups");
  answer last;
  for (size_t i = 1; i < w.size(); ++i) {
    found m = find(c, groups ? kGroups : kUsers, w[i]);
    if (!m.a.ok()) return c.fail(m.a);
    std::vector<std::string> ids = parent_ids(m.item);
    const auto at = std::find(ids.begin(), ids.end(), gid);
    if (add == (at != ids.end())) continue;  // already as asked
    if (add) {
      ids.push_back(gid);
    } else {
      ids.erase(at);
    }
    auto cmd = c.command(groups ? "groupEdit" : "userEdit");
    kt::xmldoc_node* e = cmd->add_child(kt::xmldoc_node::create(groups ? "g" : "u"));
    e->attr_addval("id", attr(m.item, "id"));
    if (!groups) {
      // userEdit sets the flags it is given (none: cleared); the system account takes none.
      const std::string flags = attr(m.item, "flags");
      if (flags != "1") e->attr_addval("flags", flags);
    }
    add_memberof(e, ids);
    last = c.call(std::move(cmd));
    if (!last.ok()) return c.fail(last);
  }
  last.sent = true;
  last.code = 0;
  last.msg = "no error.";
  return c.done(last, std::string(add ? "added to " : "removed from ") + w[0] + ": " +
                          join(std::vector<std::string>(w.begin() + 1, w.end()), " "));
}

int members_add(context& c, const std::vector<std::string>& w) {
  return members_change(c, w, true);
}
int members_remove(context& c, const std::vector<std::string>& w) {
  return members_change(c, w, false);
}

constexpr verb kVerbs[] = {
    {"add", "NAME [--member-of GROUP]...", "Adds a group, optionally inside other groups.",
     "member-of", 1, 1, add},
    {"list", "[PATTERN] [--case]", "Lists the groups whose names match PATTERN.", "case", 0, 1,
     list},
    {"show", "NAME", "Shows a group with its parents and direct members.", "", 1, 1, show},
    {"edit", "NAME [--rename NEW] [--member-of GROUP... | --no-parents]",
     "Renames a group or sets the groups it is a member of (the list replaces the\n"
     "current one; --no-parents empties it).",
     "rename member-of no-parents", 1, 1, edit},
    {"rm", "NAME", "Removes a group; its members stay.", "", 1, 1, remove},
    {"members list", "GROUP", "Lists the direct members of a group.", "", 1, 1, members_list},
    {"members add", "GROUP MEMBER... [--groups]",
     "Adds users (or groups, with --groups) to a group. Each member's list of groups is\n"
     "read and written back whole with the group added.",
     "groups", 2, -1, members_add},
    {"members remove", "GROUP MEMBER... [--groups]",
     "Takes users (or groups, with --groups) out of a group, writing each member's list\n"
     "of groups back whole.",
     "groups", 2, -1, members_remove},
};

}  // namespace

const family kGroupFamily{"group", "groups and their members", kVerbs, std::size(kVerbs)};

}  // namespace ctl
