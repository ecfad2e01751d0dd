// Access checks and getPermissions path queries in a domain of 10,000 groups and 10,000
// resources, built in memory.
#include <benchmark/benchmark.h>

#include <mutex>
#include <string>
#include <vector>

#include "objects/domains/domain.h"
#include "objects/groups/group.h"
#include "objects/groups/group_records.h"
#include "objects/permissions/permission.h"
#include "objects/permissions/permission_commands.h"
#include "objects/permissions/permission_records.h"
#include "objects/resources/resource.h"
#include "objects/resources/resource_records.h"
#include "objects/users/user.h"
#include "utils/logger.h"
#include "xmldoc/xmldoc.h"

namespace {

constexpr int kGroups = 10000;
constexpr int kApps = 100;         // resources under ORVANE
constexpr int kAppChildren = 99;   // resources under each of them
constexpr int kDirectGroups = 16;  // the user's direct groups
constexpr int kParentsPerGroup = 2;
constexpr int kChainDepth = 32;  // the deepest path a query walks

struct world {
  kt::ref_ptr<orvane::domain> d = kt::make_ref<orvane::domain>();
  kt::ref_ptr<orvane::user> u = kt::make_ref<orvane::user>();
  std::vector<kt::ref_ptr<orvane::resource>> resources;
  std::vector<kt::ref_ptr<orvane::group>> groups;
  uint64_t next_id = 1000;
  uint64_t far_target = 0;   // granted only by the parent group asked last
  uint64_t own_target = 0;   // granted by the user's own entry
  uint64_t none_target = 0;  // no entry anywhere
  std::string deep_path;

  kt::ref_ptr<orvane::resource> add_resource(const std::string& name,
                                             const kt::ref_ptr<orvane::resource>& parent) {
    kt::ref_ptr<orvane::resource> r = orvane::resource_create();
    r->id = next_id++;
    r->name = name;
    r->dom = d;
    r->parent = parent;
    r->parent_id = parent ? parent->id : 0;
    if (parent) parent->children.insert_rw(r->id, r);
    d->resources_by_name.insert_rw(r->name, r);
    d->resources_by_id.insert_rw(r->id, r);
    resources.push_back(r);
    return r;
  }

  void grant(orvane::resource& r, uint32_t member_type, uint64_t member_id, uint32_t flags) {
    kt::ref_ptr<orvane::permission> p = orvane::permission_create();
    p->id = next_id++;
    p->member_type = member_type;
    p->member_id = member_id;
    p->flags = flags;
    orvane::permission_attach(r, p);
    orvane::_permission_fix_member_add(*d, *p);
  }

  world() {
    kt::logger_to_stderr = false;
    kt::logger_to_syslog = false;
    d->id = 1;
    d->set_name("ORVANE");
    u->id = next_id++;
    u->uname = "member";
    u->dom = d;
    d->users_by_name.insert_rw(u->uname, u);
    d->users_by_id.insert_rw(u->id, u);

    kt::ref_ptr<orvane::resource> top = add_resource("ORVANE", nullptr);
    d->sys_res[orvane::SYS_RES_ORVANE] = top->id;
    for (int i = 1; i < orvane::SYS_RES_COUNT; ++i) {
      d->sys_res[i] = add_resource(orvane::sys_resource_names[i], top)->id;
    }
    for (int a = 0; a < kApps; ++a) {
      kt::ref_ptr<orvane::resource> app = add_resource("app" + std::to_string(a), top);
      for (int c = 0; c < kAppChildren; ++c) {
        add_resource("app" + std::to_string(a) + "-" + std::to_string(c), app);
      }
    }
    deep_path = "/ORVANE";
    kt::ref_ptr<orvane::resource> link = top;
    for (int i = 1; i < kChainDepth; ++i) {
      link = add_resource("level" + std::to_string(i), link);
      deep_path += "/" + link->name;
    }

    for (int i = 0; i < kGroups; ++i) {
      kt::ref_ptr<orvane::group> gr = orvane::group_create();
      gr->id = next_id++;
      gr->name = "group" + std::to_string(i);
      gr->dom = d;
      d->groups_by_name.insert_rw(gr->name, gr);
      d->groups_by_id.insert_rw(gr->id, gr);
      groups.push_back(gr);
    }
    // Every group holds READ on one resource of its own.
    for (int i = 0; i < kGroups; ++i) {
      grant(*resources[6 + static_cast<size_t>(i) % (resources.size() - 6)], orvane::MEMBER_GROUP,
            groups[static_cast<size_t>(i)]->id, orvane::PERM_READ);
    }
    // The user's direct groups, each with parents further along.
    for (int i = 0; i < kDirectGroups; ++i) {
      orvane::group& direct = *groups[static_cast<size_t>(i)];
      orvane::group_link_user(direct, *u);
      for (int p = 1; p <= kParentsPerGroup; ++p) {
        orvane::group_link_group(*groups[static_cast<size_t>(kDirectGroups * p + i)], direct);
      }
    }
    // Targets: far (the parent the check asks last: tables enumerate newest first, so the first
    // parent of the first direct group), own, none.
    far_target = add_resource("far", top)->id;
    grant(*d->resources_by_id.get_rw(far_target), orvane::MEMBER_GROUP, groups[kDirectGroups]->id,
          orvane::PERM_READ | orvane::PERM_WRITE);
    own_target = add_resource("own", top)->id;
    grant(*d->resources_by_id.get_rw(own_target), orvane::MEMBER_USER, u->id, orvane::PERM_WRITE);
    none_target = add_resource("none", top)->id;
  }

  ~world() {
    for (auto& r : resources) orvane::resource_flush(*r);
    for (auto& gr : groups) orvane::group_flush(*gr);
    std::unique_lock lock(u->groups.rwlock());
    u->groups.flush();
    u->permissions.flush();
  }
};

world& the_world() {
  static world w;
  return w;
}

void BM_PermissionCheck(benchmark::State& state, int which) {
  world& w = the_world();
  const uint64_t target = which == 0 ? w.far_target : which == 1 ? w.own_target : w.none_target;
  for (auto _ : state) {
    benchmark::DoNotOptimize(orvane::permission_check(*w.u, orvane::PERMISSION_TARGET_RESOURCE,
                                                      target, orvane::PERM_WRITE));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK_CAPTURE(BM_PermissionCheck, granted_by_parent_group, 0);
BENCHMARK_CAPTURE(BM_PermissionCheck, granted_by_own_entry, 1);
BENCHMARK_CAPTURE(BM_PermissionCheck, no_entry, 2);

void BM_PathQuery(benchmark::State& state, const char* path) {
  world& w = the_world();
  const std::string text = path != nullptr ? std::string(path) : w.deep_path;
  for (auto _ : state) {
    auto result = kt::xmldoc_node::create("permissions");
    benchmark::DoNotOptimize(orvane::permission_path_get(*w.d, *w.u, text, *result));
    benchmark::DoNotOptimize(result->child_count());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK_CAPTURE(BM_PathQuery, root, "");
BENCHMARK_CAPTURE(BM_PathQuery, one_resource, "/ORVANE/app42/app42-17");
BENCHMARK_CAPTURE(BM_PathQuery, deep_32, nullptr);
BENCHMARK_CAPTURE(BM_PathQuery, list_99_children, "/ORVANE/app42/*");
BENCHMARK_CAPTURE(BM_PathQuery, list_top_level, "/*");

}  // namespace

BENCHMARK_MAIN();
