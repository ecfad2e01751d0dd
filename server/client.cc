#include "client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <system_error>
#include <thread>

#include "config.h"
#include "errors.h"
#include "globals.h"
#include "monitor.h"
#include "network/net_thread_pool.h"
#include "network/socket_listener.h"
#include "network/websocket.h"
#include "objects/domains/domain.h"
#include "objects/tokens/token.h"
#include "processor.h"
#include "secure_server.h"
#include "sutils/openssl_ca.h"
#include "threadpool/thread_pool.h"
#include "utils/logger.h"

namespace orvane {

namespace {

constexpr size_t kReadChunk = 2048;
constexpr size_t kSendChunk = 1400;
constexpr size_t kWebsocketMaxPayload = 1500;
// Notifications queued for one WebSocket client beyond this are dropped.
constexpr size_t kOutboxLimit = 1 << 20;
constexpr size_t kMaxFilePath = 1023;
// The most memory a parsed command document may take: this many times its size, plus a base.
constexpr size_t kRequestMemoryFactor = 32;
constexpr size_t kRequestMemoryBase = 64 * 1024;
// Requests from this size on give their memory back to the system once answered.
constexpr size_t kTrimAfter = 1 << 20;
constexpr const char* kServerName = "Orvane/1.0.0";
constexpr const char* kVersion = "1.0.0";

struct web_root {
  const char* prefix;
  const char* dir;
  const char* title;
  const char* package;
};

const web_root kWebRoots[] = {
    {"/mgmt", "/webmgmt", "Orvane Web Management package not installed.", "orvane-webmgmt"},
    {"/sso", "/websso", "Orvane Web Sso package not installed.", "orvane-websso"},
    {"/", "/web/", "Orvane Web package not installed.", "orvane-web"},
};

// Milliseconds on the monotonic clock.
int64_t now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The socket of a connection is non-blocking. The network loops bound handshake and request by
// one deadline; on a worker, every wait goes through wait_ready().
constexpr int64_t kNoDeadline = -1;

// Waits until fd is ready for events (or failed) or the deadline passes. True when ready.
bool wait_ready(int fd, short events, int64_t deadline) {
  for (;;) {
    int timeout = -1;
    if (deadline != kNoDeadline) {
      const int64_t left = deadline - now_ms();
      if (left <= 0) return false;
      timeout = static_cast<int>(std::min<int64_t>(left, INT_MAX));
    }
    pollfd p{fd, events, 0};
    const int n = ::poll(&p, 1, timeout);
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

// The poll events an SSL call that returned err waits for; 0 when it failed for good.
short tls_wants(int err) {
  if (err == SSL_ERROR_WANT_READ) return POLLIN;
  if (err == SSL_ERROR_WANT_WRITE) return POLLOUT;
  return 0;
}

void list_append(globals& g, client* c) {
  std::unique_lock lock(g.clients_lock);
  c->prev = g.clients_tail;
  c->next = nullptr;
  if (g.clients_tail != nullptr) g.clients_tail->next = c;
  g.clients_tail = c;
  if (g.clients_head == nullptr) g.clients_head = c;
}

void list_remove(globals& g, client* c) {
  std::unique_lock lock(g.clients_lock);
  const bool listed = c->prev != nullptr || c->next != nullptr || g.clients_head == c;
  if (!listed) return;
  if (c->prev != nullptr) c->prev->next = c->next;
  if (c->next != nullptr) c->next->prev = c->prev;
  if (g.clients_head == c) g.clients_head = c->next;
  if (g.clients_tail == c) g.clients_tail = c->prev;
  c->prev = c->next = nullptr;
}

// client_read() result: nothing to read yet.
constexpr ssize_t kReadAgain = -2;

// Reads up to count bytes without waiting for them (a TLS session that must write first waits
// for the socket to take bytes). Returns the count, kReadAgain when no bytes are ready, or 0 or
// -1 when the connection is to end.
ssize_t client_read(client& c, char* bytes, size_t count) {
  for (;;) {
    short wants = 0;
    if (c.ssl) {
      const int n = SSL_read(c.ssl.get(), bytes, static_cast<int>(count));
      if (n > 0) return n;
      wants = tls_wants(SSL_get_error(c.ssl.get(), n));
      ERR_clear_error();
    } else {
      const ssize_t n = ::recv(c.fd, bytes, count, 0);
      if (n >= 0) return n;
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) wants = POLLIN;
    }
    if (wants == 0) return -1;
    if (wants == POLLIN) return kReadAgain;
    if (!wait_ready(c.fd, wants, kNoDeadline)) return -1;
  }
}

// The size limit of a request: the root domain's maxAttrValueLenMB mebibytes plus 1,500 bytes.
uint64_t request_limit(const globals& g) {
  const domain* root = g.root_domain.get();
  if (root == nullptr) return UINT64_MAX;
  const uint32_t mb = root->max_attr_value_len_mb.load(std::memory_order_relaxed);
  return static_cast<uint64_t>(static_cast<uint32_t>(mb * 1048576u + 1500u));
}

// Makes the TLS session of a connection on the TLS port.
bool tls_setup(client& c) {
  c.ssl.reset(SSL_new(c.tls_ctx));
  if (!c.ssl) return false;
  if (SSL_set_fd(c.ssl.get(), c.fd) != 1) {
    std::fprintf(stderr, "ssl_set_fd failed\n");
    return false;
  }
  char context[160];
  const int n = std::snprintf(context, sizeof context, "%s:%u", c.peer_text.c_str(),
                              static_cast<unsigned>(c.peer_port));
  SSL_set_session_id_context(c.ssl.get(), reinterpret_cast<const unsigned char*>(context),
                             static_cast<unsigned>(std::min<int>(n, SSL_MAX_SID_CTX_LENGTH)));
  SSL_set_verify(c.ssl.get(), SSL_VERIFY_PEER, verify_callback);
  return true;
}

// After the handshake: a client certificate, when one was presented, must be one of the
// server's authority; its identifiers are kept.
bool tls_check_peer(client& c) {
  kt::x509_ptr cert(SSL_get1_peer_certificate(c.ssl.get()));
  if (!cert || !c.g->ca) return true;
  uint64_t domain_id = 0;
  uint64_t netclient_id = 0;
  if (c.g->ca->verify(cert.get(), &domain_id, &netclient_id) != 0) {
    KT_LOG_ERR("failed to verify peer certificate for %s", c.peer_text.c_str());
    SSL_shutdown(c.ssl.get());
    return false;
  }
  c.cert_domain_id = domain_id;
  c.cert_netclient_id = netclient_id;
  return true;
}

void add_header(kt::htmldoc& h, const char* name, std::string_view value) {
  kt::htmldoc_add_option(h.headers(), name, value);
}

void add_length(kt::htmldoc& h) {
  add_header(h, "Content-Length", std::to_string(h.body_length()));
}

// The page of a package that is not installed, or the page that sends a browser to HTTPS.
void html_page(kt::htmldoc& h, const std::string& body_lines) {
  h.body_append("<!DOCTYPE html><html><head><meta charset=\"utf-8\" /></head><body>");
  h.body_append(body_lines);
  h.body_append("</body></html>");
  add_header(h, "Content-Type", "text/html");
  add_length(h);
}

// Content type by the last extension of the path; nullptr when the path has no ".".
void add_content_type(kt::htmldoc& h, const std::string& path) {
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos) return;
  const std::string ext = path.substr(dot);
  if (ext == ".exe") {
    add_header(h, "Content-type", "binary/octet-stream");
    return;
  }
  const char* type = "text/html";
  if (ext == ".ico") type = "image/x-icon";
  if (ext == ".png") type = "image/png";
  if (ext == ".svg") type = "image/svg+xml";
  if (ext == ".css") type = "text/css";
  if (ext == ".js") type = "application/javascript";
  add_header(h, "Content-Type", type);
}

bool starts_with_nocase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

// A web root's prefix matches only up to a path boundary: "/mgmt" takes "/mgmt" and "/mgmt/x",
// not "/mgmt_private/x".
bool under_prefix(std::string_view uri, std::string_view prefix) {
  if (!starts_with_nocase(uri, prefix)) return false;
  return prefix.ends_with('/') || uri.size() == prefix.size() || uri[prefix.size()] == '/';
}

bool equals_nocase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// The page script that sends a browser on the plain port to the same front end over HTTPS. On
// the default ports the host the browser used is kept as it is; otherwise its plain port is
// replaced by the HTTPS port in use.
std::string https_redirect_script(const char* prefix) {
  const uint16_t port = config_get().https_port;
  char line[256];
  if (port == 443) {
    std::snprintf(line, sizeof line,
                  "<script>window.location.href = 'https://' + document.location.host + "
                  "'%s/';</script>",
                  prefix);
  } else {
    std::snprintf(line, sizeof line,
                  "<script>window.location.href = 'https://' + document.location.hostname + "
                  "':%u' + '%s/';</script>",
                  static_cast<unsigned>(port), prefix);
  }
  return line;
}

// Streams a file in 1,400-byte pieces. Returns 0, -1 when it cannot be opened, -2 when a piece is
// not taken whole.
int send_file(client& c, const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return -1;
  std::unique_ptr<FILE, int (*)(FILE*)> guard(f, std::fclose);
  char piece[kSendChunk];
  for (;;) {
    const size_t n = std::fread(piece, 1, sizeof piece, f);
    if (n == 0) return 0;
    if (client_send(c, std::string_view(piece, n)) != 0) return -2;
  }
}

void answer_bad_request(client& c) {
  c.http_response.reset();
  c.http_response.set_status_line("HTTP/1.0", 400, "Bad Request");
  add_header(c.http_response, "Content-Length", "0");
  add_header(c.http_response, "Server", kServerName);
  client_unwrap_htmldoc(c);
}

void reset_documents(client& c) {
  c.request = kt::xmldoc();
  c.response = kt::xmldoc::create_def("orvane");
}

// One read's worth of a WebSocket connection: decodes and answers every complete frame.
bool websocket_input(client& c) {
  for (;;) {
    const int rc = client_process_websocket(c);
    if (rc == 0) {
      reset_documents(c);
      continue;
    }
    return rc > 0;  // bytes missing: keep reading; anything else ends the connection
  }
}

}  // namespace

client::client() = default;
client::~client() = default;

int client_send(client& c, std::string_view bytes) {
  std::lock_guard lock(c.send_lock);
  while (!bytes.empty()) {
    const size_t piece = std::min(bytes.size(), kSendChunk);
    ssize_t n;
    short wants = 0;
    if (c.ssl) {
      n = SSL_write(c.ssl.get(), bytes.data(), static_cast<int>(piece));
      if (n <= 0) {
        wants = tls_wants(SSL_get_error(c.ssl.get(), static_cast<int>(n)));
        ERR_clear_error();
      }
    } else {
      n = ::send(c.fd, bytes.data(), piece, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) wants = POLLOUT;
    }
    if (n > 0) {
      bytes.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    // A peer that takes nothing for the whole timeout is given up.
    if (wants != 0 && wait_ready(c.fd, wants, now_ms() + CLIENT_REQUEST_TIMEOUT * 1000)) continue;
    c.flags.fetch_and(static_cast<uint8_t>(~CLIENT_ALIVE));
    return -1;
  }
  return 0;
}

kt::ref_ptr<token> client_bound_token(client& c) {
  std::lock_guard lock(c.outbox_lock);
  return c.ws_token;
}

void client_close_channel(client& c) {
  c.flags.fetch_and(static_cast<uint8_t>(~CLIENT_ALIVE));
  std::lock_guard lock(c.outbox_lock);
  const uint64_t one = 1;
  if (c.wake_fd >= 0 && ::write(c.wake_fd, &one, sizeof one) != sizeof one) {
    ::shutdown(c.fd, SHUT_RDWR);  // the thread wakes on its socket instead
  }
}

int client_send_websocket_text(client& c, std::string_view text) {
  std::string frame;
  kt::websocket_unwrap(text, frame);
  std::lock_guard lock(c.outbox_lock);
  if (c.wake_fd < 0 || c.outbox.size() + frame.size() > kOutboxLimit) return -1;
  c.outbox += frame;
  const uint64_t one = 1;
  return ::write(c.wake_fd, &one, sizeof one) == sizeof one ? 0 : -1;
}

namespace {

// Sends what other threads queued for the connection.
bool flush_outbox(client& c) {
  std::string frames;
  {
    std::lock_guard lock(c.outbox_lock);
    uint64_t count = 0;
    if (::read(c.wake_fd, &count, sizeof count) < 0 && errno != EAGAIN) return false;
    frames.swap(c.outbox);
  }
  return frames.empty() || client_send(c, frames) == 0;
}

// Waits, at most timeout_ms (-1: no limit), until the connection has bytes to read or
// notifications to send. Returns 1 when the connection is readable, 0 when only notifications
// were sent or the time ran out, -1 when it is to end.
int websocket_wait(client& c, int timeout_ms) {
  if (c.ssl && SSL_pending(c.ssl.get()) > 0) return 1;
  pollfd fds[2] = {{c.fd, POLLIN, 0}, {c.wake_fd, POLLIN, 0}};
  for (;;) {
    const int n = ::poll(fds, 2, timeout_ms);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    break;
  }
  if ((fds[1].revents & POLLIN) != 0 && !flush_outbox(c)) return -1;
  if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) return 1;
  return 0;
}

// Turns the connection into a WebSocket channel: its thread now also sends the notifications.
bool websocket_start(client& c) {
  const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) return false;
  std::lock_guard lock(c.outbox_lock);
  c.wake_fd = fd;
  return true;
}

void websocket_stop(client& c) {
  std::lock_guard lock(c.outbox_lock);
  if (c.wake_fd >= 0) ::close(c.wake_fd);
  c.wake_fd = -1;
  c.outbox.clear();
}

}  // namespace

