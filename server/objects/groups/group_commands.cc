// The group commands: groupInsert, groupEdit, groupRemove and groupSearch.
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "objects/groups/group_commands.h"

#include "errors.h"
#include "objects/attributes/attribute_records.h"
#include "objects/command.h"
#include "objects/domains/domain.h"
#include "objects/groups/group_internal.h"
#include "objects/groups/group_records.h"
#include "objects/names.h"
#include "objects/permissions/permission_records.h"
#include "objects/profiles/nss_profile_records.h"
#include "objects/resources/resource.h"
#include "objects/search.h"
#include "objects/tasks/tasks.h"
#include "objects/tokens/token.h"
#include "objects/users/user.h"
#include "objects/users/user_records.h"
#include "utils/logger.h"
#include "utils/uid.h"
#include "xmldoc/xmldoc.h"

namespace orvane {

namespace {

constexpr const char* kKind = "group";

// The "id" attribute of a request element, when it is there and not empty.
bool has_id(const kt::xmldoc_node& g) {
  const kt::xmldoc_attr* id = g.attr_get("id");
  return id != nullptr && !id->value.empty();
}

// The values of one of a group's tables, taken under its read lock.
template <class T>
std::vector<kt::ref_ptr<T>> snapshot(kt::hashtable<uint64_t, kt::ref_ptr<T>>& table) {
  std::vector<kt::ref_ptr<T>> out;
  std::shared_lock lock(table.rwlock());
  table.for_each([&](const uint64_t&, kt::ref_ptr<T>& v) {
    if (v) out.push_back(v);
  });
  return out;
}

template <class Table>
void flush_table(Table& table) {
  std::unique_lock lock(table.rwlock());
  table.flush();
}

// Takes gr out of both domain tables.
void remove_from_domain(domain& d, group& gr) {
  kt::ref_ptr<group> keep(&gr);
  d.groups_by_id.remove_rw(gr.id);
  std::unique_lock lock(d.groups_by_name.rwlock());
  if (kt::ref_ptr<group>* cur = d.groups_by_name.find_nl(gr.name);
      cur != nullptr && cur->get() == &gr) {
    d.groups_by_name.remove_l(gr.name);
  }
}

// Deletes the permissions held by gr: out of their resources, out of the file, out of gr.
void delete_permissions(domain& d, group& gr) {
  for (const kt::ref_ptr<permission>& p : snapshot(gr.permissions)) {
    if (p->target) p->target->permissions.remove_rw(p->id);
    if (const int rc = permission_db_remove(d, *p); rc != 0) {
      KT_LOG_ERR("group %s: permission %lu not removed (%d)", gr.name.c_str(),
                 static_cast<unsigned long>(p->id), rc);
    }
  }
  flush_table(gr.permissions);
}

// Undoes the memberships of every kind that gr takes part in. The member files of gr itself
// are not touched (the caller deletes them); the records of gr in its parents' files go.
void drop_memberships(domain& d, group& gr) {
  for (const kt::ref_ptr<user>& u : snapshot(gr.member_users)) group_unlink_user(gr, *u);
  for (const kt::ref_ptr<group>& parent : snapshot(gr.member_of)) {
    if (const int rc = group_member_db_remove(d, *parent, MEMBER_GROUP, gr.id); rc < 0) {
      KT_LOG_ERR("group %s: member record in group %s not removed (%d)", gr.name.c_str(),
                 parent->name.c_str(), rc);
    }
    group_unlink_group(*parent, gr);
  }
  for (const kt::ref_ptr<group>& child : snapshot(gr.member_groups)) {
    group_unlink_group(gr, *child);
  }
  flush_table(gr.member_users);
  flush_table(gr.member_of);
  flush_table(gr.member_groups);
}

std::unique_ptr<kt::xmldoc_node> group_element(const group& gr) {
  auto e = kt::xmldoc_node::create("g");
  e->attr_addval("id", std::to_string(gr.id));
  e->attr_addval("name", gr.name);
  return e;
}

std::unique_ptr<kt::xmldoc_node> group_search_element(group& gr) {
  auto e = group_element(gr);
  std::shared_lock lock(gr.member_of.rwlock());
  if (gr.member_of.count() > 0) {
    auto memberof = kt::xmldoc_node::create("memberof");
    gr.member_of.for_each([&](const uint64_t&, kt::ref_ptr<group>& parent) {
      if (parent) memberof->add_child(group_element(*parent));
    });
    e->add_child(std::move(memberof));
  }
  return e;
}

// The commands on a "g" element, after the rights check. *out receives the group once it has
// changed (for groupEdit also when a member record is refused afterwards). administrator tells
// whether the caller administers the domain; without, a command that would nest a group into
// Administrators, take one out of it or remove one within it is refused with 0x102 before
// anything changes.

// groupInsert: 0x10, 0x14, 0x15, 0x602, the memberof codes, or a store failure (nothing kept).
uint32_t group_xml_add(domain& d, const kt::xmldoc_node& g, bool administrator,
                       kt::ref_ptr<group>* out) {
  const kt::xmldoc_attr* name = g.attr_get("name");
  if (name == nullptr) return E_INVALID_REQUEST;
  if (const uint32_t rc = check_generic_name(name->value, GROUP_NAME_MAX); rc != 0) return rc;
  if (group_get_by_name(d, name->value)) return E_GROUP_EXISTS;
  group_list parents;
  if (const kt::xmldoc_node* memberof = g.get("memberof"); memberof != nullptr) {
    if (const uint32_t rc = membership_xml2list(d, *memberof, parents); rc != 0) return rc;
  }
  if (!administrator) {
    for (const kt::ref_ptr<group>& parent : parents) {
      if (group_within_administrators(d, *parent)) return E_ACCESS_VIOLATION;
    }
  }

  kt::ref_ptr<group> gr = group_create();
  if (!gr) return E_NO_MEMORY;
  gr->name = name->value;
  gr->flags = 0;
  gr->dom = kt::ref_ptr<domain>(&d);
  // The records in the parents' member files come before the group's own, which makes the group
  // exist: a crash in between leaves member records of no group, which the next load drops.
  // A new group has no members: no loop is possible.
  const uint64_t id = kt::uid_time_seq();
  gr->id = id;
  if (const uint32_t rc = assign_group_membership(d, *gr, parents); rc != 0) {
    drop_memberships(d, *gr);  // leave nothing behind
    return rc;
  }
  if (const uint32_t rc = _group_db_add_id(d, *gr, id); rc != 0) {
    KT_LOG_ERR("%s: group_db_add() failed.", gr->name.c_str());
    drop_memberships(d, *gr);
    return rc;
  }
  d.groups_by_name.insert_rw(gr->name, gr);
  d.groups_by_id.insert_rw(gr->id, gr);
  *out = std::move(gr);
  return 0;
}

// groupEdit: every check (name, lookup, memberof, loops, AllUsers, rename) runs before any
// change: 0x10, 0x14, 0x15, 0x601, 0x605, 0x608, 0x604, 0x603, 0x607, 0x606, 0x602, or a store
// failure.
uint32_t group_xml_edit(domain& d, const kt::xmldoc_node& g, bool administrator,
                        kt::ref_ptr<group>* out) {
  const kt::xmldoc_attr* name = g.attr_get("name");
  if (!has_id(g) && name == nullptr) return E_INVALID_REQUEST;
  if (name != nullptr) {
    if (const uint32_t rc = check_generic_name(name->value, GROUP_NAME_MAX); rc != 0) return rc;
  }
  kt::ref_ptr<group> gr = group_from_xml(d, g);
  if (!gr) return E_GROUP_NOT_FOUND;

  // Every check runs before anything changes.
  group_list parents;
  const kt::xmldoc_node* memberof = g.get("memberof");
  if (memberof != nullptr) {
    if (const uint32_t rc = membership_xml2list(d, *memberof, parents); rc != 0) return rc;
    if (const uint32_t rc = _group_validate_memberof(d, *gr, parents); rc != 0) return rc;
    if (!parents.empty() && (gr->flags & GROUP_FLAG_ALL_USERS) != 0) {
      return E_GROUP_ALLUSERS_MEMBER;
    }
    if (!administrator && membership_touches_administrators(d, gr->member_of, parents)) {
      return E_ACCESS_VIOLATION;
    }
  }
  const bool rename = name != nullptr && name->value != gr->name;
  if (rename) {
    if ((gr->flags & GROUP_FLAG_SYSTEM) != 0) return E_GROUP_SYSTEM;
    if (kt::ref_ptr<group> other = group_get_by_name(d, name->value); other && other != gr) {
      return E_GROUP_EXISTS;
    }
  }

  // The record is written first; memory changes only when the store took it.
  if (rename) {
    kt::ref_ptr<group> staged = group_create();
    if (!staged) return E_NO_MEMORY;
    staged->id = gr->id;
    staged->flags = gr->flags;
    staged->name = name->value;
    if (const uint32_t rc = group_db_edit(d, *staged); rc != 0) {
      KT_LOG_ERR("%s: group_db_edit() failed.", gr->name.c_str());
      return rc;
    }
    std::unique_lock lock(d.groups_by_name.rwlock());
    if (kt::ref_ptr<group>* cur = d.groups_by_name.find_nl(gr->name);
        cur != nullptr && *cur == gr) {
      d.groups_by_name.remove_l(gr->name);
    }
    gr->name = name->value;
    d.groups_by_name.insert_l(gr->name, gr);
  }
  *out = gr;
  if (memberof != nullptr) return assign_group_membership(d, *gr, parents);
  return E_OK;
}

// groupRemove: 0x10, 0x601, 0x606, or a store failure with nothing changed. Takes along the
// member files, the group's records in its parents' member files, its attributes and its
// permissions.
uint32_t group_xml_remove(domain& d, const kt::xmldoc_node& g, bool administrator,
                          kt::ref_ptr<group>* out) {
  if (!has_id(g) && g.attr_get("name") == nullptr) return E_INVALID_REQUEST;
  kt::ref_ptr<group> gr = group_from_xml(d, g);
  if (!gr) return E_GROUP_NOT_FOUND;
  if ((gr->flags & GROUP_FLAG_SYSTEM) != 0) return E_GROUP_SYSTEM;
  if (!administrator && group_within_administrators(d, *gr)) return E_ACCESS_VIOLATION;
  if (const uint32_t rc = group_db_remove(d, *gr); rc != 0) {
    KT_LOG_ERR("%s: group_db_remove() failed.", gr->name.c_str());
    return rc;
  }

  if (const int rc = attributes_db_remove_list(d, gr->attributes); rc != 0) {
    KT_LOG_ERR("group %s: attributes not all removed (%d)", gr->name.c_str(), rc);
  }
  flush_table(gr->attributes);  // the attributes point back at the group
  nss_profile_group_account_deleted(d, *gr);
  delete_permissions(d, *gr);
  drop_memberships(d, *gr);
  _group_member_files_unlink(d, gr->id);
  remove_from_domain(d, *gr);
  *out = std::move(gr);
  return 0;
}

}  // namespace

uint32_t processor_group_insert(command& cmd) {
  if (const uint32_t rc = cmd.require(SYS_RES_GROUPS, PERM_WRITE); rc != 0) return rc;
  return cmd.change(kKind, CHANGE_INSERT, [&](change_report& report) -> uint32_t {
    const kt::xmldoc_node* gn = cmd.element.get("g");
    if (gn == nullptr) return E_INVALID_REQUEST;
    kt::ref_ptr<group> gr;
    const uint32_t rc = group_xml_add(cmd.dom(), *gn, cmd.require_admin() == E_OK, &gr);
    if (rc == E_OK) report = {gr->name, gr->id, true};
    return rc;
  });
}

uint32_t processor_group_edit(command& cmd) {
  if (const uint32_t rc = cmd.require(SYS_RES_GROUPS, PERM_WRITE); rc != 0) return rc;
  return cmd.change(kKind, CHANGE_EDIT, [&](change_report& report) -> uint32_t {
    const kt::xmldoc_node* gn = cmd.element.get("g");
    if (gn == nullptr) return E_INVALID_REQUEST;
    kt::ref_ptr<group> gr;
    // A member record the store refused after other changes: those are told, the failure kept.
    const uint32_t rc = group_xml_edit(cmd.dom(), *gn, cmd.require_admin() == E_OK, &gr);
    if (gr) report = {gr->name, gr->id, true};
    return rc;
  });
}

uint32_t processor_group_remove(command& cmd) {
  if (const uint32_t rc = cmd.require(SYS_RES_GROUPS, PERM_WRITE); rc != 0) return rc;
  return cmd.change(kKind, CHANGE_REMOVE, [&](change_report& report) -> uint32_t {
    const kt::xmldoc_node* gn = cmd.element.get("g");
    if (gn == nullptr) return E_INVALID_REQUEST;
    kt::ref_ptr<group> gr;
    const uint32_t rc = group_xml_remove(cmd.dom(), *gn, cmd.require_admin() == E_OK, &gr);
    if (rc == E_OK) report = {gr->name, gr->id, true};
    return rc;
  });
}

uint32_t processor_group_search(command& cmd) {
  if (const uint32_t rc = cmd.require(SYS_RES_GROUPS, PERM_READ); rc != 0) return rc;
  domain& d = cmd.dom();
  regex_holder re;
  if (const uint32_t rc = search_pattern_compile(cmd.element, re); rc != 0) return rc;
  auto groups = kt::xmldoc_node::create("groups");
  {
    std::shared_lock lock(d.groups_by_id.rwlock());
    d.groups_by_id.for_each([&](const uint64_t&, kt::ref_ptr<group>& gr) {
      if (gr && re.match(gr->name.c_str())) groups->add_child(group_search_element(*gr));
    });
  }
  cmd.answer(std::move(groups));
  return E_OK;
}

}  // namespace orvane
