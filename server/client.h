// Connection records and the connection handler: one record per accepted connection on the plain
// or the TLS port. The server's network loops complete the TLS handshake and read the one HTTP
// request without a thread per connection; a worker thread then answers it: a command document
// POSTed over TLS goes to the dispatcher, a GET is served from the static web packages, and an
// upgrade turns the connection into a WebSocket channel for change notifications, which keeps
// its worker.
#ifndef ORVANE_CLIENT_H_
#define ORVANE_CLIENT_H_

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "buffers/buffer.h"
#include "htmldoc/htmldoc.h"
#include "sutils/openssl_raii.h"
#include "utils/ipv4.h"
#include "utils/pthread_utils.h"
#include "utils/refobj.h"
#include "xmldoc/xmldoc.h"

namespace kt {
class connection_slots;
}

namespace orvane {

struct globals;
class token;

// Bits of client::flags.
constexpr uint8_t CLIENT_ALIVE = 0x1;      // keep reading
constexpr uint8_t CLIENT_WEBSOCKET = 0x2;  // the connection was upgraded to WebSocket
constexpr uint8_t CLIENT_WS_BOUND = 0x4;   // a WebSocket "auth" message bound a token

// Seconds a connection has to complete its TLS handshake and its request; also the longest a
// send waits for a peer that takes no bytes.
constexpr int CLIENT_REQUEST_TIMEOUT = 30;

struct client {
  client();
  ~client();
  client(const client&) = delete;
  client& operator=(const client&) = delete;

  globals* g = nullptr;
  int fd = -1;
  SSL_CTX* tls_ctx = nullptr;  // the server's TLS context on the TLS port, else none
  kt::ssl_ptr ssl;             // the TLS session
  std::string peer_text;       // dotted IPv4 text of the peer
  kt::ipv4_address peer{};     // the peer address, prefix 32
  uint16_t peer_port = 0;
  std::atomic<uint8_t> flags{0};

  kt::htmldoc http_request;
  kt::htmldoc http_response;
  // The command document of the request and the response document (root "orvane").
  kt::xmldoc request;
  kt::xmldoc response;

  // The token bound by a WebSocket "auth" message (written by the connection's own thread under
  // outbox_lock, read by the change notifier through client_bound_token), its identifier (read
  // by whoever ends channels with their token) and the identifier of its domain.
  kt::ref_ptr<token> ws_token;
  std::atomic<uint64_t> ws_token_id{0};
  std::atomic<uint64_t> ws_domain_id{0};
  // Identity from a verified client certificate; 0 when none was presented.
  uint64_t cert_netclient_id = 0;
  uint64_t cert_domain_id = 0;

  kt::buffer input;       // received WebSocket bytes not yet consumed
  uint64_t received = 0;  // bytes of the HTTP request read so far

  // Serialises writes to the connection.
  kt::mutex send_lock;
  // Change notifications for a WebSocket client: other threads queue frames here and wake the
  // connection's thread, which alone reads and writes the connection (a TLS session must not be
  // used by two threads at once).
  kt::mutex outbox_lock;
  std::string outbox;  // encoded frames waiting to be sent
  int wake_fd = -1;    // eventfd that wakes the connection's thread
  // The listener's connection slot, handed back when the connection ends.
  kt::ref_ptr<kt::connection_slots> slot;

  // Links of the server's client list.
  client* prev = nullptr;
  client* next = nullptr;
};

// Takes an accepted socket onto the network loops. tls_ctx is the server's TLS context on the
// TLS port, else nullptr; slot is the listener's slot counter, handed a slot back when the
// connection ends. Returns 0, or -1 when the socket could not be taken (the listener then closes
// it and takes the slot back).
int client_accept(globals& g, int fd, const sockaddr_in& peer, SSL_CTX* tls_ctx,
                  kt::ref_ptr<kt::connection_slots> slot);

// Writes bytes to the connection (TLS or plain) under its send lock. Returns 0 or -1.
int client_send(client& c, std::string_view bytes);
// Queues one text frame for a WebSocket client and wakes its thread. Returns 0, or -1 when the
// connection cannot take it (not in WebSocket mode, or too much is already waiting).
int client_send_websocket_text(client& c, std::string_view text);

// The token a WebSocket client bound, or none. Any thread.
kt::ref_ptr<token> client_bound_token(client& c);
// Ends a WebSocket channel from another thread: its thread wakes, sees it is no longer alive and
// closes the connection.
void client_close_channel(client& c);

// Seconds a WebSocket channel has after its upgrade to bind a valid token; unbound, it closes.
constexpr int CLIENT_WEBSOCKET_BIND_TIMEOUT = 30;

// Handlers of one request.
int client_process_get(client& c);
int client_process_post(client& c);
int client_unwrap_htmldoc(client& c);
int client_process_websocket(client& c);
int client_process_websocket_xml(client& c);

// Closes every connection's socket so that its thread ends (shutdown).
void clients_close_all(globals& g);

}  // namespace orvane

#endif  // ORVANE_CLIENT_H_
