// Reading the values a request's elements carry.
#ifndef ORVANE_OBJECTS_FIELDS_H_
#define ORVANE_OBJECTS_FIELDS_H_

#include <cstdint>
#include <string_view>

namespace kt {
class xmldoc_node;
}  // namespace kt

namespace orvane {

// Reads a decimal attribute of node into *out. 0, or 0x10 when it is missing, empty, holds a
// byte other than a digit or exceeds max.
uint32_t xml_attr_decimal(const kt::xmldoc_node& node, std::string_view name, uint64_t max,
                          uint64_t* out);

}  // namespace orvane

#endif  // ORVANE_OBJECTS_FIELDS_H_
