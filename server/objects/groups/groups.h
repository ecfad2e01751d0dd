// Group records: the "groups" file, the per-group member files "group_users_<id>" and
// "group_groups_<id>", the start-up loader, the in-memory membership links, the membership
// assignment shared with the users module, and the four group commands. A membership is
// mirrored on both sides (group::member_users / user::groups, group::member_groups /
// group::member_of), each side holding one reference on the other, and stored once, as a
// record in the member file of the group that is joined.
#ifndef ORVANE_OBJECTS_GROUPS_GROUPS_H_
#define ORVANE_OBJECTS_GROUPS_GROUPS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "hashtable/hashtable.h"
#include "objects/groups/group.h"
#include "utils/refobj.h"
#include "xmldoc/xmldoc.h"

namespace orvane {

struct client;
struct globals;
struct processor_result;
class domain;
class token;
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
// failure gr is unchanged and the store's result is returned.
int group_db_add(domain& d, group& gr);
// The same under an identifier drawn beforehand, so that the member records of a new group in
// its parents' files can be written before its own record. -2 when the identifier is in the
// file.
int _group_db_add_id(domain& d, group& gr, uint64_t id);
// Rewrites the record of gr.id (name, flags).
int group_db_edit(domain& d, const group& gr);
// Removes the record; once it is gone, also deletes both member files.
int group_db_del(domain& d, const group& gr);
// Deletes both member files of the group (missing files are no error).
void _group_member_files_unlink(const domain& d, uint64_t group_id);

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

// Membership. These run under the domain lock held for writing.

// Resolves the "g" children of a memberof element into out, child by child: 0x10 for a child
// that is not a "g" with a non-empty "id", 0x608 for the AllUsers group, 0x605 for an id that
// names no group of the domain. The first failure ends the walk; out keeps what was resolved.
int membership_xml2list(domain& d, const kt::xmldoc_node& memberof, group_list& out);

// Make the listed groups exactly the user's direct groups (the group's direct parents): member
// records first, then both sides of the in-memory link, so memory follows the files. A member
// record the store refuses leaves that one link as it was (logged). Returns 0, or the first
// store failure after every other link is done.
int assign_user_membership(domain& d, user& u, const group_list& list);
int assign_group_membership(domain& d, group& gr, const group_list& list);

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

// Whether gr may take the listed groups as parents: 0x604 when one of them is gr, 0x603 when gr
// is already an ancestor of one of them (a loop), else 0. The first failing entry decides.
int _group_validate_memberof(domain& d, group& gr, const group_list& list);

// The commands on a "g" element, after the rights check. *out receives the group once it has
// changed (for groupEdit also when a member record is refused afterwards). administrator tells
// whether the caller administers the domain; without, a command that would nest a group into
// Administrators, take one out of it or remove one within it is refused with 0x102 before
// anything changes.
// groupInsert: 0x10, 0x14, 0x15, 0x602, the memberof codes, or a store failure (nothing kept).
int group_xml_add(domain& d, const kt::xmldoc_node& g, bool administrator, kt::ref_ptr<group>* out);
// groupEdit: every check (name, lookup, memberof, loops, AllUsers, rename) runs before any
// change: 0x10, 0x14, 0x15, 0x601, 0x605, 0x608, 0x604, 0x603, 0x607, 0x606, 0x602, or a store
// failure.
int group_xml_edit(domain& d, const kt::xmldoc_node& g, bool administrator,
                   kt::ref_ptr<group>* out);
// groupRemove: 0x10, 0x601, 0x606, or the store's result with nothing changed. Takes along the
// member files, the group's records in its parents' member files, its attributes and its
// permissions.
int group_xml_del(domain& d, const kt::xmldoc_node& g, bool administrator, kt::ref_ptr<group>* out);

// Command handlers: groupInsert, groupEdit, groupRemove (WRITE on OrvaneGroups), groupSearch
// (READ on OrvaneGroups).
uint32_t processor_group_insert(client& c, globals& g, domain* d, token* t, kt::xmldoc_node& cmd,
                                processor_result& r);
uint32_t processor_group_edit(client& c, globals& g, domain* d, token* t, kt::xmldoc_node& cmd,
                              processor_result& r);
uint32_t processor_group_remove(client& c, globals& g, domain* d, token* t, kt::xmldoc_node& cmd,
                                processor_result& r);
uint32_t processor_group_search(client& c, globals& g, domain* d, token* t, kt::xmldoc_node& cmd,
                                processor_result& r);

}  // namespace orvane

#endif  // ORVANE_OBJECTS_GROUPS_GROUPS_H_
