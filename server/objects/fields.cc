#include "objects/fields.h"

#include "errors.h"
#include "utils/numbers.h"
#include "xmldoc/xmldoc.h"

namespace orvane {

uint32_t xml_attr_decimal(const kt::xmldoc_node& node, std::string_view name, uint64_t max,
                          uint64_t* out) {
  const kt::xmldoc_attr* a = node.attr_get(name);
  return a != nullptr && kt::decimal_parse(a->value, max, out) ? E_OK : E_INVALID_REQUEST;
}

}  // namespace orvane
