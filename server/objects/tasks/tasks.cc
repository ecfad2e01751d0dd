#include "objects/tasks/tasks.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <shared_mutex>
#include <vector>

#include "client.h"
#include "globals.h"
#include "objects/domains/domain.h"
#include "scheduler/sched_singlethread.h"

namespace orvane {

namespace {

constexpr size_t kMaxDepth = 64;

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

// The identifiers of the domain and of its ancestors up to the root. A domain that is gone (or
// unknown) leaves only the root: its change concerns nobody below.
std::vector<uint64_t> domain_and_ancestors(globals& g, uint64_t domain_id) {
  std::vector<uint64_t> ids;
  std::shared_lock tree(g.global_lock);
  kt::ref_ptr<domain> d = g.domains_by_id.get_rw(domain_id);
  if (!d) {
    if (g.root_domain) ids.push_back(g.root_domain->id);
    return ids;
  }
  // The parent links change only under g.global_lock held for writing. A depth bound keeps a
  // damaged tree from looping.
  for (const domain* p = d.get(); p != nullptr && ids.size() < kMaxDepth; p = p->parent.get()) {
    ids.push_back(p->id);
  }
  return ids;
}

// Sends a change document to every client in WebSocket mode whose bound token belongs to the
// changed domain or to one of its ancestors.
int task_send_change(globals& g, uint64_t domain_id, const std::string& text) {
  const std::vector<uint64_t> audience = domain_and_ancestors(g, domain_id);
  std::shared_lock lock(g.clients_lock);
  for (client* c = g.clients_head; c != nullptr; c = c->next) {
    const uint8_t flags = c->flags.load();
    if ((flags & CLIENT_WEBSOCKET) == 0 || (flags & CLIENT_WS_BOUND) == 0) continue;
    const uint64_t bound = c->ws_domain_id.load();
    if (std::find(audience.begin(), audience.end(), bound) == audience.end()) continue;
    if (client_send_websocket_text(*c, text) != 0) {
      c->flags.fetch_and(static_cast<uint8_t>(~CLIENT_ALIVE));
    }
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
  g.scheduler->schedule(kt::sched_task::make(
      [gp, domain_id, text] { return task_send_change(*gp, domain_id, *text); }));
  return 0;
}

}  // namespace orvane
