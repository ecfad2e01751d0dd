// Group records: the "groups" file, the per-group member files "group_users_<id>" and
// "group_groups_<id>", the start-up loader and the in-memory membership links. A membership is
// mirrored on both sides (group::member_users / user::groups, group::member_groups /
// group::member_of), each side holding one reference on the other.
#ifndef ORVANE_OBJECTS_GROUPS_GROUPS_H_
#define ORVANE_OBJECTS_GROUPS_GROUPS_H_

#include <cstdint>
#include <string>

#include "hashtable/hashtable.h"
#include "objects/groups/group.h"
#include "utils/refobj.h"
#include "xmldoc/xmldoc.h"

namespace orvane {

class domain;
class user;

// A new empty group (reference count taken by the returned pointer).
kt::ref_ptr<group> group_create();

// Reads the domain's groups, inserts them into d.groups_by_name/by_id, then links the members
// recorded in the member files. Damaged records, unknown members and memberships that would
// close a loop are logged and skipped. Call after users_load. Returns 0, or the store's result
// when the groups file can't be read (nothing is loaded then).
int groups_load(domain& d);

// Writes a new record under a fresh identifier and stores the identifier in gr on success. On
// failure gr is unchanged and the store's result is returned.
int group_db_add(domain& d, group& gr);
// Rewrites the record of gr.id (name, flags).
int group_db_edit(domain& d, const group& gr);
// Removes the record; once it is gone, also deletes both member files.
int group_db_del(domain& d, const group& gr);

// Appends a member record (MEMBER_USER to the users file, MEMBER_GROUP to the groups file);
// the store refuses a second record for one member id (-2).
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

// True when child is parent itself or one of parent's ancestors (through member_of): linking
// child below parent would close a loop.
bool _group_is_ancestor(group& parent, const group& child);

// The group named by a "g" element (or by the "g" child of node): attribute "id" (decimal) by
// identifier, else attribute "name" by name. Empty when none matches.
kt::ref_ptr<group> group_from_xml(domain& d, const kt::xmldoc_node& node);

// Lookups in the domain's tables (read lock held only for the lookup).
kt::ref_ptr<group> group_get_by_id(domain& d, uint64_t id);
kt::ref_ptr<group> group_get_by_name(domain& d, std::string_view name);

}  // namespace orvane

#endif  // ORVANE_OBJECTS_GROUPS_GROUPS_H_
