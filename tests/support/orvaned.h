// Test support: the real orvaned started on a temporary root and free ports, and clients that
// talk to it over plain TCP and over TLS (OpenSSL).
#ifndef ORVANE_TESTS_SUPPORT_ORVANED_H_
#define ORVANE_TESTS_SUPPORT_ORVANED_H_

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <openssl/ssl.h>

#include "support/process.h"
#include "sutils/openssl_raii.h"

namespace orvane_test {

// A parsed HTTP answer.
struct http_answer {
  bool ok = false;  // a whole answer was read
  int status = 0;
  std::string status_line;
  std::vector<std::pair<std::string, std::string>> headers;  // in order
  std::string body;
  std::string raw;
  std::string header(const std::string& name) const;  // first header with that name, or ""
};

// Client certificate and key (PEM files) for a TLS connection.
struct client_identity {
  std::string cert_file;
  std::string key_file;
};

// Sends raw bytes over plain TCP and reads until the server closes (or the timeout passes).
std::string tcp_exchange(uint16_t port, const std::string& bytes, int timeout_ms = 10000);
// A client's TLS session carried from one exchange to the next, which then resumes it.
struct tls_resumption {
  int max_version = TLS1_2_VERSION;  // TLS1_3_VERSION: TLS 1.3 tickets
  bool tickets = true;               // false: resumption by session identifier only
  kt::ssl_session_ptr session;       // the last exchange's session
  bool reused = false;               // the last exchange resumed the session before it
};

// The same over TLS 1.2 (or as resume says, resuming its session and keeping the new one).
std::string tls_exchange(uint16_t port, const std::string& bytes, int timeout_ms = 10000,
                         const client_identity* identity = nullptr,
                         tls_resumption* resume = nullptr);
http_answer parse_http(const std::string& raw);

// A TCP port the server can listen on, outside the kernel's ephemeral range when possible.
uint16_t free_port();

class orvaned_process {
 public:
  // Prepares a root with development certificates (unless without_certs) and free ports.
  explicit orvaned_process(bool without_certs = false);
  ~orvaned_process();
  orvaned_process(const orvaned_process&) = delete;
  orvaned_process& operator=(const orvaned_process&) = delete;

  // Starts the server and waits until it logged that its listeners are open and one accepts.
  // When the server exits because another program took one of the ports chosen here, new ports
  // are chosen (the port members change) and it is started again, a few times at most. False on
  // any other failure; log() then tells why.
  bool start();
  // Sends SIGINT and waits for the exit; returns the exit status (or -1).
  int stop();
  // SIGKILL, no clean shutdown.
  void kill_hard();
  bool running() const { return pid_ > 0; }
  // The exit status of a server that ended during start() (-1 when it did not exit normally).
  int start_exit_status() const { return start_exit_status_; }
  pid_t pid() const { return pid_; }

  // POSTs a command document over HTTPS; returns the answer.
  http_answer post(const std::string& document, const client_identity* identity = nullptr,
                   tls_resumption* resume = nullptr);
  // Replaces the development certificates (ECDSA P-256) with RSA-2048 ones; before start().
  void use_rsa_certificates();
  // GET over plain HTTP or HTTPS.
  http_answer get(const std::string& target, bool tls);
  // getToken as a user; "" when refused.
  std::string token(const std::string& user = "Administrator",
                    const std::string& password = "tolbrine", const std::string& domain = "ORVANE");
  // The result code of the "res" element of an answer, or -1.
  static long code(const http_answer& a);

  const std::string& root() const { return dir_.path(); }
  std::string current() const { return dir_.path() + "/current"; }
  uint16_t http_port = 0;
  uint16_t monitor_port = 0;
  uint16_t https_port = 0;
  uint16_t metrics_port = 0;
  std::string log_file() const { return dir_.path() + "/orvaned.log"; }
  std::string log() const;  // the server's output so far
  std::vector<std::string> extra_env;

 private:
  enum class start_result { started, port_taken, failed };
  start_result start_once();
  void pick_ports();
  bool env_overrides(const std::string& name) const;  // extra_env sets the variable

  temp_dir dir_;
  pid_t pid_ = -1;
  int start_exit_status_ = -1;
};

}  // namespace orvane_test

#endif  // ORVANE_TESTS_SUPPORT_ORVANED_H_
