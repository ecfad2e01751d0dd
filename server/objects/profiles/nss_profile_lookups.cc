// The name-service lookups: passwd and group entries of a profile and of the profiles it
// includes.
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "errors.h"
#include "globals.h"
#include "objects/command.h"
#include "objects/domains/domain.h"
#include "objects/fields.h"
#include "objects/groups/group.h"
#include "objects/netclients/netclient.h"
#include "objects/permissions/permission_records.h"
#include "objects/profiles/nss_profile_commands.h"
#include "objects/profiles/nss_profile_internal.h"
#include "objects/profiles/nss_profile_records.h"
#include "objects/users/user.h"
#include "objects/users/user_records.h"
#include "xmldoc/xmldoc.h"

namespace orvane {

namespace {

constexpr uint32_t kSecondsPerDay = 86400;

// Calls visit for the profile and then, depth first in inclusion order, for every profile it
// includes, each once whatever the inclusion graph holds. visit returns false to stop.
void profile_walk(nss_profile& p, const std::function<bool(nss_profile&)>& visit) {
  std::unordered_set<const nss_profile*> visited;
  profile_list pending{kt::ref_ptr<nss_profile>(&p)};
  while (!pending.empty()) {
    kt::ref_ptr<nss_profile> cur = std::move(pending.back());
    pending.pop_back();
    if (!visited.insert(cur.get()).second) continue;
    if (!visit(*cur)) return;
    profile_list next = nss_profile_includes(*cur);
    for (auto it = next.rbegin(); it != next.rend(); ++it) pending.push_back(std::move(*it));
  }
}

bool account_usable(const domain& d, const nss_profile_user& m) {
  return _user_account_verify(d, *m.usr) == 0;
}

std::unique_ptr<kt::xmldoc_node> pw_element(const domain& d, const nss_profile_user& m) {
  const user& u = *m.usr;
  auto e = kt::xmldoc_node::create("u");
  e->attr_addval("uid", std::to_string(m.uid));
  e->attr_addval("s", m.shell);
  e->attr_addval("h", m.home);
  e->attr_addval("n", u.uname);
  e->attr_addval("p", std::string(u.nss_password, strnlen(u.nss_password, sizeof u.nss_password)));
  e->attr_addval("pl", std::to_string(u.pwd_changed / kSecondsPerDay));
  const uint32_t valid = (u.flags & USER_FLAG_PWD_NEVER_EXPIRES) != 0
                             ? NSS_PROFILE_PWD_NEVER_EXPIRES_DAYS
                             : d.password_expire_days.load(std::memory_order_relaxed);
  e->attr_addval("pv", std::to_string(valid));
  e->attr_addval("f", std::to_string(m.flags));
  return e;
}

std::unique_ptr<kt::xmldoc_node> gr_element(uint32_t gid, const std::string& name,
                                            const std::string& members) {
  auto e = kt::xmldoc_node::create("g");
  e->attr_addval("gid", std::to_string(gid));
  e->attr_addval("n", name);
  e->set_value(members);
  return e;
}

// The names of the group's users, then those of its member groups, depth first; each user once.
std::string group_member_names(group& top) {
  std::string out;
  std::unordered_set<uint64_t> users;
  std::unordered_set<const group*> visited;
  std::vector<kt::ref_ptr<group>> pending{kt::ref_ptr<group>(&top)};
  while (!pending.empty()) {
    kt::ref_ptr<group> gr = std::move(pending.back());
    pending.pop_back();
    if (!visited.insert(gr.get()).second) continue;
    for (const auto& u : profile_snapshot(gr->member_users)) {
      if (!users.insert(u->id).second) continue;
      if (!out.empty()) out += ',';
      out += u->uname;
    }
    auto children = profile_snapshot(gr->member_groups);
    for (auto it = children.rbegin(); it != children.rend(); ++it) pending.push_back(*it);
  }
  return out;
}

std::unique_ptr<kt::xmldoc_node> user_group_element(const nss_profile_user& m) {
  return gr_element(m.uid, m.usr->uname, m.usr->uname);
}

std::unique_ptr<kt::xmldoc_node> group_element(const nss_profile_group& m) {
  return gr_element(m.gid, m.grp->name, group_member_names(*m.grp));
}

// The first checks of every lookup: the connection may use the NSS class (0x102), the profile
// named by "profile" exists (0x10 without the attribute, 0x105).
uint32_t lookup_profile(const command& cmd, kt::ref_ptr<nss_profile>* out) {
  if (verify_netclient_access(cmd.dom(), cmd.from, API_NSS_PROFILES) != 0) {
    return E_ACCESS_VIOLATION;
  }
  const kt::xmldoc_attr* name = cmd.element.attr_get("profile");
  if (name == nullptr) return E_INVALID_REQUEST;
  *out = nss_profile_get_by_name(cmd.dom(), name->value);
  return *out ? E_OK : E_NSS_PROFILE_NOT_FOUND;
}

// The first member user found by find in the profile walk.
kt::ref_ptr<nss_profile_user> find_user(
    nss_profile& p, const std::function<kt::ref_ptr<nss_profile_user>(nss_profile&)>& find) {
  kt::ref_ptr<nss_profile_user> found;
  profile_walk(p, [&](nss_profile& cur) {
    found = find(cur);
    return !found;
  });
  return found;
}

kt::ref_ptr<nss_profile_group> find_group(
    nss_profile& p, const std::function<kt::ref_ptr<nss_profile_group>(nss_profile&)>& find) {
  kt::ref_ptr<nss_profile_group> found;
  profile_walk(p, [&](nss_profile& cur) {
    found = find(cur);
    return !found;
  });
  return found;
}

// pamGetPWUID / pamGetPWName: 0x108 when no member matches; an account that fails the check
// gives the check's code with an empty entry.
uint32_t answer_pwentry(command& cmd, const kt::ref_ptr<nss_profile_user>& m) {
  const domain& d = cmd.dom();
  if (!m) return E_USER_NOT_FOUND;
  auto entry = kt::xmldoc_node::create("pwentry");
  const uint32_t rc = _user_account_verify(d, *m->usr);
  if (rc == 0) entry->add_child(pw_element(d, *m));
  cmd.answer(std::move(entry));
  return rc;
}

// pamGetGRGID / pamGetGRName: a member group, else a member user's own group (usable accounts
// only, as in the listing), else the bare failure (-1) the name-service clients expect.
uint32_t answer_grentry(command& cmd, const kt::ref_ptr<nss_profile_group>& group_member,
                        const kt::ref_ptr<nss_profile_user>& user_member) {
  std::unique_ptr<kt::xmldoc_node> g;
  if (group_member) {
    g = group_element(*group_member);
  } else if (user_member) {
    g = user_group_element(*user_member);
  } else {
    return E_FAILED;
  }
  auto entry = kt::xmldoc_node::create("grentry");
  entry->add_child(std::move(g));
  cmd.answer(std::move(entry));
  return E_OK;
}

}  // namespace

uint32_t processor_nss_profile_getpwentries(command& cmd) {
  const domain* d = &cmd.dom();
  kt::ref_ptr<nss_profile> p;
  if (const uint32_t rc = lookup_profile(cmd, &p); rc != 0) return rc;
  auto entries = kt::xmldoc_node::create("pwentries");
  profile_walk(*p, [&](nss_profile& cur) {
    for (const auto& m : nss_profile_users(cur)) {
      if (account_usable(*d, *m)) entries->add_child(pw_element(*d, *m));
    }
    return true;
  });
  cmd.answer(std::move(entries));
  return E_OK;
}

uint32_t processor_nss_profile_getgrentries(command& cmd) {
  const domain* d = &cmd.dom();
  kt::ref_ptr<nss_profile> p;
  if (const uint32_t rc = lookup_profile(cmd, &p); rc != 0) return rc;
  auto entries = kt::xmldoc_node::create("grentries");
  profile_walk(*p, [&](nss_profile& cur) {
    for (const auto& m : nss_profile_users(cur)) {
      if (account_usable(*d, *m)) entries->add_child(user_group_element(*m));
    }
    for (const auto& m : nss_profile_groups(cur)) entries->add_child(group_element(*m));
    return true;
  });
  cmd.answer(std::move(entries));
  return E_OK;
}

uint32_t processor_nss_profile_getpwuid(command& cmd) {
  kt::ref_ptr<nss_profile> p;
  if (const uint32_t rc = lookup_profile(cmd, &p); rc != 0) return rc;
  uint64_t uid = 0;
  if (const uint32_t rc = xml_attr_decimal(cmd.element, "uid", UINT32_MAX, &uid); rc != 0)
    return rc;
  const auto m = find_user(
      *p, [&](nss_profile& cur) { return cur.users_by_uid.get_rw(static_cast<uint32_t>(uid)); });
  return answer_pwentry(cmd, m);
}

uint32_t processor_nss_profile_getpwname(command& cmd) {
  kt::ref_ptr<nss_profile> p;
  if (const uint32_t rc = lookup_profile(cmd, &p); rc != 0) return rc;
  const kt::xmldoc_attr* name = cmd.element.attr_get("uname");
  if (name == nullptr) return E_INVALID_REQUEST;
  const auto m =
      find_user(*p, [&](nss_profile& cur) { return nss_profile_find_user_name(cur, name->value); });
  return answer_pwentry(cmd, m);
}

uint32_t processor_nss_profile_getgrgid(command& cmd) {
  const domain* d = &cmd.dom();
  kt::ref_ptr<nss_profile> p;
  if (const uint32_t rc = lookup_profile(cmd, &p); rc != 0) return rc;
  uint64_t gid64 = 0;
  if (const uint32_t rc = xml_attr_decimal(cmd.element, "gid", UINT32_MAX, &gid64); rc != 0)
    return rc;
  const auto gid = static_cast<uint32_t>(gid64);
  const auto gm = find_group(*p, [&](nss_profile& cur) { return cur.groups_by_gid.get_rw(gid); });
  kt::ref_ptr<nss_profile_user> um;
  if (!gm) {
    um = find_user(*p, [&](nss_profile& cur) {
      kt::ref_ptr<nss_profile_user> m = cur.users_by_uid.get_rw(gid);
      return (m && account_usable(*d, *m)) ? m : kt::ref_ptr<nss_profile_user>();
    });
  }
  return answer_grentry(cmd, gm, um);
}

uint32_t processor_nss_profile_getgrname(command& cmd) {
  const domain* d = &cmd.dom();
  kt::ref_ptr<nss_profile> p;
  if (const uint32_t rc = lookup_profile(cmd, &p); rc != 0) return rc;
  const kt::xmldoc_attr* name = cmd.element.attr_get("name");
  if (name == nullptr) return E_INVALID_REQUEST;
  const auto gm = find_group(
      *p, [&](nss_profile& cur) { return nss_profile_find_group_name(cur, name->value); });
  kt::ref_ptr<nss_profile_user> um;
  if (!gm) {
    um = find_user(*p, [&](nss_profile& cur) {
      kt::ref_ptr<nss_profile_user> m = nss_profile_find_user_name(cur, name->value);
      return (m && account_usable(*d, *m)) ? m : kt::ref_ptr<nss_profile_user>();
    });
  }
  return answer_grentry(cmd, gm, um);
}

}  // namespace orvane
