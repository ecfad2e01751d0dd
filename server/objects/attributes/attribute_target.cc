// The target of the attribute commands: "targettype" and "target" read and resolved.
#include <cstdint>
#include <limits>
#include <string_view>

#include "errors.h"
#include "objects/attributes/attribute_internal.h"
#include "objects/attributes/attribute_records.h"
#include "objects/domains/domain.h"
#include "objects/permissions/permission_records.h"
#include "objects/tokens/token.h"
#include "objects/users/user.h"
#include "utils/numbers.h"
#include "xmldoc/xmldoc.h"

namespace orvane {

uint32_t attribute_target_type(const kt::xmldoc_node& cmd, uint8_t* ttype) {
  const kt::xmldoc_attr* target = cmd.attr_get("target");
  const kt::xmldoc_attr* type = cmd.attr_get("targettype");
  if (target == nullptr || target->value.empty() || type == nullptr || type->value.empty()) {
    return E_INVALID_REQUEST;
  }
  const std::string& text = type->value;
  uint64_t code = ATTR_TARGET_DOMAIN;
  if (text[0] >= '0' && text[0] <= '9') {
    code = kt::decimal_prefix(text);
  } else if (text == "resource") {
    code = ATTR_TARGET_RESOURCE;
  } else if (text == "group") {
    code = ATTR_TARGET_GROUP;
  } else if (text == "user") {
    code = ATTR_TARGET_USER;
  } else if (text == "netclient") {
    code = ATTR_TARGET_NETCLIENT;
  }
  // Only the five known codes may ever select a table.
  if (code > ATTR_TARGET_NETCLIENT) return E_INVALID_REQUEST;
  *ttype = static_cast<uint8_t>(code);
  return E_OK;
}

uint32_t attribute_target_resolve(domain& d, const kt::xmldoc_node& cmd, uint8_t ttype,
                                  attribute_target* out) {
  const kt::xmldoc_attr* target = cmd.attr_get("target");
  if (target == nullptr || target->value.empty()) return E_INVALID_REQUEST;
  const uint64_t id = kt::decimal_prefix(target->value);
  if (ttype == ATTR_TARGET_DOMAIN && id != d.id) return E_DOMAIN_NOT_FOUND;
  kt::ref_ptr<kt::ref_object> object;
  attribute_table* table = attribute_target_table(d, ttype, id, &object);
  if (table == nullptr) {
    switch (ttype) {
      case ATTR_TARGET_RESOURCE:
        return E_RESOURCE_NOT_FOUND;
      case ATTR_TARGET_GROUP:
        return E_GROUP_NOT_FOUND;
      case ATTR_TARGET_USER:
        return E_USER_NOT_FOUND;
      case ATTR_TARGET_NETCLIENT:
        return E_NETCLIENT_NOT_FOUND;
      default:
        return E_INVALID_REQUEST;
    }
  }
  out->ttype = ttype;
  out->id = id;
  out->table = table;
  out->object = std::move(object);
  if (ttype == ATTR_TARGET_DOMAIN) out->dom = kt::ref_ptr<domain>(&d);
  return E_OK;
}

}  // namespace orvane
