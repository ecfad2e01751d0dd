// user add|list|show|edit|passwd|rm
#include "commands.h"
#include "objects.h"
#include "password.h"

namespace ctl {

namespace {

uint32_t flags_of(const kt::xmldoc_node* u) {
  uint64_t v = 0;
  parse_number(attr(u, "flags"), &v);
  return static_cast<uint32_t>(v);
}

// The group identifiers of a user's memberof list.
std::vector<std::string> group_ids(const kt::xmldoc_node* u) {
  std::vector<std::string> ids;
  if (const kt::xmldoc_node* m = u != nullptr ? u->get("memberof") : nullptr) {
    for (const auto& g : m->children()) ids.push_back(attr(g.get(), "id"));
  }
  return ids;
}

std::vector<std::string> group_names(const kt::xmldoc_node* u) {
  std::vector<std::string> names;
  if (const kt::xmldoc_node* m = u != nullptr ? u->get("memberof") : nullptr) {
    for (const auto& g : m->children()) names.push_back(attr(g.get(), "name"));
  }
  return names;
}

// The flags after the options: --flags N, then the switches.
bool apply_flag_options(const parsed_args& args, uint32_t* flags, std::string* error) {
  if (args.has("flags")) {
    uint64_t v = 0;
    if (!parse_number(args.get("flags"), &v) || v > 0xffff) {
      *error = "--flags takes a decimal number";
      return false;
    }
    *flags = static_cast<uint32_t>(v);
  }
  const std::pair<const char*, uint32_t> on[] = {
      {"never-expires", 0x2}, {"must-change", 0x4}, {"locked", 0x8}};
  const std::pair<const char*, uint32_t> off[] = {
      {"expires", 0x2}, {"no-must-change", 0x4}, {"unlocked", 0x8}};
  for (const auto& [name, bit] : on) {
    if (args.has(name)) *flags |= bit;
  }
  for (const auto& [name, bit] : off) {
    if (args.has(name)) *flags &= ~bit;
  }
  return true;
}

// A memberof element listing the groups named by --group (or none with --no-groups).
bool memberof_from_options(context& c, std::unique_ptr<kt::xmldoc_node>* out, answer* failed) {
  auto memberof = kt::xmldoc_node::create("memberof");
  for (const std::string& name : c.args.all("group")) {
    found g = find(c, kGroups, name);
    if (!g.a.ok()) {
      *failed = std::move(g.a);
      return false;
    }
    memberof->add_child(kt::xmldoc_node::create("g"))->attr_addval("id", attr(g.item, "id"));
  }
  *out = std::move(memberof);
  return true;
}

table users_table(const answer& a) {
  table t{{"id", "name", "flags", "groups", "password_changed", "expired"}, {}};
  for (const kt::xmldoc_node* u : items(a, kUsers)) {
    const kt::xmldoc_node* info = u->get("info");
    const kt::xmldoc_node* changed = info != nullptr ? info->get("pwdCh") : nullptr;
    t.add({attr(u, "id"), attr(u, "uname"), user_flag_words(flags_of(u)), join(group_names(u)),
           changed != nullptr ? time_text(changed->value()) : "",
           changed != nullptr && changed->attr_get("expired") != nullptr ? "yes" : "no"});
  }
  return t;
}

int list(context& c, const std::vector<std::string>& w) {
  const answer a = search(c, kUsers, w.empty() ? "" : w[0], c.args.has("case"));
  if (!a.ok()) return c.fail(a);
  c.print(users_table(a));
  return 0;
}

int show(context& c, const std::vector<std::string>& w) {
  found f = find(c, kUsers, w[0]);
  if (!f.a.ok()) return c.fail(f.a);
  const kt::xmldoc_node* info = f.item->get("info");
  const kt::xmldoc_node* changed = info != nullptr ? info->get("pwdCh") : nullptr;
  const std::string* full = info != nullptr ? info->get_value("name") : nullptr;
  record r;
  r.add("id", attr(f.item, "id"));
  r.add("name", attr(f.item, "uname"));
  r.add("flags", user_flag_words(flags_of(f.item)));
  r.add("flags_value", attr(f.item, "flags"));
  r.add("groups", join(group_names(f.item)));
  r.add("full_name", full != nullptr ? *full : "");
  r.add("password_changed", changed != nullptr ? time_text(changed->value()) : "");
  r.add("expired", changed != nullptr && changed->attr_get("expired") != nullptr ? "yes" : "no");
  c.print(r);
  return 0;
}

int add(context& c, const std::vector<std::string>& w) {
  uint32_t flags = 0;
  std::string error;
  if (!apply_flag_options(c.args, &flags, &error)) return c.usage_error(error);
  std::unique_ptr<kt::xmldoc_node> memberof;
  answer failed;
  if (!memberof_from_options(c, &memberof, &failed)) return c.fail(failed);
  std::string password;
  if (!read_password(c.args, "password-file", "Password for new user " + w[0] + ": ", true,
                     &password, &error)) {
    return c.local_error(error);
  }
  auto cmd = c.command("userInsert");
  kt::xmldoc_node* u = cmd->add_child(kt::xmldoc_node::create("u"));
  u->attr_addval("uname", w[0]);
  u->attr_addval("flags", std::to_string(flags));
  u->add_child(kt::xmldoc_node::create("p"))->set_value(password);
  if (!memberof->children().empty()) u->add_child(std::move(memberof));
  const answer a = c.call(std::move(cmd));
  if (!a.ok()) return c.fail(a);
  const kt::xmldoc_node* id = a.find("insertedId");
  const std::string text = id != nullptr ? id->value() : "";
  record r;
  r.add("id", text);
  r.add("name", w[0]);
  return c.done(a, "user " + w[0] + " added (id " + text + ")", r);
}

int edit(context& c, const std::vector<std::string>& w) {
  found f = find(c, kUsers, w[0]);
  if (!f.a.ok()) return c.fail(f.a);
  const uint32_t current = flags_of(f.item);
  const bool system = (current & 0x1) != 0;
  uint32_t flags = current & ~0x1u;
  std::string error;
  if (!apply_flag_options(c.args, &flags, &error)) return c.usage_error(error);
  if (system && flags != 0)
    return c.usage_error(w[0] + " is the system account: it takes no flags");

  // The protocol replaces what it is given: the flags always, the groups when listed.
  auto cmd = c.command("userEdit");
  kt::xmldoc_node* u = cmd->add_child(kt::xmldoc_node::create("u"));
  u->attr_addval("id", attr(f.item, "id"));
  u->attr_addval("uname", c.args.get("rename", w[0]));
  if (!system) u->attr_addval("flags", std::to_string(flags));
  if (c.args.has("group") || c.args.has("no-groups")) {
    std::unique_ptr<kt::xmldoc_node> memberof;
    answer failed;
    if (!memberof_from_options(c, &memberof, &failed)) return c.fail(failed);
    u->add_child(std::move(memberof));
  } else if (system) {
    kt::xmldoc_node* memberof = u->add_child(kt::xmldoc_node::create("memberof"));
    for (const std::string& id : group_ids(f.item)) {
      memberof->add_child(kt::xmldoc_node::create("g"))->attr_addval("id", id);
    }
  }
  const answer a = c.call(std::move(cmd));
  if (!a.ok()) return c.fail(a);
  return c.done(a, "user " + c.args.get("rename", w[0]) + " changed");
}

int passwd(context& c, const std::vector<std::string>& w) {
  const std::string& name = w[0];
  const bool own = c.session_matches() && c.stored.user == name;
  std::string error;
  std::string old;
  if (own || c.args.has("old-password-file")) {
    if (!read_password(c.args, "old-password-file", "Current password of " + name + ": ", false,
                       &old, &error)) {
      return c.local_error(error);
    }
  }
  std::string password;
  if (!read_password(c.args, "password-file", "New password for " + name + ": ", true, &password,
                     &error)) {
    return c.local_error(error);
  }
  auto cmd = c.command("userChangePwd");
  kt::xmldoc_node* u = cmd->add_child(kt::xmldoc_node::create("u"));
  u->attr_addval("uname", name);
  u->add_child(kt::xmldoc_node::create("p"))->set_value(password);
  if (!old.empty()) u->add_child(kt::xmldoc_node::create("o"))->set_value(old);
  const answer a = c.call(std::move(cmd));
  if (!a.ok()) return c.fail(a);
  return c.done(a, "password of " + name + " changed");
}

int remove(context& c, const std::vector<std::string>& w) {
  auto cmd = c.command("userRemove");
  cmd->add_child(kt::xmldoc_node::create("u"))->attr_addval("uname", w[0]);
  const answer a = c.call(std::move(cmd));
  if (!a.ok()) return c.fail(a);
  return c.done(a, "user " + w[0] + " removed");
}

constexpr verb kVerbs[] = {
    {"add",
     "NAME [--password-file FILE] [--group GROUP]... [--locked] [--must-change] "
     "[--never-expires] [--flags N]",
     "Adds a user. The password is asked for twice without echo, or read from FILE.\n"
     "Flags: never-expires 2, must-change 4 (login refused until the user changes it),\n"
     "locked 8.",
     "password-file group flags never-expires must-change locked", 1, 1, add},
    {"list", "[PATTERN] [--case]",
     "Lists the users whose names match the extended regular expression PATTERN (all\n"
     "without one), ignoring case unless --case.",
     "case", 0, 1, list},
    {"show", "NAME", "Shows one user.", "", 1, 1, show},
    {"edit",
     "NAME [--rename NEW] [--group GROUP... | --no-groups] [--locked | --unlocked]\n"
     "      [--must-change | --no-must-change] [--never-expires | --expires] [--flags N]",
     "Changes a user. Flags not named keep their value; --group lists every group the\n"
     "user is to be in (the list replaces the current one); --no-groups empties it.",
     "rename group no-groups flags never-expires must-change locked expires no-must-change "
     "unlocked",
     1, 1, edit},
    {"passwd", "NAME [--password-file FILE] [--old-password-file FILE]",
     "Sets a user's password. Your own needs the current one (asked for, or\n"
     "--old-password-file); another user's needs WRITE on OrvaneUsers. Clears must-change.",
     "password-file old-password-file", 1, 1, passwd},
    {"rm", "NAME", "Removes a user, its memberships, permissions, attributes and tokens.", "", 1, 1,
     remove},
};

}  // namespace

const family kUserFamily{"user", "users of the domain", kVerbs, std::size(kVerbs)};

}  // namespace ctl
