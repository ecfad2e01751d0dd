#include "tls_client.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/rand.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "buffers/buffer.h"
#include "htmldoc/htmldoc.h"
#include "utils/base64.h"
#include "utils/numbers.h"

namespace ctl {

namespace {

// Largest answer read: the server's answers stay far below (a key bundle, an audit export).
constexpr size_t kMaxAnswer = 256u * 1024 * 1024;

std::string openssl_error() {
  const unsigned long e = ERR_get_error();
  ERR_clear_error();
  if (e == 0) return "unknown TLS error";
  char text[256];
  ERR_error_string_n(e, text, sizeof text);
  return text;
}

// Waits until fd is ready for events; false on timeout or failure.
bool wait_fd(int fd, short events, int timeout_ms) {
  pollfd p{fd, events, 0};
  while (true) {
    const int rc = ::poll(&p, 1, timeout_ms);
    if (rc > 0) return true;
    if (rc == 0) return false;
    if (errno != EINTR) return false;
  }
}

int tcp_connect(const url& u, int timeout_ms, std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const std::string port = std::to_string(u.port);
  if (const int rc = ::getaddrinfo(u.host.c_str(), port.c_str(), &hints, &list); rc != 0) {
    *error = u.host + ": " + ::gai_strerror(rc);
    return -1;
  }
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(list, ::freeaddrinfo);
  std::string last = "no address";
  for (addrinfo* a = list; a != nullptr; a = a->ai_next) {
    const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) continue;
    // A request or frame written right after the handshake's last message must not wait for
    // its acknowledgement.
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    int rc = ::connect(fd, a->ai_addr, a->ai_addrlen);
    if (rc != 0 && errno == EINPROGRESS) {
      int err = ETIMEDOUT;
      socklen_t len = sizeof err;
      if (wait_fd(fd, POLLOUT, timeout_ms) &&
          ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0) {
        errno = err;
        rc = err == 0 ? 0 : -1;
      } else {
        errno = ETIMEDOUT;
      }
    }
    if (rc == 0) return fd;
    last = std::strerror(errno);
    ::close(fd);
  }
  *error = "cannot connect to " + u.host + ":" + port + ": " + last;
  return -1;
}

bool is_pkcs12(const std::string& path) {
  const auto ends = [&](const char* suffix) {
    const size_t n = std::strlen(suffix);
    return path.size() >= n && path.compare(path.size() - n, n, suffix) == 0;
  };
  return ends(".pfx") || ends(".p12") || ends(".PFX") || ends(".P12");
}

bool load_pkcs12(SSL_CTX* ctx, const tls_options& o, std::string* error) {
  std::FILE* f = std::fopen(o.cert_file.c_str(), "rbe");
  if (f == nullptr) {
    *error = o.cert_file + ": " + std::strerror(errno);
    return false;
  }
  kt::pkcs12_ptr p12(d2i_PKCS12_fp(f, nullptr));
  std::fclose(f);
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
  STACK_OF(X509)* chain = nullptr;
  // The server's bundles carry no password: try the one given, then none.
  const bool parsed =
      p12 != nullptr &&
      (PKCS12_parse(p12.get(), o.cert_password.c_str(), &key, &cert, &chain) == 1 ||
       (o.cert_password.empty() && PKCS12_parse(p12.get(), nullptr, &key, &cert, &chain) == 1));
  kt::evp_pkey_ptr key_owner(key);
  kt::x509_ptr cert_owner(cert);
  kt::x509_stack_ptr chain_owner(chain);
  if (!parsed || key == nullptr || cert == nullptr) {
    *error = o.cert_file + ": not a readable PKCS#12 bundle (" + openssl_error() + ")";
    return false;
  }
  if (SSL_CTX_use_certificate(ctx, cert) != 1 || SSL_CTX_use_PrivateKey(ctx, key) != 1) {
    *error = o.cert_file + ": " + openssl_error();
    return false;
  }
  for (int i = 0; chain != nullptr && i < sk_X509_num(chain); ++i) {
    X509* extra = sk_X509_value(chain, i);
    if (X509_up_ref(extra) != 1 || SSL_CTX_add_extra_chain_cert(ctx, extra) != 1) {
      X509_free(extra);
      *error = o.cert_file + ": " + openssl_error();
      return false;
    }
  }
  return true;
}

bool load_pem(SSL_CTX* ctx, const tls_options& o, std::string* error) {
  const std::string& key = o.key_file.empty() ? o.cert_file : o.key_file;
  if (SSL_CTX_use_certificate_chain_file(ctx, o.cert_file.c_str()) != 1) {
    *error = o.cert_file + ": no certificate (" + openssl_error() + ")";
    return false;
  }
  if (SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(ctx) != 1) {
    *error = key + ": no matching private key (" + openssl_error() + ")";
    return false;
  }
  return true;
}

kt::ssl_ctx_ptr make_context(const tls_options& o, std::string* error) {
  kt::ssl_ctx_ptr ctx(SSL_CTX_new(TLS_client_method()));
  if (!ctx) {
    *error = openssl_error();
    return {};
  }
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
  SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
  const int loaded = o.ca_file.empty()
                         ? SSL_CTX_set_default_verify_paths(ctx.get())
                         : SSL_CTX_load_verify_locations(ctx.get(), o.ca_file.c_str(), nullptr);
  if (loaded != 1) {
    *error = (o.ca_file.empty() ? std::string("system CA store") : o.ca_file) +
             ": cannot load CA certificates (" + openssl_error() + ")";
    return {};
  }
  if (!o.cert_file.empty()) {
    const bool ok =
        is_pkcs12(o.cert_file) ? load_pkcs12(ctx.get(), o, error) : load_pem(ctx.get(), o, error);
    if (!ok) return {};
  }
  return ctx;
}

// Runs a non-blocking TLS call to completion within the timeout. Returns its positive result,
// 0 for a clean close, -1 failure, -2 timeout.
template <typename Call>
long tls_step(SSL* ssl, int fd, int timeout_ms, Call call) {
  while (true) {
    ERR_clear_error();
    const int rc = call();
    if (rc > 0) return rc;
    const int err = SSL_get_error(ssl, rc);
    short events = 0;
    if (err == SSL_ERROR_WANT_READ) {
      events = POLLIN;
    } else if (err == SSL_ERROR_WANT_WRITE) {
      events = POLLOUT;
    } else if (err == SSL_ERROR_ZERO_RETURN) {
      return 0;
    } else {
      return -1;
    }
    if (!wait_fd(fd, events, timeout_ms)) return -2;
  }
}

}  // namespace

