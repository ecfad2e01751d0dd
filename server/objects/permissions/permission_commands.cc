// Permission lists of the resource commands, the rights check of the management commands and the
// rights queries getPermissions / getUserPermissions.
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

#include "errors.h"
#include "globals.h"
#include "objects/domains/domain.h"
#include "objects/groups/group.h"
#include "objects/groups/groups.h"
#include "objects/permissions/permissions.h"
#include "objects/resources/resource.h"
#include "objects/tokens/token.h"
#include "objects/users/user.h"
#include "processor.h"
#include "utils/logger.h"
#include "xmldoc/xmldoc.h"

namespace orvane {

namespace {

// The walk of a path query holds at most this many resources.
constexpr size_t kMaxPathResources = 32;

bool member_exists(domain& d, uint32_t member_type, uint64_t member_id) {
  if (member_type == MEMBER_USER) return static_cast<bool>(d.users_by_id.get_rw(member_id));
  return static_cast<bool>(d.groups_by_id.get_rw(member_id));
}

// One planned change of permissions_update: the entry and the permission of r it replaces.
struct planned {
  kt::ref_ptr<permission> entry;
  kt::ref_ptr<permission> old;  // empty for a new record
  uint64_t asked_id = 0;        // the entry's identifier before a new one was given
};

// Puts the records of permissions_update back as they were: new records deleted, rewritten
// ones restored, deleted ones written again.
void undo_records(domain& d, const std::vector<planned>& done,
                  const std::vector<kt::ref_ptr<permission>>& deleted) {
  for (const planned& step : done) {
    const int rc = step.old ? permission_db_edit(d, *step.old) : permission_db_del(d, *step.entry);
    if (rc != 0) KT_LOG_ERR("permission %lu: record not restored (%d)", step.entry->id, rc);
    if (!step.old) step.entry->id = step.asked_id;
  }
  for (const kt::ref_ptr<permission>& p : deleted) {
    if (const int rc = _permission_db_put(d, *p); rc != 0) {
      KT_LOG_ERR("permission %lu: record not restored (%d)", p->id, rc);
    }
  }
}

std::unique_ptr<kt::xmldoc_node> path_element(const user& subject, const resource& r,
                                              const std::string& label) {
  auto p = kt::xmldoc_node::create("p");
  p->attr_addval("p", label);
  const kt::ref_ptr<permission> entry = permission_get(subject, PERMISSION_TARGET_RESOURCE, r.id);
  p->set_value(entry ? std::to_string(entry->flags) : std::string("0"));
  return p;
}

// Appends one element per resource of d whose parent is parent_id, in the table's order.
void list_children(domain& d, const user& subject, uint64_t parent_id, kt::xmldoc_node& result) {
  std::vector<kt::ref_ptr<resource>> found;
  {
    std::shared_lock lock(d.resources_by_id.rwlock());
    d.resources_by_id.for_each([&](uint64_t, kt::ref_ptr<resource>& r) {
      if (r && r->parent_id == parent_id) found.push_back(r);
    });
  }
  for (const kt::ref_ptr<resource>& r : found) {
    result.add_child(path_element(subject, *r, r->name));
  }
}

// The user an attribute value names: a nonzero decimal number is an identifier, anything else
// a name.
kt::ref_ptr<user> user_named(domain& d, const std::string& value) {
  uint64_t id = 0;
  bool number = !value.empty() && value.size() <= 20;
  for (char c : value) {
    if (c < '0' || c > '9') {
      number = false;
      break;
    }
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (id > (UINT64_MAX - digit) / 10) {
      number = false;
      break;
    }
    id = id * 10 + digit;
  }
  if (number && id != 0) return d.users_by_id.get_rw(id);
  return d.users_by_name.get_rw(value);
}

}  // namespace

uint32_t permission_check_system(const domain& d, const token* t, int sys_res, uint32_t flags) {
  if (t == nullptr || !t->usr || sys_res < 0 || sys_res >= SYS_RES_COUNT) {
    return E_ACCESS_VIOLATION;
  }
  return permission_check(*t->usr, PERMISSION_TARGET_RESOURCE, d.sys_res[sys_res], flags) == 0
             ? E_OK
             : E_ACCESS_VIOLATION;
}

uint32_t permission_check_admin(globals& g, domain& d, const token* t) {
  if (t == nullptr || !t->usr) return E_ACCESS_VIOLATION;
  if (user_within_administrators(d, *t->usr)) return E_OK;
  std::shared_lock tree(g.global_lock);  // the parent links the walk follows
  return permission_check_hieracy(*t->usr, PERMISSION_TARGET_RESOURCE, d,
                                  sys_resource_names[SYS_RES_ORVANE], d.sys_res[SYS_RES_ORVANE],
                                  PERM_WRITE) == 0
             ? E_OK
             : E_ACCESS_VIOLATION;
}

uint32_t xml_attr_decimal(const kt::xmldoc_node& node, std::string_view name, uint64_t max,
                          uint64_t* out) {
  const kt::xmldoc_attr* a = node.attr_get(name);
  if (a == nullptr || a->value.empty()) return E_INVALID_REQUEST;
  uint64_t v = 0;
  for (char c : a->value) {
    if (c < '0' || c > '9') return E_INVALID_REQUEST;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (v > (max - digit) / 10) return E_INVALID_REQUEST;
    v = v * 10 + digit;
  }
  *out = v;
  return E_OK;
}

uint32_t permissions_xml2list(domain& d, uint32_t target_type, uint64_t target_id,
                              const kt::xmldoc_node& element, permission_list* out) {
  permission_list list;
  for (const auto& child : element.children()) {
    if (child->name() != "p") continue;
    uint64_t id = 0;
    uint64_t member_type = 0;
    uint64_t member_id = 0;
    uint64_t flags = 0;
    if (xml_attr_decimal(*child, "id", UINT64_MAX, &id) != 0 ||
        xml_attr_decimal(*child, "memberType", MEMBER_GROUP, &member_type) != 0 ||
        xml_attr_decimal(*child, "memberId", UINT64_MAX, &member_id) != 0 ||
        xml_attr_decimal(*child, "flags", UINT16_MAX, &flags) != 0) {
      return E_INVALID_REQUEST;
    }
    for (const kt::ref_ptr<permission>& p : list) {
      if (p->member_type == member_type && p->member_id == member_id) {
        return E_RESOURCE_DUPLICATE_PERMISSION;
      }
      // Two entries can't both take the place of one stored permission.
      if (id != 0 && p->id == id) return E_INVALID_REQUEST;
    }
    const auto type = static_cast<uint32_t>(member_type);
    if (!member_exists(d, type, member_id)) {
      KT_LOG_WARN("permission entry for missing %s %lu refused",
                  type == MEMBER_USER ? "user" : "group", member_id);
      return E_INVALID_REQUEST;
    }
    kt::ref_ptr<permission> p = permission_create();
    if (!p) return E_NO_MEMORY;
    p->id = id;
    p->target_type = target_type;
    p->target_id = target_id;
    p->member_type = type;
    p->member_id = member_id;
    p->flags = static_cast<uint32_t>(flags);
    list.push_back(std::move(p));
  }
  *out = std::move(list);
  return E_OK;
}

int permissions_update(domain& d, resource& r, const permission_list& list) {
  // What goes and what stays, decided before anything is written.
  std::vector<kt::ref_ptr<permission>> current;
  {
    std::shared_lock lock(r.permissions.rwlock());
    r.permissions.for_each([&](uint64_t, kt::ref_ptr<permission>& p) {
      if (p) current.push_back(p);
    });
  }
  std::vector<kt::ref_ptr<permission>> removed;
  for (const kt::ref_ptr<permission>& p : current) {
    bool kept = false;
    for (const kt::ref_ptr<permission>& e : list) kept |= e->id == p->id;
    if (!kept) removed.push_back(p);
  }
  std::vector<planned> plan;
  for (const kt::ref_ptr<permission>& e : list) {
    planned step{e, {}, e->id};
    if (e->id != 0) {
      step.old = r.permissions.get_rw(e->id);
      if (!step.old) {
        KT_LOG_WARN("%s: permission %lu not found. force add with new id", __func__, e->id);
      }
    }
    e->target_id = r.id;
    plan.push_back(std::move(step));
  }

  // The records: deletions, then rewrites and new records; a refusal puts back what was done.
  std::vector<kt::ref_ptr<permission>> deleted;
  for (const kt::ref_ptr<permission>& p : removed) {
    const int rc = permission_db_del(d, *p);
    if (rc != 0 && rc != 1) {
      undo_records(d, {}, deleted);
      return rc;
    }
    if (rc == 0) deleted.push_back(p);
  }
  std::vector<planned> done;
  for (planned& step : plan) {
    int rc = 0;
    if (step.old) {
      step.entry->id = step.old->id;
      rc = permission_db_edit(d, *step.entry);
      if (rc == 1) rc = _permission_db_put(d, *step.entry);  // the record had gone missing
    } else {
      rc = permission_db_add(d, *step.entry);
    }
    if (rc != 0) {
      KT_LOG_ERR("resource %lu: permission record refused (%d)", r.id, rc);
      if (!step.old) step.entry->id = step.asked_id;
      undo_records(d, done, deleted);
      return rc;
    }
    done.push_back(step);
  }

  // Memory: the old objects leave their members' tables and r's table, the entries join them.
  for (const kt::ref_ptr<permission>& p : removed) {
    _permission_fix_member_remove(d, *p);
    r.permissions.remove_rw(p->id);
  }
  for (const planned& step : plan) {
    if (step.old) {
      _permission_fix_member_remove(d, *step.old);
      r.permissions.remove_rw(step.old->id);
    }
    _permission_fix_member_add(d, *step.entry);
    permission_attach(r, step.entry);
  }
  return 0;
}

uint32_t permission_path_get(domain& d, const user& subject, std::string_view path,
                             kt::xmldoc_node& result) {
  if (path.empty()) {
    const kt::ref_ptr<resource> top = d.resources_by_id.get_rw(d.sys_res[SYS_RES_ORVANE]);
    if (!top) return E_RESOURCE_NOT_FOUND;
    result.add_child(path_element(subject, *top, "/"));
    return E_OK;
  }
  if (path == "/*") {
    list_children(d, subject, 0, result);
    return E_OK;
  }

  std::vector<kt::ref_ptr<resource>> walk;
  bool star = false;
  size_t pos = path.find('/');
  while (pos != std::string_view::npos) {
    const size_t start = pos + 1;
    pos = path.find('/', start);
    const std::string_view part =
        path.substr(start, pos == std::string_view::npos ? std::string_view::npos : pos - start);
    if (part.empty()) continue;
    if (star) return E_INVALID_PATH;  // "*" must be the last component
    if (part == "*") {
      star = true;
      continue;
    }
    if (walk.size() == kMaxPathResources) return E_OK;
    kt::ref_ptr<resource> r = d.resources_by_name.get_rw(part);
    if (!r) return E_RESOURCE_NOT_FOUND;
    const uint64_t expected = walk.empty() ? 0 : walk.back()->id;
    if (r->parent_id != expected) return E_RESOURCE_PARENT_NOT_FOUND;
    walk.push_back(std::move(r));
  }
  if (walk.empty()) return E_RESOURCE_NOT_FOUND;
  if (star) {
    list_children(d, subject, walk.back()->id, result);
  } else {
    result.add_child(path_element(subject, *walk.back(), walk.back()->name));
  }
  return E_OK;
}

uint32_t processor_permissions_get_permissions(client&, globals&, domain* d, token* t,
                                               kt::xmldoc_node& cmd, processor_result& r) {
  if (d == nullptr) return E_DOMAIN_NOT_FOUND;
  if (t == nullptr || !t->usr) return E_TOKEN_NOT_FOUND;
  kt::ref_ptr<user> subject = t->usr;
  if (const kt::xmldoc_attr* who = cmd.attr_get("user"); who != nullptr && !who->value.empty()) {
    // The right comes first, so that a caller without it learns nothing about user names.
    if (const uint32_t rc = permission_check_system(*d, t, SYS_RES_USERS, PERM_READ); rc != 0) {
      return rc;
    }
    subject = user_named(*d, who->value);
    if (!subject) return E_USER_NOT_FOUND;
  }
  const kt::xmldoc_node* path = cmd.get("path");
  if (path == nullptr) return E_INVALID_REQUEST;
  auto result = kt::xmldoc_node::create("permissions");
  const uint32_t rc = permission_path_get(*d, *subject, path->value(), *result);
  if (rc == E_OK) r.set_answer(std::move(result));
  return rc;
}

}  // namespace orvane
