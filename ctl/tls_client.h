// Connections to the server: a TCP connection to the host and port of an "https://" (or
// "http://") URL, with TLS 1.2 or 1.3 that verifies the server's certificate against a CA file
// (or the system's trust store) and its name, and an optional client certificate (PEM, or the
// PKCS#12 bundle the server issues for a net client). One HTTP exchange per connection, as the
// server closes it after its answer; a WebSocket keeps it open.
#ifndef ORVANE_CTL_TLS_CLIENT_H_
#define ORVANE_CTL_TLS_CLIENT_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "sutils/openssl_raii.h"

namespace ctl {

struct url {
  bool tls = true;
  std::string host;
  uint16_t port = 443;
  std::string path = "/";
};

// Parses "https://host[:port][/path]" or "http://...", or a bare "host[:port]" (HTTPS). IPv6
// literals go in brackets. Returns false with a message for anything else.
bool parse_url(std::string_view text, url* out, std::string* error);

struct tls_options {
  std::string ca_file;        // trusted CA certificates (PEM); empty: the system's
  std::string cert_file;      // client certificate: PEM, or PKCS#12 (.pfx / .p12)
  std::string key_file;       // its key when PEM and not in cert_file
  std::string cert_password;  // PKCS#12 password (the server's bundles have none)
  int timeout_ms = 30000;     // connect, handshake and each read or write
};

class connection {
 public:
  // Connects and, for TLS, completes the handshake. nullptr with a message on failure.
  static std::unique_ptr<connection> open(const url& u, const tls_options& opts,
                                          std::string* error);
  ~connection();
  connection(const connection&) = delete;
  connection& operator=(const connection&) = delete;

  // Writes every byte; false on failure or timeout.
  bool write_all(std::string_view bytes);
  // Reads what is there: > 0 bytes read, 0 the peer closed, -1 failure, -2 no byte within
  // timeout_ms (-1 waits without limit).
  long read_some(char* buffer, size_t size, int timeout_ms);
  int fd() const { return fd_; }

 private:
  connection() = default;
  int fd_ = -1;
  kt::ssl_ctx_ptr ctx_;
  kt::ssl_ptr ssl_;
};

struct http_reply {
  int status = 0;
  std::string body;
};

// POSTs body to the URL and reads the whole answer (the server closes after it). False with a
// message when the server cannot be reached or the answer is not HTTP.
bool http_post(const url& u, const tls_options& opts, std::string_view body, http_reply* out,
               std::string* error);

// WebSocket over a connection: one masked client text frame, as a client must send (payloads
// under 64 KiB), and the upgrade request of u.path, whose answer's head is read; bytes after it
// stay in *rest. False with a message when the server does not switch protocols.
std::string websocket_client_frame(std::string_view payload);
bool websocket_upgrade(connection& conn, const url& u, int timeout_ms, std::string* rest,
                       std::string* error);

}  // namespace ctl

#endif  // ORVANE_CTL_TLS_CLIENT_H_
