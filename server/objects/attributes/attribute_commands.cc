// The attribute management commands: attrInsert, attrEdit, attrRemove. Each needs WRITE on the
// system resource of its target's kind. They audit what they changed and send no change
// notification.
#include "objects/attributes/attribute_commands.h"

#include <cstdint>
#include <limits>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>

#include "errors.h"
#include "objects/attributes/attribute_internal.h"
#include "objects/attributes/attribute_records.h"
#include "objects/command.h"
#include "objects/domains/domain.h"
#include "objects/names.h"
#include "objects/permissions/permission.h"
#include "objects/permissions/permission_records.h"
#include "objects/tokens/token.h"
#include "objects/users/user_records.h"
#include "utils/base64.h"
#include "utils/numbers.h"
#include "xmldoc/xmldoc.h"

namespace orvane {

namespace {

// The longest name the record keeps whole (its field holds a terminator too).
constexpr size_t kMaxStoredName = 127;
constexpr const char* kKind = "attr";

// An "a" element as the request gives it; absent numbers read as 0.
struct attribute_request {
  uint64_t id = 0;
  const std::string* name = nullptr;
  uint32_t type = 0;
  uint8_t flags = 0;
  const std::string* text = nullptr;  // the element's value; none when empty
};

// A decimal attribute of the element: absent or empty reads as 0; anything but digits, or a
// value above max, is 0x10.
uint32_t read_decimal(const kt::xmldoc_node& a, std::string_view name, uint64_t max,
                      uint64_t* out) {
  *out = 0;
  const kt::xmldoc_attr* attr = a.attr_get(name);
  if (attr == nullptr || attr->value.empty()) return E_OK;
  return kt::decimal_parse(attr->value, max, out) ? E_OK : E_INVALID_REQUEST;
}

uint32_t parse_request(const kt::xmldoc_node& a, attribute_request* out) {
  uint64_t v = 0;
  if (const uint32_t rc = read_decimal(a, "id", std::numeric_limits<uint64_t>::max(), &v);
      rc != 0) {
    return rc;
  }
  out->id = v;
  if (const uint32_t rc = read_decimal(a, "type", ATTR_TYPE_BINARY, &v); rc != 0) return rc;
  out->type = static_cast<uint32_t>(v);
  if (const uint32_t rc = read_decimal(a, "flags", 0xFF, &v); rc != 0) return rc;
  out->flags = static_cast<uint8_t>(v);
  if (const kt::xmldoc_attr* name = a.attr_get("name"); name != nullptr) out->name = &name->value;
  if (!a.value().empty()) out->text = &a.value();
  return E_OK;
}

// A name the commands accept: valid, and short enough to come back unchanged after a restart.
uint32_t check_name(const std::string& name) {
  return check_generic_name(name, kMaxStoredName);
}

// Stores the request's value into a, in the form of a's type, and computes the typed value.
uint32_t set_value(const attribute_request& req, attribute& a) {
  a.value.clear();
  if (req.text != nullptr) {
    switch (a.type) {
      case ATTR_TYPE_BOOLEAN:
        a.value.assign(1, *req.text == "0" ? '\0' : '\1');
        break;
      case ATTR_TYPE_BINARY:
        if (kt::base64decode_(*req.text, a.value) != 0) return E_INVALID_REQUEST;
        break;
      default:
        a.value = *req.text;
        break;
    }
  }
  _attribute_value_set(a);
  return E_OK;
}

// The system resource whose WRITE right changing an attribute of each target type needs: the
// domain's settings need WRITE on ORVANE; a resource's attributes may also be changed with WRITE
// on the resource itself.
constexpr int kWriteRight[] = {SYS_RES_ORVANE, SYS_RES_RESOURCES, SYS_RES_GROUPS, SYS_RES_USERS,
                               SYS_RES_NETCLIENTS};

// Reads and resolves the target, with the caller's rights checked before anything of the
// target is told (a resource the caller may not reach is 0x102, found or not).
uint32_t read_target(command& cmd, attribute_target* out) {
  uint8_t ttype = ATTR_TARGET_DOMAIN;
  if (const uint32_t rc = attribute_target_type(cmd.element, &ttype); rc != 0) return rc;
  const uint32_t right = cmd.require(kWriteRight[ttype], PERM_WRITE);
  if (right != E_OK && ttype != ATTR_TARGET_RESOURCE) return right;
  const uint32_t rc = attribute_target_resolve(cmd.dom(), cmd.element, ttype, out);
  if (right == E_OK) return rc;
  if (rc != E_OK || cmd.who() == nullptr ||
      permission_check(*cmd.who(), PERMISSION_TARGET_RESOURCE, out->id, PERM_WRITE) != 0) {
    return E_ACCESS_VIOLATION;
  }
  return E_OK;
}

// The target, resolved and rights-checked as read_target does, and the command's "a" element.
uint32_t read_target_and_item(command& cmd, attribute_target* out, const kt::xmldoc_node** an) {
  if (const uint32_t rc = read_target(cmd, out); rc != 0) return rc;
  *an = cmd.element.get("a");
  return *an != nullptr ? E_OK : E_INVALID_REQUEST;
}

// The attribute of the target with that identifier (a walk of the table), or none.
kt::ref_ptr<attribute> find_by_id(attribute_table& table, uint64_t id) {
  kt::ref_ptr<attribute> found;
  std::shared_lock lock(table.rwlock());
  table.for_each([&](const std::string&, kt::ref_ptr<attribute>& a) {
    if (a && a->id == id) {
      found = a;
      return false;
    }
    return true;
  });
  return found;
}

// Values compare equal when types and lengths match and the typed values do (a NaN never
// equals); strings and binaries compare their bytes.
bool same_value(const attribute& a, const attribute& b) {
  if (a.type != b.type || a.value.size() != b.value.size()) return false;
  switch (a.type) {
    case ATTR_TYPE_BOOLEAN:
      return a.value == b.value;
    case ATTR_TYPE_NUMBER:
      return a.v_number == b.v_number;
    case ATTR_TYPE_DECIMAL:
      return a.v_decimal == b.v_decimal;
    default:
      return a.value == b.value;
  }
}

// Takes a out of the table, if the entry under its name is a itself.
void table_remove_l(attribute_table& table, const attribute& a) {
  if (const kt::ref_ptr<attribute>* cur = table.find_nl(a.name);
      cur != nullptr && cur->get() == &a) {
    table.remove_l(a.name);
  }
}

}  // namespace

uint32_t processor_attributes_insert(command& cmd) {
  domain& d = cmd.dom();
  return cmd.change(
      kKind, CHANGE_INSERT,
      [&](change_report& report) -> uint32_t {
        attribute_target target;
        const kt::xmldoc_node* an = nullptr;
        if (const uint32_t rc = read_target_and_item(cmd, &target, &an); rc != 0) return rc;
        attribute_request req;
        if (const uint32_t rc = parse_request(*an, &req); rc != 0) return rc;
        if (req.name == nullptr || req.type == 0) return E_INVALID_REQUEST;
        if (const uint32_t rc = check_name(*req.name); rc != 0) return rc;
        if (target.table->get_rw(*req.name)) return E_ATTRIBUTE_EXISTS;

        kt::ref_ptr<attribute> a = attribute_create();
        if (!a) return E_NO_MEMORY;
        a->name = *req.name;
        a->type = req.type;
        a->flags = req.flags;
        a->dom = &d;
        a->ttype = target.ttype;
        a->target_id = target.id;
        a->target = target.object;
        if (const uint32_t rc = set_value(req, *a); rc != 0) return rc;
        // A domain setting put back (after a damaged record was skipped) must hold a valid value.
        if (target.ttype == ATTR_TARGET_DOMAIN) {
          if (const uint32_t rc = domain_setting_check(*a); rc != 0) return rc;
        }
        if (const uint32_t rc = attributes_db_add(d, *a); rc != 0) return rc;
        target.table->insert_rw(a->name, a);
        if (target.ttype == ATTR_TARGET_DOMAIN) domain_setting_apply(d, *a);
        report = {a->name, a->id, false, true};
        return E_OK;
      },
      false);
}

uint32_t processor_attributes_edit(command& cmd) {
  domain& d = cmd.dom();
  return cmd.change(
      kKind, CHANGE_EDIT,
      [&](change_report& report) -> uint32_t {
        attribute_target target;
        const kt::xmldoc_node* an = nullptr;
        if (const uint32_t rc = read_target_and_item(cmd, &target, &an); rc != 0) return rc;
        attribute_request req;
        if (const uint32_t rc = parse_request(*an, &req); rc != 0) return rc;
        if (req.name == nullptr && req.id == 0) return E_INVALID_REQUEST;
        if (req.name != nullptr) {
          if (const uint32_t rc = check_name(*req.name); rc != 0) return rc;
        }

        kt::ref_ptr<attribute> old;
        if (req.id != 0) {
          old = find_by_id(*target.table, req.id);
          if (!old) return E_ATTRIBUTE_NOT_FOUND;
          if (req.name != nullptr) {
            const kt::ref_ptr<attribute> other = target.table->get_rw(*req.name);
            if (other && other->id != old->id) return E_ATTRIBUTE_EXISTS;
          }
        } else {
          old = target.table->get_rw(*req.name);
          if (!old) return E_ATTRIBUTE_NOT_FOUND;
        }

        kt::ref_ptr<attribute> a = attribute_create();
        if (!a) return E_NO_MEMORY;
        a->id = old->id;
        a->name = req.name != nullptr ? *req.name : old->name;
        a->type = req.type != 0 ? req.type : old->type;
        a->flags = req.flags != 0 ? req.flags : old->flags;
        a->dom = &d;
        a->ttype = old->ttype;
        a->target_id = old->target_id;
        a->target = old->target;
        if (const uint32_t rc = set_value(req, *a); rc != 0) return rc;
        if (const uint32_t rc = domain_setting_check(*a); rc != 0) return rc;

        const bool renamed = a->name != old->name;
        const bool retyped = a->type != old->type || a->flags != old->flags;
        if ((renamed || retyped) && (old->flags & ATTR_FLAG_SYSTEM) != 0) return E_ATTRIBUTE_SYSTEM;
        if (!renamed && !retyped && same_value(*a, *old)) return E_OK;

        if (const uint32_t rc = attributes_db_edit(d, *a); rc != 0) return rc;
        {
          std::unique_lock lock(target.table->rwlock());
          table_remove_l(*target.table, *old);
          target.table->insert_l(a->name, a);
        }
        if (a->ttype == ATTR_TARGET_DOMAIN) domain_setting_apply(d, *a);
        report = {old->name, old->id, false, true};
        return E_OK;
      },
      false);
}

uint32_t processor_attributes_remove(command& cmd) {
  domain& d = cmd.dom();
  return cmd.change(
      kKind, CHANGE_REMOVE,
      [&](change_report& report) -> uint32_t {
        attribute_target target;
        const kt::xmldoc_node* an = nullptr;
        if (const uint32_t rc = read_target_and_item(cmd, &target, &an); rc != 0) return rc;
        uint64_t id = 0;
        if (const uint32_t rc = read_decimal(*an, "id", std::numeric_limits<uint64_t>::max(), &id);
            rc != 0) {
          return rc;
        }
        const kt::xmldoc_attr* name = an->attr_get("name");
        if (id == 0 && (name == nullptr || name->value.empty())) return E_INVALID_REQUEST;

        const kt::ref_ptr<attribute> a =
            id != 0 ? find_by_id(*target.table, id) : target.table->get_rw(name->value);
        if (!a) return E_ATTRIBUTE_NOT_FOUND;
        if ((a->flags & ATTR_FLAG_IMMUNE) != 0) return E_ATTRIBUTE_IMMUNE;
        if (const uint32_t rc = attributes_db_remove(d, *a); rc != 0) return rc;
        {
          std::unique_lock lock(target.table->rwlock());
          table_remove_l(*target.table, *a);
        }
        report = {a->name, a->id, false, true};
        return E_OK;
      },
      false);
}

}  // namespace orvane