bool parse_url(std::string_view text, url* out, std::string* error) {
  url u;
  std::string_view rest = text;
  if (rest.substr(0, 8) == "https://") {
    rest.remove_prefix(8);
  } else if (rest.substr(0, 7) == "http://") {
    rest.remove_prefix(7);
    u.tls = false;
    u.port = 80;
  } else if (rest.find("://") != std::string_view::npos) {
    *error = "server URL must start with https:// (" + std::string(text) + ")";
    return false;
  }
  const size_t slash = rest.find('/');
  if (slash != std::string_view::npos) {
    u.path = std::string(rest.substr(slash));
    rest = rest.substr(0, slash);
  }
  std::string_view port;
  if (!rest.empty() && rest[0] == '[') {
    const size_t close = rest.find(']');
    if (close == std::string_view::npos) {
      *error = "bad host in " + std::string(text);
      return false;
    }
    u.host = std::string(rest.substr(1, close - 1));
    rest.remove_prefix(close + 1);
    if (!rest.empty() && rest[0] == ':') port = rest.substr(1);
  } else {
    const size_t colon = rest.find(':');
    u.host = std::string(rest.substr(0, colon));
    if (colon != std::string_view::npos) port = rest.substr(colon + 1);
  }
  if (u.host.empty()) {
    *error = "no host in server URL " + std::string(text);
    return false;
  }
  if (!port.empty()) {
    uint64_t value = 0;
    if (!kt::decimal_parse(port, 65535, &value) || value == 0) {
      *error = "bad port in server URL " + std::string(text);
      return false;
    }
    u.port = static_cast<uint16_t>(value);
  }
  *out = u;
  return true;
}

