// Permissions: the rights (READ, WRITE, EXEC) of one user or group on one resource, and the
// access checks built on them.
#ifndef ORVANE_OBJECTS_PERMISSIONS_PERMISSION_H_
#define ORVANE_OBJECTS_PERMISSIONS_PERMISSION_H_

#include <cstdint>

#include "utils/refobj.h"

namespace orvane {

class resource;

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

}  // namespace orvane

#endif  // ORVANE_OBJECTS_PERMISSIONS_PERMISSION_H_
