// The profile management commands: nssProfileInsert, nssProfileEdit, nssProfileRemove,
// nssProfileUser, nssProfileGroup and nssProfileSearch.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "errors.h"
#include "globals.h"
#include "objects/command.h"
#include "objects/domains/domain.h"
#include "objects/fields.h"
#include "objects/groups/group.h"
#include "objects/names.h"
#include "objects/permissions/permission.h"
#include "objects/permissions/permission_records.h"
#include "objects/profiles/nss_profile_commands.h"
#include "objects/profiles/nss_profile_internal.h"
#include "objects/profiles/nss_profile_records.h"
#include "objects/search.h"
#include "objects/tasks/tasks.h"
#include "objects/users/user.h"
#include "objects/users/user_records.h"
#include "utils/logger.h"
#include "xmldoc/xmldoc.h"

namespace orvane {

namespace {

constexpr const char* kKind = "nssprofile";

constexpr uint64_t kMaxId = UINT64_MAX;
constexpr uint64_t kMaxUnixId = UINT32_MAX;

// A text attribute that must fit a record field of the given width (terminator included):
// 0x10 when missing, 0x18 when too long.
uint32_t text_attr(const kt::xmldoc_node& node, std::string_view name, size_t width,
                   std::string* out) {
  const kt::xmldoc_attr* a = node.attr_get(name);
  if (a == nullptr) return E_INVALID_REQUEST;
  if (a->value.size() >= width) return E_VALUE_INVALID;
  *out = a->value;
  return 0;
}

// The member flag of a request: bit 0x1 when the attribute is there and not "0".
uint8_t su_flag(const kt::xmldoc_node& node, std::string_view name) {
  const kt::xmldoc_attr* a = node.attr_get(name);
  return (a != nullptr && a->value != "0") ? NSS_PROFILE_USER_SU : 0;
}

// A member user from its request element, the account resolved: 0x10, 0x18 or 0x108.
uint32_t member_user_from_xml(domain& d, const kt::xmldoc_node& node, const char* id_attr,
                              const char* shell_attr, const char* home_attr, const char* su_attr,
                              kt::ref_ptr<nss_profile_user>* out) {
  uint64_t user_id = 0;
  uint64_t uid = 0;
  if (const uint32_t rc = xml_attr_decimal(node, id_attr, kMaxId, &user_id); rc != 0) return rc;
  if (const uint32_t rc = xml_attr_decimal(node, "uid", kMaxUnixId, &uid); rc != 0) return rc;
  auto m = kt::make_ref<nss_profile_user>();
  if (const uint32_t rc = text_attr(node, shell_attr, NSS_PROFILE_SHELL_FIELD, &m->shell);
      rc != 0) {
    return rc;
  }
  if (const uint32_t rc = text_attr(node, home_attr, NSS_PROFILE_HOME_FIELD, &m->home); rc != 0) {
    return rc;
  }
  m->usr = d.users_by_id.get_rw(user_id);
  if (!m->usr) {
    KT_LOG_ERR("can't find user id:%lu in domain users.", user_id);
    return E_USER_NOT_FOUND;
  }
  m->uid = static_cast<uint32_t>(uid);
  m->flags = su_flag(node, su_attr);
  *out = std::move(m);
  return 0;
}

// A member group from its request element: 0x10 or 0x601.
uint32_t member_group_from_xml(domain& d, const kt::xmldoc_node& node, const char* id_attr,
                               kt::ref_ptr<nss_profile_group>* out) {
  uint64_t group_id = 0;
  uint64_t gid = 0;
  if (const uint32_t rc = xml_attr_decimal(node, id_attr, kMaxId, &group_id); rc != 0) return rc;
  if (const uint32_t rc = xml_attr_decimal(node, "gid", kMaxUnixId, &gid); rc != 0) return rc;
  auto m = kt::make_ref<nss_profile_group>();
  m->grp = d.groups_by_id.get_rw(group_id);
  if (!m->grp) {
    KT_LOG_ERR("can't find group id:%lu in domain groups.", group_id);
    return E_GROUP_NOT_FOUND;
  }
  m->gid = static_cast<uint32_t>(gid);
  *out = std::move(m);
  return 0;
}

// 0x18 when the list already holds the member's account or its uid / gid.
uint32_t check_unique(const profile_user_list& l, const nss_profile_user& m) {
  for (const auto& have : l) {
    if (have->usr == m.usr || have->uid == m.uid) return E_VALUE_INVALID;
  }
  return 0;
}
uint32_t check_unique(const profile_group_list& l, const nss_profile_group& m) {
  for (const auto& have : l) {
    if (have->grp == m.grp || have->gid == m.gid) return E_VALUE_INVALID;
  }
  return 0;
}

// The profile's new members and inclusions, as given by the children of an nssp element.
struct profile_contents {
  profile_user_list users;
  profile_group_list groups;
  profile_list includes;
};

uint32_t contents_from_xml(domain& d, nss_profile& p, const kt::xmldoc_node& nssp,
                           profile_contents* out) {
  for (const auto& child : nssp.children()) {
    if (child->name() == "u") {
      kt::ref_ptr<nss_profile_user> m;
      if (const uint32_t rc = member_user_from_xml(d, *child, "id", "shell", "home", "su", &m)) {
        return rc;
      }
      if (const uint32_t rc = check_unique(out->users, *m); rc != 0) return rc;
      out->users.push_back(std::move(m));
    } else if (child->name() == "g") {
      kt::ref_ptr<nss_profile_group> m;
      if (const uint32_t rc = member_group_from_xml(d, *child, "id", &m); rc != 0) return rc;
      if (const uint32_t rc = check_unique(out->groups, *m); rc != 0) return rc;
      out->groups.push_back(std::move(m));
    } else if (child->name() == "i") {
      uint64_t id = 0;
      if (const uint32_t rc = xml_attr_decimal(*child, "id", kMaxId, &id); rc != 0) return rc;
      kt::ref_ptr<nss_profile> target = nss_profile_get_by_id(d, id);
      if (!target) {
        KT_LOG_ERR("can't find pam profile id:%lu in domain pam profiles.", id);
        return E_NSS_PROFILE_NOT_FOUND;
      }
      // Including target in p closes a loop when target is p or already includes p.
      if (nss_profile_reaches(*target, p)) return E_NSS_PROFILE_LOOP;
      bool listed = false;
      for (const auto& have : out->includes) listed = listed || have == target;
      if (!listed) out->includes.push_back(std::move(target));
    }
  }
  return 0;
}

// Takes p out of both domain tables.
void remove_from_domain(domain& d, nss_profile& p) {
  kt::ref_ptr<nss_profile> keep(&p);
  d.profiles_by_id.remove_rw(p.id);
  std::unique_lock lock(d.profiles_by_name.rwlock());
  if (kt::ref_ptr<nss_profile>* cur = d.profiles_by_name.find_nl(p.name);
      cur != nullptr && cur->get() == &p) {
    d.profiles_by_name.remove_l(p.name);
  }
}

// The profile named by the "id" attribute of an element: 0x10 or 0x105.
uint32_t profile_from_xml(domain& d, const kt::xmldoc_node& node, const char* attr,
                          kt::ref_ptr<nss_profile>* out) {
  uint64_t id = 0;
  if (const uint32_t rc = xml_attr_decimal(node, attr, kMaxId, &id); rc != 0) return rc;
  *out = nss_profile_get_by_id(d, id);
  return *out ? 0 : static_cast<int>(E_NSS_PROFILE_NOT_FOUND);
}

// What nssProfileUser and nssProfileGroup share: the "cmd" and "idup" attributes and the
// member child.
struct member_command {
  bool remove_old = false;  // "del", "edit"
  bool add_new = false;     // "add", "edit"
  kt::ref_ptr<nss_profile> profile;
  const kt::xmldoc_node* member = nullptr;
};

uint32_t member_command_from_xml(domain& d, const kt::xmldoc_node& cmd, const char* child,
                                 member_command* out) {
  const kt::xmldoc_attr* verb = cmd.attr_get("cmd");
  out->member = cmd.get(child);
  if (verb == nullptr || cmd.attr_get("idup") == nullptr || out->member == nullptr) {
    return E_INVALID_REQUEST;
  }
  if (verb->value == "add") {
    out->add_new = true;
  } else if (verb->value == "del") {
    out->remove_old = true;
  } else if (verb->value == "edit") {
    out->add_new = out->remove_old = true;
  } else {
    return E_INVALID_REQUEST;
  }
  return profile_from_xml(d, cmd, "idup", &out->profile);
}

// The member list after the command: the account's old member taken out (del, edit) and the
// new member put in its place, or last (add, edit). 0x18 when the account (add) or the new
// uid / gid is taken by another member. *changed tells whether the list differs.
template <class List, class Member, class Same>
uint32_t apply_member_command(const member_command& mc, const List& current, const Member& added,
                              Same same_account, List* out, bool* changed) {
  *changed = false;
  size_t place = SIZE_MAX;
  for (const auto& m : current) {
    if (mc.remove_old && same_account(*m)) {
      place = out->size();
      *changed = true;
      continue;
    }
    out->push_back(m);
  }
  if (!added) return 0;
  for (const auto& m : *out) {
    if (same_account(*m) || Same::same_number(*m, *added)) return E_VALUE_INVALID;
  }
  out->insert(out->begin() + static_cast<std::ptrdiff_t>(std::min(place, out->size())), added);
  *changed = true;
  return 0;
}

struct same_user {
  uint64_t id;
  bool operator()(const nss_profile_user& m) const { return m.usr->id == id; }
  static bool same_number(const nss_profile_user& a, const nss_profile_user& b) {
    return a.uid == b.uid;
  }
};

struct same_group {
  uint64_t id;
  bool operator()(const nss_profile_group& m) const { return m.grp->id == id; }
  static bool same_number(const nss_profile_group& a, const nss_profile_group& b) {
    return a.gid == b.gid;
  }
};

std::unique_ptr<kt::xmldoc_node> search_element(nss_profile& p) {
  auto e = kt::xmldoc_node::create("nssp");
  e->attr_addval("id", std::to_string(p.id));
  e->attr_addval("name", p.name);
  e->attr_addval("descr", p.descr);
  for (const auto& m : nss_profile_users(p)) {
    kt::xmldoc_node* u = e->add_child(kt::xmldoc_node::create("u"));
    u->attr_addval("id", std::to_string(m->usr->id));
    u->attr_addval("uid", std::to_string(m->uid));
    u->attr_addval("home", m->home);
    u->attr_addval("shell", m->shell);
    u->attr_addval("su", (m->flags & NSS_PROFILE_USER_SU) != 0 ? "1" : "0");
  }
  for (const auto& m : nss_profile_groups(p)) {
    kt::xmldoc_node* g = e->add_child(kt::xmldoc_node::create("g"));
    g->attr_addval("id", std::to_string(m->grp->id));
    g->attr_addval("gid", std::to_string(m->gid));
  }
  for (const auto& inc : nss_profile_includes(p)) {
    e->add_child(kt::xmldoc_node::create("i"))->attr_addval("id", std::to_string(inc->id));
  }
  return e;
}

}  // namespace

uint32_t nss_profile_xml_add(domain& d, const kt::xmldoc_node& nssp,
                             kt::ref_ptr<nss_profile>* out) {
  const kt::xmldoc_attr* name = nssp.attr_get("name");
  if (name == nullptr) return E_INVALID_REQUEST;
  if (const uint32_t rc = validate_generic_name(name->value); rc != 0) return rc;
  std::string descr;
  if (nssp.attr_get("descr") != nullptr) {
    if (const uint32_t rc = text_attr(nssp, "descr", NSS_PROFILE_DESCR_FIELD, &descr); rc != 0) {
      return rc;
    }
  }
  if (nss_profile_get_by_name(d, name->value)) return E_NSS_PROFILE_EXISTS;

  kt::ref_ptr<nss_profile> p = nss_profile_create();
  p->name = name->value;
  p->descr = std::move(descr);
  if (const uint32_t rc = nss_profile_db_add(d, *p); rc != 0) {
    KT_LOG_ERR("%s: unix_profile_db_add() failed (%d).", p->name.c_str(), rc);
    return rc;
  }
  p->dom = kt::ref_ptr<domain>(&d);
  d.profiles_by_name.insert_rw(p->name, p);
  d.profiles_by_id.insert_rw(p->id, p);
  *out = std::move(p);
  return 0;
}

uint32_t nss_profile_xml_edit(domain& d, const kt::xmldoc_node& nssp,
                              kt::ref_ptr<nss_profile>* out) {
  kt::ref_ptr<nss_profile> p;
  if (const uint32_t rc = profile_from_xml(d, nssp, "id", &p); rc != 0) return rc;

  // Every check runs before anything changes.
  const kt::xmldoc_attr* name = nssp.attr_get("name");
  if (name != nullptr) {
    if (const uint32_t rc = validate_generic_name(name->value); rc != 0) return rc;
    if (kt::ref_ptr<nss_profile> other = nss_profile_get_by_name(d, name->value);
        other && other != p) {
      return E_NSS_PROFILE_EXISTS;
    }
  }
  std::string descr = p->descr;
  if (nssp.attr_get("descr") != nullptr) {
    if (const uint32_t rc = text_attr(nssp, "descr", NSS_PROFILE_DESCR_FIELD, &descr); rc != 0) {
      return rc;
    }
  }
  profile_contents contents;
  if (const uint32_t rc = contents_from_xml(d, *p, nssp, &contents); rc != 0) return rc;

  // The record first; memory changes only when the store took it.
  const bool rename = name != nullptr && name->value != p->name;
  if (rename || descr != p->descr) {
    kt::ref_ptr<nss_profile> staged = nss_profile_create();
    staged->id = p->id;
    staged->name = rename ? name->value : p->name;
    staged->descr = descr;
    if (const uint32_t rc = nss_profile_db_edit(d, *staged); rc != 0) {
      KT_LOG_ERR("%s: unix_profile_db_edit() failed (%d).", p->name.c_str(), rc);
      return rc;
    }
    if (rename) {
      std::unique_lock lock(d.profiles_by_name.rwlock());
      if (kt::ref_ptr<nss_profile>* cur = d.profiles_by_name.find_nl(p->name);
          cur != nullptr && *cur == p) {
        d.profiles_by_name.remove_l(p->name);
      }
      p->name = staged->name;
      d.profiles_by_name.insert_l(p->name, p);
    }
    p->descr = std::move(descr);
  }
  *out = p;

  // Each member file in turn; memory follows each file that was written.
  uint32_t rc = _nss_profile_write_users(d, p->id, contents.users);
  if (rc == 0) _nss_profile_set_users(*p, contents.users);
  if (rc == 0) rc = _nss_profile_write_groups(d, p->id, contents.groups);
  if (rc == 0) _nss_profile_set_groups(*p, contents.groups);
  if (rc == 0) rc = _nss_profile_write_includes(d, p->id, contents.includes);
  if (rc == 0) _nss_profile_set_includes(*p, contents.includes);
  if (rc != 0) KT_LOG_ERR("%s: member files not written.", p->name.c_str());
  return rc;
}

uint32_t nss_profile_xml_remove(domain& d, const kt::xmldoc_node& nssp,
                                kt::ref_ptr<nss_profile>* out) {
  kt::ref_ptr<nss_profile> p;
  if (const uint32_t rc = profile_from_xml(d, nssp, "id", &p); rc != 0) return rc;
  if (const uint32_t rc = nss_profile_db_remove(d, *p); rc != 0) {
    KT_LOG_ERR("%s: nss_profile_db_remove() failed (%d).", p->name.c_str(), rc);
    return rc;
  }

  // The profiles that include this one lose it.
  for (const auto& includer : profile_snapshot(p->included_by)) {
    profile_list rest;
    for (const auto& inc : nss_profile_includes(*includer)) {
      if (inc != p) rest.push_back(inc);
    }
    if (_nss_profile_write_includes(d, includer->id, rest) != 0) {
      KT_LOG_ERR("%s: member file not rewritten after %s went.", includer->name.c_str(),
                 p->name.c_str());
    }
    _nss_profile_set_includes(*includer, rest);
  }
  _nss_profile_set_includes(*p, {});
  nss_profile_flush(*p);
  remove_from_domain(d, *p);
  *out = std::move(p);
  return 0;
}

uint32_t nss_profile_xml_user(domain& d, const kt::xmldoc_node& cmd) {
  member_command mc;
  if (const uint32_t rc = member_command_from_xml(d, cmd, "u", &mc); rc != 0) return rc;
  // A member element without the identifier is the bare failure (-1), not a bad request.
  if (mc.member->attr_get("u") == nullptr) return E_FAILED;
  uint64_t user_id = 0;
  if (const uint32_t rc = xml_attr_decimal(*mc.member, "u", kMaxId, &user_id); rc != 0) {
    return rc;
  }
  kt::ref_ptr<nss_profile_user> added;
  if (mc.add_new) {
    if (const uint32_t rc = member_user_from_xml(d, *mc.member, "u", "s", "h", "r", &added))
      return rc;
  }
  profile_user_list next;
  bool changed = false;
  if (const uint32_t rc = apply_member_command(mc, nss_profile_users(*mc.profile), added,
                                               same_user{user_id}, &next, &changed)) {
    return rc;
  }
  if (!changed) return 0;
  if (const uint32_t rc = _nss_profile_write_users(d, mc.profile->id, next); rc != 0) return rc;
  _nss_profile_set_users(*mc.profile, next);
  return 0;
}

uint32_t nss_profile_xml_group(domain& d, const kt::xmldoc_node& cmd) {
  member_command mc;
  if (const uint32_t rc = member_command_from_xml(d, cmd, "g", &mc); rc != 0) return rc;
  // A member element without the identifier is the bare failure (-1), not a bad request.
  if (mc.member->attr_get("g") == nullptr) return E_FAILED;
  uint64_t group_id = 0;
  if (const uint32_t rc = xml_attr_decimal(*mc.member, "g", kMaxId, &group_id); rc != 0) {
    return rc;
  }
  kt::ref_ptr<nss_profile_group> added;
  if (mc.add_new) {
    if (const uint32_t rc = member_group_from_xml(d, *mc.member, "g", &added); rc != 0) return rc;
  }
  profile_group_list next;
  bool changed = false;
  if (const uint32_t rc = apply_member_command(mc, nss_profile_groups(*mc.profile), added,
                                               same_group{group_id}, &next, &changed)) {
    return rc;
  }
  if (!changed) return 0;
  if (const uint32_t rc = _nss_profile_write_groups(d, mc.profile->id, next); rc != 0) return rc;
  _nss_profile_set_groups(*mc.profile, next);
  return 0;
}

uint32_t processor_nss_profile_insert(command& cmd) {
  if (const uint32_t rc = cmd.require(SYS_RES_NSS_PROFILES, PERM_WRITE)) return rc;
  return cmd.change(kKind, CHANGE_INSERT, [&](change_report& report) -> uint32_t {
    const kt::xmldoc_node* nssp = cmd.element.get("nssp");
    if (nssp == nullptr) return E_INVALID_REQUEST;
    kt::ref_ptr<nss_profile> p;
    const uint32_t rc = nss_profile_xml_add(cmd.dom(), *nssp, &p);
    if (rc == E_OK) report = {p->name, p->id, true};
    return rc;
  });
}

uint32_t processor_nss_profile_edit(command& cmd) {
  if (const uint32_t rc = cmd.require(SYS_RES_NSS_PROFILES, PERM_WRITE)) return rc;
  return cmd.change(kKind, CHANGE_EDIT, [&](change_report& report) -> uint32_t {
    const kt::xmldoc_node* nssp = cmd.element.get("nssp");
    if (nssp == nullptr) return E_INVALID_REQUEST;
    kt::ref_ptr<nss_profile> p;
    // A member file that failed after the record changed: the change is told, the failure
    // returned.
    const uint32_t rc = nss_profile_xml_edit(cmd.dom(), *nssp, &p);
    if (p) report = {p->name, p->id, true};
    return rc;
  });
}

uint32_t processor_nss_profile_remove(command& cmd) {
  if (const uint32_t rc = cmd.require(SYS_RES_NSS_PROFILES, PERM_WRITE)) return rc;
  return cmd.change(kKind, CHANGE_REMOVE, [&](change_report& report) -> uint32_t {
    const kt::xmldoc_node* nssp = cmd.element.get("nssp");
    if (nssp == nullptr) return E_INVALID_REQUEST;
    kt::ref_ptr<nss_profile> p;
    const uint32_t rc = nss_profile_xml_remove(cmd.dom(), *nssp, &p);
    if (rc == E_OK) report = {p->name, p->id, true};
    return rc;
  });
}

uint32_t processor_nss_profile_user(command& cmd) {
  if (const uint32_t rc = cmd.require(SYS_RES_NSS_PROFILES, PERM_WRITE)) return rc;
  return nss_profile_xml_user(cmd.dom(), cmd.element);
}

uint32_t processor_nss_profile_group(command& cmd) {
  if (const uint32_t rc = cmd.require(SYS_RES_NSS_PROFILES, PERM_WRITE)) return rc;
  return nss_profile_xml_group(cmd.dom(), cmd.element);
}

uint32_t processor_nss_profile_search(command& cmd) {
  if (const uint32_t rc = cmd.require(SYS_RES_NSS_PROFILES, PERM_READ)) return rc;
  regex_holder re;
  if (const uint32_t rc = search_pattern_compile(cmd.element, re); rc != 0) return rc;
  auto profiles = kt::xmldoc_node::create("nssprofiles");
  for (const auto& p : profile_snapshot(cmd.dom().profiles_by_id)) {
    if (re.match(p->name.c_str())) profiles->add_child(search_element(*p));
  }
  cmd.answer(std::move(profiles));
  return E_OK;
}

}  // namespace orvane