std::unique_ptr<connection> connection::open(const url& u, const tls_options& opts,
                                             std::string* error) {
  std::unique_ptr<connection> c(new connection());
  if (u.tls) {
    c->ctx_ = make_context(opts, error);
    if (!c->ctx_) return nullptr;
  }
  c->fd_ = tcp_connect(u, opts.timeout_ms, error);
  if (c->fd_ < 0) return nullptr;
  if (!u.tls) return c;

  c->ssl_.reset(SSL_new(c->ctx_.get()));
  if (!c->ssl_ || SSL_set_fd(c->ssl_.get(), c->fd_) != 1) {
    *error = openssl_error();
    return nullptr;
  }
  SSL* ssl = c->ssl_.get();
  // The name checked in the certificate: an address literal as an IP entry, else a DNS name
  // (also sent as SNI).
  X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
  if (X509_VERIFY_PARAM_set1_ip_asc(param, u.host.c_str()) != 1) {
    SSL_set_tlsext_host_name(ssl, u.host.c_str());
    X509_VERIFY_PARAM_set1_host(param, u.host.c_str(), 0);
  }
  const long rc = tls_step(ssl, c->fd_, opts.timeout_ms, [&] { return SSL_connect(ssl); });
  if (rc <= 0) {
    const long verify = SSL_get_verify_result(ssl);
    if (verify != X509_V_OK) {
      *error = "TLS: server certificate not trusted (" +
               std::string(X509_verify_cert_error_string(verify)) + "); see --ca";
    } else {
      *error = rc == -2 ? "TLS handshake timed out" : "TLS handshake failed: " + openssl_error();
    }
    return nullptr;
  }
  return c;
}

connection::~connection() {
  if (ssl_) {
    SSL_shutdown(ssl_.get());
    ERR_clear_error();
  }
  ssl_.reset();
  if (fd_ >= 0) ::close(fd_);
}

bool connection::write_all(std::string_view bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const char* p = bytes.data() + done;
    const int n = static_cast<int>(std::min<size_t>(bytes.size() - done, 1 << 20));
    long rc = 0;
    if (ssl_) {
      rc = tls_step(ssl_.get(), fd_, 30000, [&] { return SSL_write(ssl_.get(), p, n); });
    } else {
      const ssize_t w = ::send(fd_, p, static_cast<size_t>(n), MSG_NOSIGNAL);
      if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
        if (!wait_fd(fd_, POLLOUT, 30000)) return false;
        continue;
      }
      rc = w;
    }
    if (rc <= 0) return false;
    done += static_cast<size_t>(rc);
  }
  return true;
}

