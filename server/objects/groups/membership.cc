// Memberships requested by commands: the "memberof" list, its assignment to a user or a group,
// and the loop check of nested groups.
#include <mutex>
#include <shared_mutex>
#include <string>

#include "errors.h"
#include "objects/domains/domain.h"
#include "objects/groups/group_internal.h"
#include "objects/groups/group_records.h"
#include "objects/users/user.h"
#include "utils/logger.h"
#include "xmldoc/xmldoc.h"

namespace orvane {

namespace {

bool list_has(const group_list& list, uint64_t id) {
  for (const kt::ref_ptr<group>& gr : list) {
    if (gr->id == id) return true;
  }
  return false;
}

group_list snapshot(kt::hashtable<uint64_t, kt::ref_ptr<group>>& table) {
  group_list out;
  std::shared_lock lock(table.rwlock());
  table.for_each([&](const uint64_t&, kt::ref_ptr<group>& gr) {
    if (gr) out.push_back(gr);
  });
  return out;
}

// Makes the listed groups exactly the groups in joined (user::groups or group::member_of) of
// one member; link/unlink make and undo both sides of one membership in memory.
template <class Link, class Unlink>
uint32_t assign(domain& d, uint32_t type, uint64_t id, const std::string& name,
                kt::hashtable<uint64_t, kt::ref_ptr<group>>& joined, const group_list& list,
                Link link, Unlink unlink) {
  uint32_t result = E_OK;
  const auto fail = [&](int rc, const char* what, const group& target) {
    KT_LOG_ERR("member record of %s %s (%lu) in group %s not %s (%d)",
               type == MEMBER_USER ? "user" : "group", name.c_str(), static_cast<unsigned long>(id),
               target.name.c_str(), what, rc);
    if (result == E_OK) result = E_GENERIC;
  };
  // Removal: every current group that the list does not name.
  for (const kt::ref_ptr<group>& gr : snapshot(joined)) {
    if (list_has(list, gr->id)) continue;
    // 1: the record was already gone, which is what was wanted.
    if (const int rc = group_member_db_remove(d, *gr, type, id); rc < 0) {
      fail(rc, "removed", *gr);
      continue;
    }
    unlink(*gr);
  }
  // Addition, in list order.
  for (const kt::ref_ptr<group>& gr : list) {
    if (joined.get_rw(gr->id)) continue;
    // -2: the record is already there.
    if (const int rc = group_member_db_add(d, *gr, type, id); rc != 0 && rc != -2) {
      fail(rc, "written", *gr);
      continue;
    }
    link(*gr);
  }
  return result;
}

}  // namespace

uint32_t membership_xml2list(domain& d, const kt::xmldoc_node& memberof, group_list& out) {
  for (const auto& child : memberof.children()) {
    const kt::xmldoc_attr* id = child->attr_get("id");
    if (child->name() != "g" || id == nullptr || id->value.empty()) return E_INVALID_REQUEST;
    kt::ref_ptr<group> gr = group_from_xml(d, *child);  // by "id"
    if (!gr) return E_GROUP_MEMBER_NOT_FOUND;
    if (gr == d.all_users || (gr->flags & GROUP_FLAG_ALL_USERS) != 0) {
      return E_GROUP_ALLUSERS_MEMBERSHIP;
    }
    out.push_back(std::move(gr));
  }
  return E_OK;
}

uint32_t assign_user_membership(domain& d, user& u, const group_list& list) {
  return assign(
      d, MEMBER_USER, u.id, u.uname, u.groups, list,
      [&](group& target) { group_link_user(target, u); },
      [&](group& target) { group_unlink_user(target, u); });
}

uint32_t assign_group_membership(domain& d, group& gr, const group_list& list) {
  return assign(
      d, MEMBER_GROUP, gr.id, gr.name, gr.member_of, list,
      [&](group& parent) { group_link_group(parent, gr); },
      [&](group& parent) { group_unlink_group(parent, gr); });
}

bool group_within_administrators(const domain& d, group& gr) {
  return d.administrators && _group_is_ancestor(gr, *d.administrators);
}

bool user_within_administrators(const domain& d, user& u) {
  for (const kt::ref_ptr<group>& gr : snapshot(u.groups)) {
    if (group_within_administrators(d, *gr)) return true;
  }
  return false;
}

bool membership_touches_administrators(const domain& d,
                                       kt::hashtable<uint64_t, kt::ref_ptr<group>>& joined,
                                       const group_list& list) {
  for (const kt::ref_ptr<group>& gr : snapshot(joined)) {
    if (!list_has(list, gr->id) && group_within_administrators(d, *gr)) return true;
  }
  for (const kt::ref_ptr<group>& gr : list) {
    if (!joined.get_rw(gr->id) && group_within_administrators(d, *gr)) return true;
  }
  return false;
}

uint32_t _group_validate_memberof(domain&, group& gr, const group_list& list) {
  for (const kt::ref_ptr<group>& parent : list) {
    if (parent.get() == &gr) return E_GROUP_MEMBER_OF_SELF;
    if (_group_is_ancestor(*parent, gr)) return E_GROUP_LOOP;
  }
  return 0;
}

}  // namespace orvane
