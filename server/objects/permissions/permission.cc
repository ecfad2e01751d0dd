#include "objects/permissions/permission.h"

#include <mutex>
#include <shared_mutex>
#include <vector>

#include "errors.h"
#include "globals.h"
#include "objects/attributes/attribute.h"
#include "objects/domains/domain.h"
#include "objects/groups/group.h"
#include "objects/groups/group_records.h"
#include "objects/permissions/permission.h"
#include "objects/permissions/permission_internal.h"
#include "objects/resources/resource.h"
#include "objects/tokens/token.h"
#include "objects/users/user.h"
#include "utils/logger.h"

namespace orvane {

permission::permission() = default;
permission::~permission() = default;

int _permission_check(permission_table& table, uint64_t resource_id, uint32_t flags) {
  auto [v, lock] = table.get_rw_rl(resource_id);
  if (v == nullptr || !*v) return 1;
  return ((*v)->flags & flags) == flags ? 0 : -1;
}

namespace {

// The rights a user holds through its groups on one resource.
struct group_rights {
  bool found = false;  // some group has an entry for the resource
  uint32_t flags = 0;  // the union of those entries
};

void add_entry(group& g, uint64_t resource_id, group_rights& rights) {
  auto [v, lock] = g.permissions.get_rw_rl(resource_id);
  if (v == nullptr || !*v) return;
  rights.found = true;
  rights.flags |= (*v)->flags;
}

// g's entry and those of its direct parents (one level only).
void add_group(group& g, uint64_t resource_id, group_rights& rights) {
  add_entry(g, resource_id, rights);
  std::shared_lock parents_lock(g.member_of.rwlock());
  g.member_of.for_each([&](uint64_t, kt::ref_ptr<group>& parent) {
    if (parent) add_entry(*parent, resource_id, rights);
  });
}

// The union over the user's direct groups, their parents and the domain's AllUsers group, of
// which every user is a member: the same whatever the order of the memberships.
group_rights rights_through_groups(const user& u, uint64_t resource_id) {
  group_rights rights;
  // The tables' locks are not part of the user's logical state.
  auto& groups = const_cast<user&>(u).groups;
  {
    std::shared_lock lock(groups.rwlock());
    groups.for_each([&](uint64_t, kt::ref_ptr<group>& g) {
      if (g) add_group(*g, resource_id, rights);
    });
  }
  const kt::ref_ptr<group> all_users = u.dom ? u.dom->all_users : kt::ref_ptr<group>();
  if (all_users) add_group(*all_users, resource_id, rights);
  return rights;
}

}  // namespace

int _permission_check_groups(const user& u, uint64_t resource_id, uint32_t flags) {
  const group_rights rights = rights_through_groups(u, resource_id);
  if (!rights.found) return 1;
  return (rights.flags & flags) == flags ? 0 : -1;
}

int permission_check(const user& u, uint32_t target_type, uint64_t resource_id, uint32_t flags) {
  if (target_type != PERMISSION_TARGET_RESOURCE) return 1;
  auto& own = const_cast<user&>(u).permissions;
  switch (_permission_check(own, resource_id, flags)) {
    case 0:
      KT_LOG_INFO("user %s grand permission for resource %lu", u.uname.c_str(), resource_id);
      return 0;
    case -1:
      return 1;  // the user's own entry decides alone
    default:
      return _permission_check_groups(u, resource_id, flags) == 0 ? 0 : 1;
  }
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

uint32_t permission_get(const user& u, uint32_t target_type, uint64_t resource_id) {
  if (target_type != PERMISSION_TARGET_RESOURCE) return 0;
  if (kt::ref_ptr<permission> p = const_cast<user&>(u).permissions.get_rw(resource_id)) {
    return p->flags;
  }
  return rights_through_groups(u, resource_id).flags;
}

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

}  // namespace orvane
