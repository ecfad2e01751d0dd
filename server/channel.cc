#include "channel.h"

#include <cstdint>
#include <string>
#include <string_view>

#include "client.h"
#include "errors.h"
#include "globals.h"
#include "http.h"
#include "network/net_thread_pool.h"
#include "network/socket_listener.h"
#include "network/websocket.h"
#include "objects/domains/domain.h"
#include "objects/tokens/token.h"
#include "utils/logger.h"

namespace orvane {

namespace {

constexpr size_t kReadChunk = 2048;
constexpr size_t kWebsocketMaxPayload = 1500;

// Binds the token with that key to a WebSocket channel. 0, or 0x101 when there is no such token
// (also when it ended while being bound: whoever ended it may have looked at the channel before
// the binding was visible).
uint32_t websocket_bind(client& c, std::string_view key) {
  kt::ref_ptr<token> t = c.g->tokens.get_rw(key);
  if (!t) return E_TOKEN_NOT_FOUND;
  const uint64_t id = t->id;
  c.ws_domain_id.store(t->dom ? t->dom->id : 0);
  c.bind_token(t);
  c.ws_token_id.store(id);
  c.flags.fetch_or(CLIENT_WS_BOUND);
  if (c.g->tokens.get_rw(key) == t) return E_OK;
  c.flags.fetch_and(static_cast<uint8_t>(~CLIENT_WS_BOUND));
  c.ws_token_id.store(0);
  c.bind_token(nullptr);
  return E_TOKEN_NOT_FOUND;
}

// One read's worth of a WebSocket connection: decodes and answers every complete frame.
bool websocket_input(client& c) {
  for (;;) {
    const int rc = client_process_websocket(c);
    if (rc == 0) {
      c.request = kt::xmldoc();
      c.response = kt::xmldoc::create_def("orvane");
      continue;
    }
    return rc > 0;  // bytes missing: keep reading; anything else ends the connection
  }
}

}  // namespace

int client_process_websocket_xml(client& c) {
  uint32_t code = E_INVALID_REQUEST;
  const kt::xmldoc_node* auth = c.request.root()->get("auth");
  if (auth != nullptr) {
    code = E_TOKEN_NOT_FOUND;
    const std::string_view key = auth->attr_get_value("token");
    if (!key.empty()) code = websocket_bind(c, key);
  }
  auto res = kt::xmldoc_node::create("res");
  res->attr_addval("code", std::to_string(code));
  res->attr_addval("msg", error2str(code));
  c.response.root()->add_child(std::move(res));
  kt::buffer out;
  c.response.save(c.response.root(), out);
  if (c.send_websocket_text(out.view()) != 0) return -1;
  return 0;
}

int client_process_websocket(client& c) {
  std::string payload;
  size_t consumed = 0;
  const int rc = kt::websocket_wrap(reinterpret_cast<const uint8_t*>(c.input.data()),
                                    c.input.length(), payload, consumed, kWebsocketMaxPayload);
  if (rc != 0) return rc;
  c.input.remove(static_cast<uint32_t>(consumed));
  c.request = kt::xmldoc();
  if (c.request.parse(payload) != 0 || c.request.root() == nullptr) return -1;
  return client_process_websocket_xml(c);
}

namespace {

// A WebSocket channel on a network loop. Its step reads and answers the peer's frames and writes
// the frames other threads queued (they wake it); bound, it gives its deadline up and stays until
// either side ends it. Unbound when the loop's deadline comes, it is ended.
class channel_task final : public kt::net_task {
 public:
  explicit channel_task(std::unique_ptr<client> c)
      : net_task(c->fd()), c_(std::move(c)), limit_(client_request_limit(*c_->g)) {
    c_->start_channel(waker());
  }
  ~channel_task() override {
    c_->stop_channel();
    client_end(std::move(c_), true);
  }

  kt::net_wait step() override {
    client& c = *c_;
    if (!c.alive()) return kt::net_wait::close;
    kt::net_wait wait = kt::net_wait::read;
    char chunk[kReadChunk];
    for (;;) {
      const ssize_t n = c.read_some(chunk, sizeof chunk, &wait);
      if (n == CLIENT_AGAIN) break;
      if (n <= 0) return kt::net_wait::close;
      if (c.input.length() + static_cast<uint64_t>(n) > limit_) return kt::net_wait::close;
      if (!c.input.append(chunk, static_cast<uint32_t>(n)) || !websocket_input(c)) {
        return kt::net_wait::close;
      }
    }
    if ((c.flags.load() & CLIENT_WS_BOUND) != 0) keep();
    // The frames queued meanwhile, the answers just made included.
    for (;;) {
      if (sent_ == pending_.size()) {
        pending_ = c.take_outbox();
        sent_ = 0;
        if (pending_.empty()) break;
      }
      kt::net_wait blocked = kt::net_wait::write;
      const ssize_t n = c.write_some(pending_.data() + sent_, pending_.size() - sent_, &blocked);
      if (n == CLIENT_AGAIN) return blocked;  // the same bytes go again when it is ready
      if (n <= 0) return kt::net_wait::close;
      sent_ += static_cast<size_t>(n);
    }
    std::string().swap(pending_);  // an idle channel keeps no buffer
    return wait;
  }

  void leave(std::unique_ptr<kt::net_task>) override {}  // a channel never leaves its loop

 private:
  std::unique_ptr<client> c_;
  const uint64_t limit_;
  std::string pending_;  // frames being written
  size_t sent_ = 0;
};

}  // namespace

void channel_start(std::unique_ptr<client> c) {
  globals& g = *c->g;
  if (!g.channel_slots || !g.channel_slots->try_acquire()) {
    KT_LOG_WARN("%s: every WebSocket channel is taken", c->peer_text.c_str());
    client_answer_status(*c, 503, "Service Unavailable");
    client_end(std::move(c), true);
    return;
  }
  // From here the channel counts against the channels' cap, not its port's connections.
  if (c->slot) c->slot->release();
  c->slot = g.channel_slots;
  c->flags.fetch_or(CLIENT_WEBSOCKET);
  if (client_unwrap_htmldoc(*c) != 0) {
    client_end(std::move(c), true);
    return;
  }
  c->http_request.reset();
  c->http_response.reset();
  std::unique_ptr<kt::net_task> task = std::make_unique<channel_task>(std::move(c));
  // Stopped loops: dropping the task ends the connection.
  if (!g.net_loops || g.net_loops->add(task) != 0) task.reset();
}

}  // namespace orvane
