// The group commands: groupInsert, groupEdit, groupRemove and groupSearch.
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "errors.h"
#include "objects/attributes/attributes.h"
#include "objects/change.h"
#include "objects/domains/domain.h"
#include "objects/groups/groups.h"
#include "objects/permissions/permissions.h"
#include "objects/profiles/profiles.h"
#include "objects/resources/resource.h"
#include "objects/search.h"
#include "objects/tasks/tasks.h"
#include "objects/tokens/token.h"
#include "objects/users/user.h"
#include "objects/users/users.h"
#include "processor.h"
#include "utils/logger.h"
#include "utils/uid.h"
#include "xmldoc/xmldoc.h"

namespace orvane {

namespace {

// The caller's right on the domain's OrvaneGroups resource: 0 or E_ACCESS_VIOLATION.
uint32_t check_right(const domain& d, const token* t, uint32_t flags) {
  if (t == nullptr || !t->usr) return E_ACCESS_VIOLATION;
  return permission_check(*t->usr, PERMISSION_TARGET_RESOURCE, d.sys_res[SYS_RES_GROUPS], flags) ==
                 0
             ? E_OK
             : E_ACCESS_VIOLATION;
}

// A name the commands accept: valid, and short enough to come back whole from the record.
int check_name(std::string_view name) {
  if (const int rc = validate_generic_name(name); rc != 0) return rc;
  return name.size() > GROUP_NAME_MAX ? static_cast<int>(E_NAME_TOO_LONG) : 0;
}

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
    if (const int rc = permission_db_del(d, *p); rc != 0) {
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

}  // namespace

int group_xml_add(domain& d, const kt::xmldoc_node& g, bool administrator,
                  kt::ref_ptr<group>* out) {
  const kt::xmldoc_attr* name = g.attr_get("name");
  if (name == nullptr) return E_INVALID_REQUEST;
  if (const int rc = check_name(name->value); rc != 0) return rc;
  if (group_get_by_name(d, name->value)) return E_GROUP_EXISTS;
  group_list parents;
  if (const kt::xmldoc_node* memberof = g.get("memberof"); memberof != nullptr) {
    if (const int rc = membership_xml2list(d, *memberof, parents); rc != 0) return rc;
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
  if (const int rc = assign_group_membership(d, *gr, parents); rc != 0) {
    drop_memberships(d, *gr);  // leave nothing behind
    return rc;
  }
  if (const int rc = _group_db_add_id(d, *gr, id); rc != 0) {
    KT_LOG_ERR("%s: group_db_add() failed (%d).", gr->name.c_str(), rc);
    drop_memberships(d, *gr);
    return rc;
  }
  d.groups_by_name.insert_rw(gr->name, gr);
  d.groups_by_id.insert_rw(gr->id, gr);
  *out = std::move(gr);
  return 0;
}

int group_xml_edit(domain& d, const kt::xmldoc_node& g, bool administrator,
                   kt::ref_ptr<group>* out) {
  const kt::xmldoc_attr* name = g.attr_get("name");
  if (!has_id(g) && name == nullptr) return E_INVALID_REQUEST;
  if (name != nullptr) {
    if (const int rc = check_name(name->value); rc != 0) return rc;
  }
  kt::ref_ptr<group> gr = group_from_xml(d, g);
  if (!gr) return E_GROUP_NOT_FOUND;

  // Every check runs before anything changes.
  group_list parents;
  const kt::xmldoc_node* memberof = g.get("memberof");
  if (memberof != nullptr) {
    if (const int rc = membership_xml2list(d, *memberof, parents); rc != 0) return rc;
    if (const int rc = _group_validate_memberof(d, *gr, parents); rc != 0) return rc;
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
    if (const int rc = group_db_edit(d, *staged); rc != 0) {
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
  return 0;
}

int group_xml_del(domain& d, const kt::xmldoc_node& g, bool administrator,
                  kt::ref_ptr<group>* out) {
  if (!has_id(g) && g.attr_get("name") == nullptr) return E_INVALID_REQUEST;
  kt::ref_ptr<group> gr = group_from_xml(d, g);
  if (!gr) return E_GROUP_NOT_FOUND;
  if ((gr->flags & GROUP_FLAG_SYSTEM) != 0) return E_GROUP_SYSTEM;
  if (!administrator && group_within_administrators(d, *gr)) return E_ACCESS_VIOLATION;
  if (const int rc = group_db_del(d, *gr); rc != 0) {
    KT_LOG_ERR("%s: group_db_del() failed (%d).", gr->name.c_str(), rc);
    return rc;
  }

  if (const int rc = attributes_db_del_list(d, gr->attributes); rc != 0) {
    KT_LOG_ERR("group %s: attributes not all removed (%d)", gr->name.c_str(), rc);
  }
  flush_table(gr->attributes);  // the attributes point back at the group
  unix_profile_group_account_deleted(d, *gr);
  delete_permissions(d, *gr);
  drop_memberships(d, *gr);
  _group_member_files_unlink(d, gr->id);
  remove_from_domain(d, *gr);
  *out = std::move(gr);
  return 0;
}

uint32_t processor_group_insert(client& c, globals& g, domain* d, token* t, kt::xmldoc_node& cmd,
                                processor_result& r) {
  if (d == nullptr) return E_DOMAIN_NOT_FOUND;
  if (const uint32_t rc = check_right(*d, t, PERM_WRITE); rc != 0) return rc;
  const kt::xmldoc_node* gn = cmd.get("g");
  if (gn == nullptr) return E_INVALID_REQUEST;
  kt::ref_ptr<group> gr;
  const bool admin = permission_check_admin(g, *d, t) == E_OK;
  if (const int rc = group_xml_add(*d, *gn, admin, &gr); rc != 0) {
    return static_cast<uint32_t>(rc);
  }
  r.set_answer_inserted_id(gr->id);
  object_changed(c, g, *d, t, cmd, "group", gr->name, gr->id, CHANGE_INSERT);
  return E_OK;
}

uint32_t processor_group_edit(client& c, globals& g, domain* d, token* t, kt::xmldoc_node& cmd,
                              processor_result&) {
  if (d == nullptr) return E_DOMAIN_NOT_FOUND;
  if (const uint32_t rc = check_right(*d, t, PERM_WRITE); rc != 0) return rc;
  const kt::xmldoc_node* gn = cmd.get("g");
  if (gn == nullptr) return E_INVALID_REQUEST;
  kt::ref_ptr<group> gr;
  const int rc = group_xml_edit(*d, *gn, permission_check_admin(g, *d, t) == E_OK, &gr);
  if (!gr) return static_cast<uint32_t>(rc);
  if (rc == 0) {
    object_changed(c, g, *d, t, cmd, "group", gr->name, gr->id, CHANGE_EDIT);
    return E_OK;
  }
  // A member record the store refused after other changes: those are told, the failure kept.
  notify_change(g, *d, t, "group", gr->id, CHANGE_EDIT);
  audit_change(c, *d, t, cmd, static_cast<uint32_t>(rc), "group", gr->name, gr->id, "edited");
  return static_cast<uint32_t>(rc);
}

uint32_t processor_group_remove(client& c, globals& g, domain* d, token* t, kt::xmldoc_node& cmd,
                                processor_result&) {
  if (d == nullptr) return E_DOMAIN_NOT_FOUND;
  if (const uint32_t rc = check_right(*d, t, PERM_WRITE); rc != 0) return rc;
  const kt::xmldoc_node* gn = cmd.get("g");
  if (gn == nullptr) return E_INVALID_REQUEST;
  kt::ref_ptr<group> gr;
  const bool admin = permission_check_admin(g, *d, t) == E_OK;
  if (const int rc = group_xml_del(*d, *gn, admin, &gr); rc != 0) {
    return static_cast<uint32_t>(rc);
  }
  object_changed(c, g, *d, t, cmd, "group", gr->name, gr->id, CHANGE_REMOVE);
  return E_OK;
}

uint32_t processor_group_search(client&, globals&, domain* d, token* t, kt::xmldoc_node& cmd,
                                processor_result& r) {
  if (d == nullptr) return E_DOMAIN_NOT_FOUND;
  if (const uint32_t rc = check_right(*d, t, PERM_READ); rc != 0) return rc;
  regex_holder re;
  if (const int rc = search_pattern_compile(cmd, re); rc != 0) return static_cast<uint32_t>(rc);
  auto groups = kt::xmldoc_node::create("groups");
  {
    std::shared_lock lock(d->groups_by_id.rwlock());
    d->groups_by_id.for_each([&](const uint64_t&, kt::ref_ptr<group>& gr) {
      if (gr && re.match(gr->name.c_str())) groups->add_child(group_search_element(*gr));
    });
  }
  r.set_answer(std::move(groups));
  return E_OK;
}

}  // namespace orvane
