// TLS connections to the Orvane server with the net client's certificate (mutual TLS): the
// client context made from the PKCS#12 bundle, and one connection with deadlines on every step.
#ifndef ORVANE_HOSTD_TLS_H_
#define ORVANE_HOSTD_TLS_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "sutils/openssl_raii.h"

namespace orvane_hostd {

struct config;

// A client context: TLS 1.2 or 1.3, the bundle's certificate and key, the server's certificate
// checked against the configured authorities (or the system's) and the server name.
struct tls_context {
  kt::ssl_ctx_ptr ctx;
  std::string host;
  uint16_t port = 0;
  int timeout_ms = 10000;
};

// Builds the context from the configuration. 0, or -1 with a one-line reason (a missing or
// unreadable bundle, one without certificate or key, an unusable authority file).
int tls_context_create(const config& c, std::unique_ptr<tls_context>* out, std::string* error);

// One TLS connection. Every call gives up at the deadline set by connect() or extend().
class tls_conn {
 public:
  tls_conn() = default;
  ~tls_conn();
  tls_conn(const tls_conn&) = delete;
  tls_conn& operator=(const tls_conn&) = delete;

  // Connects and completes the handshake. 0, or -1 with *error.
  int connect(const tls_context& t, std::string* error);
  // Moves the deadline to timeout_ms from now.
  void extend(int timeout_ms);
  // Writes all bytes. 0 or -1.
  int write_all(std::string_view bytes);
  // Reads what is there (waiting for the deadline at most): > 0 bytes, 0 at the end of the
  // stream, -1 on error or time-out.
  long read_some(char* buf, size_t cap);
  // Like read_some, but returns -2 at once when nothing can be read without waiting.
  long read_now(char* buf, size_t cap);
  // Bytes decrypted and not read yet.
  bool pending() const;
  int fd() const { return fd_; }
  void close();

 private:
  bool wait(short events);

  int fd_ = -1;
  kt::ssl_ptr ssl_;
  int64_t deadline_ms_ = 0;
};

int64_t monotonic_ms();

}  // namespace orvane_hostd

#endif  // ORVANE_HOSTD_TLS_H_
