#include "objects/change.h"

#include <string>

#include "objects/auditlogs/auditlog.h"
#include "objects/domains/domain.h"
#include "objects/tasks/tasks.h"
#include "objects/tokens/token.h"
#include "objects/users/user.h"

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

void audit_change(const client& c, domain& d, const token* t, const kt::xmldoc_node& cmd,
                  uint32_t code, const char* kind, std::string_view name, uint64_t id,
                  const char* verb) {
  const std::string text(name);
  audit_command(c, d, t, cmd, code, "%s %s (%lu) %s / %s", kind, text.c_str(),
                static_cast<unsigned long>(id), verb, audit_text(cmd));
}

void notify_change(globals& g, const domain& d, const token* t, const char* obj_type, uint64_t id,
                   int change_type) {
  const uint64_t user_id = (t != nullptr && t->usr) ? t->usr->id : 0;
  task_notify_clients_change(g, d.id, user_id, id, obj_type, change_type);
}

void object_changed(const client& c, globals& g, domain& d, const token* t,
                    const kt::xmldoc_node& cmd, const char* kind, std::string_view name,
                    uint64_t id, int change_type) {
  notify_change(g, d, t, kind, id, change_type);
  audit_change(c, d, t, cmd, 0, kind, name, id, change_verb(change_type));
}

}  // namespace orvane
