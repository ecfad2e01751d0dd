#include "channel.h"

#include <cstdint>
#include <string>
#include <string_view>

#include "client.h"
#include "errors.h"
#include "globals.h"
#include "http.h"
#include "network/websocket.h"
#include "objects/domains/domain.h"
#include "objects/tokens/token.h"
#include "utils/clock.h"

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

void channel_serve(client& c) {
  if (!c.start_channel()) return;
  c.flags.fetch_or(CLIENT_WEBSOCKET);
  client_unwrap_htmldoc(c);
  c.http_request.reset();
  c.http_response.reset();

  const uint64_t limit = client_request_limit(*c.g);
  const int64_t bind_deadline = kt::monotonic_ms() + CLIENT_WEBSOCKET_BIND_TIMEOUT * 1000;
  char chunk[kReadChunk];
  while (c.alive()) {
    int timeout = -1;
    if ((c.flags.load() & CLIENT_WS_BOUND) == 0) {
      const int64_t left = bind_deadline - kt::monotonic_ms();
      if (left <= 0) break;
      timeout = static_cast<int>(left);
    }
    const int ready = c.wait_channel(timeout);
    if (ready < 0) break;
    if (ready == 0) continue;
    const ssize_t n = c.read(chunk, sizeof chunk);
    if (n == CLIENT_READ_AGAIN) continue;
    if (n <= 0) break;
    if (c.input.length() + static_cast<uint64_t>(n) > limit) break;
    if (!c.input.append(chunk, static_cast<uint32_t>(n)) || !websocket_input(c)) break;
  }
}

}  // namespace orvane
