// Group records: the "groups" file, the per-group member files "group_users_<id>" and
// "group_groups_<id>", the start-up loader, the in-memory membership links and the membership
// assignment shared with the users module. A membership is
// mirrored on both sides (group::member_users / user::groups, group::member_groups /
// group::member_of), each side holding one reference on the other, and stored once, as a
// record in the member file of the group that is joined.
#ifndef ORVANE_OBJECTS_GROUPS_GROUP_RECORDS_H_
#define ORVANE_OBJECTS_GROUPS_GROUP_RECORDS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "hashtable/hashtable.h"
#include "objects/groups/group.h"
#include "utils/refobj.h"
#include "xmldoc/xmldoc.h"

namespace orvane {

class domain;
class user;

// Groups resolved from a "memberof" element, in document order, one reference each.
using group_list = std::vector<kt::ref_ptr<group>>;

// A new empty group (reference count taken by the returned pointer).
kt::ref_ptr<group> group_create();

// Reads the domain's groups, inserts them into d.groups_by_name/by_id, then links the members
// recorded in the member files. Damaged records, unknown members and memberships that would
// close a loop are logged and skipped; repeated records and partial tails left by a crash are
// dropped from the files (record_load_repair). Call after users_load. Returns 0, or the store's
// result when the groups file can't be read (nothing is loaded then).
int groups_load(domain& d);
// Drops from the member files the records of users and groups that do not exist, and deletes
// the member files of groups that do not exist: what a crash in the middle of an insertion or
// a removal leaves behind. Only for a domain whose users and groups all loaded. Returns 0, or
// the first store failure.
int groups_drop_dangling(domain& d);

// Writes a new record under a fresh identifier and stores the identifier in gr on success. On
// failure gr is unchanged and the result is 0x13.
uint32_t group_db_add(domain& d, group& gr);
// Rewrites the record of gr.id (name, flags): 0 or 0x13.
uint32_t group_db_edit(domain& d, const group& gr);
// Removes the record and, once it is gone, both member files: 0 or 0x13.
uint32_t group_db_remove(domain& d, const group& gr);

// Appends a member record (MEMBER_USER to the users file, MEMBER_GROUP to the groups file).
// Returns the store's own result, which its callers tell apart: -2 when the member's record is
// already there (group_member_db_remove: 1 when it is already gone).
int group_member_db_add(domain& d, const group& gr, uint32_t member_type, uint64_t member_id);
int group_member_db_remove(domain& d, const group& gr, uint32_t member_type, uint64_t member_id);

// Empties the group's five tables (member users, member groups, member of, permissions,
// attributes), breaking the reference cycles between objects of an unloaded domain.
void group_flush(group& gr);

// In-memory membership, both directions. Linking an existing link changes nothing. These take
// the tables' write locks one at a time.
void group_link_user(group& gr, user& u);
void group_unlink_user(group& gr, user& u);
void group_link_group(group& parent, group& child);
void group_unlink_group(group& parent, group& child);

// 0 when the id is a key of the table, 1 otherwise.
template <class T>
int group_is_member(kt::hashtable<uint64_t, kt::ref_ptr<T>>& table, uint64_t id) {
  return table.get_rw(id) ? 0 : 1;
}

// The group named by a "g" element (or by the "g" child of node): attribute "id" (decimal) by
// identifier, else attribute "name" by name. Empty when none matches.
kt::ref_ptr<group> group_from_xml(domain& d, const kt::xmldoc_node& node);

// Lookups in the domain's tables (read lock held only for the lookup).
kt::ref_ptr<group> group_get_by_id(domain& d, uint64_t id);
kt::ref_ptr<group> group_get_by_name(domain& d, std::string_view name);

// Membership. These run under the domain lock held for writing.

// Resolves the "g" children of a memberof element into out, child by child: 0x10 for a child
// that is not a "g" with a non-empty "id", 0x608 for the AllUsers group, 0x605 for an id that
// names no group of the domain. The first failure ends the walk; out keeps what was resolved.
uint32_t membership_xml2list(domain& d, const kt::xmldoc_node& memberof, group_list& out);

// Make the listed groups exactly the user's direct groups (the group's direct parents): member
// records first, then both sides of the in-memory link, so memory follows the files. A member
// record the store refuses leaves that one link as it was (logged). Returns 0, or 0x13 when the
// store refused one, after every other link is done.
uint32_t assign_user_membership(domain& d, user& u, const group_list& list);
uint32_t assign_group_membership(domain& d, group& gr, const group_list& list);

// The Administrators group and the groups nested in it. Changing who belongs to them changes who
// administers the domain, which only its administrators may do.

// Whether gr is the domain's Administrators group or nested in it, at any depth.
bool group_within_administrators(const domain& d, group& gr);
// Whether the user belongs to Administrators, directly or through nested groups.
bool user_within_administrators(const domain& d, user& u);
// Whether making list exactly the groups of joined (user::groups or group::member_of) adds or
// drops a group within Administrators.
bool membership_touches_administrators(const domain& d,
                                       kt::hashtable<uint64_t, kt::ref_ptr<group>>& joined,
                                       const group_list& list);

}  // namespace orvane

#endif  // ORVANE_OBJECTS_GROUPS_GROUP_RECORDS_H_