int client_unwrap_htmldoc(client& c) {
  kt::buffer out;
  if (c.http_response.unwrap(out, false) != 0) return -1;
  return client_send(c, out.view());
}

int client_process_get(client& c) {
  kt::htmldoc& req = c.http_request;
  kt::htmldoc& res = c.http_response;
  std::string uri = req.uri();
  if (uri.empty()) return -1;

  std::string file_path;
  if (uri == "/getXmlVersion") {
    res.body_append("<?xml version=\"1.0\" encoding=\"UTF-8\" ?>");
    res.body_append_arg("<orvane><server version=\"%s\"/></orvane>", kVersion);
    add_header(res, "Content-Type", "text/xml");
    add_length(res);
  } else {
    const web_root* root = nullptr;
    for (const web_root& r : kWebRoots) {
      if (under_prefix(uri, r.prefix)) {
        root = &r;
        break;
      }
    }
    if (root == nullptr) {
      res.set_status_line("HTTP/1.0", 302, "Found");
      add_header(res, "Location", "/index.html");
    } else if (!c.ssl && root->prefix[1] != '\0') {
      html_page(res, https_redirect_script(root->prefix));
    } else {
      if (uri.back() == '/') uri += "index.html";
      const size_t prefix_length = std::strlen(root->prefix);
      const std::string path = path_web(root->dir) + uri.substr(prefix_length);
      struct stat st {};
      const bool usable = path.size() <= kMaxFilePath && path.find("..") == std::string::npos &&
                          ::stat(path.c_str(), &st) == 0;
      if (usable && S_ISDIR(st.st_mode)) {
        res.set_status_line("HTTP/1.0", 302, "Found");
        std::string location = req.uri();
        if (req.have_get_params()) {
          location += "/?" + kt::htmldoc_params_to_qry(req.get_params()).substr(0, 511);
        } else {
          location += "/";
        }
        add_header(res, "Location", location.substr(0, 1399));
      } else if (usable && S_ISREG(st.st_mode)) {
        add_header(res, "Content-Length", std::to_string(st.st_size));
        add_content_type(res, path);
        file_path = path;
      } else {
        const web_root* page = nullptr;
        for (const web_root& r : kWebRoots) {
          const std::string index =
              std::string(r.prefix[1] != '\0' ? r.prefix : "") + "/index.html";
          if (equals_nocase(uri, index)) page = &r;
        }
        if (page != nullptr) {
          html_page(res, std::string("<h1>") + page->title + "</h1><p><code>use: pkg-manager -io " +
                             page->package + "</code></p>");
        } else {
          res.set_status_line("HTTP/1.0", 302, "Found");
          add_header(res, "Location",
                     std::string(root->prefix[1] != '\0' ? root->prefix : "") + "/index.html");
        }
      }
    }
  }
  add_header(res, "Server", kServerName);
  if (client_unwrap_htmldoc(c) != 0) return -1;
  if (!file_path.empty()) return send_file(c, file_path);
  return 0;
}

