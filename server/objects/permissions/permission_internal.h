// Helpers shared by the files of the permissions module (records, checks). Not for other
// modules.
#ifndef ORVANE_OBJECTS_PERMISSIONS_PERMISSION_INTERNAL_H_
#define ORVANE_OBJECTS_PERMISSIONS_PERMISSION_INTERNAL_H_

#include <cstdint>

#include "objects/permissions/permission.h"

namespace orvane {

class domain;
class user;

// Writes p's record under its own identifier (puts back a record taken out). The store's result:
// -2 when a record with that identifier exists.
int _permission_db_put(domain& d, const permission& p);
// Rewrites the record of p.id. The store's result: 1 when the record is missing.
int permission_rewrite(domain& d, const permission& p);

// 1 when the table has no entry for the resource, 0 when its entry holds every wanted flag, -1
// when the entry lacks one.
int _permission_check(permission_table& table, uint64_t resource_id, uint32_t flags);

// The group part of the access check: 1 when none of the user's groups (direct, their parents,
// AllUsers) has an entry for the resource, 0 when the union of their entries holds every wanted
// flag, -1 otherwise.
int _permission_check_groups(const user& u, uint64_t resource_id, uint32_t flags);

}  // namespace orvane

#endif  // ORVANE_OBJECTS_PERMISSIONS_PERMISSION_INTERNAL_H_
