// The resource commands: resourceInsert, resourceEdit, resourceRemove, resourceSearch.
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "objects/resources/resource_commands.h"

#include "errors.h"
#include "objects/command.h"
#include "objects/domains/domain.h"
#include "objects/fields.h"
#include "objects/groups/group.h"
#include "objects/names.h"
#include "objects/permissions/permission_records.h"
#include "objects/resources/resource_internal.h"
#include "objects/resources/resource_records.h"
#include "objects/search.h"
#include "objects/tasks/tasks.h"
#include "objects/users/user_records.h"
#include "utils/logger.h"
#include "utils/uid.h"
#include "xmldoc/xmldoc.h"

namespace orvane {

namespace {

constexpr const char* kKind = "resource";

// The state an "r" element asks for.
struct resource_fields {
  std::string name;
  uint16_t type = 0;
  uint64_t parent_id = 0;
};

uint32_t read_fields(const kt::xmldoc_node& rn, resource_fields* out) {
  const kt::xmldoc_attr* name = rn.attr_get("name");
  if (name == nullptr || rn.attr_get("type") == nullptr || rn.attr_get("parentId") == nullptr) {
    return E_INVALID_REQUEST;
  }
  if (const uint32_t rc = check_generic_name(name->value, RESOURCE_NAME_MAX); rc != 0) return rc;
  uint64_t type = 0;
  uint64_t parent_id = 0;
  if (xml_attr_decimal(rn, "type", UINT16_MAX, &type) != 0 ||
      xml_attr_decimal(rn, "parentId", UINT64_MAX, &parent_id) != 0) {
    return E_INVALID_REQUEST;
  }
  out->name = name->value;
  out->type = static_cast<uint16_t>(type);
  out->parent_id = parent_id;
  return E_OK;
}

// The "permissions" child of an "r" element, parsed for the target; *present tells whether
// there was one.
uint32_t read_permissions(domain& d, const kt::xmldoc_node& rn, uint64_t target_id, bool* present,
                          permission_list* out) {
  const kt::xmldoc_node* element = rn.get("permissions");
  *present = element != nullptr;
  if (element == nullptr) return E_OK;
  return permissions_xml2list(d, PERMISSION_TARGET_RESOURCE, target_id, *element, out);
}

// Whether the list keeps READ, WRITE and EXEC for the Administrators group.
bool keeps_administrators(const domain& d, const permission_list& list) {
  if (!d.administrators) return false;
  constexpr uint32_t kFull = PERM_READ | PERM_WRITE | PERM_EXEC;
  for (const kt::ref_ptr<permission>& p : list) {
    if (p->member_type == MEMBER_GROUP && p->member_id == d.administrators->id &&
        (p->flags & kFull) == kFull) {
      return true;
    }
  }
  return false;
}

// Whether the "id" of an "r" element names one of the domain's system resources.
bool names_system_resource(const domain& d, const kt::xmldoc_node& rn) {
  uint64_t id = 0;
  if (xml_attr_decimal(rn, "id", UINT64_MAX, &id) != 0) return false;
  for (const uint64_t sys : d.sys_res) {
    if (sys == id) return true;
  }
  return false;
}

std::unique_ptr<kt::xmldoc_node> search_element(resource& r) {
  auto e = kt::xmldoc_node::create("r");
  e->attr_addval("id", std::to_string(r.id));
  e->attr_addval("parentId", std::to_string(r.parent_id));
  e->attr_addval("name", r.name);
  e->attr_addval("type", std::to_string(r.type));
  e->attr_addval("flags", std::to_string(r.flags));
  {
    std::shared_lock lock(r.children.rwlock());
    if (r.children.count() > 0) {
      auto members = kt::xmldoc_node::create("members");
      r.children.for_each([&](uint64_t id, kt::ref_ptr<resource>&) {
        auto cr = kt::xmldoc_node::create("cr");
        cr->attr_addval("id", std::to_string(id));
        members->add_child(std::move(cr));
      });
      e->add_child(std::move(members));
    }
  }
  {
    std::shared_lock lock(r.permissions.rwlock());
    if (r.permissions.count() > 0) {
      auto perms = kt::xmldoc_node::create("permissions");
      r.permissions.for_each([&](uint64_t, kt::ref_ptr<permission>& p) {
        if (!p) return;
        auto pe = kt::xmldoc_node::create("p");
        pe->attr_addval("id", std::to_string(p->id));
        pe->attr_addval("memberId", std::to_string(p->member_id));
        pe->attr_addval("flags", std::to_string(p->flags));
        pe->attr_addval("memberType", std::to_string(p->member_type));
        perms->add_child(std::move(pe));
      });
      e->add_child(std::move(perms));
    }
  }
  return e;
}

// The work of the commands on their "r" element, after the rights check. Each returns 0 with the
// resource concerned in *out, or a result code; every check runs before anything changes, so a
// refused request changes nothing. Add and edit also put back their records when the store
// refuses one.
//   add:    "name", "type", "parentId" (0: top level) and an optional "permissions" child.
//   edit:   "id" and the full new state; a "permissions" child replaces the permission list.
//   remove: "id"; the resource goes with its subtree (see _resource_remove).
uint32_t resource_xml_add(domain& d, const kt::xmldoc_node& rn, kt::ref_ptr<resource>* out) {
  resource_fields f;
  if (const uint32_t rc = read_fields(rn, &f); rc != 0) return rc;
  if (d.resources_by_name.get_rw(f.name)) return E_RESOURCE_EXISTS;
  kt::ref_ptr<resource> parent;
  if (f.parent_id != 0) {
    parent = d.resources_by_id.get_rw(f.parent_id);
    if (!parent) return E_RESOURCE_PARENT_NOT_FOUND;
  }
  kt::ref_ptr<resource> r = resource_create();
  if (!r) return E_NO_MEMORY;
  r->name = f.name;
  r->type = f.type;
  r->parent = parent;
  bool with_permissions = false;
  permission_list perms;
  if (const uint32_t rc = read_permissions(d, rn, 0, &with_permissions, &perms); rc != 0) {
    return rc;
  }

  // The permission records come before the resource's own, which makes the resource exist: a
  // crash in between leaves permissions on no resource, which the next load drops.
  const uint64_t id = kt::uid_time_seq();
  r->id = id;
  r->dom = kt::ref_ptr<domain>(&d);
  if (with_permissions) {
    if (const uint32_t rc = permissions_update(d, *r, perms); rc != 0) return rc;
  }
  if (const uint32_t rc = _resource_db_add_id(d, *r, id); rc != 0) {
    KT_LOG_ERR("%s: resource_db_add() failed.", f.name.c_str());
    if (with_permissions && permissions_update(d, *r, permission_list()) != 0) {
      KT_LOG_ERR("%s: permission records not taken back", f.name.c_str());
    }
    resource_flush(*r);
    return rc;
  }
  if (parent) parent->children.insert_rw(r->id, r);
  d.resources_by_name.insert_rw(r->name, r);
  d.resources_by_id.insert_rw(r->id, r);
  *out = std::move(r);
  return E_OK;
}

uint32_t resource_xml_edit(domain& d, const kt::xmldoc_node& rn, kt::ref_ptr<resource>* out) {
  uint64_t id = 0;
  if (rn.attr_get("id") == nullptr) return E_INVALID_REQUEST;
  resource_fields f;
  if (const uint32_t rc = read_fields(rn, &f); rc != 0) return rc;
  if (xml_attr_decimal(rn, "id", UINT64_MAX, &id) != 0) return E_INVALID_REQUEST;
  kt::ref_ptr<resource> r = d.resources_by_id.get_rw(id);
  if (!r) return E_RESOURCE_NOT_FOUND;

  // Every check runs before anything changes.
  const bool moved = f.parent_id != r->parent_id;
  const bool renamed = f.name != r->name;
  const bool changed = moved || renamed || f.type != r->type;
  if (changed && (r->flags & RESOURCE_FLAG_FIXED) != 0) return E_RESOURCE_SYSTEM;
  bool with_permissions = false;
  permission_list perms;
  if (const uint32_t rc = read_permissions(d, rn, r->id, &with_permissions, &perms); rc != 0) {
    return rc;
  }
  kt::ref_ptr<resource> parent = r->parent;
  if (moved) {
    if (f.parent_id == r->id) return E_RESOURCE_CHILD_OF_SELF;
    parent.reset();
    if (f.parent_id != 0) {
      parent = d.resources_by_id.get_rw(f.parent_id);
      if (!parent) return E_RESOURCE_PARENT_NOT_FOUND;
      if (_resource_trace_id(*parent, r->id) != 0) return E_RESOURCE_CHILD_OF_CHILD;
    }
  }
  if (renamed) {
    const kt::ref_ptr<resource> other = d.resources_by_name.get_rw(f.name);
    if (other && other.get() != r.get()) return E_RESOURCE_EXISTS;
  }
  if (with_permissions && (r->flags & RESOURCE_FLAG_NO_REMOVE) != 0 &&
      !keeps_administrators(d, perms)) {
    return E_RESOURCE_SYSTEM_PERMISSION;
  }

  // The records: the resource's, then its permissions; a refusal of the latter puts the
  // resource's record back.
  if (changed) {
    kt::ref_ptr<resource> next = resource_create();
    if (!next) {
      KT_LOG_ERR("%s(): %s", "resource_cretate", std::strerror(ENOMEM));
      return E_GENERIC;
    }
    next->id = r->id;
    next->type = f.type;
    next->parent = parent;
    next->flags = r->flags;
    next->name = f.name;
    if (const uint32_t rc = resource_db_edit(d, *next); rc != 0) {
      KT_LOG_ERR("%s: resource_db_edit() failed.", r->name.c_str());
      return rc;
    }
  }
  if (with_permissions) {
    if (const uint32_t rc = permissions_update(d, *r, perms); rc != 0) {
      if (changed && resource_db_edit(d, *r) != 0) {
        KT_LOG_ERR("%s: record not restored", r->name.c_str());
      }
      return rc;
    }
  }

  // Memory.
  if (moved) {
    if (r->parent) r->parent->children.remove_rw(r->id);
    r->parent = parent;
    r->parent_id = f.parent_id;
    if (parent) parent->children.insert_rw(r->id, r);
  }
  if (renamed) {
    std::unique_lock lock(d.resources_by_name.rwlock());
    if (kt::ref_ptr<resource>* cur = d.resources_by_name.find_nl(r->name);
        cur != nullptr && cur->get() == r.get()) {
      d.resources_by_name.remove_l(r->name);
    }
    r->name = f.name;
    d.resources_by_name.insert_l(r->name, r);
  }
  r->type = f.type;
  *out = std::move(r);
  return E_OK;
}

uint32_t resource_xml_remove(domain& d, const kt::xmldoc_node& rn, kt::ref_ptr<resource>* out) {
  uint64_t id = 0;
  if (xml_attr_decimal(rn, "id", UINT64_MAX, &id) != 0) return E_INVALID_REQUEST;
  kt::ref_ptr<resource> r = d.resources_by_id.get_rw(id);
  if (!r) return E_RESOURCE_NOT_FOUND;
  if ((r->flags & RESOURCE_FLAG_NO_REMOVE) != 0) return E_RESOURCE_SYSTEM;
  // The parent lets go only once the record is gone. A part of the subtree that stayed fails the
  // command, but the resource itself is gone and is reported as removed.
  bool removed = false;
  const uint32_t rc = _resource_remove(d, *r, &removed);
  if (!removed) return rc;
  if (r->parent) r->parent->children.remove_rw(r->id);
  *out = std::move(r);
  return rc;
}

}  // namespace

uint32_t processor_resource_insert(command& cmd) {
  if (const uint32_t rc = cmd.require(SYS_RES_RESOURCES, PERM_WRITE); rc != 0) return rc;
  return cmd.change(kKind, CHANGE_INSERT, [&](change_report& report) -> uint32_t {
    const kt::xmldoc_node* rn = cmd.element.get("r");
    if (rn == nullptr) return E_INVALID_REQUEST;
    kt::ref_ptr<resource> res;
    const uint32_t rc = resource_xml_add(cmd.dom(), *rn, &res);
    if (rc == E_OK) report = {res->name, res->id, true};
    return rc;
  });
}

uint32_t processor_resource_edit(command& cmd) {
  if (const uint32_t rc = cmd.require(SYS_RES_RESOURCES, PERM_WRITE); rc != 0) return rc;
  return cmd.change(kKind, CHANGE_EDIT, [&](change_report& report) -> uint32_t {
    const kt::xmldoc_node* rn = cmd.element.get("r");
    if (rn == nullptr) return E_INVALID_REQUEST;
    // The permissions of the system resources say who administers the domain: only its
    // administrators change them.
    if (rn->get("permissions") != nullptr && names_system_resource(cmd.dom(), *rn)) {
      if (const uint32_t rc = cmd.require_admin(); rc != 0) return rc;
    }
    kt::ref_ptr<resource> res;
    const uint32_t rc = resource_xml_edit(cmd.dom(), *rn, &res);
    if (rc == E_OK) report = {res->name, res->id, true};
    return rc;
  });
}

uint32_t processor_resource_remove(command& cmd) {
  if (const uint32_t rc = cmd.require(SYS_RES_RESOURCES, PERM_WRITE); rc != 0) return rc;
  return cmd.change(kKind, CHANGE_REMOVE, [&](change_report& report) -> uint32_t {
    const kt::xmldoc_node* rn = cmd.element.get("r");
    if (rn == nullptr) return E_INVALID_REQUEST;
    kt::ref_ptr<resource> res;
    const uint32_t rc = resource_xml_remove(cmd.dom(), *rn, &res);
    if (res) report = {res->name, res->id, true};
    return rc;
  });
}

uint32_t processor_resource_search(command& cmd) {
  if (const uint32_t rc = cmd.require(SYS_RES_RESOURCES, PERM_READ); rc != 0) return rc;
  domain& d = cmd.dom();
  regex_holder re;
  if (const uint32_t rc = search_pattern_compile(cmd.element, re); rc != 0) return rc;
  auto resources = kt::xmldoc_node::create("resources");
  {
    std::shared_lock lock(d.resources_by_id.rwlock());
    d.resources_by_id.for_each([&](uint64_t, kt::ref_ptr<resource>& res) {
      if (res && re.match(res->name.c_str())) resources->add_child(search_element(*res));
    });
  }
  cmd.answer(std::move(resources));
  return E_OK;
}

}  // namespace orvane
