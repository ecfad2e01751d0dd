// Helpers shared by the files of the attributes module (records, commands, queries). Not for
// other modules.
#ifndef ORVANE_OBJECTS_ATTRIBUTES_ATTRIBUTE_INTERNAL_H_
#define ORVANE_OBJECTS_ATTRIBUTES_ATTRIBUTE_INTERNAL_H_

#include <cstdint>
#include <string_view>

#include "objects/attributes/attribute_records.h"
#include "utils/refobj.h"

namespace kt {
class xmldoc_node;
}  // namespace kt

namespace orvane {

class domain;

// The object a command's "targettype" and "target" name.
struct attribute_target {
  uint8_t ttype = ATTR_TARGET_DOMAIN;
  uint64_t id = 0;
  attribute_table* table = nullptr;
  kt::ref_ptr<kt::ref_object> object;  // the target itself; none for a domain
  kt::ref_ptr<domain> dom;             // the domain whose attributes a domain target names
};

// Reads "targettype": a decimal code when it starts with a digit, else a name ("domain",
// "resource", "group", "user", "netclient"; any other name is the domain). 0, or 0x10 when
// "targettype" or "target" is missing or empty, or the code is above 4.
uint32_t attribute_target_type(const kt::xmldoc_node& cmd, uint8_t* ttype);

// Finds the target of type ttype that "target" names in d: for a domain, d itself (the
// identifier must be d's: 0x103); otherwise the object of that identifier (0x401, 0x601, 0x108
// or 0x107 when missing). Fills out and returns 0.
uint32_t attribute_target_resolve(domain& d, const kt::xmldoc_node& cmd, uint8_t ttype,
                                  attribute_target* out);

}  // namespace orvane

#endif  // ORVANE_OBJECTS_ATTRIBUTES_ATTRIBUTE_INTERNAL_H_