long connection::read_some(char* buffer, size_t size, int timeout_ms) {
  const int n = static_cast<int>(std::min<size_t>(size, 1 << 20));
  if (ssl_) {
    if (SSL_pending(ssl_.get()) == 0 && !wait_fd(fd_, POLLIN, timeout_ms)) return -2;
    const long rc =
        tls_step(ssl_.get(), fd_, timeout_ms, [&] { return SSL_read(ssl_.get(), buffer, n); });
    return rc == -1 && SSL_get_shutdown(ssl_.get()) != 0 ? 0 : rc;
  }
  while (true) {
    if (!wait_fd(fd_, POLLIN, timeout_ms)) return -2;
    const ssize_t r = ::recv(fd_, buffer, static_cast<size_t>(n), 0);
    if (r < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    return r < 0 ? -1 : r;
  }
}

bool http_post(const url& u, const tls_options& opts, std::string_view body, http_reply* out,
               std::string* error) {
  std::unique_ptr<connection> c = connection::open(u, opts, error);
  if (!c) return false;

  kt::htmldoc request;
  request.set_method("POST");
  request.mutable_uri() = u.path;
  request.set_proto("HTTP/1.0");
  kt::htmldoc_add_option(request.headers(), "Host", u.host);
  kt::htmldoc_add_option(request.headers(), "Content-Type", "text/xml");
  kt::htmldoc_add_option(request.headers(), "Content-Length", std::to_string(body.size()));
  kt::htmldoc_add_option(request.headers(), "User-Agent", "orvanectl/" ORVANE_VERSION);
  if (request.body_append(body) != 0) {
    *error = "request too large";
    return false;
  }
  kt::buffer bytes;
  if (request.unwrap(bytes, true) != 0 || !c->write_all(bytes.view())) {
    *error = "cannot send the request to " + u.host;
    return false;
  }

  std::string raw;
  char chunk[16384];
  while (true) {
    const long n = c->read_some(chunk, sizeof chunk, opts.timeout_ms);
    if (n == 0) break;
    if (n < 0) {
      if (!raw.empty() && n == -1) break;  // closed without a TLS close alert
      *error = n == -2 ? "no answer from the server in time" : "connection lost";
      return false;
    }
    if (raw.size() + static_cast<size_t>(n) > kMaxAnswer) {
      *error = "answer too large";
      return false;
    }
    raw.append(chunk, static_cast<size_t>(n));
  }

  // The status line parses as a request line: method = protocol, uri = status code.
  kt::htmldoc answer;
  if (raw.compare(0, 5, "HTTP/") != 0 || answer.wrap(raw) != 0) {
    *error = "the server's answer is not HTTP";
    return false;
  }
  out->status = static_cast<int>(kt::decimal_prefix(answer.uri(), 999));
  out->body.assign(answer.body());
  return true;
}

std::string websocket_client_frame(std::string_view payload) {
  std::string frame;
  frame += static_cast<char>(0x81);
  if (payload.size() < 126) {
    frame += static_cast<char>(0x80 | payload.size());
  } else {
    frame += static_cast<char>(0x80 | 126);
    frame += static_cast<char>((payload.size() >> 8) & 0xff);
    frame += static_cast<char>(payload.size() & 0xff);
  }
  unsigned char mask[4] = {0x5a, 0xc3, 0x3c, 0xa5};
  RAND_bytes(mask, sizeof mask);
  frame.append(reinterpret_cast<const char*>(mask), sizeof mask);
  for (size_t i = 0; i < payload.size(); ++i) {
    frame += static_cast<char>(payload[i] ^ static_cast<char>(mask[i % 4]));
  }
  return frame;
}

bool websocket_upgrade(connection& conn, const url& u, int timeout_ms, std::string* rest,
                       std::string* error) {
  unsigned char nonce[16];
  RAND_bytes(nonce, sizeof nonce);
  kt::htmldoc request;
  request.set_method("GET");
  request.mutable_uri() = u.path;
  request.set_proto("HTTP/1.1");
  kt::htmldoc_add_option(request.headers(), "Host", u.host);
  kt::htmldoc_add_option(request.headers(), "Upgrade", "websocket");
  kt::htmldoc_add_option(request.headers(), "Connection", "Upgrade");
  kt::htmldoc_add_option(request.headers(), "Sec-WebSocket-Key",
                         kt::base64encode_(nonce, sizeof nonce));
  kt::htmldoc_add_option(request.headers(), "Sec-WebSocket-Version", "13");
  kt::buffer bytes;
  if (request.unwrap(bytes, true) != 0 || !conn.write_all(bytes.view())) {
    *error = "cannot send the upgrade request";
    return false;
  }
  std::string head;
  char chunk[4096];
  size_t end = std::string::npos;
  while ((end = head.find("\r\n\r\n")) == std::string::npos) {
    const long n = conn.read_some(chunk, sizeof chunk, timeout_ms);
    if (n <= 0 || head.size() > 64 * 1024) {
      *error = "no upgrade answer";
      return false;
    }
    head.append(chunk, static_cast<size_t>(n));
  }
  const std::string status = head.substr(0, head.find("\r\n"));
  if (status.find(" 101 ") == std::string::npos) {
    *error = "the server refused the WebSocket upgrade (" + status + ")";
    return false;
  }
  *rest = head.substr(end + 4);
  return true;
}

}  // namespace ctl
