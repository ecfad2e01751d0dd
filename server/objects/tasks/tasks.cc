#include "objects/tasks/tasks.h"

#include <cstdio>
#include <memory>
#include <shared_mutex>

#include "client.h"
#include "globals.h"
#include "scheduler/sched_singlethread.h"

namespace orvane {

namespace {

const char* change_name(int change_type) {
  switch (change_type) {
    case CHANGE_INSERT:
      return "insert";
    case CHANGE_EDIT:
      return "edit";
    case CHANGE_REMOVE:
      return "remove";
    default:
      return "";
  }
}

// Sends a change document to every client in WebSocket mode with a bound token.
int task_send_change(globals& g, const std::string& text) {
  std::shared_lock lock(g.clients_lock);
  for (client* c = g.clients_head; c != nullptr; c = c->next) {
    const uint8_t flags = c->flags.load();
    if ((flags & CLIENT_WEBSOCKET) == 0 || !c->ws_token) continue;
    if (client_send_websocket_text(*c, text) != 0) c->flags.fetch_and(~CLIENT_ALIVE);
  }
  return 0;
}

}  // namespace

std::string task_change_document(uint64_t domain_id, uint64_t user_id, uint64_t obj_id,
                                 const char* obj_type, int change_type) {
  char text[1024];
  std::snprintf(text, sizeof text,
                "<?xml version=\"1.0\" encoding=\"utf-8\"?><orvane><change domain=\"%lu\" "
                "user=\"%lu\" objId=\"%lu\" objType=\"%s\" changeType=\"%s\" /></orvane>",
                static_cast<unsigned long>(domain_id), static_cast<unsigned long>(user_id),
                static_cast<unsigned long>(obj_id), obj_type, change_name(change_type));
  return text;
}

int task_notify_clients_change(globals& g, uint64_t domain_id, uint64_t user_id, uint64_t obj_id,
                               const char* obj_type, int change_type) {
  if (!g.scheduler) return 0;
  auto text = std::make_shared<const std::string>(
      task_change_document(domain_id, user_id, obj_id, obj_type, change_type));
  globals* gp = &g;
  g.scheduler->schedule(kt::sched_task::make([gp, text] { return task_send_change(*gp, *text); }));
  return 0;
}

}  // namespace orvane
