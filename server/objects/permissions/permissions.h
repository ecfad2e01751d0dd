// Permission records: the "permissions" file, the loader, the links between a permission, its
// target resource (resource::permissions, keyed by permission id) and its member
// (user::permissions or group::permissions, keyed by target resource id), the access checks
// (within a domain and up the domain tree), the permission lists of the resource commands and
// the rights queries getPermissions and getUserPermissions.
#ifndef ORVANE_OBJECTS_PERMISSIONS_PERMISSIONS_H_
#define ORVANE_OBJECTS_PERMISSIONS_PERMISSIONS_H_

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

struct client;
struct globals;
struct processor_result;
class domain;
class resource;
class token;
class user;

using permission_table = kt::hashtable<uint64_t, kt::ref_ptr<permission>>;
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
// unchanged and the store's result is returned.
int permission_db_add(domain& d, permission& p);
int permission_db_edit(domain& d, const permission& p);
int permission_db_del(domain& d, const permission& p);
// Writes p's record under its own identifier (puts back a record taken out). -2 when a record
// with that identifier exists.
int _permission_db_put(domain& d, const permission& p);

// Inserts p into its member's table under its target id (replacing an entry there). Returns 0,
// -1 when the member user does not exist, -2 when the member group does not exist (logged).
int _permission_fix_member_add(domain& d, permission& p);
// Takes p out of its member's table, if the entry there is p itself. Returns 0.
int _permission_fix_member_remove(domain& d, permission& p);

// Links p to r: p.target (reference on r), p.target_id, and r.permissions under p.id.
void permission_attach(resource& r, kt::ref_ptr<permission> p);

// Deletes a permission of a resource that is going away: member entry and record. The caller
// takes it out of the resource's table. Returns the store's result.
int permission_delete(domain& d, permission& p);

// 1 when the table has no entry for the resource, 0 when its entry holds every wanted flag, -1
// when the entry lacks one.
int _permission_check(permission_table& table, uint64_t resource_id, uint32_t flags);

// The group part of the access check: the result (0, -1 or 1) of the user's direct groups and
// their parents, before the user's own entry is asked.
int _permission_check_groups(const user& u, uint64_t resource_id, uint32_t flags);

// The access check: 0 allowed, non-zero refused. The user's direct groups (and one level of
// their parents) are asked first; a group entry lacking a flag ends the group search; then the
// user's own entry decides.
int permission_check(const user& u, uint32_t target_type, uint64_t resource_id, uint32_t flags);

// The entry that gives the user its rights on the resource: the user's own, else that of the
// first direct group holding one. Empty when none.
kt::ref_ptr<permission> permission_get(const user& u, uint32_t target_type, uint64_t resource_id);

// The access check along the domain tree: the groups' result for the resource, overridden by
// the user's own entry only where the groups decided (an own grant beats a group entry lacking
// a flag, an own entry lacking a flag beats a group grant). When the groups hold no entry the
// question moves to the parent domain's resource of the same name. Returns 0 allowed, -1
// refused by an entry, 1 refused for want of one (also at the root, or when the parent domain
// has no resource of that name). The caller keeps the domain tree from changing meanwhile.
int permission_check_hieracy(const user& u, uint32_t target_type, domain& d, std::string_view name,
                             uint64_t resource_id, uint32_t flags);

// The rights check of the management commands: the token user's right on one of the domain's
// system resources (SYS_RES_*). 0, or 0x102 when refused or without a token.
uint32_t permission_check_system(const domain& d, const token* t, int sys_res, uint32_t flags);

// Whether the caller administers the domain: a member of its Administrators group, directly or
// through nested groups, or allowed to manage it along the domain tree (WRITE on its ORVANE
// resource). Only such a caller changes who administers the domain: the membership of
// Administrators, the name, password and flags of its members, and the permissions of the system
// resources. 0, or 0x102 when refused or without a token. Takes g.global_lock for reading.
uint32_t permission_check_admin(globals& g, domain& d, const token* t);

// Reads a decimal attribute of node into *out. 0, or 0x10 when it is missing, empty, holds a
// byte other than a digit or exceeds max.
uint32_t xml_attr_decimal(const kt::xmldoc_node& node, std::string_view name, uint64_t max,
                          uint64_t* out);

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
// with nothing changed. Sets the entries' target and identifiers. Runs under the domain's write
// lock.
int permissions_update(domain& d, resource& r, const permission_list& list);

// Fills result (a "permissions" element) with the subject's rights on the resources a path
// names: "" is the domain's ORVANE resource (reported as "/"), "/*" lists the top-level
// resources, "/ORVANE/OrvaneUsers" one resource, "/ORVANE/*" the children of one. Each "p"
// element has the attribute "p" (the name) and the flags in decimal as text ("0" without an
// entry). Returns 0 (also, with no element, for a walk beyond 32 resources), 0x11 for "*" before
// the last component, 0x401 for an unknown name or when nothing is reached, 0x402 for names out
// of parent order.
uint32_t permission_path_get(domain& d, const user& subject, std::string_view path,
                             kt::xmldoc_node& result);

// getPermissions and getUserPermissions: child "path"; optional attribute "user" (a nonzero
// decimal id, else a name) names the subject, which needs READ on OrvaneUsers. Without a token
// 0x101; an unknown user 0x108.
uint32_t processor_permissions_get_permissions(client& c, globals& g, domain* d, token* t,
                                               kt::xmldoc_node& cmd, processor_result& r);

}  // namespace orvane

#endif  // ORVANE_OBJECTS_PERMISSIONS_PERMISSIONS_H_
