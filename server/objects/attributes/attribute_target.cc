// The target of the attribute commands: "targettype" and "target" read and resolved.
#include <cstdint>
#include <limits>
#include <string_view>

#include "errors.h"
#include "objects/attributes/attributes.h"
#include "objects/attributes/attributes_internal.h"
#include "objects/domains/domain.h"
#include "objects/permissions/permissions.h"
#include "objects/tokens/token.h"
#include "objects/users/user.h"
#include "xmldoc/xmldoc.h"

namespace orvane {

uint64_t attribute_parse_decimal(std::string_view text) {
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (v > (kMax - digit) / 10) return kMax;
    v = v * 10 + digit;
  }
  return v;
}

uint32_t attribute_target_type(const kt::xmldoc_node& cmd, uint8_t* ttype) {
  const kt::xmldoc_attr* target = cmd.attr_get("target");
  const kt::xmldoc_attr* type = cmd.attr_get("targettype");
  if (target == nullptr || target->value.empty() || type == nullptr || type->value.empty()) {
    return E_INVALID_REQUEST;
  }
  const std::string& text = type->value;
  uint64_t code = ATTR_TARGET_DOMAIN;
  if (text[0] >= '0' && text[0] <= '9') {
    code = attribute_parse_decimal(text);
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
  const uint64_t id = attribute_parse_decimal(target->value);
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

uint32_t attribute_check_right(const domain& d, const token* t, int sys_res, uint32_t flags) {
  if (t == nullptr || !t->usr) return E_ACCESS_VIOLATION;
  return permission_check(*t->usr, PERMISSION_TARGET_RESOURCE, d.sys_res[sys_res], flags) == 0
             ? E_OK
             : E_ACCESS_VIOLATION;
}

}  // namespace orvane
