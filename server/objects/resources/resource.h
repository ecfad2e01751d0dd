// Resources: the per-domain tree of protected objects on which permissions grant rights.
#ifndef ORVANE_OBJECTS_RESOURCES_RESOURCE_H_
#define ORVANE_OBJECTS_RESOURCES_RESOURCE_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "hashtable/hashtable.h"
#include "utils/refobj.h"

namespace orvane {

class domain;
class permission;
class attribute;

// Record of a domain's "resources" file: 149 bytes, keyed by the identifier.
constexpr uint32_t RESOURCE_RECORD_SIZE = 149;

// Resource flags.
constexpr uint16_t RESOURCE_FLAG_NO_REMOVE = 0x1;  // and keeps full rights for Administrators
constexpr uint16_t RESOURCE_FLAG_SYSTEM = 0x2;
constexpr uint16_t RESOURCE_FLAG_FIXED = 0x4;  // cannot be renamed, moved or retyped

// The longest resource path a query walks (getPermissions, getAttributes); a longer one is an
// invalid request.
constexpr size_t RESOURCE_MAX_PATH = 32;

class resource : public kt::ref_object {
 public:
  resource();
  ~resource() override;  // resource_free

  uint64_t id = 0;
  kt::ref_ptr<domain> dom;
  uint64_t parent_id = 0;
  kt::ref_ptr<resource> parent;
  uint16_t flags = 0;
  std::string name;
  uint8_t reserved = 0;
  uint16_t type = 0;

  kt::hashtable<std::string, kt::ref_ptr<attribute>> attributes;
  kt::hashtable<uint64_t, kt::ref_ptr<permission>> permissions;  // by permission id
  kt::hashtable<uint64_t, kt::ref_ptr<resource>> children;
};

}  // namespace orvane

#endif  // ORVANE_OBJECTS_RESOURCES_RESOURCE_H_
