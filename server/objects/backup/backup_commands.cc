// backupCreate, backupRestore, backupDestroy and backupSearch.
#include <charconv>
#include <string>
#include <string_view>

#include "client.h"
#include "errors.h"
#include "globals.h"
#include "objects/backup/backup.h"
#include "objects/change.h"
#include "objects/domains/domain.h"
#include "objects/permissions/permission.h"
#include "objects/permissions/permissions.h"
#include "objects/tasks/tasks.h"
#include "objects/tokens/token.h"
#include "objects/users/user.h"
#include "processor.h"
#include "xmldoc/xmldoc.h"

namespace orvane {

namespace {

constexpr const char* kKind = "backup";

// The "id" attribute: 0 with *id set, or E_INVALID_REQUEST when it is missing or not a decimal
// number.
uint32_t backup_id_from_xml(const kt::xmldoc_node& cmd, uint64_t* id) {
  const kt::xmldoc_attr* attr = cmd.attr_get("id");
  if (attr == nullptr || attr->value.empty()) return E_INVALID_REQUEST;
  const std::string& v = attr->value;
  const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), *id);
  if (ec != std::errc() || end != v.data() + v.size()) return E_INVALID_REQUEST;
  return E_OK;
}

}  // namespace

uint32_t processor_backup_create(client& c, globals& g, domain* d, token* t, kt::xmldoc_node& cmd,
                                 processor_result& r) {
  if (d == nullptr) return E_DOMAIN_NOT_FOUND;
  if (const uint32_t rc = permission_check_system(*d, t, SYS_RES_ORVANE, PERM_WRITE); rc != 0)
    return rc;
  if (!cmd.has_value()) return E_INVALID_REQUEST;
  backup b;
  const uint64_t user_id = t != nullptr && t->usr ? t->usr->id : 0;
  if (const uint32_t rc = backup_create(g, *d, user_id, cmd.value(), &b); rc != 0) return rc;
  r.set_answer_inserted_id(b.id);
  object_changed(c, g, *d, t, cmd, kKind, b.name, b.id, CHANGE_INSERT);
  return E_OK;
}

uint32_t processor_backup_restore(client& c, globals& g, domain* d, token* t, kt::xmldoc_node& cmd,
                                  processor_result&) {
  if (d == nullptr) return E_DOMAIN_NOT_FOUND;
  if (const uint32_t rc = permission_check_system(*d, t, SYS_RES_ORVANE, PERM_WRITE); rc != 0)
    return rc;
  uint64_t id = 0;
  if (const uint32_t rc = backup_id_from_xml(cmd, &id); rc != 0) return rc;
  backup b;
  if (const uint32_t rc = backup_restore(g, *d, id, &b); rc != 0) return rc;
  audit_change(c, *d, t, cmd, E_OK, kKind, b.name, b.id, "restored");
  return E_OK;
}

uint32_t processor_backup_destroy(client& c, globals& g, domain* d, token* t, kt::xmldoc_node& cmd,
                                  processor_result&) {
  if (d == nullptr) return E_DOMAIN_NOT_FOUND;
  if (const uint32_t rc = permission_check_system(*d, t, SYS_RES_ORVANE, PERM_WRITE); rc != 0)
    return rc;
  uint64_t id = 0;
  if (const uint32_t rc = backup_id_from_xml(cmd, &id); rc != 0) return rc;
  backup b;
  if (const uint32_t rc = backup_destroy(g, *d, id, &b); rc != 0) return rc;
  audit_change(c, *d, t, cmd, E_OK, kKind, b.name, b.id, "removed");
  return E_OK;
}

uint32_t processor_backup_search(client&, globals&, domain* d, token* t, kt::xmldoc_node&,
                                 processor_result& r) {
  if (d == nullptr) return E_DOMAIN_NOT_FOUND;
  if (const uint32_t rc = permission_check_system(*d, t, SYS_RES_ORVANE, PERM_READ); rc != 0)
    return rc;
  r.set_answer(backups_to_xml(*d));
  return E_OK;
}

}  // namespace orvane
