#include "loader_checks.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "buffers/buffer.h"
#include "globals.h"
#include "objects/attributes/attribute.h"
#include "objects/attributes/attribute_records.h"
#include "objects/domains/domain.h"
#include "objects/groups/group.h"
#include "objects/netclients/netclient.h"
#include "objects/netclients/netclient_records.h"
#include "objects/permissions/permission.h"
#include "objects/permissions/permission_records.h"
#include "objects/profiles/nss_profile.h"
#include "objects/profiles/nss_profile_records.h"
#include "objects/resources/resource.h"
#include "objects/users/user.h"
#include "utils/ipv4.h"
#include "xmldoc/xmldoc.h"

namespace orvane_fuzz {

using namespace orvane;

namespace {

// The entries of a table, taken under its read lock, so that the checks can look elsewhere.
template <class K, class V>
std::vector<std::pair<K, V>> entries(kt::hashtable<K, V>& table) {
  std::vector<std::pair<K, V>> out;
  std::shared_lock lock(table.rwlock());
  table.for_each([&](const K& key, V& value) { out.emplace_back(key, value); });
  return out;
}

// A pair of domain tables: each object is listed under its own id and name in both, once.
template <class T, class NameOf>
void check_pair(kt::hashtable<std::string, kt::ref_ptr<T>>& by_name,
                kt::hashtable<uint64_t, kt::ref_ptr<T>>& by_id, domain& d, NameOf name_of) {
  const auto ids = entries(by_id);
  check(ids.size() == by_name.count(), "tables by id and by name differ in size");
  for (const auto& [id, object] : ids) {
    check(object != nullptr, "empty table entry");
    check(id != 0 && object->id == id, "object listed under another id");
    check(object->dom.get() == &d, "object of another domain");
    const std::string name = name_of(*object);
    check(!name.empty(), "object without name");
    check(by_name.get_rw(name) == object, "object not found by its name");
  }
  for (const auto& [name, object] : entries(by_name)) {
    check(object != nullptr && name_of(*object) == name, "object listed under another name");
    check(by_id.get_rw(object->id) == object, "object not found by its id");
  }
}

template <class T>
kt::ref_ptr<T> in_table(kt::hashtable<uint64_t, kt::ref_ptr<T>>& by_id, const kt::ref_ptr<T>& o) {
  check(o != nullptr, "empty link");
  check(by_id.get_rw(o->id) == o, "link to an object outside the domain's tables");
  return o;
}

void check_users(domain& d) {
  check_pair(d.users_by_name, d.users_by_id, d, [](const user& u) { return u.uname; });
  for (const auto& [id, u] : entries(d.users_by_id)) {
    for (const auto& [gid, gr] : entries(u->groups)) {
      in_table(d.groups_by_id, gr);
      check(gr->id == gid, "group link under another id");
      check(gr->member_users.get_rw(u->id) == u, "user's group does not list the user");
    }
  }
}

// Walks the parents of a group (member_of); true when start is met again.
bool group_loops(group& start) {
  std::vector<kt::ref_ptr<group>> pending;
  for (auto& [id, p] : entries(start.member_of)) pending.push_back(p);
  std::unordered_set<const group*> seen;
  while (!pending.empty()) {
    kt::ref_ptr<group> g = std::move(pending.back());
    pending.pop_back();
    if (g.get() == &start) return true;
    if (!seen.insert(g.get()).second) continue;
    for (auto& [id, p] : entries(g->member_of)) pending.push_back(p);
  }
  return false;
}

void check_groups(domain& d) {
  check_pair(d.groups_by_name, d.groups_by_id, d, [](const group& g) { return g.name; });
  for (const auto& [id, gr] : entries(d.groups_by_id)) {
    for (const auto& [uid, u] : entries(gr->member_users)) {
      in_table(d.users_by_id, u);
      check(u->id == uid, "member user under another id");
      check(u->groups.get_rw(gr->id) == gr, "member user does not list the group");
    }
    for (const auto& [cid, child] : entries(gr->member_groups)) {
      in_table(d.groups_by_id, child);
      check(child->id == cid, "member group under another id");
      check(child->member_of.get_rw(gr->id) == gr, "member group does not list its parent");
    }
    for (const auto& [pid, parent] : entries(gr->member_of)) {
      in_table(d.groups_by_id, parent);
      check(parent->id == pid, "parent group under another id");
      check(parent->member_groups.get_rw(gr->id) == gr, "parent does not list the member");
    }
    if (gr->flags & GROUP_FLAG_ALL_USERS) {
      check(gr->member_users.count() == 0 && gr->member_groups.count() == 0 &&
                gr->member_of.count() == 0,
            "AllUsers holds member links");
    }
    check(!group_loops(*gr), "group nesting loops");
  }
}

void check_resources(domain& d) {
  check_pair(d.resources_by_name, d.resources_by_id, d, [](const resource& r) { return r.name; });
  const auto all = entries(d.resources_by_id);
  for (const auto& [id, r] : all) {
    if (r->parent) {
      in_table(d.resources_by_id, r->parent);
      check(r->parent->id == r->parent_id, "parent link differs from the parent id");
      check(r->parent->children.get_rw(r->id) == r, "parent does not list the child");
    } else {
      check(r->parent_id == 0, "resource with a parent id but no parent");
    }
    size_t depth = 0;
    for (const resource* p = r.get(); p != nullptr; p = p->parent.get()) {
      check(++depth <= all.size(), "resource tree loops");
    }
    for (const auto& [cid, child] : entries(r->children)) {
      in_table(d.resources_by_id, child);
      check(child->id == cid && child->parent == r, "child does not point at its parent");
    }
  }
  for (int i = 0; i < SYS_RES_COUNT; ++i) {
    if (d.sys_res[i] == 0) continue;
    const kt::ref_ptr<resource> r = d.resources_by_id.get_rw(d.sys_res[i]);
    check(r != nullptr && r->name == sys_resource_names[i], "system resource id is stale");
  }
}

// A member's permission table: every entry is a permission of that member on a resource of the
// domain, listed by that resource.
void check_member_permissions(domain& d, permission_table& table, uint32_t member_type,
                              uint64_t member_id) {
  for (const auto& [target_id, p] : entries(table)) {
    check(p != nullptr && p->target_id == target_id, "member permission under another target");
    check(p->member_type == member_type && p->member_id == member_id,
          "permission listed by another member");
    in_table(d.resources_by_id, p->target);
    check(p->target->permissions.get_rw(p->id) == p, "resource does not list the permission");
  }
}

void check_permissions(domain& d) {
  std::unordered_set<uint64_t> ids;
  for (const auto& [rid, r] : entries(d.resources_by_id)) {
    for (const auto& [pid, p] : entries(r->permissions)) {
      check(p != nullptr && p->id == pid && pid != 0, "permission under another id");
      check(ids.insert(pid).second, "permission id on two resources");
      check(p->target == r && p->target_id == r->id, "permission points at another resource");
      check(p->target_type == PERMISSION_TARGET_RESOURCE, "permission of another target type");
      permission_table* table = nullptr;
      kt::ref_ptr<kt::ref_object> keep;
      if (p->member_type == MEMBER_USER) {
        kt::ref_ptr<user> u = d.users_by_id.get_rw(p->member_id);
        check(u != nullptr, "permission of a missing user");
        table = &u->permissions;
        keep = u;
      } else {
        check(p->member_type == MEMBER_GROUP, "permission of an unknown member type");
        kt::ref_ptr<group> g = d.groups_by_id.get_rw(p->member_id);
        check(g != nullptr, "permission of a missing group");
        table = &g->permissions;
        keep = g;
      }
      check(table->get_rw(r->id) == p, "member does not list its permission");
    }
  }
  for (const auto& [id, u] : entries(d.users_by_id)) {
    check_member_permissions(d, u->permissions, MEMBER_USER, id);
  }
  for (const auto& [id, g] : entries(d.groups_by_id)) {
    check_member_permissions(d, g->permissions, MEMBER_GROUP, id);
  }
}

void check_attribute_table(domain& d, attribute_table& table, uint8_t ttype, uint64_t target_id,
                           const kt::ref_object* target, std::unordered_set<uint64_t>& ids) {
  for (const auto& [name, a] : entries(table)) {
    check(a != nullptr && a->name == name && !name.empty(), "attribute under another name");
    check(a->id != 0 && ids.insert(a->id).second, "attribute id used twice");
    check(a->dom == &d, "attribute of another domain");
    check(a->ttype == ttype, "attribute on a target of another type");
    if (ttype != ATTR_TARGET_DOMAIN) {
      check(a->target_id == target_id && a->target.get() == target,
            "attribute points at another target");
    }
    check(a->type >= ATTR_TYPE_BOOLEAN && a->type <= ATTR_TYPE_BINARY, "attribute type");
  }
}

void check_attributes(domain& d) {
  std::unordered_set<uint64_t> ids;
  check_attribute_table(d, d.attributes, ATTR_TARGET_DOMAIN, d.id, nullptr, ids);
  for (const auto& [id, u] : entries(d.users_by_id)) {
    check_attribute_table(d, u->attributes, ATTR_TARGET_USER, id, u.get(), ids);
  }
  for (const auto& [id, g] : entries(d.groups_by_id)) {
    check_attribute_table(d, g->attributes, ATTR_TARGET_GROUP, id, g.get(), ids);
  }
  for (const auto& [id, r] : entries(d.resources_by_id)) {
    check_attribute_table(d, r->attributes, ATTR_TARGET_RESOURCE, id, r.get(), ids);
  }
  for (const auto& [id, nc] : entries(d.netclients_by_id)) {
    check_attribute_table(d, nc->attributes, ATTR_TARGET_NETCLIENT, id, nc.get(), ids);
  }
}

template <class K, class V>
bool has_key(kt::hashtable<K, V>& table, const K& key) {
  std::shared_lock lock(table.rwlock());
  return table.find_nl(key) != nullptr;
}

void check_netclients(domain& d, globals& g) {
  check_pair(d.netclients_by_name, d.netclients_by_id, d,
             [](const netclient& nc) { return nc.get_name(); });
  for (const auto& [id, nc] : entries(d.netclients_by_id)) {
    for (const std::string& text : nc->v4_addresses()) {
      check(!text.empty() && text.find(':') == std::string::npos, "IPv4 slot of another form");
      kt::ipv4_address a{};
      if (kt::ipv4_parse_addr(text, a) != 0) continue;
      const uint64_t key = netclient_addr_key(a);
      check(has_key(d.netclient_index, key), "network missing from the domain index");
      check(has_key(g.netclients, key), "network missing from the global index");
    }
    for (const std::string& text : nc->v6_addresses()) {
      check(text.find(':') != std::string::npos, "IPv6 slot without ':'");
    }
  }
}

bool profile_loops(nss_profile& start) {
  std::vector<kt::ref_ptr<nss_profile>> pending;
  for (auto& [id, p] : entries(start.includes)) pending.push_back(p);
  std::unordered_set<const nss_profile*> seen;
  while (!pending.empty()) {
    kt::ref_ptr<nss_profile> p = std::move(pending.back());
    pending.pop_back();
    if (p.get() == &start) return true;
    if (!seen.insert(p.get()).second) continue;
    for (auto& [id, next] : entries(p->includes)) pending.push_back(next);
  }
  return false;
}

void check_profiles(domain& d) {
  check_pair(d.profiles_by_name, d.profiles_by_id, d, [](const nss_profile& p) { return p.name; });
  for (const auto& [id, p] : entries(d.profiles_by_id)) {
    const auto users = entries(p->users_by_uid);
    check(users.size() == p->users_by_name.count(), "profile user indexes differ in size");
    std::unordered_set<uint64_t> user_ids;
    for (const auto& [uid, m] : users) {
      check(m != nullptr && m->uid == uid, "profile user under another uid");
      in_table(d.users_by_id, m->usr);
      check(user_ids.insert(m->usr->id).second, "user twice in one profile");
      check(p->users_by_name.get_rw(m->usr->uname) == m, "profile user not found by name");
    }
    const auto groups = entries(p->groups_by_gid);
    check(groups.size() == p->groups_by_name.count(), "profile group indexes differ in size");
    std::unordered_set<uint64_t> group_ids;
    for (const auto& [gid, m] : groups) {
      check(m != nullptr && m->gid == gid, "profile group under another gid");
      in_table(d.groups_by_id, m->grp);
      check(group_ids.insert(m->grp->id).second, "group twice in one profile");
      check(p->groups_by_name.get_rw(m->grp->name) == m, "profile group not found by name");
    }
    for (const auto& [tid, target] : entries(p->includes)) {
      in_table(d.profiles_by_id, target);
      check(target->id == tid, "included profile under another id");
      check(target->included_by.get_rw(p->id) == p, "included profile does not list includer");
    }
    for (const auto& [iid, includer] : entries(p->included_by)) {
      in_table(d.profiles_by_id, includer);
      check(includer->includes.get_rw(p->id) == p, "includer does not list the profile");
    }
    check(!profile_loops(*p), "profile inclusion loops");
  }
}

void check_reparses(const kt::xmldoc_node& node) {
  kt::xmldoc doc;
  kt::buffer out;
  check(doc.save(&node, out) == 0, "listing can't be written");
  kt::xmldoc back;
  if (const int rc = back.parse(out.view()); rc != 0) {
    const std::string_view text = out.view();
    std::fprintf(stderr, "parse result %d of %zu bytes: %.*s\n", rc, text.size(),
                 static_cast<int>(std::min<size_t>(text.size(), 2000)), text.data());
    check(false, "listing does not parse back");
  }
}

}  // namespace

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "loader fuzz: %s\n", what);
    std::abort();
  }
}

