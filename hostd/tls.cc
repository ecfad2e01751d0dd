#include "hostd/tls.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "hostd/config.h"
#include "utils/files.h"

namespace orvane_hostd {

namespace {

constexpr size_t kMaxBundleSize = 1u << 20;

int connect_tcp(const std::string& host, uint16_t port, int64_t deadline, std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
    *error = "can't resolve " + host + ": " + gai_strerror(rc);
    return -1;
  }
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> list(found, ::freeaddrinfo);
  *error = "can't connect to " + host + ":" + service;
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) continue;
    if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) return fd;
    if (errno == EINPROGRESS) {
      const int64_t left = deadline - monotonic_ms();
      pollfd p{fd, POLLOUT, 0};
      int soerr = 0;
      socklen_t len = sizeof soerr;
      if (left > 0 && ::poll(&p, 1, static_cast<int>(left)) == 1 &&
          ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &len) == 0 && soerr == 0) {
        return fd;
      }
    }
    ::close(fd);
  }
  return -1;
}

}  // namespace

int64_t monotonic_ms() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int tls_context_create(const config& c, std::unique_ptr<tls_context>* out, std::string* error) {
  std::string bytes;
  if (kt::read_file(c.bundle.c_str(), bytes, kMaxBundleSize) != 0) {
    *error = "bundle " + c.bundle + " can't be read";
    return -1;
  }
  const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data());
  kt::pkcs12_ptr p12(d2i_PKCS12(nullptr, &p, static_cast<long>(bytes.size())));
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
  STACK_OF(X509)* chain = nullptr;
  if (!p12 || PKCS12_parse(p12.get(), nullptr, &key, &cert, &chain) != 1) {
    ERR_clear_error();
    *error = "bundle " + c.bundle + " is not a PKCS#12 bundle without password";
    return -1;
  }
  kt::evp_pkey_ptr key_owner(key);
  kt::x509_ptr cert_owner(cert);
  kt::x509_stack_ptr chain_owner(chain);
  if (!key_owner || !cert_owner) {
    *error = "bundle " + c.bundle + " holds no certificate and key";
    return -1;
  }

  auto t = std::make_unique<tls_context>();
  t->ctx.reset(SSL_CTX_new(TLS_client_method()));
  if (!t->ctx) {
    *error = "TLS: " + kt::openssl_error_string();
    return -1;
  }
  SSL_CTX* ctx = t->ctx.get();
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  if (SSL_CTX_use_certificate(ctx, cert_owner.get()) != 1 ||
      SSL_CTX_use_PrivateKey(ctx, key_owner.get()) != 1 || SSL_CTX_check_private_key(ctx) != 1) {
    ERR_clear_error();
    *error = "bundle " + c.bundle + ": certificate and key do not match";
    return -1;
  }
  const int ca_ok = c.ca.empty() ? SSL_CTX_set_default_verify_paths(ctx)
                                 : SSL_CTX_load_verify_locations(ctx, c.ca.c_str(), nullptr);
  if (ca_ok != 1) {
    ERR_clear_error();
    *error = "certificate authorities " + c.ca + " can't be loaded";
    return -1;
  }
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  t->host = c.server;
  t->port = c.port;
  t->timeout_ms = static_cast<int>(c.timeout * 1000);
  *out = std::move(t);
  return 0;
}

tls_conn::~tls_conn() {
  close();
}

void tls_conn::close() {
  ssl_.reset();
  ERR_clear_error();
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void tls_conn::extend(int timeout_ms) {
  deadline_ms_ = monotonic_ms() + timeout_ms;
}

bool tls_conn::wait(short events) {
  for (;;) {
    const int64_t left = deadline_ms_ - monotonic_ms();
    if (left <= 0) return false;
    pollfd p{fd_, events, 0};
    const int n = ::poll(&p, 1, static_cast<int>(left));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

int tls_conn::connect(const tls_context& t, std::string* error) {
  close();
  extend(t.timeout_ms);
  fd_ = connect_tcp(t.host, t.port, deadline_ms_, error);
  if (fd_ < 0) return -1;
  ssl_.reset(SSL_new(t.ctx.get()));
  if (!ssl_ || SSL_set_fd(ssl_.get(), fd_) != 1) {
    *error = "TLS: " + kt::openssl_error_string();
    close();
    return -1;
  }
  // The server's name (or address) must be the certificate's.
  in6_addr any{};
  const bool is_address = ::inet_pton(AF_INET, t.host.c_str(), &any) == 1 ||
                          ::inet_pton(AF_INET6, t.host.c_str(), &any) == 1;
  X509_VERIFY_PARAM* param = SSL_get0_param(ssl_.get());
  if (is_address) {
    X509_VERIFY_PARAM_set1_ip_asc(param, t.host.c_str());
  } else {
    SSL_set_tlsext_host_name(ssl_.get(), t.host.c_str());
    SSL_set1_host(ssl_.get(), t.host.c_str());
  }
  for (;;) {
    const int rc = SSL_connect(ssl_.get());
    if (rc == 1) return 0;
    const int e = SSL_get_error(ssl_.get(), rc);
    if ((e == SSL_ERROR_WANT_READ && wait(POLLIN)) ||
        (e == SSL_ERROR_WANT_WRITE && wait(POLLOUT))) {
      continue;
    }
    const long verify = SSL_get_verify_result(ssl_.get());
    *error = verify != X509_V_OK
                 ? std::string("TLS: server certificate: ") + X509_verify_cert_error_string(verify)
                 : "TLS handshake with " + t.host + " failed: " + kt::openssl_error_string();
    close();
    return -1;
  }
}

int tls_conn::write_all(std::string_view bytes) {
  while (!bytes.empty()) {
    if (!ssl_) return -1;
    const int n = SSL_write(ssl_.get(), bytes.data(), static_cast<int>(bytes.size()));
    if (n > 0) {
      bytes.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    const int e = SSL_get_error(ssl_.get(), n);
    if ((e == SSL_ERROR_WANT_READ && wait(POLLIN)) ||
        (e == SSL_ERROR_WANT_WRITE && wait(POLLOUT))) {
      continue;
    }
    ERR_clear_error();
    return -1;
  }
  return 0;
}

long tls_conn::read_now(char* buf, size_t cap) {
  if (!ssl_) return -1;
  const int n = SSL_read(ssl_.get(), buf, static_cast<int>(cap));
  if (n > 0) return n;
  const int e = SSL_get_error(ssl_.get(), n);
  if (e == SSL_ERROR_ZERO_RETURN) return 0;
  if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return -2;
  ERR_clear_error();
  return e == SSL_ERROR_SYSCALL && n == 0 ? 0 : -1;
}

long tls_conn::read_some(char* buf, size_t cap) {
  for (;;) {
    const long n = read_now(buf, cap);
    if (n != -2) return n;
    if (!wait(POLLIN)) return -1;
  }
}

bool tls_conn::pending() const {
  return ssl_ && SSL_pending(ssl_.get()) > 0;
}

}  // namespace orvane_hostd
