#include "client.h"

#include <arpa/inet.h>
#include <fcntl.h>
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

ssize_t client::read(char* bytes, size_t count) {
  for (;;) {
    short wants = 0;
    if (ssl_) {
      const int n = SSL_read(ssl_.get(), bytes, static_cast<int>(count));
      if (n > 0) return n;
      wants = tls_wants(ssl_.get(), n);
    } else {
      const ssize_t n = ::recv(fd_, bytes, count, 0);
      if (n >= 0) return n;
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) wants = POLLIN;
    }
    if (wants == 0) return -1;
    if (wants == POLLIN) return CLIENT_READ_AGAIN;
    if (!wait_ready(fd_, wants, -1)) return -1;
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
    char context[160];
    const int n = std::snprintf(context, sizeof context, "%s:%u", peer_text.c_str(),
                                static_cast<unsigned>(peer_port));
    SSL_set_session_id_context(ssl_.get(), reinterpret_cast<const unsigned char*>(context),
                               static_cast<unsigned>(std::min<int>(n, SSL_MAX_SID_CTX_LENGTH)));
    SSL_set_verify(ssl_.get(), SSL_VERIFY_PEER, verify_callback);
  }
  const int rc = SSL_accept(ssl_.get());
  if (rc != 1) {
    const short wants = tls_wants(ssl_.get(), rc);
    *wants_write = wants == POLLOUT;
    return wants == 0 ? -1 : 0;
  }
  // A client certificate, when one was presented, must be one of the server's authority; its
  // identifiers are kept.
  kt::x509_ptr cert(SSL_get1_peer_certificate(ssl_.get()));
  if (!cert || !g->ca) return 1;
  uint64_t domain_id = 0;
  uint64_t netclient_id = 0;
  if (g->ca->verify(cert.get(), &domain_id, &netclient_id) != 0) {
    KT_LOG_ERR("failed to verify peer certificate for %s", peer_text.c_str());
    SSL_shutdown(ssl_.get());
    return -1;
  }
  cert_domain_id = domain_id;
  cert_netclient_id = netclient_id;
  return 1;
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

bool client::start_channel() {
  const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) return false;
  kt::mutex_guard lock(outbox_lock_);
  wake_fd_ = fd;
  return true;
}

void client::stop_channel() {
  kt::mutex_guard lock(outbox_lock_);
  if (wake_fd_ >= 0) ::close(wake_fd_);
  wake_fd_ = -1;
  outbox_.clear();
}

int client::send_websocket_text(std::string_view text) {
  std::string frame;
  kt::websocket_unwrap(text, frame);
  kt::mutex_guard lock(outbox_lock_);
  if (wake_fd_ < 0 || outbox_.size() + frame.size() > kOutboxLimit) return -1;
  outbox_ += frame;
  const uint64_t one = 1;
  return ::write(wake_fd_, &one, sizeof one) == sizeof one ? 0 : -1;
}

std::string client::take_outbox() {
  std::string frames;
  kt::mutex_guard lock(outbox_lock_);
  frames.swap(outbox_);
  return frames;
}

bool client::flush_outbox() {
  std::string frames;
  {
    kt::mutex_guard lock(outbox_lock_);
    uint64_t count = 0;
    if (::read(wake_fd_, &count, sizeof count) < 0 && errno != EAGAIN) return false;
    frames.swap(outbox_);
  }
  return frames.empty() || send(frames) == 0;
}

int client::wait_channel(int timeout_ms) {
  if (ssl_ && SSL_pending(ssl_.get()) > 0) return 1;
  int wake_fd;
  {
    kt::mutex_guard lock(outbox_lock_);
    wake_fd = wake_fd_;
  }
  pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_fd, POLLIN, 0}};
  for (;;) {
    const int n = ::poll(fds, 2, timeout_ms);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    break;
  }
  if ((fds[1].revents & POLLIN) != 0 && !flush_outbox()) return -1;
  if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) return 1;
  return 0;
}

void client::close_channel() {
  flags.fetch_and(static_cast<uint8_t>(~CLIENT_ALIVE));
  kt::mutex_guard lock(outbox_lock_);
  const uint64_t one = 1;
  if (wake_fd_ >= 0 && ::write(wake_fd_, &one, sizeof one) != sizeof one) {
    shutdown_socket();  // the thread wakes on its socket instead
  }
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

namespace {

// Ends a connection: takes it off the server's list, closes TLS and the socket, and hands the
// connection slot back.
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

// Answers a complete request (or a malformed one) on a worker thread; a WebSocket upgrade keeps
// the thread for the channel's life.
void client_serve(std::unique_ptr<client> c, bool malformed) {
  if (malformed) {
    client_answer_bad_request(*c);
  } else if (kt::websocket_handshake(c->http_request, c->http_response) == 0) {
    channel_serve(*c);
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
  serve_job(std::unique_ptr<client> c, bool malformed) : c_(std::move(c)), malformed_(malformed) {}
  ~serve_job() override {
    if (c_) client_end(std::move(c_), true);  // never ran: the pool stopped
  }
  void run() override { client_serve(std::move(c_), malformed_); }

 private:
  std::unique_ptr<client> c_;
  const bool malformed_;
};

// A connection until its request is in: the TLS handshake and the reading of the request run on
// a network loop as the socket becomes ready, within the request deadline; then the connection
// moves to a worker thread to be answered.
class client_task final : public kt::net_task {
 public:
  explicit client_task(std::unique_ptr<client> c) : net_task(c->fd()), c_(std::move(c)) {}
  ~client_task() override {
    if (c_) client_end(std::move(c_), handshaken_);
  }

  kt::net_wait step() override {
    client& c = *c_;
    if (!handshaken_) {
      bool wants_write = false;
      const int rc = c.handshake_step(&wants_write);
      if (rc < 0) return kt::net_wait::close;
      if (rc == 0) return wants_write ? kt::net_wait::write : kt::net_wait::read;
      handshaken_ = true;
      c.request = kt::xmldoc();
      c.response = kt::xmldoc::create_def("orvane");
      c.flags.fetch_or(CLIENT_ALIVE);
    }
    const uint64_t limit = client_request_limit(*c.g);
    char chunk[kReadChunk];
    for (;;) {
      const ssize_t n = c.read(chunk, sizeof chunk);
      if (n == CLIENT_READ_AGAIN) return kt::net_wait::read;
      if (n <= 0) return kt::net_wait::close;
      c.received += static_cast<uint64_t>(n);
      if (c.received > limit) return kt::net_wait::close;
      const int rc = c.http_request.wrap(chunk, static_cast<size_t>(n));
      if (rc > 0) continue;
      malformed_ = rc < 0;
      return kt::net_wait::leave;
    }
  }

  void leave(std::unique_ptr<kt::net_task>) override {
    globals& g = *c_->g;
    std::unique_ptr<kt::thread_pool_job> job =
        std::make_unique<serve_job>(std::move(c_), malformed_);
    if (!g.workers || g.workers->submit(job) != 0) KT_LOG_ERR("Error creating thread");
  }

 private:
  std::unique_ptr<client> c_;
  bool handshaken_ = false;
  bool malformed_ = false;
};

}  // namespace

int client_accept(globals& g, int fd, const sockaddr_in& peer, SSL_CTX* tls_ctx,
                  kt::ref_ptr<kt::connection_slots> slot) {
  if (!g.net_loops) return -1;
  const int fl = ::fcntl(fd, F_GETFL);
  if (fl < 0 || ::fcntl(fd, F_SETFL, fl | O_NONBLOCK) != 0) return -1;
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
