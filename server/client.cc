#include "client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <memory>
#include <mutex>
#include <shared_mutex>

#include "channel.h"
#include "globals.h"
#include "http.h"
#include "network/net_thread_pool.h"
#include "network/socket_listener.h"
#include "network/websocket.h"
#include "objects/domains/domain.h"
#include "objects/tokens/token.h"
#include "secure_server.h"
#include "sutils/openssl_ca.h"
#include "threadpool/thread_pool.h"
#include "utils/clock.h"
#include "utils/logger.h"

namespace orvane {

namespace {

constexpr size_t kReadChunk = 2048;
constexpr size_t kSendChunk = 1400;
// Frames queued for one WebSocket client beyond this are dropped.
constexpr size_t kOutboxLimit = 1 << 20;

// Waits until fd is ready for events (or failed) or the deadline (monotonic ms; -1: none)
// passes. True when ready.
bool wait_ready(int fd, short events, int64_t deadline) {
  for (;;) {
    int timeout = -1;
    if (deadline >= 0) {
      const int64_t left = deadline - kt::monotonic_ms();
      if (left <= 0) return false;
      timeout = static_cast<int>(std::min<int64_t>(left, INT_MAX));
    }
    pollfd p{fd, events, 0};
    const int n = ::poll(&p, 1, timeout);
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

// The poll events an SSL call that returned rc waits for; 0 when it failed for good.
short tls_wants(SSL* ssl, int rc) {
  const int err = SSL_get_error(ssl, rc);
  ERR_clear_error();
  if (err == SSL_ERROR_WANT_READ) return POLLIN;
  if (err == SSL_ERROR_WANT_WRITE) return POLLOUT;
  return 0;
}

}  // namespace

client::client(globals& gl, int fd, SSL_CTX* tls_ctx) : g(&gl), fd_(fd), tls_ctx_(tls_ctx) {}

client::~client() {
  stop_channel();
  if (fd_ >= 0) ::close(fd_);
}

namespace {

// What a TLS call that returned rc waits for; close when it failed for good.
kt::net_wait tls_next(SSL* ssl, int rc) {
  const short wants = tls_wants(ssl, rc);
  if (wants == POLLIN) return kt::net_wait::read;
  if (wants == POLLOUT) return kt::net_wait::write;
  return kt::net_wait::close;
}

}  // namespace

ssize_t client::read_some(char* bytes, size_t count, kt::net_wait* wait) {
  if (ssl_) {
    const int n = SSL_read(ssl_.get(), bytes, static_cast<int>(std::min<size_t>(count, INT_MAX)));
    if (n > 0) return n;
    *wait = tls_next(ssl_.get(), n);
    return *wait == kt::net_wait::close ? -1 : CLIENT_AGAIN;
  }
  for (;;) {
    const ssize_t n = ::recv(fd_, bytes, count, 0);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    *wait = kt::net_wait::read;
    return CLIENT_AGAIN;
  }
}

ssize_t client::write_some(const char* bytes, size_t count, kt::net_wait* wait) {
  if (ssl_) {
    const int n = SSL_write(ssl_.get(), bytes, static_cast<int>(std::min<size_t>(count, INT_MAX)));
    if (n > 0) return n;
    *wait = tls_next(ssl_.get(), n);
    return *wait == kt::net_wait::close ? -1 : CLIENT_AGAIN;
  }
  for (;;) {
    const ssize_t n = ::send(fd_, bytes, count, MSG_NOSIGNAL);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    *wait = kt::net_wait::write;
    return CLIENT_AGAIN;
  }
}

int client::send(std::string_view bytes) {
  std::lock_guard lock(send_lock_);
  while (!bytes.empty()) {
    const size_t piece = std::min(bytes.size(), kSendChunk);
    ssize_t n;
    short wants = 0;
    if (ssl_) {
      n = SSL_write(ssl_.get(), bytes.data(), static_cast<int>(piece));
      if (n <= 0) wants = tls_wants(ssl_.get(), static_cast<int>(n));
    } else {
      n = ::send(fd_, bytes.data(), piece, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) wants = POLLOUT;
    }
    if (n > 0) {
      bytes.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    // A peer that takes nothing for the whole timeout is given up.
    if (wants != 0 && wait_ready(fd_, wants, kt::monotonic_ms() + CLIENT_REQUEST_TIMEOUT * 1000)) {
      continue;
    }
    flags.fetch_and(static_cast<uint8_t>(~CLIENT_ALIVE));
    return -1;
  }
  return 0;
}

int client::handshake_step(bool* wants_write) {
  *wants_write = false;
  if (tls_ctx_ == nullptr) return 1;
  if (!ssl_) {
    ssl_.reset(SSL_new(tls_ctx_));
    if (!ssl_ || SSL_set_fd(ssl_.get(), fd_) != 1) return -1;
    // A session resumes only from the address it began at.
    SSL_set_session_id_context(
        ssl_.get(), reinterpret_cast<const unsigned char*>(peer_text.data()),
        static_cast<unsigned>(std::min<size_t>(peer_text.size(), SSL_MAX_SID_CTX_LENGTH)));
    SSL_set_verify(ssl_.get(), SSL_VERIFY_PEER, verify_callback);
  }
  const int rc = SSL_accept(ssl_.get());
  if (rc != 1) {
    const short wants = tls_wants(ssl_.get(), rc);
    *wants_write = wants == POLLOUT;
    return wants == 0 ? -1 : 0;
  }
  // A client certificate, when one was presented, must be one of the server's authority; its
  // identifiers are kept. A resumed session's certificate passed that check when the session
  // began; whether its net client still exists and may connect is checked by every request.
  kt::x509_ptr cert(SSL_get1_peer_certificate(ssl_.get()));
  if (!cert || !g->ca) return 1;
  uint64_t domain_id = 0;
  uint64_t netclient_id = 0;
  const int checked = SSL_session_reused(ssl_.get()) == 1
                          ? kt::openssl_ca::read_identity(cert.get(), &domain_id, &netclient_id)
                          : g->ca->verify(cert.get(), &domain_id, &netclient_id);
  if (checked != 0) {
    KT_LOG_ERR("failed to verify peer certificate for %s", peer_text.c_str());
    SSL_shutdown(ssl_.get());
    return -1;
  }
  cert_domain_id = domain_id;
  cert_netclient_id = netclient_id;
  return 1;
}

bool client::resumed() const {
  return ssl_ && SSL_session_reused(ssl_.get()) == 1;
}

void client::close_tls(bool handshake_done) {
  if (!ssl_) return;
  if (handshake_done) SSL_shutdown(ssl_.get());
  ssl_.reset();
  ERR_clear_error();
}

void client::shutdown_socket() {
  ::shutdown(fd_, SHUT_RDWR);
}

void client::start_channel(kt::ref_ptr<kt::net_waker> waker) {
  // An idle channel's session gives its read and write buffers back; its frames may be written
  // from a buffer that moved since a write that has to be repeated.
  if (ssl_)
    SSL_set_mode(ssl_.get(), SSL_MODE_RELEASE_BUFFERS | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  kt::mutex_guard lock(outbox_lock_);
  channel_ = true;
  waker_ = std::move(waker);
}

void client::stop_channel() {
  kt::mutex_guard lock(outbox_lock_);
  channel_ = false;
  waker_.reset();
  outbox_.clear();
}

int client::send_websocket_text(std::string_view text) {
  std::string frame;
  kt::websocket_unwrap(text, frame);
  return send_websocket_frame(frame);
}

int client::send_websocket_frame(std::string_view frame) {
  kt::mutex_guard lock(outbox_lock_);
  if (!channel_ || outbox_.size() + frame.size() > kOutboxLimit) return -1;
  const bool was_empty = outbox_.empty();
  outbox_ += frame;
  // A task that has frames waiting is woken already.
  if (was_empty && waker_) waker_->wake();
  return 0;
}

std::string client::take_outbox() {
  std::string frames;
  kt::mutex_guard lock(outbox_lock_);
  frames.swap(outbox_);
  return frames;
}

void client::close_channel() {
  flags.fetch_and(static_cast<uint8_t>(~CLIENT_ALIVE));
  kt::mutex_guard lock(outbox_lock_);
  if (waker_) waker_->wake();
}

kt::ref_ptr<token> client::bound_token() {
  kt::mutex_guard lock(outbox_lock_);
  return ws_token_;
}

void client::bind_token(kt::ref_ptr<token> t) {
  kt::mutex_guard lock(outbox_lock_);
  ws_token_ = std::move(t);
}

uint64_t client_request_limit(const globals& g) {
  const domain* root = g.root_domain.get();
  if (root == nullptr) return UINT64_MAX;
  const uint32_t mb = root->max_attr_value_len_mb.load(std::memory_order_relaxed);
  return static_cast<uint64_t>(mb) * 1048576u + 1500u;
}

void client_end(std::unique_ptr<client> c, bool handshake_done) {
  globals& g = *c->g;
  g.clients.remove(c.get());
  c->close_tls(handshake_done);
  c->shutdown_socket();
  kt::ref_ptr<kt::connection_slots> slot = std::move(c->slot);
  c.reset();
  if (slot) slot->release();
  g.open_connections.fetch_sub(1);
}

namespace {

// Answers a complete request (or a malformed one) on a worker thread; a WebSocket upgrade goes
// back to the network loops as a channel.
void client_serve(std::unique_ptr<client> c, bool malformed) {
  if (malformed) {
    client_answer_bad_request(*c);
  } else if (kt::websocket_handshake(c->http_request, c->http_response) == 0) {
    channel_start(std::move(c));
    return;
  } else {
    c->http_response.set_status_line("HTTP/1.0", 200, "OK");
    if (c->http_request.method() == "GET") {
      client_process_get(*c);
    } else if (c->tls() && c->http_request.method() == "POST") {
      client_process_post(*c);
    }
  }
  client_end(std::move(c), true);
}

class serve_job final : public kt::thread_pool_job {
 public:
  serve_job(std::unique_ptr<client> c, bool malformed, on_loop_answer answer)
      : c_(std::move(c)), malformed_(malformed), answer_(answer) {}
  ~serve_job() override {
    if (c_) client_end(std::move(c_), true);  // never ran: the pool stopped
  }
  void run() override {
    if (answer_ != on_loop_answer::prepared) return client_serve(std::move(c_), malformed_);
    // The loop ran the command; its answer was too large to send there.
    client_unwrap_htmldoc(*c_);
    client_end(std::move(c_), true);
  }

 private:
  std::unique_ptr<client> c_;
  const bool malformed_;
  const on_loop_answer answer_;
};

// A connection until its request is in: the TLS handshake and the reading of the request run on
// a network loop as the socket becomes ready, within the request deadline; then the connection
// moves to a worker thread to be answered.
class client_task final : public kt::net_task {
 public:
  explicit client_task(std::unique_ptr<client> c) : net_task(c->fd()), c_(std::move(c)) {}
  ~client_task() override {
    if (!c_) return;
    // A handshake that failed, or that the peer or the deadline cut off.
    if (!handshaken_ && c_->tls()) {
      c_->g->metrics.tls_handshake_failures.fetch_add(1, std::memory_order_relaxed);
    }
    client_end(std::move(c_), handshaken_);
  }

  kt::net_wait step() override {
    client& c = *c_;
    if (!handshaken_) {
      bool wants_write = false;
      const int rc = c.handshake_step(&wants_write);
      if (rc < 0) return kt::net_wait::close;
      if (rc == 0) return wants_write ? kt::net_wait::write : kt::net_wait::read;
      handshaken_ = true;
      if (c.tls()) {
        c.g->metrics.tls_handshakes.fetch_add(1, std::memory_order_relaxed);
        if (c.resumed()) c.g->metrics.tls_resumed.fetch_add(1, std::memory_order_relaxed);
      }
      c.request = kt::xmldoc();
      c.response = kt::xmldoc::create_def("orvane");
      c.flags.fetch_or(CLIENT_ALIVE);
    }
    const uint64_t limit = client_request_limit(*c.g);
    char chunk[kReadChunk];
    for (;;) {
      kt::net_wait wait = kt::net_wait::read;
      const ssize_t n = c.read_some(chunk, sizeof chunk, &wait);
      if (n == CLIENT_AGAIN) return wait;
      if (n <= 0) return kt::net_wait::close;
      c.received += static_cast<uint64_t>(n);
      if (c.received > limit) return kt::net_wait::close;
      const int rc = c.http_request.wrap(chunk, static_cast<size_t>(n));
      if (rc > 0) continue;
      malformed_ = rc < 0;
      if (!malformed_) answer_ = client_answer_on_loop(c);
      return answer_ == on_loop_answer::sent ? kt::net_wait::close : kt::net_wait::leave;
    }
  }

  void leave(std::unique_ptr<kt::net_task>) override {
    globals& g = *c_->g;
    std::unique_ptr<kt::thread_pool_job> job =
        std::make_unique<serve_job>(std::move(c_), malformed_, answer_);
    if (!g.workers || g.workers->submit(job) != 0) KT_LOG_ERR("Error creating thread");
  }

 private:
  std::unique_ptr<client> c_;
  bool handshaken_ = false;
  bool malformed_ = false;
  on_loop_answer answer_ = on_loop_answer::none;
};

}  // namespace

int client_accept(globals& g, int fd, const sockaddr_in& peer, SSL_CTX* tls_ctx,
                  kt::ref_ptr<kt::connection_slots> slot) {
  if (!g.net_loops) return -1;
  // The loops' listeners accept non-blocking sockets.
  // Answers and frames are written whole: a small one (a channel's frame after the session's
  // tickets) must not wait for the peer's delayed acknowledgement.
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (tls_ctx == nullptr) {
    std::shared_lock wait_for_writers(g.netclients_lock);
  }
  // From here the record owns the socket.
  auto c = std::make_unique<client>(g, fd, tls_ctx);
  c->slot = std::move(slot);
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
  c->peer_text = text;
  c->peer.address = ntohl(peer.sin_addr.s_addr);
  c->peer.prefix = 32;
  c->peer_port = ntohs(peer.sin_port);
  // Every connection is listed from the start, so that shutdown can reach it.
  g.clients.add(c.get());
  g.open_connections.fetch_add(1);
  std::unique_ptr<kt::net_task> task = std::make_unique<client_task>(std::move(c));
  // When the loops have stopped, dropping the task ends the connection (socket and slot).
  if (g.net_loops->add(task) != 0) task.reset();
  return 0;
}

void clients_close_all(globals& g) {
  g.clients.for_each([](client& c) { c.shutdown_socket(); });
}

}  // namespace orvane
