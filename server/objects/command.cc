#include "objects/command.h"

#include <cstdarg>
#include <ctime>
#include <string>

#include "errors.h"
#include "objects/auditlogs/auditlog.h"
#include "objects/domains/domain.h"
#include "objects/permissions/permission.h"
#include "objects/permissions/permission_records.h"
#include "objects/tasks/tasks.h"
#include "objects/tokens/token.h"
#include "objects/users/user.h"
#include "utils/logger.h"

namespace orvane {

namespace {

const char* change_verb(int change_type) {
  switch (change_type) {
    case CHANGE_INSERT:
      return "added";
    case CHANGE_EDIT:
      return "edited";
    default:
      return "removed";
  }
}

}  // namespace

user* command::who() const {
  return t_ != nullptr ? t_->usr.get() : nullptr;
}

uint32_t command::require(int sys_res, uint32_t rights) const {
  return permission_check_system(*d_, t_, sys_res, rights);
}

uint32_t command::require_admin() const {
  return permission_check_admin(g, *d_, t_);
}

void command::answer(std::unique_ptr<kt::xmldoc_node> element_out) {
  out_.element = std::move(element_out);
}

void command::answer_inserted_id(uint64_t id) {
  auto node = kt::xmldoc_node::create("insertedId");
  node->set_value(std::to_string(id));
  answer(std::move(node));
}

void command::append(std::unique_ptr<kt::xmldoc_node> element_out) {
  if (out_.response_root != nullptr) out_.response_root->add_child(std::move(element_out));
}

const char* command::audit_text() const {
  return orvane::audit_text(element);
}

void command::audit(uint32_t code, const char* format, ...) const {
  // Copied now: the entry must not depend on the user after the call.
  const user* u = who();
  const std::string name = u != nullptr ? u->uname : std::string();
  va_list args;
  va_start(args, format);
  if (d_ != nullptr) {
    audit_vcommand(*d_, from.peer, element, u != nullptr ? name.c_str() : nullptr, code, format,
                   args);
  }
  va_end(args);
}

void command::audit_as(const char* username, uint32_t code, const char* format, ...) const {
  va_list args;
  va_start(args, format);
  if (d_ != nullptr) audit_vcommand(*d_, from.peer, element, username, code, format, args);
  va_end(args);
}

void command::audit_change(uint32_t code, const char* kind, std::string_view name, uint64_t id,
                           const char* verb) const {
  const std::string text(name);
  audit(code, "%s %s (%lu) %s / %s", kind, text.c_str(), static_cast<unsigned long>(id), verb,
        audit_text());
}

void command::notify(const char* obj_type, uint64_t id, int change_type) const {
  const user* u = who();
  task_notify_clients_change(g, d_->id, u != nullptr ? u->id : 0, id, obj_type, change_type);
}

void command::changed(const char* kind, std::string_view name, uint64_t id, int change_type) const {
  notify(kind, id, change_type);
  audit_change(0, kind, name, id, change_verb(change_type));
}

void command::finish_change(const char* kind, int change_type, const change_report& report,
                            uint32_t rc, bool notify_kind) {
  if (report.changed && notify_kind) notify(kind, report.id, change_type);
  if (report.changed || report.audit) {
    audit_change(rc, kind, report.name, report.id, change_verb(change_type));
  }
  if (rc == E_OK && change_type == CHANGE_INSERT) answer_inserted_id(report.id);
}

}  // namespace orvane