int client_process_post(client& c) {
  const std::string_view body = c.http_request.body();
  kt::buffer out;
  {
    // The parsed document may take a multiple of the body's size; requests beyond the budget
    // wait for those before them to be answered.
    kt::byte_budget::ticket parsing = c.g->request_budget.take(body.size());
    c.request = kt::xmldoc();
    const size_t memory_limit = body.size() * kRequestMemoryFactor + kRequestMemoryBase;
    if (c.request.parse(body, memory_limit) == 0 && c.request.root() != nullptr) {
      client_process(c);
    }
    c.request = kt::xmldoc();
    c.response.save(c.response.root(), out);
    c.response = kt::xmldoc();
  }
  // The allocator keeps what a large document freed in this thread's arena, where the next large
  // request, on another worker, would not find it: hand it back now.
  if (body.size() >= kTrimAfter) malloc_trim(0);
  c.http_response.body_append(out.view());
  monitoring_notify(*c.g, MONITOR_TYPE_DEBUG, "ROOT_DOMAIN", c.peer_text, "GetDomain", body,
                    out.view());
  add_length(c.http_response);
  add_header(c.http_response, "Content-Type", "text/xml");
  add_header(c.http_response, "Server", kServerName);
  add_header(c.http_response, "Access-Control-Allow-Origin", "*");
  return client_unwrap_htmldoc(c);
}