void check_domain_objects(domain& d, globals& g) {
  check_users(d);
  check_groups(d);
  check_resources(d);
  check_permissions(d);
  check_attributes(d);
  check_netclients(d, g);
  check_profiles(d);
  check(d.administrators == d.groups_by_name.get_rw("Administrators"), "Administrators link");
  check(d.all_users == d.groups_by_name.get_rw("AllUsers"), "AllUsers link");
}

void exercise_domain(domain& d) {
  // Rights checks walk the member's groups and their parents.
  size_t budget = 4096;
  const auto resources = entries(d.resources_by_id);
  for (const auto& [uid, u] : entries(d.users_by_id)) {
    for (const auto& [rid, r] : resources) {
      if (budget-- == 0) break;
      permission_check(*u, PERMISSION_TARGET_RESOURCE, rid, PERM_READ | PERM_WRITE);
      permission_get(*u, PERMISSION_TARGET_RESOURCE, rid);
    }
  }
  check_reparses(*nss_profiles_to_xml(d));
  check_reparses(*netclients_to_xml(d, true));
  check_reparses(*attributes_to_xml(d.attributes));
  for (const auto& [id, u] : entries(d.users_by_id))
    check_reparses(*attributes_to_xml(u->attributes));
  for (const auto& [id, r] : resources) check_reparses(*attributes_to_xml(r->attributes));
}

void check_domain_tree(globals& g) {
  check(g.root_domain != nullptr, "no root domain");
  check(g.domains_by_id.get_rw(g.root_domain->id) == g.root_domain, "root not listed");
  const auto all = entries(g.domains_by_id);
  check(all.size() == g.domains_by_name.count(), "domain tables differ in size");
  for (const auto& [id, d] : all) {
    check(d != nullptr && d->id == id && id != 0, "domain under another id");
    check(d->g == &g, "domain without its context");
    check(g.domains_by_name.get_rw(d->name()) == d, "domain not found by its name");
    if (d->parent) {
      check(d->parent->id == d->parent_id, "parent link differs from the parent id");
      check(g.domains_by_id.get_rw(d->parent_id) == d->parent, "parent outside the tables");
    }
    size_t depth = 0;
    for (const domain* p = d.get(); p != nullptr; p = p->parent.get()) {
      check(++depth <= all.size(), "domain tree loops");
    }
  }
  for (const auto& [name, d] : entries(g.domains_by_name)) {
    check(d != nullptr && d->name() == name, "domain under another name");
    check(g.domains_by_id.get_rw(d->id) == d, "domain not found by its id");
  }
}

}  // namespace orvane_fuzz
