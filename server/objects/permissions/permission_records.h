// Permission records: the "permissions" file, the loader, the links between a permission, its
// target resource (resource::permissions, keyed by permission id) and its member
// (user::permissions or group::permissions, keyed by target resource id), and the permission
// lists of the resource commands.
#ifndef ORVANE_OBJECTS_PERMISSIONS_PERMISSION_RECORDS_H_
#define ORVANE_OBJECTS_PERMISSIONS_PERMISSION_RECORDS_H_

#include <cstdint>
#include <string_view>
#include <vector>

#include "hashtable/hashtable.h"
#include "objects/permissions/permission.h"
#include "utils/refobj.h"

namespace kt {
class xmldoc_node;
}  // namespace kt

namespace orvane {

class domain;
class resource;
class user;

// A resource's permission list as a request gives it, in request order.
using permission_list = std::vector<kt::ref_ptr<permission>>;

// A new empty permission (target type resource).
kt::ref_ptr<permission> permission_create();

// Reads the domain's permissions, attaches each to its resource and inserts it into its
// member's table. Records with another target type, a missing resource or member, a duplicate
// identifier, or a second entry for one member on one resource are logged and skipped (they stay
// in the file; repeated records and a partial tail left by a crash are dropped from it). Call
// after users, groups and resources are loaded. Returns 0, or the store's result when the file
// can't be read.
int permissions_load(domain& d);
// Drops the records of permissions whose resource or member does not exist: what a crash in
// the middle of an insertion or a removal leaves behind. Only for a domain whose users, groups
// and resources all loaded. Returns 0, or the store's result.
int permissions_drop_dangling(domain& d);

// Writes a new record under a fresh identifier, stored in p on success; on failure p is
// unchanged and the result is 0x13.
uint32_t permission_db_add(domain& d, permission& p);
// Rewrites or removes the record of p.id: 0, or 0x13.
uint32_t permission_db_edit(domain& d, const permission& p);
uint32_t permission_db_remove(domain& d, const permission& p);

// Inserts p into its member's table under its target id (replacing an entry there). Returns 0,
// -1 when the member user does not exist, -2 when the member group does not exist (logged).
int _permission_fix_member_add(domain& d, permission& p);
// Takes p out of its member's table, if the entry there is p itself. Returns 0.
int _permission_fix_member_remove(domain& d, permission& p);

// Links p to r: p.target (reference on r), p.target_id, and r.permissions under p.id.
void permission_attach(resource& r, kt::ref_ptr<permission> p);

// Deletes a permission of a resource that is going away: member entry and record. The caller
// takes it out of the resource's table. 0, or 0x13 when the store refuses the record.
uint32_t permission_delete(domain& d, permission& p);

// Parses the "p" children of a "permissions" element (other children are skipped) into new
// permissions on the target, in order. Each needs "id" (0 for a new one), "memberType" (0 user,
// 1 group), "memberId" and "flags" (16 bits), all decimal, and a member that exists in d.
// Returns 0; 0x10 for a missing or malformed attribute, an unknown member or an identifier
// given twice; 0x408 for two entries of one member. *out is filled only on success.
uint32_t permissions_xml2list(domain& d, uint32_t target_type, uint64_t target_id,
                              const kt::xmldoc_node& element, permission_list* out);

// Makes the list r's permission set: r's permissions missing from the list are deleted, entries
// whose id r holds rewrite that record, the others get new records; then the entries replace the
// old objects in r's table and in their members' tables. The records are written first and,
// when the store refuses one, the ones already written are put back: the result is returned
// (0x13) with nothing changed. Sets the entries' target and identifiers. Runs under the domain's
// write lock.
uint32_t permissions_update(domain& d, resource& r, const permission_list& list);

}  // namespace orvane

#endif  // ORVANE_OBJECTS_PERMISSIONS_PERMISSION_RECORDS_H_
