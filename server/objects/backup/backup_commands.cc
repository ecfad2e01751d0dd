// backupCreate, backupRestore, backupDestroy and backupSearch.
#include <cstdint>
#include <string>
#include <string_view>

#include "objects/backup/backup_commands.h"

#include "errors.h"
#include "globals.h"
#include "objects/backup/backup.h"
#include "objects/command.h"
#include "objects/domains/domain.h"
#include "objects/fields.h"
#include "objects/permissions/permission.h"
#include "objects/tasks/tasks.h"
#include "objects/tokens/token.h"
#include "objects/users/user.h"
#include "xmldoc/xmldoc.h"

namespace orvane {

namespace {

constexpr const char* kKind = "backup";

// The "id" attribute: 0 with *id set, or E_INVALID_REQUEST when it is missing or not a decimal
// number.
uint32_t backup_id_from_xml(const kt::xmldoc_node& cmd, uint64_t* id) {
  return xml_attr_decimal(cmd, "id", UINT64_MAX, id);
}

}  // namespace

uint32_t processor_backup_create(command& cmd) {
  if (const uint32_t rc = cmd.require(SYS_RES_ORVANE, PERM_WRITE); rc != 0) return rc;
  return cmd.change(kKind, CHANGE_INSERT, [&](change_report& report) -> uint32_t {
    if (!cmd.element.has_value()) return E_INVALID_REQUEST;
    backup b;
    const uint64_t user_id = cmd.who() != nullptr ? cmd.who()->id : 0;
    const uint32_t rc = backup_create(cmd.g, cmd.dom(), user_id, cmd.element.value(), &b);
    if (rc == E_OK) report = {b.name, b.id, true};
    return rc;
  });
}

uint32_t processor_backup_restore(command& cmd) {
  if (const uint32_t rc = cmd.require(SYS_RES_ORVANE, PERM_WRITE); rc != 0) return rc;
  uint64_t id = 0;
  if (const uint32_t rc = backup_id_from_xml(cmd.element, &id); rc != 0) return rc;
  backup b;
  if (const uint32_t rc = backup_restore(cmd.g, cmd.dom(), id, &b); rc != 0) return rc;
  cmd.audit_change(E_OK, kKind, b.name, b.id, "restored");
  return E_OK;
}

uint32_t processor_backup_destroy(command& cmd) {
  if (const uint32_t rc = cmd.require(SYS_RES_ORVANE, PERM_WRITE); rc != 0) return rc;
  // A removed backup is audited, not notified.
  return cmd.change(kKind, CHANGE_REMOVE, [&](change_report& report) -> uint32_t {
    uint64_t id = 0;
    if (const uint32_t rc = backup_id_from_xml(cmd.element, &id); rc != 0) return rc;
    backup b;
    const uint32_t rc = backup_destroy(cmd.g, cmd.dom(), id, &b);
    if (rc == E_OK) report = {b.name, b.id, false, true};
    return rc;
  });
}

uint32_t processor_backup_search(command& cmd) {
  if (const uint32_t rc = cmd.require(SYS_RES_ORVANE, PERM_READ); rc != 0) return rc;
  cmd.answer(backups_to_xml(cmd.dom()));
  return E_OK;
}

}  // namespace orvane