namespace {

// Binds the token with that key to a WebSocket channel. 0, or 0x101 when there is no such token
// (also when it ended while being bound: whoever ended it may have looked at the channel before
// the binding was visible).
uint32_t websocket_bind(client& c, std::string_view key) {
  kt::ref_ptr<token> t = c.g->tokens.get_rw(key);
  if (!t) return E_TOKEN_NOT_FOUND;
  const uint64_t id = t->id;
  c.ws_domain_id.store(t->dom ? t->dom->id : 0);
  {
    std::lock_guard lock(c.outbox_lock);
    c.ws_token = t;
  }
  c.ws_token_id.store(id);
  c.flags.fetch_or(CLIENT_WS_BOUND);
  if (c.g->tokens.get_rw(key) == t) return E_OK;
  c.flags.fetch_and(static_cast<uint8_t>(~CLIENT_WS_BOUND));
  c.ws_token_id.store(0);
  std::lock_guard lock(c.outbox_lock);
  c.ws_token.reset();
  return E_TOKEN_NOT_FOUND;
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
  if (client_send_websocket_text(c, out.view()) != 0) return -1;
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

// Ends a connection: takes it off the server's list, closes TLS (with a close alert when the
// handshake was done) and the socket, and hands the connection slot back.
void client_end(std::unique_ptr<client> c, bool tls_done) {
  globals& g = *c->g;
  list_remove(g, c.get());
  websocket_stop(*c);
  if (c->ssl) {
    if (tls_done) SSL_shutdown(c->ssl.get());
    c->ssl.reset();
    ERR_clear_error();
  }
  ::shutdown(c->fd, SHUT_RDWR);
  ::close(c->fd);
  if (c->slot) c->slot->release();
  c.reset();
  g.open_connections.fetch_sub(1);
}

// A WebSocket channel: reads and answers frames, and sends the notifications other threads
// queue, until either side ends it, its token ends, or it stays unbound for the bind timeout.
void websocket_loop(client& c) {
  const uint64_t limit = request_limit(*c.g);
  const int64_t bind_deadline = now_ms() + CLIENT_WEBSOCKET_BIND_TIMEOUT * 1000;
  char chunk[kReadChunk];
  while ((c.flags.load() & CLIENT_ALIVE) != 0) {
    int timeout = -1;
    if ((c.flags.load() & CLIENT_WS_BOUND) == 0) {
      const int64_t left = bind_deadline - now_ms();
      if (left <= 0) break;
      timeout = static_cast<int>(left);
    }
    const int ready = websocket_wait(c, timeout);
    if (ready < 0) break;
    if (ready == 0) continue;
    const ssize_t n = client_read(c, chunk, sizeof chunk);
    if (n == kReadAgain) continue;
    if (n <= 0) break;
    if (c.input.length() + static_cast<uint64_t>(n) > limit) break;
    if (!c.input.append(chunk, static_cast<uint32_t>(n)) || !websocket_input(c)) break;
  }
}

// Answers a complete request (or a malformed one) on a worker thread; a WebSocket upgrade keeps
// the thread for the channel's life.
void client_serve(std::unique_ptr<client> c, bool malformed) {
  if (malformed) {
    answer_bad_request(*c);
  } else if (kt::websocket_handshake(c->http_request, c->http_response) == 0) {
    if (websocket_start(*c)) {
      c->flags.fetch_or(CLIENT_WEBSOCKET);
      client_unwrap_htmldoc(*c);
      c->http_request.reset();
      c->http_response.reset();
      websocket_loop(*c);
    }
  } else {
    c->http_response.set_status_line("HTTP/1.0", 200, "OK");
    if (c->http_request.method() == "GET") {
      client_process_get(*c);
    } else if (c->ssl && c->http_request.method() == "POST") {
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

// What a connection on a loop waits for after a TLS call without blocking returned rc.
kt::net_wait tls_next(SSL* ssl, int rc) {
  const int err = SSL_get_error(ssl, rc);
  ERR_clear_error();
  if (err == SSL_ERROR_WANT_READ) return kt::net_wait::read;
  if (err == SSL_ERROR_WANT_WRITE) return kt::net_wait::write;
  return kt::net_wait::close;
}

// A connection until its request is in: the TLS handshake and the reading of the request run on
// a network loop as the socket becomes ready, within the request deadline; then the connection
// moves to a worker thread to be answered.
class client_task final : public kt::net_task {
 public:
  explicit client_task(std::unique_ptr<client> c) : net_task(c->fd), c_(std::move(c)) {}
  ~client_task() override {
    if (c_) client_end(std::move(c_), handshaken_);
  }

  kt::net_wait step() override {
    client& c = *c_;
    if (!handshaken_) {
      if (c.tls_ctx != nullptr) {
        if (!c.ssl && !tls_setup(c)) return kt::net_wait::close;
        const int rc = SSL_accept(c.ssl.get());
        if (rc != 1) return tls_next(c.ssl.get(), rc);
        if (!tls_check_peer(c)) return kt::net_wait::close;
      }
      handshaken_ = true;
      reset_documents(c);
      c.flags.fetch_or(CLIENT_ALIVE);
    }
    const uint64_t limit = request_limit(*c.g);
    char chunk[kReadChunk];
    for (;;) {
      ssize_t n;
      if (c.ssl) {
        const int rc = SSL_read(c.ssl.get(), chunk, sizeof chunk);
        if (rc <= 0) return tls_next(c.ssl.get(), rc);
        n = rc;
      } else {
        n = ::recv(c.fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return kt::net_wait::read;
        if (n <= 0) return kt::net_wait::close;
      }
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
  auto c = std::make_unique<client>();
  c->g = &g;
  c->fd = fd;
  c->tls_ctx = tls_ctx;
  c->slot = std::move(slot);
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
  c->peer_text = text;
  c->peer.address = ntohl(peer.sin_addr.s_addr);
  c->peer.prefix = 32;
  c->peer_port = ntohs(peer.sin_port);

  if (tls_ctx == nullptr) {
    std::shared_lock wait_for_writers(g.netclients_lock);
  }
  const int fl = ::fcntl(fd, F_GETFL);
  if (fl < 0 || ::fcntl(fd, F_SETFL, fl | O_NONBLOCK) != 0) return -1;
  // Every connection is listed from the start, so that shutdown can reach it.
  list_append(g, c.get());
  g.open_connections.fetch_add(1);
  std::unique_ptr<kt::net_task> task = std::make_unique<client_task>(std::move(c));
  // When the loops have stopped, dropping the task ends the connection (socket and slot).
  if (g.net_loops->add(task) != 0) task.reset();
  return 0;
}

void clients_close_all(globals& g) {
  std::shared_lock lock(g.clients_lock);
  for (client* c = g.clients_head; c != nullptr; c = c->next) ::shutdown(c->fd, SHUT_RDWR);
}

}  // namespace orvane
