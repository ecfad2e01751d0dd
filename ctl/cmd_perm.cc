// perm grant|revoke|list|check
#include "commands.h"
#include "resources.h"

namespace ctl {

namespace {

// The member named by --user or --group: its kind ("0" user, "1" group) and identifier.
bool member_option(context& c, std::string* type, std::string* id, answer* failed, int* usage) {
  const bool user = c.args.has("user");
  if (user == c.args.has("group")) {
    *usage = c.usage_error("name the member with --user NAME or --group NAME");
    return false;
  }
  found m = find(c, user ? kUsers : kGroups, c.args.get(user ? "user" : "group"));
  if (!m.a.ok()) {
    *failed = std::move(m.a);
    return false;
  }
  *type = user ? "0" : "1";
  *id = attr(m.item, "id");
  return true;
}

int change(context& c, const std::vector<std::string>& w, bool grant) {
  int rights = w.size() > 1 ? parse_rights(w[1]) : 7;
  if (rights < 0) return c.usage_error("rights are rwx letters, read,write,exec or 0-7");
  found r = find(c, kResources, w[0]);
  if (!r.a.ok()) return c.fail(r.a);
  std::string type;
  std::string id;
  answer failed;
  int usage = 0;
  if (!member_option(c, &type, &id, &failed, &usage)) return usage != 0 ? usage : c.fail(failed);

  // The list is written back whole: the protocol replaces a resource's permissions.
  std::vector<permission_entry> perms = permissions_of(r.item);
  auto at = perms.begin();
  while (at != perms.end() && !(at->member_type == type && at->member_id == id)) ++at;
  if (grant) {
    if (at == perms.end()) {
      perms.push_back({"0", type, id, static_cast<uint32_t>(rights)});
    } else {
      at->flags |= static_cast<uint32_t>(rights);
    }
  } else if (at != perms.end()) {
    at->flags &= ~static_cast<uint32_t>(rights);
    if (at->flags == 0) perms.erase(at);
  }
  const answer a = c.call(resource_edit(c, r.item, "", "", "", &perms));
  if (!a.ok()) return c.fail(a);
  const std::string who = c.args.get(type == "0" ? "user" : "group");
  return c.done(a, std::string(grant ? "granted " : "revoked ") + rights_text(rights) + " on " +
                       w[0] + (grant ? " to " : " from ") + who);
}

int grant(context& c, const std::vector<std::string>& w) {
  return change(c, w, true);
}
int revoke(context& c, const std::vector<std::string>& w) {
  return change(c, w, false);
}

int list(context& c, const std::vector<std::string>& w) {
  found r = find(c, kResources, w[0]);
  if (!r.a.ok()) return c.fail(r.a);
  name_index users;
  name_index groups;
  answer failed;
  if (!load_index(c, kUsers, &users, &failed) || !load_index(c, kGroups, &groups, &failed)) {
    return c.fail(failed);
  }
  table t{{"id", "kind", "member", "rights"}, {}};
  for (const permission_entry& p : permissions_of(r.item)) {
    const bool group = p.member_type == "1";
    t.add({p.id, group ? "group" : "user",
           group ? groups.name_of(p.member_id) : users.name_of(p.member_id), rights_text(p.flags)});
  }
  c.print(t);
  return 0;
}

int check(context& c, const std::vector<std::string>& w) {
  auto cmd = c.command("getPermissions");
  cmd->add_child(kt::xmldoc_node::create("path"))->set_value(w.empty() ? "" : w[0]);
  if (c.args.has("user")) cmd->attr_addval("user", c.args.get("user"));
  const answer a = c.call(std::move(cmd));
  if (!a.ok()) return c.fail(a);
  table t{{"resource", "rights", "value"}, {}};
  if (const kt::xmldoc_node* list = a.find("permissions")) {
    for (const auto& p : list->children()) {
      uint64_t v = 0;
      parse_number(p->value(), &v);
      t.add({attr(p.get(), "p"), rights_text(static_cast<uint32_t>(v)), p->value()});
    }
  }
  c.print(t);
  return 0;
}

constexpr verb kVerbs[] = {
    {"grant", "RESOURCE (--user NAME | --group NAME) [RIGHTS]",
     "Grants rights on a resource (default rwx; RIGHTS as r, rw, rwx, read,write or 0-7),\n"
     "adding them to those the member holds there.",
     "user group", 1, 2, grant},
    {"revoke", "RESOURCE (--user NAME | --group NAME) [RIGHTS]",
     "Takes rights away (default all; the entry goes when none is left).", "user group", 1, 2,
     revoke},
    {"list", "RESOURCE", "Lists who holds which rights on a resource.", "", 1, 1, list},
    {"check", "[PATH] [--user NAME]",
     "Shows the rights of the caller (or of --user) along a resource path: /ORVANE,\n"
     "/ORVANE/OrvaneUsers, /ORVANE/* (the children), or empty for the domain root.",
     "user", 0, 1, check},
};

}  // namespace

const family kPermFamily{"perm", "permissions on resources", kVerbs, std::size(kVerbs)};

}  // namespace ctl
