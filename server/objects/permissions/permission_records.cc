#include "objects/permissions/permission_records.h"

#include <mutex>
#include <shared_mutex>
#include <unordered_set>
#include <vector>

#include "errors.h"
#include "objects/domains/domain.h"
#include "objects/fields.h"
#include "objects/groups/group.h"
#include "objects/permissions/permission_internal.h"
#include "objects/record.h"
#include "objects/record_repair.h"
#include "objects/resources/resource.h"
#include "objects/users/user.h"
#include "utils/logger.h"
#include "utils/uid.h"
#include "xmldoc/xmldoc.h"

namespace orvane {

namespace {

constexpr size_t kRecId = 0;
constexpr size_t kRecTargetType = 8;
constexpr size_t kRecTargetId = 12;
constexpr size_t kRecMemberType = 20;
constexpr size_t kRecMemberId = 24;
constexpr size_t kRecFlags = 32;

kt::filedb_fixed permissions_file(const domain& d) {
  return domain_record_file(d.id, "permissions", PERMISSION_RECORD_SIZE);
}

void permission_to_record(const permission& p, uint64_t id, record& rec) {
  rec.put_u64(kRecId, id);
  rec.put_u32(kRecTargetType, p.target_type);
  rec.put_u64(kRecTargetId, p.target_id);
  rec.put_u32(kRecMemberType, p.member_type);
  rec.put_u64(kRecMemberId, p.member_id);
  rec.put_u16(kRecFlags, static_cast<uint16_t>(p.flags));
}

// The permission table of p's member, with the member kept alive by *holder; nullptr when the
// member does not exist.
permission_table* member_table(domain& d, const permission& p,
                               kt::ref_ptr<kt::ref_object>* holder) {
  if (p.member_type == MEMBER_USER) {
    kt::ref_ptr<user> u = d.users_by_id.get_rw(p.member_id);
    if (!u) return nullptr;
    *holder = u;
    return &u->permissions;
  }
  if (p.member_type == MEMBER_GROUP) {
    kt::ref_ptr<group> gr = d.groups_by_id.get_rw(p.member_id);
    if (!gr) return nullptr;
    *holder = gr;
    return &gr->permissions;
  }
  return nullptr;
}

const char* member_kind(uint32_t member_type) {
  if (member_type == MEMBER_USER) return "user";
  return member_type == MEMBER_GROUP ? "group" : "member";
}

}  // namespace

kt::ref_ptr<permission> permission_create() {
  return kt::make_ref<permission>();
}

int permissions_load(domain& d) {
  const kt::filedb_fixed db = permissions_file(d);
  std::unordered_set<uint64_t> ids;
  return record_load_repair(db, [&](const record& rec) {
    kt::ref_ptr<permission> p = permission_create();
    p->id = rec.get_u64(kRecId);
    p->target_type = rec.get_u32(kRecTargetType);
    p->target_id = rec.get_u64(kRecTargetId);
    p->member_type = rec.get_u32(kRecMemberType);
    p->member_id = rec.get_u64(kRecMemberId);
    p->flags = rec.get_u16(kRecFlags);
    if (p->target_type != PERMISSION_TARGET_RESOURCE) {
      KT_LOG_ERR("%lu permission target is %d ???", p->id, static_cast<int>(p->target_type));
      return true;
    }
    kt::ref_ptr<resource> r = d.resources_by_id.get_rw(p->target_id);
    if (!r) {
      KT_LOG_ERR("%s: resource not found id:%lu, for permission id:%lu", __func__, p->target_id,
                 p->id);
      return true;
    }
    if (p->id == 0 || ids.count(p->id) != 0) {
      KT_LOG_ERR("%s: damaged or duplicate permission id:%lu skipped", __func__, p->id);
      return true;
    }
    kt::ref_ptr<kt::ref_object> holder;
    permission_table* table = member_table(d, *p, &holder);
    if (table == nullptr) {
      KT_LOG_ERR("%s: %s not found id:%lu, for permission id:%lu", __func__,
                 member_kind(p->member_type), p->member_id, p->id);
      return true;
    }
    if (table->get_rw(p->target_id)) {
      KT_LOG_ERR("%s: %s %lu already has a permission on resource %lu; permission id:%lu skipped",
                 __func__, member_kind(p->member_type), p->member_id, p->target_id, p->id);
      return true;
    }
    ids.insert(p->id);
    permission_attach(*r, p);
    table->insert_rw(p->target_id, p);
    KT_LOG_INFO(
        "PERMISSION: id:%lu, mtype:%02x, id_member:%lu, ttype:%02x, id_target:%lu, flags:%02x",
        p->id, p->member_type, p->member_id, p->target_type, p->target_id, p->flags);
    return true;
  });
}

int permissions_drop_dangling(domain& d) {
  return record_load_repair(permissions_file(d), [&](const record& rec) {
    if (rec.get_u32(kRecTargetType) != PERMISSION_TARGET_RESOURCE) return true;
    const uint64_t target_id = rec.get_u64(kRecTargetId);
    const uint32_t member_type = rec.get_u32(kRecMemberType);
    const uint64_t member_id = rec.get_u64(kRecMemberId);
    const char* gone = nullptr;
    if (!d.resources_by_id.get_rw(target_id)) {
      gone = "resource";
    } else if (member_type == MEMBER_USER && !d.users_by_id.get_rw(member_id)) {
      gone = "user";
    } else if (member_type == MEMBER_GROUP && !d.groups_by_id.get_rw(member_id)) {
      gone = "group";
    }
    if (gone == nullptr) return true;
    KT_LOG_WARN("permission %lu: its %s is gone, record dropped",
                static_cast<unsigned long>(rec.get_u64(kRecId)), gone);
    return false;
  });
}

uint32_t permission_db_add(domain& d, permission& p) {
  const kt::filedb_fixed db = permissions_file(d);
  return record_result(
      record_db_insert(
          db, PERMISSION_RECORD_SIZE,
          [&](uint64_t id, record& rec) { permission_to_record(p, id, rec); }, &p.id),
      db.path().c_str());
}

int _permission_db_put(domain& d, const permission& p) {
  record rec(PERMISSION_RECORD_SIZE);
  permission_to_record(p, p.id, rec);
  return permissions_file(d).insert(0, rec.data(), rec.data());
}

int permission_rewrite(domain& d, const permission& p) {
  return record_db_rewrite(permissions_file(d), PERMISSION_RECORD_SIZE, p.id,
                           [&](uint64_t id, record& rec) { permission_to_record(p, id, rec); });
}

uint32_t permission_db_edit(domain& d, const permission& p) {
  return record_result(permission_rewrite(d, p), "permissions");
}

uint32_t permission_db_remove(domain& d, const permission& p) {
  const kt::filedb_fixed db = permissions_file(d);
  return record_result(record_db_remove(db, p.id), db.path().c_str());
}

int _permission_fix_member_add(domain& d, permission& p) {
  kt::ref_ptr<kt::ref_object> holder;
  permission_table* table = member_table(d, p, &holder);
  if (table == nullptr) {
    KT_LOG_ERR("%s: %s not found id:%lu, for permission id:%lu", __func__,
               member_kind(p.member_type), p.member_id, p.id);
    return p.member_type == MEMBER_GROUP ? -2 : -1;
  }
  table->insert_rw(p.target_id, kt::ref_ptr<permission>(&p));
  return 0;
}

int _permission_fix_member_remove(domain& d, permission& p) {
  kt::ref_ptr<kt::ref_object> holder;
  permission_table* table = member_table(d, p, &holder);
  if (table == nullptr) return 0;
  kt::ref_ptr<permission> keep(&p);
  if (auto [v, lock] = table->get_rw_wl(p.target_id); v != nullptr && v->get() == &p) {
    table->remove_l(p.target_id);
  }
  return 0;
}

void permission_attach(resource& r, kt::ref_ptr<permission> p) {
  if (!p) return;
  p->target = kt::ref_ptr<resource>(&r);
  p->target_id = r.id;
  const uint64_t id = p->id;
  r.permissions.insert_rw(id, std::move(p));
}

uint32_t permission_delete(domain& d, permission& p) {
  _permission_fix_member_remove(d, p);
  return permission_db_remove(d, p);
}

namespace {

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
    const uint32_t rc =
        step.old ? permission_db_edit(d, *step.old) : permission_db_remove(d, *step.entry);
    if (rc != 0) KT_LOG_ERR("permission %lu: record not restored", step.entry->id);
    if (!step.old) step.entry->id = step.asked_id;
  }
  for (const kt::ref_ptr<permission>& p : deleted) {
    if (const int rc = _permission_db_put(d, *p); rc != 0) {
      KT_LOG_ERR("permission %lu: record not restored (%d)", p->id, rc);
    }
  }
}

}  // namespace

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

uint32_t permissions_update(domain& d, resource& r, const permission_list& list) {
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
    // 1: the record is already gone, which is what was wanted.
    const int rc = record_db_remove(permissions_file(d), p->id);
    if (rc != 0 && rc != 1) {
      undo_records(d, {}, deleted);
      return record_result(rc, "permissions");
    }
    if (rc == 0) deleted.push_back(p);
  }
  std::vector<planned> done;
  for (planned& step : plan) {
    uint32_t rc = E_OK;
    if (step.old) {
      step.entry->id = step.old->id;
      int put = permission_rewrite(d, *step.entry);
      if (put == 1) put = _permission_db_put(d, *step.entry);  // the record had gone missing
      rc = record_result(put, "permissions");
    } else {
      rc = permission_db_add(d, *step.entry);
    }
    if (rc != E_OK) {
      KT_LOG_ERR("resource %lu: permission record refused", r.id);
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
  return E_OK;
}

}  // namespace orvane
