// Connection records and the connection handler: one record per accepted connection on the plain
// or the TLS port. The server's network loops complete the TLS handshake and read the one HTTP
// request without a thread per connection; a worker thread then answers it: a command document
// POSTed over TLS goes to the dispatcher (http.h), a GET is served from the static web packages,
// and an upgrade turns the connection into a WebSocket channel for change notifications
// (channel.h). The record keeps its socket and TLS session to itself: the rest of the server
// reads and writes the connection through its methods.
#ifndef ORVANE_CLIENT_H_
#define ORVANE_CLIENT_H_

#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "buffers/buffer.h"
#include "connection_registry.h"
#include "htmldoc/htmldoc.h"
#include "network/net_thread_pool.h"
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

// client::read_some() and write_some() result: the socket is not ready; *wait tells for what.
constexpr ssize_t CLIENT_AGAIN = -2;

class client : public registry_links<client> {
 public:
  // A connection on the socket fd (non-blocking), which it owns; tls_ctx is the server's TLS
  // context on the TLS port, else nullptr. Without a socket, a record to run commands on.
  explicit client(globals& g, int fd = -1, SSL_CTX* tls_ctx = nullptr);
  ~client();
  client(const client&) = delete;
  client& operator=(const client&) = delete;

  globals* const g;
  std::string peer_text;    // dotted IPv4 text of the peer
  kt::ipv4_address peer{};  // the peer address, prefix 32
  uint16_t peer_port = 0;
  std::atomic<uint8_t> flags{0};

  kt::htmldoc http_request;
  kt::htmldoc http_response;
  // The command document of the request and the response document (root "orvane").
  kt::xmldoc request;
  kt::xmldoc response;

  // The token bound by a WebSocket "auth" message (set by the connection's own thread, read by
  // the change notifier through bound_token()), its identifier (read by whoever ends channels
  // with their token) and the identifier of its domain.
  std::atomic<uint64_t> ws_token_id{0};
  std::atomic<uint64_t> ws_domain_id{0};
  // Identity from a verified client certificate; 0 when none was presented.
  uint64_t cert_netclient_id = 0;
  uint64_t cert_domain_id = 0;

  kt::buffer input;       // received WebSocket bytes not yet consumed
  uint64_t received = 0;  // bytes of the HTTP request read so far

  // The listener's connection slot, handed back when the connection ends.
  kt::ref_ptr<kt::connection_slots> slot;

  bool alive() const { return (flags.load() & CLIENT_ALIVE) != 0; }
  bool tls() const { return static_cast<bool>(ssl_); }
  // The TLS handshake resumed an earlier session.
  bool resumed() const;

  // Reads up to count bytes without waiting. Returns the count, CLIENT_AGAIN when the socket must
  // first be readable or writable (*wait), or 0 or -1 when the connection is to end. The thread
  // that has the connection now only (a loop, or the worker answering it).
  ssize_t read_some(char* bytes, size_t count, kt::net_wait* wait);
  // Writes up to count bytes without waiting; results as read_some. A write that returned
  // CLIENT_AGAIN is repeated with the same bytes.
  ssize_t write_some(const char* bytes, size_t count, kt::net_wait* wait);
  // Writes all the bytes, waiting at most CLIENT_REQUEST_TIMEOUT for a peer that takes none.
  // Returns 0, or -1 (the connection is then no longer alive).
  int send(std::string_view bytes);

  // The TLS handshake, one non-blocking step: 1 when done (and a client certificate, if one came,
  // verified), 0 when it waits for the socket (*wants_write tells for what), -1 when it failed.
  int handshake_step(bool* wants_write);
  // Ends the connection's TLS session (with a close alert once the handshake was done).
  void close_tls(bool handshake_done);
  // Shuts the socket down in both directions: the connection's thread wakes and ends it.
  void shutdown_socket();
  int fd() const { return fd_; }

  // WebSocket channel: from start_channel() on, other threads queue frames with
  // send_websocket_text() and wake the connection's task on its network loop through waker
  // (none: nobody is woken), which alone reads and writes the connection (a TLS session must not
  // be used by two threads at once). The session then keeps no buffers while idle.
  void start_channel(kt::ref_ptr<kt::net_waker> waker);
  void stop_channel();
  // Queues one text frame (or one frame encoded already) and wakes the connection's task. Returns
  // 0, or -1 when the channel cannot take it (not started, stopped, or too much is already
  // waiting). Any thread.
  int send_websocket_text(std::string_view text);
  int send_websocket_frame(std::string_view frame);
  // Takes the queued frames.
  std::string take_outbox();
  // Ends the channel from another thread: its task wakes, sees it is no longer alive and closes
  // the connection.
  void close_channel();

  // The token bound to the channel, or none. Any thread.
  kt::ref_ptr<token> bound_token();
  // Binds the token to the channel (or unbinds, with none).
  void bind_token(kt::ref_ptr<token> t);

 private:
  const int fd_;
  SSL_CTX* const tls_ctx_;
  kt::ssl_ptr ssl_;
  // Serialises writes to the connection.
  kt::mutex send_lock_;
  // Guards the channel's queue, its wake-up descriptor and the bound token.
  kt::mutex outbox_lock_;
  std::string outbox_ KT_GUARDED_BY(outbox_lock_);    // encoded frames waiting to be sent
  bool channel_ KT_GUARDED_BY(outbox_lock_) = false;  // frames are taken
  kt::ref_ptr<kt::net_waker> waker_ KT_GUARDED_BY(outbox_lock_);
  kt::ref_ptr<token> ws_token_ KT_GUARDED_BY(outbox_lock_);
};

// The size limit of a request: the root domain's maxAttrValueLenMB mebibytes plus 1,500 bytes.
uint64_t client_request_limit(const globals& g);

// Takes an accepted non-blocking socket onto the network loops. tls_ctx is the server's TLS context
// on the TLS port, else nullptr; slot is the listener's slot counter, handed a slot back when the
// connection ends. Returns 0, or -1 when the socket could not be taken (the listener then closes
// it and takes the slot back).
int client_accept(globals& g, int fd, const sockaddr_in& peer, SSL_CTX* tls_ctx,
                  kt::ref_ptr<kt::connection_slots> slot);

// Ends a connection: takes it off the server's list, closes TLS (orderly once the handshake is
// done) and the socket, and hands its slot back.
void client_end(std::unique_ptr<client> c, bool handshake_done);

// Closes every connection's socket so that whoever serves it ends it (shutdown).
void clients_close_all(globals& g);

}  // namespace orvane

#endif  // ORVANE_CLIENT_H_
