// nss add|list|show|edit|rm|user add|user rm|group add|group rm: NSS profiles.
#include "commands.h"
#include "objects.h"

namespace ctl {

namespace {

int list(context& c, const std::vector<std::string>& w) {
  const answer a = search(c, kProfiles, w.empty() ? "" : w[0], c.args.has("case"));
  if (!a.ok()) return c.fail(a);
  table t{{"id", "name", "description", "users", "groups", "includes"}, {}};
  for (const kt::xmldoc_node* p : items(a, kProfiles)) {
    size_t users = 0, groups = 0, includes = 0;
    for (const auto& m : p->children()) {
      users += m->name() == "u";
      groups += m->name() == "g";
      includes += m->name() == "i";
    }
    t.add({attr(p, "id"), attr(p, "name"), attr(p, "descr"), std::to_string(users),
           std::to_string(groups), std::to_string(includes)});
  }
  c.print(t);
  return 0;
}

int show(context& c, const std::vector<std::string>& w) {
  found f = find(c, kProfiles, w[0]);
  if (!f.a.ok()) return c.fail(f.a);
  name_index users;
  name_index groups;
  name_index profiles;
  answer failed;
  if (!load_index(c, kUsers, &users, &failed) || !load_index(c, kGroups, &groups, &failed) ||
      !load_index(c, kProfiles, &profiles, &failed)) {
    return c.fail(failed);
  }
  std::vector<std::string> u;
  std::vector<std::string> g;
  std::vector<std::string> i;
  for (const auto& m : f.item->children()) {
    if (m->name() == "u") {
      u.push_back(users.name_of(attr(m.get(), "id")) + "(uid=" + attr(m.get(), "uid") +
                  ",home=" + attr(m.get(), "home") + ",shell=" + attr(m.get(), "shell") +
                  (attr(m.get(), "su") == "1" ? ",su" : "") + ")");
    } else if (m->name() == "g") {
      g.push_back(groups.name_of(attr(m.get(), "id")) + "(gid=" + attr(m.get(), "gid") + ")");
    } else if (m->name() == "i") {
      i.push_back(profiles.name_of(attr(m.get(), "id")));
    }
  }
  record r;
  r.add("id", attr(f.item, "id"));
  r.add("name", attr(f.item, "name"));
  r.add("description", attr(f.item, "descr"));
  r.add("users", join(u, " "));
  r.add("groups", join(g, " "));
  r.add("includes", join(i));
  c.print(r);
  return 0;
}

int add(context& c, const std::vector<std::string>& w) {
  auto cmd = c.command("nssProfileInsert");
  kt::xmldoc_node* p = cmd->add_child(kt::xmldoc_node::create("nssp"));
  p->attr_addval("name", w[0]);
  p->attr_addval("descr", c.args.get("descr"));
  const answer a = c.call(std::move(cmd));
  if (!a.ok()) return c.fail(a);
  const kt::xmldoc_node* id = a.find("insertedId");
  record r;
  r.add("id", id != nullptr ? id->value() : "");
  r.add("name", w[0]);
  return c.done(a, "NSS profile " + w[0] + " added (id " + r.fields[0].second + ")", r);
}

// nssProfileEdit sets the members and includes it carries: the current ones are sent back,
// with the includes replaced when --include or --no-include is given.
int edit(context& c, const std::vector<std::string>& w) {
  found f = find(c, kProfiles, w[0]);
  if (!f.a.ok()) return c.fail(f.a);
  std::vector<std::string> includes;
  for (const auto& m : f.item->children()) {
    if (m->name() == "i") includes.push_back(attr(m.get(), "id"));
  }
  if (c.args.has("include") || c.args.has("no-include")) {
    includes.clear();
    for (const std::string& name : c.args.all("include")) {
      found inc = find(c, kProfiles, name);
      if (!inc.a.ok()) return c.fail(inc.a);
      includes.push_back(attr(inc.item, "id"));
    }
  }
  auto cmd = c.command("nssProfileEdit");
  kt::xmldoc_node* p = cmd->add_child(kt::xmldoc_node::create("nssp"));
  p->attr_addval("id", attr(f.item, "id"));
  p->attr_addval("name", c.args.get("rename", w[0]));
  p->attr_addval("descr", c.args.get("descr", attr(f.item, "descr")));
  for (const auto& m : f.item->children()) {
    if (m->name() == "u") {
      kt::xmldoc_node* u = p->add_child(kt::xmldoc_node::create("u"));
      for (const char* a : {"id", "uid", "shell", "home", "su"})
        u->attr_addval(a, attr(m.get(), a));
    } else if (m->name() == "g") {
      kt::xmldoc_node* g = p->add_child(kt::xmldoc_node::create("g"));
      for (const char* a : {"id", "gid"}) g->attr_addval(a, attr(m.get(), a));
    }
  }
  for (const std::string& id : includes) {
    p->add_child(kt::xmldoc_node::create("i"))->attr_addval("id", id);
  }
  const answer a = c.call(std::move(cmd));
  if (!a.ok()) return c.fail(a);
  return c.done(a, "NSS profile " + c.args.get("rename", w[0]) + " changed");
}

int remove(context& c, const std::vector<std::string>& w) {
  found f = find(c, kProfiles, w[0]);
  if (!f.a.ok()) return c.fail(f.a);
  auto cmd = c.command("nssProfileRemove");
  cmd->add_child(kt::xmldoc_node::create("nssp"))->attr_addval("id", attr(f.item, "id"));
  const answer a = c.call(std::move(cmd));
  if (!a.ok()) return c.fail(a);
  return c.done(a, "NSS profile " + w[0] + " removed");
}

// nssProfileUser / nssProfileGroup with cmd "add" or "del".
int member(context& c, const std::vector<std::string>& w, bool user, bool add) {
  found p = find(c, kProfiles, w[0]);
  if (!p.a.ok()) return c.fail(p.a);
  found m = find(c, user ? kUsers : kGroups, w[1]);
  if (!m.a.ok()) return c.fail(m.a);
  if (add && user && (!c.args.has("uid") || !c.args.has("home") || !c.args.has("shell"))) {
    return c.usage_error("a user member needs --uid, --home and --shell");
  }
  if (add && !user && !c.args.has("gid")) return c.usage_error("a group member needs --gid");
  auto cmd = c.command(user ? "nssProfileUser" : "nssProfileGroup");
  cmd->attr_addval("cmd", add ? "add" : "del");
  cmd->attr_addval("idup", attr(p.item, "id"));
  kt::xmldoc_node* e = cmd->add_child(kt::xmldoc_node::create(user ? "u" : "g"));
  e->attr_addval(user ? "u" : "g", attr(m.item, "id"));
  if (user) {
    e->attr_addval("uid", c.args.get("uid", "0"));
    e->attr_addval("h", c.args.get("home", "/"));
    e->attr_addval("s", c.args.get("shell", "/bin/false"));
    if (c.args.has("su")) e->attr_addval("r", "1");
  } else {
    e->attr_addval("gid", c.args.get("gid", "0"));
  }
  const answer a = c.call(std::move(cmd));
  if (!a.ok()) return c.fail(a);
  return c.done(a, std::string(user ? "user " : "group ") + w[1] +
                       (add ? " added to " : " removed from ") + w[0]);
}

int user_add(context& c, const std::vector<std::string>& w) {
  return member(c, w, true, true);
}
int user_rm(context& c, const std::vector<std::string>& w) {
  return member(c, w, true, false);
}
int group_add(context& c, const std::vector<std::string>& w) {
  return member(c, w, false, true);
}
int group_rm(context& c, const std::vector<std::string>& w) {
  return member(c, w, false, false);
}

constexpr verb kVerbs[] = {
    {"add", "NAME [--descr TEXT]", "Adds an NSS profile.", "descr", 1, 1, add},
    {"list", "[PATTERN] [--case]", "Lists the NSS profiles.", "case", 0, 1, list},
    {"show", "NAME", "Shows a profile's members and included profiles.", "", 1, 1, show},
    {"edit", "NAME [--rename NEW] [--descr TEXT] [--include PROFILE... | --no-include]",
     "Renames a profile, changes its description or sets the profiles it includes;\n"
     "its members stay.",
     "rename descr include no-include", 1, 1, edit},
    {"rm", "NAME", "Removes an NSS profile.", "", 1, 1, remove},
    {"user add", "PROFILE USER --uid N --home DIR --shell PATH [--su]",
     "Serves a user through the profile as a passwd entry.", "uid home shell su", 2, 2, user_add},
    {"user rm", "PROFILE USER", "Takes a user out of the profile.", "", 2, 2, user_rm},
    {"group add", "PROFILE GROUP --gid N", "Serves a group through the profile.", "gid", 2, 2,
     group_add},
    {"group rm", "PROFILE GROUP", "Takes a group out of the profile.", "", 2, 2, group_rm},
};

}  // namespace

const family kNssFamily{"nss", "NSS profiles (Unix accounts for client hosts)", kVerbs,
                        std::size(kVerbs)};

}  // namespace ctl
