#include "objects/tasks/tasks.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <shared_mutex>
#include <string_view>
#include <vector>

#include "client.h"
#include "globals.h"
#include "network/websocket.h"
#include "objects/domains/domain.h"
#include "objects/permissions/permission.h"
#include "objects/permissions/permission_records.h"
#include "objects/tokens/token.h"
#include "objects/users/user.h"
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

// The system resource whose READ right lets a channel see a change of that object type.
int change_resource(std::string_view obj_type) {
  if (obj_type == "user") return SYS_RES_USERS;
  if (obj_type == "group") return SYS_RES_GROUPS;
  if (obj_type == "resource") return SYS_RES_RESOURCES;
  if (obj_type == "nssprofile") return SYS_RES_NSS_PROFILES;
  if (obj_type == "netclient") return SYS_RES_NETCLIENTS;
  return SYS_RES_ORVANE;  // domains, backups
}

// The identifiers of the domain and of its ancestors up to the root. A domain that is gone (or
// unknown) leaves only the root: its change concerns nobody below.
std::vector<uint64_t> domain_and_ancestors(globals& g, const kt::ref_ptr<domain>& d) {
  std::vector<uint64_t> ids;
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

// Whether the user of a token of the changed domain d, or of one of its ancestors, may see a
// change of an object whose kind the system resource sys_res guards. Runs under g.global_lock
// held for reading.
bool may_see(const token& t, domain* d, int sys_res) {
  if (!t.usr || !t.dom || d == nullptr) return false;
  const user& u = *t.usr;
  if (t.dom.get() == d &&
      permission_check(u, PERMISSION_TARGET_RESOURCE, d->sys_res[sys_res], PERM_READ) == 0) {
    return true;
  }
  return permission_check_hieracy(u, PERMISSION_TARGET_RESOURCE, *d,
                                  sys_resource_names[SYS_RES_ORVANE], d->sys_res[SYS_RES_ORVANE],
                                  PERM_WRITE) == 0;
}

// Sends a change document to every bound WebSocket client whose token may see the change. The
// rights are worked out once per token between two walks of the client list, so that no lock of
// the directory is taken while the list is held; the frame is encoded once for every channel.
int task_send_change(globals& g, uint64_t domain_id, int sys_res, const std::string& text) {
  std::vector<kt::ref_ptr<token>> bound;
  g.clients.for_each([&](client& c) {
    const uint8_t flags = c.flags.load();
    if ((flags & CLIENT_WEBSOCKET) == 0 || (flags & CLIENT_WS_BOUND) == 0) return;
    if (kt::ref_ptr<token> t = c.bound_token()) bound.push_back(std::move(t));
  });
  if (bound.empty()) return 0;
  // Many channels may share a token.
  const auto by_id = [](const kt::ref_ptr<token>& a, const kt::ref_ptr<token>& b) {
    return a->id < b->id;
  };
  std::sort(bound.begin(), bound.end(), by_id);
  bound.erase(std::unique(bound.begin(), bound.end(),
                          [](const kt::ref_ptr<token>& a, const kt::ref_ptr<token>& b) {
                            return a->id == b->id;
                          }),
              bound.end());
  std::vector<uint64_t> allowed;  // ascending, as bound is
  {
    std::shared_lock tree(g.global_lock);
    const kt::ref_ptr<domain> d = g.domains_by_id.get_rw(domain_id);
    const std::vector<uint64_t> audience = domain_and_ancestors(g, d);
    // The rights on a domain that is gone are those on the root domain.
    domain* judged = d ? d.get() : g.root_domain.get();
    for (const kt::ref_ptr<token>& t : bound) {
      if (!t->dom || std::find(audience.begin(), audience.end(), t->dom->id) == audience.end()) {
        continue;
      }
      if (may_see(*t, judged, sys_res)) allowed.push_back(t->id);
    }
  }
  if (allowed.empty()) return 0;
  std::string frame;
  kt::websocket_unwrap(text, frame);
  g.clients.for_each([&](client& c) {
    const uint8_t flags = c.flags.load();
    if ((flags & CLIENT_WEBSOCKET) == 0 || (flags & CLIENT_WS_BOUND) == 0) return;
    if (!std::binary_search(allowed.begin(), allowed.end(), c.ws_token_id.load())) return;
    if (c.send_websocket_frame(frame) != 0) c.close_channel();
  });
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
  const int sys_res = change_resource(obj_type);
  g.scheduler->schedule(kt::sched_task::make(
      [gp, domain_id, sys_res, text] { return task_send_change(*gp, domain_id, sys_res, *text); }));
  return 0;
}

void task_end_channels(globals& g, const std::vector<uint64_t>& token_ids) {
  if (token_ids.empty()) return;
  g.clients.for_each([&](client& c) {
    if ((c.flags.load() & CLIENT_WEBSOCKET) == 0) return;
    const uint64_t id = c.ws_token_id.load();
    if (id != 0 && std::find(token_ids.begin(), token_ids.end(), id) != token_ids.end()) {
      c.close_channel();
    }
  });
}

}  // namespace orvane
