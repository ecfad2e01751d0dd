// Groups: named sets of users and of other groups inside one domain, nested without loops.
#ifndef ORVANE_OBJECTS_GROUPS_GROUP_H_
#define ORVANE_OBJECTS_GROUPS_GROUP_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "hashtable/hashtable.h"
#include "utils/refobj.h"

namespace orvane {

class domain;
class user;
class permission;
class attribute;

// Record of a domain's "groups" file: 137 bytes, keyed by the identifier.
constexpr uint32_t GROUP_RECORD_SIZE = 137;
// Record of the member files "group_users_<id>" and "group_groups_<id>": 12 bytes.
constexpr uint32_t GROUP_MEMBER_RECORD_SIZE = 12;
// The longest name the record keeps whole (a 128-byte field with its terminator).
constexpr size_t GROUP_NAME_MAX = 127;

// Group flags.
constexpr uint8_t GROUP_FLAG_SYSTEM = 0x1;          // cannot be renamed or removed
constexpr uint8_t GROUP_FLAG_ALL_USERS = 0x2;       // AllUsers
constexpr uint8_t GROUP_FLAG_ADMINISTRATORS = 0x4;  // Administrators

// Member types of the member records.
constexpr uint32_t MEMBER_USER = 0;
constexpr uint32_t MEMBER_GROUP = 1;

class group : public kt::ref_object {
 public:
  group();
  ~group() override;  // group_free

  uint64_t id = 0;
  kt::ref_ptr<domain> dom;
  std::string name;
  uint8_t flags = 0;

  kt::hashtable<uint64_t, kt::ref_ptr<user>> member_users;
  kt::hashtable<uint64_t, kt::ref_ptr<group>> member_groups;  // children
  kt::hashtable<uint64_t, kt::ref_ptr<group>> member_of;      // parents
  // Permissions whose member is this group, by target resource id.
  kt::hashtable<uint64_t, kt::ref_ptr<permission>> permissions;
  kt::hashtable<std::string, kt::ref_ptr<attribute>> attributes;
};

}  // namespace orvane

#endif  // ORVANE_OBJECTS_GROUPS_GROUP_H_
