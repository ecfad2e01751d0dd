// Permissions: the rights (READ, WRITE, EXEC) of one user or group on one resource, and the
// access checks built on them: within a domain, up the domain tree, on the domain's system
// resources, and the check of who administers a domain.
#ifndef ORVANE_OBJECTS_PERMISSIONS_PERMISSION_H_
#define ORVANE_OBJECTS_PERMISSIONS_PERMISSION_H_

#include <cstdint>
#include <string_view>

#include "hashtable/hashtable.h"
#include "utils/refobj.h"

namespace orvane {

struct globals;
class domain;
class resource;
class token;
class user;

// Record of a domain's "permissions" file: 34 bytes, keyed by the identifier.
constexpr uint32_t PERMISSION_RECORD_SIZE = 34;

constexpr uint32_t PERM_READ = 0x1;
constexpr uint32_t PERM_WRITE = 0x2;
constexpr uint32_t PERM_EXEC = 0x4;

constexpr uint32_t PERMISSION_TARGET_RESOURCE = 1;

class permission : public kt::ref_object {
 public:
  permission();
  ~permission() override;

  uint64_t id = 0;
  uint32_t target_type = PERMISSION_TARGET_RESOURCE;
  uint64_t target_id = 0;
  uint32_t member_type = 0;  // MEMBER_USER or MEMBER_GROUP
  uint64_t member_id = 0;
  uint32_t flags = 0;  // PERM_* bits
  kt::ref_ptr<resource> target;
};

using permission_table = kt::hashtable<uint64_t, kt::ref_ptr<permission>>;

// The access check: 0 allowed, non-zero refused. The user's own entry on the resource decides
// alone when it has one; otherwise the union of the entries of its groups does: its direct
// groups, their direct parents (one level), and AllUsers, of which every user is a member.
int permission_check(const user& u, uint32_t target_type, uint64_t resource_id, uint32_t flags);

// The rights the same rule gives the user on the resource: its own entry's flags, else the union
// of its groups' entries; 0 when none has one.
uint32_t permission_get(const user& u, uint32_t target_type, uint64_t resource_id);

// The access check along the domain tree: the groups' result for the resource, overridden by
// the user's own entry only where the groups decided (an own grant beats a group entry lacking
// a flag, an own entry lacking a flag beats a group grant). When the groups hold no entry the
// question moves to the parent domain's resource of the same name. Returns 0 allowed, -1
// refused by an entry, 1 refused for want of one (also at the root, or when the parent domain
// has no resource of that name). The caller keeps the domain tree from changing meanwhile.
int permission_check_hieracy(const user& u, uint32_t target_type, domain& d, std::string_view name,
                             uint64_t resource_id, uint32_t flags);

// The rights check of the commands: the token user's right on one of the domain's system
// resources (SYS_RES_*). 0, or 0x102 when refused or without a token.
uint32_t permission_check_system(const domain& d, const token* t, int sys_res, uint32_t flags);

// Whether the caller administers the domain: a member of its Administrators group, directly or
// through nested groups, or allowed to manage it along the domain tree (WRITE on its ORVANE
// resource). Only such a caller changes who administers the domain: the membership of
// Administrators, the name, password and flags of its members, and the permissions of the system
// resources. 0, or 0x102 when refused or without a token. Takes g.global_lock for reading.
uint32_t permission_check_admin(globals& g, domain& d, const token* t);

}  // namespace orvane

#endif  // ORVANE_OBJECTS_PERMISSIONS_PERMISSION_H_
