// Attributes: named, typed values attached to a domain, resource, group, user or net client.
// The domain's settings are attributes of the domain.
#ifndef ORVANE_OBJECTS_ATTRIBUTES_ATTRIBUTE_H_
#define ORVANE_OBJECTS_ATTRIBUTES_ATTRIBUTE_H_

#include <cstdint>
#include <string>

#include "utils/refobj.h"

namespace orvane {

class domain;

// Record of a domain's "attributes" file: 282 bytes, keyed by the identifier.
constexpr uint32_t ATTRIBUTE_RECORD_SIZE = 282;
constexpr uint32_t ATTRIBUTE_INLINE_VALUE = 128;  // longer values live in "attribute_<id>"

// Value types.
constexpr uint32_t ATTR_TYPE_BOOLEAN = 1;
constexpr uint32_t ATTR_TYPE_NUMBER = 2;
constexpr uint32_t ATTR_TYPE_DECIMAL = 3;
constexpr uint32_t ATTR_TYPE_STRING = 4;
constexpr uint32_t ATTR_TYPE_BINARY = 5;

// Target types.
constexpr uint8_t ATTR_TARGET_DOMAIN = 0;
constexpr uint8_t ATTR_TARGET_RESOURCE = 1;
constexpr uint8_t ATTR_TARGET_GROUP = 2;
constexpr uint8_t ATTR_TARGET_USER = 3;
constexpr uint8_t ATTR_TARGET_NETCLIENT = 4;

// Attribute flags.
constexpr uint8_t ATTR_FLAG_SYSTEM = 0x1;      // cannot be renamed, retyped or re-flagged
constexpr uint8_t ATTR_FLAG_IMMUNE = 0x4;      // cannot be removed
constexpr uint8_t ATTR_FLAG_INHERITED = 0x10;  // output only: inherited from a group

class attribute : public kt::ref_object {
 public:
  attribute();
  ~attribute() override;

  uint64_t id = 0;
  std::string name;
  uint8_t flags = 0;
  domain* dom = nullptr;  // the owning domain (which outlives its attributes)
  uint8_t ttype = ATTR_TARGET_DOMAIN;
  uint64_t target_id = 0;
  kt::ref_ptr<kt::ref_object> target;  // none for domain attributes
  uint32_t type = 0;
  std::string value;  // the value bytes; empty = no value
  // The typed value, computed from the bytes whenever they change.
  bool v_bool = false;
  int64_t v_number = 0;
  double v_decimal = 0;
};

}  // namespace orvane

#endif  // ORVANE_OBJECTS_ATTRIBUTES_ATTRIBUTE_H_
