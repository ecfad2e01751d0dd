// What every modifying handler does after its command: the audit entry "<kind> <name> (<id>)
// <verb> / <audit text>" in the domain's log and, after a successful change, the change
// notification to the WebSocket clients.
#ifndef ORVANE_OBJECTS_CHANGE_H_
#define ORVANE_OBJECTS_CHANGE_H_

#include <cstdint>
#include <string_view>

#include "xmldoc/xmldoc.h"

namespace orvane {

struct client;
struct globals;
class domain;
class token;

// Audits a command on one object, e.g. kind "group", verb "added". Written whatever the code.
void audit_change(const client& c, domain& d, const token* t, const kt::xmldoc_node& cmd,
                  uint32_t code, const char* kind, std::string_view name, uint64_t id,
                  const char* verb);

// Queues the change notification of a successful change (CHANGE_INSERT, CHANGE_EDIT or
// CHANGE_REMOVE of objects/tasks/tasks.h); obj_type is the notification's object type.
void notify_change(globals& g, const domain& d, const token* t, const char* obj_type, uint64_t id,
                   int change_type);

// Both, for a command that succeeded: notification first, then the audit entry with code 0.
void object_changed(const client& c, globals& g, domain& d, const token* t,
                    const kt::xmldoc_node& cmd, const char* kind, std::string_view name,
                    uint64_t id, int change_type);

}  // namespace orvane

#endif  // ORVANE_OBJECTS_CHANGE_H_
