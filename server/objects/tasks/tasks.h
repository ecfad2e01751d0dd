// Change notifications: every successful insert, edit and remove of a directory object is told,
// from the scheduler thread, to the WebSocket clients whose bound token may see it: a token of
// the changed domain whose user holds READ on the system resource of the object's kind there,
// or a token of an ancestor whose user manages the changed domain along the domain tree. The
// channels of a token end with the token.
#ifndef ORVANE_OBJECTS_TASKS_TASKS_H_
#define ORVANE_OBJECTS_TASKS_TASKS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "objects/command.h"

namespace orvane {

struct globals;

// The change document sent to the clients (at most 1,023 characters).
std::string task_change_document(uint64_t domain_id, uint64_t user_id, uint64_t obj_id,
                                 const char* obj_type, int change_type);

// Queues the change notification on the scheduler; the caller does not wait (it may hold
// g.global_lock: the audience is worked out later, on the scheduler thread). Returns 0.
int task_notify_clients_change(globals& g, uint64_t domain_id, uint64_t user_id, uint64_t obj_id,
                               const char* obj_type, int change_type);

// Ends the WebSocket channels bound to any of these tokens (released, expired, or gone with their
// user or domain): their connections close. Call without the token table's lock.
void task_end_channels(globals& g, const std::vector<uint64_t>& token_ids);

}  // namespace orvane

#endif  // ORVANE_OBJECTS_TASKS_TASKS_H_
