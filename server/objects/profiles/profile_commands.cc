// The profile management commands: nssProfileInsert, nssProfileEdit, nssProfileRemove,
// nssProfileUser, nssProfileGroup and nssProfileSearch.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "client.h"
#include "errors.h"
#include "globals.h"
#include "objects/change.h"
#include "objects/domains/domain.h"
#include "objects/groups/group.h"
#include "objects/permissions/permission.h"
#include "objects/permissions/permissions.h"
#include "objects/profiles/profiles.h"
#include "objects/profiles/profiles_internal.h"
#include "objects/search.h"
#include "objects/tasks/tasks.h"
#include "objects/users/user.h"
#include "objects/users/users.h"
#include "processor.h"
#include "utils/logger.h"
#include "xmldoc/xmldoc.h"

namespace orvane {

namespace {

constexpr uint64_t kMaxId = UINT64_MAX;
constexpr uint64_t kMaxUnixId = UINT32_MAX;

// A text attribute that must fit a record field of the given width (terminator included):
// 0x10 when missing, 0x18 when too long.
int text_attr(const kt::xmldoc_node& node, std::string_view name, size_t width, std::string* out) {
  const kt::xmldoc_attr* a = node.attr_get(name);
  if (a == nullptr) return E_INVALID_REQUEST;
  if (a->value.size() >= width) return E_VALUE_INVALID;
  *out = a->value;
  return 0;
}

// The member flag of a request: bit 0x1 when the attribute is there and not "0".
uint8_t su_flag(const kt::xmldoc_node& node, std::string_view name) {
  const kt::xmldoc_attr* a = node.attr_get(name);
  return (a != nullptr && a->value != "0") ? UNIX_PROFILE_USER_SU : 0;
}

// A member user from its request element, the account resolved: 0x10, 0x18 or 0x108.
int member_user_from_xml(domain& d, const kt::xmldoc_node& node, const char* id_attr,
                         const char* shell_attr, const char* home_attr, const char* su_attr,
                         kt::ref_ptr<unix_profile_user>* out) {
  uint64_t user_id = 0;
  uint64_t uid = 0;
  if (const uint32_t rc = xml_attr_decimal(node, id_attr, kMaxId, &user_id); rc != 0) return rc;
  if (const uint32_t rc = xml_attr_decimal(node, "uid", kMaxUnixId, &uid); rc != 0) return rc;
  auto m = kt::make_ref<unix_profile_user>();
  if (const int rc = text_attr(node, shell_attr, UNIX_PROFILE_SHELL_FIELD, &m->shell); rc != 0) {
    return rc;
  }
  if (const int rc = text_attr(node, home_attr, UNIX_PROFILE_HOME_FIELD, &m->home); rc != 0) {
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
int member_group_from_xml(domain& d, const kt::xmldoc_node& node, const char* id_attr,
                          kt::ref_ptr<unix_profile_group>* out) {
  uint64_t group_id = 0;
  uint64_t gid = 0;
  if (const uint32_t rc = xml_attr_decimal(node, id_attr, kMaxId, &group_id); rc != 0) return rc;
  if (const uint32_t rc = xml_attr_decimal(node, "gid", kMaxUnixId, &gid); rc != 0) return rc;
  auto m = kt::make_ref<unix_profile_group>();
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
int check_unique(const profile_user_list& l, const unix_profile_user& m) {
  for (const auto& have : l) {
    if (have->usr == m.usr || have->uid == m.uid) return E_VALUE_INVALID;
  }
  return 0;
}
int check_unique(const profile_group_list& l, const unix_profile_group& m) {
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

int contents_from_xml(domain& d, unix_profile& p, const kt::xmldoc_node& nssp,
                      profile_contents* out) {
  for (const auto& child : nssp.children()) {
    if (child->name() == "u") {
      kt::ref_ptr<unix_profile_user> m;
      if (const int rc = member_user_from_xml(d, *child, "id", "shell", "home", "su", &m)) {
        return rc;
      }
      if (const int rc = check_unique(out->users, *m); rc != 0) return rc;
      out->users.push_back(std::move(m));
    } else if (child->name() == "g") {
      kt::ref_ptr<unix_profile_group> m;
      if (const int rc = member_group_from_xml(d, *child, "id", &m); rc != 0) return rc;
      if (const int rc = check_unique(out->groups, *m); rc != 0) return rc;
      out->groups.push_back(std::move(m));
    } else if (child->name() == "i") {
      uint64_t id = 0;
      if (const uint32_t rc = xml_attr_decimal(*child, "id", kMaxId, &id); rc != 0) return rc;
      kt::ref_ptr<unix_profile> target = unix_profile_get_by_id(d, id);
      if (!target) {
        KT_LOG_ERR("can't find pam profile id:%lu in domain pam profiles.", id);
        return E_NSS_PROFILE_NOT_FOUND;
      }
      // Including target in p closes a loop when target is p or already includes p.
      if (unix_profile_reaches(*target, p)) return E_NSS_PROFILE_LOOP;
      bool listed = false;
      for (const auto& have : out->includes) listed = listed || have == target;
      if (!listed) out->includes.push_back(std::move(target));
    }
  }
  return 0;
}

// Takes p out of both domain tables.
void remove_from_domain(domain& d, unix_profile& p) {
  kt::ref_ptr<unix_profile> keep(&p);
  d.profiles_by_id.remove_rw(p.id);
  std::unique_lock lock(d.profiles_by_name.rwlock());
  if (kt::ref_ptr<unix_profile>* cur = d.profiles_by_name.find_nl(p.name);
      cur != nullptr && cur->get() == &p) {
    d.profiles_by_name.remove_l(p.name);
  }
}

// The profile named by the "id" attribute of an element: 0x10 or 0x105.
int profile_from_xml(domain& d, const kt::xmldoc_node& node, const char* attr,
                     kt::ref_ptr<unix_profile>* out) {
  uint64_t id = 0;
  if (const uint32_t rc = xml_attr_decimal(node, attr, kMaxId, &id); rc != 0) return rc;
  *out = unix_profile_get_by_id(d, id);
  return *out ? 0 : static_cast<int>(E_NSS_PROFILE_NOT_FOUND);
}

// What nssProfileUser and nssProfileGroup share: the "cmd" and "idup" attributes and the
// member child.
struct member_command {
  bool remove_old = false;  // "del", "edit"
  bool add_new = false;     // "add", "edit"
  kt::ref_ptr<unix_profile> profile;
  const kt::xmldoc_node* member = nullptr;
};

int member_command_from_xml(domain& d, const kt::xmldoc_node& cmd, const char* child,
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
int apply_member_command(const member_command& mc, const List& current, const Member& added,
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
  bool operator()(const unix_profile_user& m) const { return m.usr->id == id; }
  static bool same_number(const unix_profile_user& a, const unix_profile_user& b) {
    return a.uid == b.uid;
  }
};

struct same_group {
  uint64_t id;
  bool operator()(const unix_profile_group& m) const { return m.grp->id == id; }
  static bool same_number(const unix_profile_group& a, const unix_profile_group& b) {
    return a.gid == b.gid;
  }
};

std::unique_ptr<kt::xmldoc_node> search_element(unix_profile& p) {
  auto e = kt::xmldoc_node::create("nssp");
  e->attr_addval("id", std::to_string(p.id));
  e->attr_addval("name", p.name);
  e->attr_addval("descr", p.descr);
  for (const auto& m : unix_profile_users(p)) {
    kt::xmldoc_node* u = e->add_child(kt::xmldoc_node::create("u"));
    u->attr_addval("id", std::to_string(m->usr->id));
    u->attr_addval("uid", std::to_string(m->uid));
    u->attr_addval("home", m->home);
    u->attr_addval("shell", m->shell);
    u->attr_addval("su", (m->flags & UNIX_PROFILE_USER_SU) != 0 ? "1" : "0");
  }
  for (const auto& m : unix_profile_groups(p)) {
    kt::xmldoc_node* g = e->add_child(kt::xmldoc_node::create("g"));
    g->attr_addval("id", std::to_string(m->grp->id));
    g->attr_addval("gid", std::to_string(m->gid));
  }
  for (const auto& inc : unix_profile_includes(p)) {
    e->add_child(kt::xmldoc_node::create("i"))->attr_addval("id", std::to_string(inc->id));
  }
  return e;
}

}  // namespace

int unix_profile_xml_add(domain& d, const kt::xmldoc_node& nssp, kt::ref_ptr<unix_profile>* out) {
  const kt::xmldoc_attr* name = nssp.attr_get("name");
  if (name == nullptr) return E_INVALID_REQUEST;
  if (const int rc = validate_generic_name(name->value); rc != 0) return rc;
  std::string descr;
  if (nssp.attr_get("descr") != nullptr) {
    if (const int rc = text_attr(nssp, "descr", UNIX_PROFILE_DESCR_FIELD, &descr); rc != 0) {
      return rc;
    }
  }
  if (unix_profile_get_by_name(d, name->value)) return E_NSS_PROFILE_EXISTS;

  kt::ref_ptr<unix_profile> p = unix_profile_create();
  p->name = name->value;
  p->descr = std::move(descr);
  if (const int rc = unix_profile_db_add(d, *p); rc != 0) {
    KT_LOG_ERR("%s: unix_profile_db_add() failed (%d).", p->name.c_str(), rc);
    return rc;
  }
  p->dom = kt::ref_ptr<domain>(&d);
  d.profiles_by_name.insert_rw(p->name, p);
  d.profiles_by_id.insert_rw(p->id, p);
  *out = std::move(p);
  return 0;
}

int unix_profile_xml_edit(domain& d, const kt::xmldoc_node& nssp, kt::ref_ptr<unix_profile>* out) {
  kt::ref_ptr<unix_profile> p;
  if (const int rc = profile_from_xml(d, nssp, "id", &p); rc != 0) return rc;

  // Every check runs before anything changes.
  const kt::xmldoc_attr* name = nssp.attr_get("name");
  if (name != nullptr) {
    if (const int rc = validate_generic_name(name->value); rc != 0) return rc;
    if (kt::ref_ptr<unix_profile> other = unix_profile_get_by_name(d, name->value);
        other && other != p) {
      return E_NSS_PROFILE_EXISTS;
    }
  }
  std::string descr = p->descr;
  if (nssp.attr_get("descr") != nullptr) {
    if (const int rc = text_attr(nssp, "descr", UNIX_PROFILE_DESCR_FIELD, &descr); rc != 0) {
      return rc;
    }
  }
  profile_contents contents;
  if (const int rc = contents_from_xml(d, *p, nssp, &contents); rc != 0) return rc;

  // The record first; memory changes only when the store took it.
  const bool rename = name != nullptr && name->value != p->name;
  if (rename || descr != p->descr) {
    kt::ref_ptr<unix_profile> staged = unix_profile_create();
    staged->id = p->id;
    staged->name = rename ? name->value : p->name;
    staged->descr = descr;
    if (const int rc = unix_profile_db_edit(d, *staged); rc != 0) {
      KT_LOG_ERR("%s: unix_profile_db_edit() failed (%d).", p->name.c_str(), rc);
      return rc;
    }
    if (rename) {
      std::unique_lock lock(d.profiles_by_name.rwlock());
      if (kt::ref_ptr<unix_profile>* cur = d.profiles_by_name.find_nl(p->name);
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
  int rc = _unix_profile_write_users(d, p->id, contents.users);
  if (rc == 0) _unix_profile_set_users(*p, contents.users);
  if (rc == 0) rc = _unix_profile_write_groups(d, p->id, contents.groups);
  if (rc == 0) _unix_profile_set_groups(*p, contents.groups);
  if (rc == 0) rc = _unix_profile_write_includes(d, p->id, contents.includes);
  if (rc == 0) _unix_profile_set_includes(*p, contents.includes);
  if (rc != 0) KT_LOG_ERR("%s: member files not written.", p->name.c_str());
  return rc;
}

int unix_profile_xml_del(domain& d, const kt::xmldoc_node& nssp, kt::ref_ptr<unix_profile>* out) {
  kt::ref_ptr<unix_profile> p;
  if (const int rc = profile_from_xml(d, nssp, "id", &p); rc != 0) return rc;
  if (const int rc = unix_profile_db_del(d, *p); rc != 0) {
    KT_LOG_ERR("%s: unix_profile_db_del() failed (%d).", p->name.c_str(), rc);
    return rc;
  }

  // The profiles that include this one lose it.
  for (const auto& includer : profile_snapshot(p->included_by)) {
    profile_list rest;
    for (const auto& inc : unix_profile_includes(*includer)) {
      if (inc != p) rest.push_back(inc);
    }
    if (_unix_profile_write_includes(d, includer->id, rest) != 0) {
      KT_LOG_ERR("%s: member file not rewritten after %s went.", includer->name.c_str(),
                 p->name.c_str());
    }
    _unix_profile_set_includes(*includer, rest);
  }
  _unix_profile_set_includes(*p, {});
  unix_profile_flush(*p);
  remove_from_domain(d, *p);
  *out = std::move(p);
  return 0;
}

int unix_profile_xml_user(domain& d, const kt::xmldoc_node& cmd) {
  member_command mc;
  if (const int rc = member_command_from_xml(d, cmd, "u", &mc); rc != 0) return rc;
  uint64_t user_id = 0;
  if (const uint32_t rc = xml_attr_decimal(*mc.member, "u", kMaxId, &user_id); rc != 0) {
    return rc;
  }
  kt::ref_ptr<unix_profile_user> added;
  if (mc.add_new) {
    if (const int rc = member_user_from_xml(d, *mc.member, "u", "s", "h", "r", &added)) return rc;
  }
  profile_user_list next;
  bool changed = false;
  if (const int rc = apply_member_command(mc, unix_profile_users(*mc.profile), added,
                                          same_user{user_id}, &next, &changed)) {
    return rc;
  }
  if (!changed) return 0;
  if (const int rc = _unix_profile_write_users(d, mc.profile->id, next); rc != 0) return rc;
  _unix_profile_set_users(*mc.profile, next);
  return 0;
}

int unix_profile_xml_group(domain& d, const kt::xmldoc_node& cmd) {
  member_command mc;
  if (const int rc = member_command_from_xml(d, cmd, "g", &mc); rc != 0) return rc;
  uint64_t group_id = 0;
  if (const uint32_t rc = xml_attr_decimal(*mc.member, "g", kMaxId, &group_id); rc != 0) {
    return rc;
  }
  kt::ref_ptr<unix_profile_group> added;
  if (mc.add_new) {
    if (const int rc = member_group_from_xml(d, *mc.member, "g", &added); rc != 0) return rc;
  }
  profile_group_list next;
  bool changed = false;
  if (const int rc = apply_member_command(mc, unix_profile_groups(*mc.profile), added,
                                          same_group{group_id}, &next, &changed)) {
    return rc;
  }
  if (!changed) return 0;
  if (const int rc = _unix_profile_write_groups(d, mc.profile->id, next); rc != 0) return rc;
  _unix_profile_set_groups(*mc.profile, next);
  return 0;
}

uint32_t processor_pam_profile_insert(client& c, globals& g, domain* d, token* t,
                                      kt::xmldoc_node& cmd, processor_result& r) {
  if (d == nullptr) return E_DOMAIN_NOT_FOUND;
  if (const uint32_t rc = permission_check_system(*d, t, SYS_RES_NSS_PROFILES, PERM_WRITE)) {
    return rc;
  }
  const kt::xmldoc_node* nssp = cmd.get("nssp");
  if (nssp == nullptr) return E_INVALID_REQUEST;
  kt::ref_ptr<unix_profile> p;
  if (const int rc = unix_profile_xml_add(*d, *nssp, &p); rc != 0) {
    return static_cast<uint32_t>(rc);
  }
  r.set_answer_inserted_id(p->id);
  object_changed(c, g, *d, t, cmd, "nssprofile", p->name, p->id, CHANGE_INSERT);
  return E_OK;
}

uint32_t processor_pam_profile_edit(client& c, globals& g, domain* d, token* t,
                                    kt::xmldoc_node& cmd, processor_result&) {
  if (d == nullptr) return E_DOMAIN_NOT_FOUND;
  if (const uint32_t rc = permission_check_system(*d, t, SYS_RES_NSS_PROFILES, PERM_WRITE)) {
    return rc;
  }
  const kt::xmldoc_node* nssp = cmd.get("nssp");
  if (nssp == nullptr) return E_INVALID_REQUEST;
  kt::ref_ptr<unix_profile> p;
  const int rc = unix_profile_xml_edit(*d, *nssp, &p);
  if (!p) return static_cast<uint32_t>(rc);
  // A member file that failed after the record changed: the change is told, the failure
  // returned.
  object_changed(c, g, *d, t, cmd, "nssprofile", p->name, p->id, CHANGE_EDIT);
  return static_cast<uint32_t>(rc);
}

uint32_t processor_pam_profile_remove(client& c, globals& g, domain* d, token* t,
                                      kt::xmldoc_node& cmd, processor_result&) {
  if (d == nullptr) return E_DOMAIN_NOT_FOUND;
  if (const uint32_t rc = permission_check_system(*d, t, SYS_RES_NSS_PROFILES, PERM_WRITE)) {
    return rc;
  }
  const kt::xmldoc_node* nssp = cmd.get("nssp");
  if (nssp == nullptr) return E_INVALID_REQUEST;
  kt::ref_ptr<unix_profile> p;
  if (const int rc = unix_profile_xml_del(*d, *nssp, &p); rc != 0) {
    return static_cast<uint32_t>(rc);
  }
  object_changed(c, g, *d, t, cmd, "nssprofile", p->name, p->id, CHANGE_REMOVE);
  return E_OK;
}

uint32_t processor_pam_profile_user(client&, globals&, domain* d, token* t, kt::xmldoc_node& cmd,
                                    processor_result&) {
  if (d == nullptr) return E_DOMAIN_NOT_FOUND;
  if (const uint32_t rc = permission_check_system(*d, t, SYS_RES_NSS_PROFILES, PERM_WRITE)) {
    return rc;
  }
  return static_cast<uint32_t>(unix_profile_xml_user(*d, cmd));
}

uint32_t processor_pam_profile_group(client&, globals&, domain* d, token* t, kt::xmldoc_node& cmd,
                                     processor_result&) {
  if (d == nullptr) return E_DOMAIN_NOT_FOUND;
  if (const uint32_t rc = permission_check_system(*d, t, SYS_RES_NSS_PROFILES, PERM_WRITE)) {
    return rc;
  }
  return static_cast<uint32_t>(unix_profile_xml_group(*d, cmd));
}

uint32_t processor_pam_profile_search(client&, globals&, domain* d, token* t, kt::xmldoc_node& cmd,
                                      processor_result& r) {
  if (d == nullptr) return E_DOMAIN_NOT_FOUND;
  if (const uint32_t rc = permission_check_system(*d, t, SYS_RES_NSS_PROFILES, PERM_READ)) {
    return rc;
  }
  regex_holder re;
  if (const int rc = search_pattern_compile(cmd, re); rc != 0) return static_cast<uint32_t>(rc);
  auto profiles = kt::xmldoc_node::create("nssprofiles");
  for (const auto& p : profile_snapshot(d->profiles_by_id)) {
    if (re.match(p->name.c_str())) profiles->add_child(search_element(*p));
  }
  r.set_answer(std::move(profiles));
  return E_OK;
}

}  // namespace orvane
