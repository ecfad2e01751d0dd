#include "objects/resources/resource_records.h"

#include <mutex>
#include <shared_mutex>
#include <vector>

#include "errors.h"
#include "objects/attributes/attribute.h"
#include "objects/attributes/attribute_records.h"
#include "objects/domains/domain.h"
#include "objects/permissions/permission.h"
#include "objects/permissions/permission_records.h"
#include "objects/record.h"
#include "objects/record_repair.h"
#include "objects/resources/resource.h"
#include "objects/resources/resource_internal.h"
#include "utils/logger.h"
#include "utils/uid.h"

namespace orvane {

namespace {

constexpr size_t kRecId = 0;
constexpr size_t kRecType = 8;
constexpr size_t kRecReserved = 10;
constexpr size_t kRecParentId = 11;
constexpr size_t kRecFlags = 19;
constexpr size_t kRecName = 21;
constexpr size_t kNameField = 128;

kt::filedb_fixed resources_file(const domain& d) {
  return domain_record_file(d.id, "resources", RESOURCE_RECORD_SIZE);
}

void resource_to_record(const resource& r, uint64_t id, record& rec) {
  rec.put_u64(kRecId, id);
  rec.put_u16(kRecType, r.type);
  rec.put_u8(kRecReserved, 0);
  rec.put_u64(kRecParentId, r.parent ? r.parent->id : 0);
  rec.put_u16(kRecFlags, r.flags);
  rec.put_str(kRecName, kNameField, r.name);
}

// Removes r from the domain's tables, keeping entries that belong to another object.
void unlist(domain& d, resource& r) {
  if (auto [v, lock] = d.resources_by_id.get_rw_wl(r.id); v != nullptr && v->get() == &r) {
    d.resources_by_id.remove_l(r.id);
  }
  if (auto [v, lock] = d.resources_by_name.get_rw_wl(r.name); v != nullptr && v->get() == &r) {
    d.resources_by_name.remove_l(r.name);
  }
}

std::vector<kt::ref_ptr<resource>> children_of(resource& r) {
  std::vector<kt::ref_ptr<resource>> out;
  std::shared_lock lock(r.children.rwlock());
  r.children.for_each([&](uint64_t, kt::ref_ptr<resource>& c) {
    if (c) out.push_back(c);
  });
  return out;
}

// Steps 1-4 of a removal for one resource: record, permissions, attributes, domain tables.
uint32_t remove_one(domain& d, resource& r) {
  if (const uint32_t rc = resource_db_remove(d, r); rc != 0) {
    KT_LOG_ERR("resource %lu: record can not be removed", r.id);
    return rc;
  }
  std::vector<kt::ref_ptr<permission>> perms;
  {
    std::shared_lock lock(r.permissions.rwlock());
    r.permissions.for_each([&](uint64_t, kt::ref_ptr<permission>& p) {
      if (p) perms.push_back(p);
    });
  }
  for (const auto& p : perms) permission_delete(d, *p);
  {
    // The permissions point back at r: emptying the table breaks that cycle.
    std::unique_lock lock(r.permissions.rwlock());
    r.permissions.flush();
  }
  attributes_db_remove_list(d, r.attributes);
  {
    std::unique_lock lock(r.attributes.rwlock());
    r.attributes.flush();
  }
  unlist(d, r);
  return E_OK;
}

// Drops a resource and its linked subtree from memory only (used at load when the store refused
// to remove them, so they stay in the file and are looked at again on the next load).
void forget_subtree(domain& d, resource& top) {
  std::vector<kt::ref_ptr<resource>> pending{kt::ref_ptr<resource>(&top)};
  while (!pending.empty()) {
    kt::ref_ptr<resource> r = std::move(pending.back());
    pending.pop_back();
    for (auto& c : children_of(*r)) pending.push_back(std::move(c));
    unlist(d, *r);
    resource_flush(*r);
  }
}

}  // namespace

kt::ref_ptr<resource> resource_create() {
  return kt::make_ref<resource>();
}

int resources_load(domain& d) {
  kt::ref_ptr<domain> dref(&d);
  const kt::filedb_fixed db = resources_file(d);
  std::vector<kt::ref_ptr<resource>> loaded;
  const int rc = record_load_repair(db, [&](const record& rec) {
    const uint64_t id = rec.get_u64(kRecId);
    const std::string name = rec.get_str(kRecName, kNameField);
    if (id == 0 || name.empty() || name.size() >= kNameField) {
      KT_LOG_ERR("damaged resource record (id %lu) skipped", id);
      return true;
    }
    if (d.resources_by_id.get_rw(id) || d.resources_by_name.get_rw(name)) {
      KT_LOG_ERR("duplicate resource record id:%lu, name:%s skipped", id, name.c_str());
      return true;
    }
    kt::ref_ptr<resource> r = resource_create();
    r->id = id;
    r->type = rec.get_u16(kRecType);
    r->parent_id = rec.get_u64(kRecParentId);
    r->flags = rec.get_u16(kRecFlags);
    r->name = name;
    r->dom = dref;
    d.resources_by_name.insert_rw(r->name, r);
    d.resources_by_id.insert_rw(r->id, r);
    loaded.push_back(r);
    KT_LOG_INFO("RESOURCE: id:%lu, name:%s, type:%02x, idp:%lu", r->id, r->name.c_str(),
                static_cast<unsigned>(r->type), r->parent_id);
    return true;
  });
  if (rc != 0) return rc;

  for (const auto& r : loaded) {
    if (r->parent_id == 0 || r->parent) continue;
    if (d.resources_by_id.get_rw(r->id) != r) continue;  // removed with an ancestor
    kt::ref_ptr<resource> parent = d.resources_by_id.get_rw(r->parent_id);
    if (parent && _resource_trace_id(*parent, r->id) == 0) {
      r->parent = parent;
      parent->children.insert_rw(r->id, r);
      continue;
    }
    if (parent) {
      KT_LOG_ERR("parent with id %lu of resource id: %lu closes a loop (resource removed)",
                 r->parent_id, r->id);
    } else {
      KT_LOG_ERR("parent with id %lu not found for resource id: %lu (resource removed)",
                 r->parent_id, r->id);
    }
    if (_resource_remove(d, *r) != 0) forget_subtree(d, *r);  // what stayed is forgotten
  }

  const kt::ref_ptr<resource> top = d.resources_by_name.get_rw(sys_resource_names[SYS_RES_ORVANE]);
  if (!top) {
    KT_LOG_ERR("ORVANE resource is missing. abort.");
    return -1;
  }
  uint64_t ids[SYS_RES_COUNT] = {top->id};
  for (int i = SYS_RES_ORVANE + 1; i < SYS_RES_COUNT; ++i) {
    const kt::ref_ptr<resource> r = d.resources_by_name.get_rw(sys_resource_names[i]);
    if (!r || r->parent_id != top->id) {
      KT_LOG_ERR("not all system resources are found. abort.");
      return -2;
    }
    ids[i] = r->id;
  }
  for (int i = 0; i < SYS_RES_COUNT; ++i) d.sys_res[i] = ids[i];
  return 0;
}

uint32_t resource_db_add(domain& d, resource& r) {
  return _resource_db_add_id(d, r, kt::uid_time_seq());
}

uint32_t _resource_db_add_id(domain& d, resource& r, uint64_t id) {
  if (id == 0) return E_GENERIC;
  record rec(RESOURCE_RECORD_SIZE);
  resource_to_record(r, id, rec);
  const kt::filedb_fixed db = resources_file(d);
  if (const uint32_t rc = record_result(db.insert(0, rec.data(), rec.data()), db.path().c_str());
      rc != E_OK) {
    return rc;
  }
  r.id = id;
  r.parent_id = r.parent ? r.parent->id : 0;
  return E_OK;
}

uint32_t resource_db_edit(domain& d, const resource& r) {
  const kt::filedb_fixed db = resources_file(d);
  return record_result(
      record_db_rewrite(db, RESOURCE_RECORD_SIZE, r.id,
                        [&](uint64_t id, record& rec) { resource_to_record(r, id, rec); }),
      db.path().c_str());
}

uint32_t resource_db_remove(domain& d, const resource& r) {
  const kt::filedb_fixed db = resources_file(d);
  return record_result(record_db_remove(db, r.id), db.path().c_str());
}

void resource_flush(resource& r) {
  const auto flush = [](auto& table) {
    std::unique_lock lock(table.rwlock());
    table.flush();
  };
  flush(r.attributes);
  flush(r.permissions);
  flush(r.children);
  r.parent.reset();
}

uint32_t _resource_remove(domain& d, resource& r, bool* removed) {
  kt::ref_ptr<resource> keep(&r);
  if (removed != nullptr) *removed = false;
  if (const uint32_t rc = remove_one(d, r); rc != 0) return rc;
  if (removed != nullptr) *removed = true;
  // Depth first without recursion: a stack of (parent, child) pairs still to remove.
  struct step {
    kt::ref_ptr<resource> parent;
    kt::ref_ptr<resource> child;
  };
  std::vector<step> pending;
  const auto push_children = [&](const kt::ref_ptr<resource>& parent) {
    std::vector<kt::ref_ptr<resource>> children = children_of(*parent);
    for (auto it = children.rbegin(); it != children.rend(); ++it) {
      pending.push_back({parent, std::move(*it)});
    }
  };
  push_children(keep);
  uint32_t result = E_OK;
  while (!pending.empty()) {
    step s = std::move(pending.back());
    pending.pop_back();
    // A child that stays (in its parent's children table) makes the whole removal a failure,
    // reported with the first refusal; its siblings still go.
    if (const uint32_t rc = remove_one(d, *s.child); rc != 0) {
      if (result == E_OK) result = rc;
      continue;
    }
    s.parent->children.remove_rw(s.child->id);
    push_children(s.child);
  }
  return result;
}

int _resource_trace_id(const resource& r, uint64_t id) {
  for (const resource* p = &r; p != nullptr; p = p->parent.get()) {
    if (p->id == id) return 1;
  }
  return 0;
}

kt::ref_ptr<resource> resource_get_by_id(domain& d, uint64_t id) {
  return d.resources_by_id.get_rw(id);
}

kt::ref_ptr<resource> resource_get_by_name(domain& d, std::string_view name) {
  return d.resources_by_name.get_rw(name);
}

}  // namespace orvane
