#include "objects/permissions/permissions.h"

#include <mutex>
#include <shared_mutex>
#include <unordered_set>
#include <vector>

#include "objects/domains/domain.h"
#include "objects/groups/group.h"
#include "objects/record.h"
#include "objects/record_repair.h"
#include "objects/resources/resource.h"
#include "objects/users/user.h"
#include "utils/logger.h"
#include "utils/uid.h"

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

int permission_db_add(domain& d, permission& p) {
  return record_db_insert(
      permissions_file(d), PERMISSION_RECORD_SIZE,
      [&](uint64_t id, record& rec) { permission_to_record(p, id, rec); }, &p.id);
}

int _permission_db_put(domain& d, const permission& p) {
  record rec(PERMISSION_RECORD_SIZE);
  permission_to_record(p, p.id, rec);
  return permissions_file(d).insert(0, rec.data(), rec.data());
}

int permission_db_edit(domain& d, const permission& p) {
  return record_db_rewrite(permissions_file(d), PERMISSION_RECORD_SIZE, p.id,
                           [&](uint64_t id, record& rec) { permission_to_record(p, id, rec); });
}

int permission_db_del(domain& d, const permission& p) {
  return record_db_remove(permissions_file(d), p.id);
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

int permission_delete(domain& d, permission& p) {
  _permission_fix_member_remove(d, p);
  return permission_db_del(d, p);
}

int _permission_check(permission_table& table, uint64_t resource_id, uint32_t flags) {
  auto [v, lock] = table.get_rw_rl(resource_id);
  if (v == nullptr || !*v) return 1;
  return ((*v)->flags & flags) == flags ? 0 : -1;
}

int _permission_check_groups(const user& u, uint64_t resource_id, uint32_t flags) {
  // The tables' locks are not part of the user's logical state.
  auto& groups = const_cast<user&>(u).groups;
  int result = 1;
  std::shared_lock lock(groups.rwlock());
  groups.for_each([&](uint64_t, kt::ref_ptr<group>& g) {
    if (!g) return true;
    result = _permission_check(g->permissions, resource_id, flags);
    if (result != 0) {
      std::shared_lock parents_lock(g->member_of.rwlock());
      g->member_of.for_each([&](uint64_t, kt::ref_ptr<group>& parent) {
        if (!parent) return true;
        result = _permission_check(parent->permissions, resource_id, flags);
        return result != 0;
      });
    }
    return result == 1;
  });
  return result;
}

int permission_check(const user& u, uint32_t target_type, uint64_t resource_id, uint32_t flags) {
  if (target_type != PERMISSION_TARGET_RESOURCE) return 1;
  if (_permission_check_groups(u, resource_id, flags) == 0) return 0;
  auto& own = const_cast<user&>(u).permissions;
  if (_permission_check(own, resource_id, flags) == 0) {
    KT_LOG_INFO("user %s grand permission for resource %lu", u.uname.c_str(), resource_id);
    return 0;
  }
  return 1;
}

int permission_check_hieracy(const user& u, uint32_t target_type, domain& d, std::string_view name,
                             uint64_t resource_id, uint32_t flags) {
  if (target_type != PERMISSION_TARGET_RESOURCE) return 1;
  auto& own = const_cast<user&>(u).permissions;
  kt::ref_ptr<domain> dom(&d);
  std::vector<const domain*> visited;
  for (;;) {
    const int groups = _permission_check_groups(u, resource_id, flags);
    const int mine = _permission_check(own, resource_id, flags);
    int result = groups;
    if (groups == -1 && mine == 0) result = 0;
    if (groups == 0 && mine == -1) result = -1;
    if (result != 1) return result;

    visited.push_back(dom.get());
    kt::ref_ptr<domain> parent = dom->parent;
    if (!parent) return 1;
    for (const domain* seen : visited) {
      if (seen == parent.get()) {
        KT_LOG_ERR("domain %lu: the parent chain loops", parent->id);
        return 1;
      }
    }
    const kt::ref_ptr<resource> r = parent->resources_by_name.get_rw(name);
    if (!r) return 1;
    resource_id = r->id;
    dom = parent;
  }
}

kt::ref_ptr<permission> permission_get(const user& u, uint32_t target_type, uint64_t resource_id) {
  if (target_type != PERMISSION_TARGET_RESOURCE) return {};
  auto& mutable_user = const_cast<user&>(u);
  if (kt::ref_ptr<permission> p = mutable_user.permissions.get_rw(resource_id)) return p;
  kt::ref_ptr<permission> found;
  std::shared_lock lock(mutable_user.groups.rwlock());
  mutable_user.groups.for_each([&](uint64_t, kt::ref_ptr<group>& g) {
    if (g) found = g->permissions.get_rw(resource_id);
    return !found;
  });
  return found;
}

}  // namespace orvane
