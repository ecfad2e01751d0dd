#include "support/orvaned.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "support/loopback.h"
#include "support/server_fixture.h"

extern char** environ;

namespace orvane_test {

namespace {

// The server closes a connection as soon as a request passes its limits, while the client may
// still be writing: such a write must fail with EPIPE, not end the test program with SIGPIPE.
[[maybe_unused]] const bool sigpipe_ignored = [] {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  ::sigemptyset(&ignore.sa_mask);
  return ::sigaction(SIGPIPE, &ignore, nullptr) == 0;
}();

}  // namespace

namespace {

namespace fs = std::filesystem;

int connect_to(uint16_t port, int timeout_ms) {
  return orvane_test::loopback_connect(port, timeout_ms, timeout_ms);
}

// Development certificates made once per test program: ECDSA, or RSA.
const std::string& shared_certs(bool rsa = false) {
  static std::string dirs[2];
  static std::once_flag once[2];
  std::call_once(once[rsa], [rsa] {
    static temp_dir holders[2];
    std::string& dir = dirs[rsa];
    dir = holders[rsa].path() + "/certs";
    const run_result r =
        run_program({"/bin/bash", std::string(ORVANE_SOURCE_DIR) + "/scripts/dev-certs.sh",
                     rsa ? "--rsa" : "--ecdsa", dir});
    if (r.status != 0) dir.clear();
  });
  return dirs[rsa];
}

}  // namespace

std::string http_answer::header(const std::string& name) const {
  for (const auto& [n, v] : headers) {
    if (n == name) return v;
  }
  return {};
}

http_answer parse_http(const std::string& raw) {
  http_answer a;
  a.raw = raw;
  const size_t end = raw.find("\r\n\r\n");
  if (end == std::string::npos) return a;
  std::istringstream head(raw.substr(0, end));
  std::string line;
  std::getline(head, line);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  a.status_line = line;
  if (line.size() > 12) a.status = std::atoi(line.c_str() + 9);
  while (std::getline(head, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    size_t v = colon + 1;
    while (v < line.size() && line[v] == ' ') ++v;
    a.headers.emplace_back(line.substr(0, colon), line.substr(v));
  }
  a.body = raw.substr(end + 4);
  a.ok = true;
  return a;
}

std::string tcp_exchange(uint16_t port, const std::string& bytes, int timeout_ms) {
  const int fd = connect_to(port, timeout_ms);
  if (fd < 0) return {};
  std::string out;
  if (::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size())) {
    char chunk[4096];
    for (;;) {
      const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      out.append(chunk, static_cast<size_t>(n));
    }
  }
  ::close(fd);
  return out;
}

std::string tls_exchange(uint16_t port, const std::string& bytes, int timeout_ms,
                         const client_identity* identity, tls_resumption* resume) {
  const int fd = connect_to(port, timeout_ms);
  if (fd < 0) return {};
  std::string out;
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(ctx, resume != nullptr ? resume->max_version : TLS1_2_VERSION);
  if (resume != nullptr && !resume->tickets) SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  if (identity != nullptr) {
    SSL_CTX_use_certificate_file(ctx, identity->cert_file.c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_use_PrivateKey_file(ctx, identity->key_file.c_str(), SSL_FILETYPE_PEM);
  }
  SSL* ssl = SSL_new(ctx);
  SSL_set_fd(ssl, fd);
  if (resume != nullptr && resume->session) SSL_set_session(ssl, resume->session.get());
  if (SSL_connect(ssl) == 1) {
    if (resume != nullptr) resume->reused = SSL_session_reused(ssl) == 1;
    size_t sent = 0;
    while (sent < bytes.size()) {
      const int n = SSL_write(ssl, bytes.data() + sent, static_cast<int>(bytes.size() - sent));
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    char chunk[4096];
    for (;;) {
      const int n = SSL_read(ssl, chunk, sizeof chunk);
      if (n <= 0) break;
      out.append(chunk, static_cast<size_t>(n));
    }
    // Read to the end, so a TLS 1.3 ticket sent after the handshake has arrived. The server
    // closed the connection in order: freeing the connection must not end the session.
    if (resume != nullptr) {
      resume->session.reset(SSL_get1_session(ssl));
      SSL_set_shutdown(ssl, SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN);
    }
  }
  ERR_clear_error();
  SSL_free(ssl);
  SSL_CTX_free(ctx);
  ::close(fd);
  return out;
}

namespace {

// The kernel's range of ephemeral ports (the local ports of outgoing connections).
std::pair<unsigned, unsigned> ephemeral_range() {
  std::ifstream in("/proc/sys/net/ipv4/ip_local_port_range");
  unsigned low = 0;
  unsigned high = 0;
  if (!(in >> low >> high) || low > high) return {32768, 60999};
  return {low, high};
}

// Whether the server could listen on the port (all addresses, SO_REUSEADDR, as it does).
bool port_usable(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  a.sin_port = htons(port);
  const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

// A port the kernel hands out itself (ephemeral).
uint16_t kernel_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

// The ports a bind failure in the log names ("bind(<address>:<port>): Address already in use").
std::vector<uint16_t> ports_in_use(const std::string& log) {
  std::vector<uint16_t> ports;
  for (size_t at = log.find("bind("); at != std::string::npos; at = log.find("bind(", at + 5)) {
    const size_t close = log.find("): Address already in use", at);
    const size_t line_end = log.find('\n', at);
    if (close == std::string::npos || (line_end != std::string::npos && close > line_end)) continue;
    const size_t colon = log.rfind(':', close);
    if (colon == std::string::npos || colon < at) continue;
    ports.push_back(static_cast<uint16_t>(std::atoi(log.c_str() + colon + 1)));
  }
  return ports;
}

}  // namespace

uint16_t free_port() {
  // Ports outside the ephemeral range: an outgoing connection of another program cannot take
  // one of them between the choice and the server's bind.
  static std::mt19937 rng(std::random_device{}());
  const auto [low, high] = ephemeral_range();
  constexpr unsigned kFirst = 10000;
  for (int i = 0; i < 200; ++i) {
    const unsigned port = kFirst + rng() % (65536 - kFirst);
    if (port >= low && port <= high) continue;
    if (port_usable(static_cast<uint16_t>(port))) return static_cast<uint16_t>(port);
  }
  return kernel_port();
}

void orvaned_process::pick_ports() {
  http_port = free_port();
  do {
    monitor_port = free_port();
  } while (monitor_port == http_port);
  do {
    https_port = free_port();
  } while (https_port == http_port || https_port == monitor_port);
  do {
    metrics_port = free_port();
  } while (metrics_port == http_port || metrics_port == monitor_port || metrics_port == https_port);
}

orvaned_process::orvaned_process(bool without_certs) {
  pick_ports();
  fs::create_directories(root() + "/current");
  install_test_ca(root());
  if (!without_certs && !shared_certs().empty()) {
    fs::copy(shared_certs(), root() + "/certs", fs::copy_options::recursive);
  }
}

orvaned_process::~orvaned_process() {
  if (pid_ > 0) stop();
}

bool orvaned_process::env_overrides(const std::string& name) const {
  for (const auto& e : extra_env) {
    if (e.compare(0, name.size() + 1, name + "=") == 0) return true;
  }
  return false;
}

bool orvaned_process::start() {
  // A port of ours that another program took meanwhile (the server then exits on its bind
  // failure) is chosen again; any other failure is final.
  for (int attempt = 0;; ++attempt) {
    const start_result r = start_once();
    if (r == start_result::started) return true;
    if (r != start_result::port_taken || attempt == 4) return false;
    pick_ports();
  }
}

orvaned_process::start_result orvaned_process::start_once() {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "ORVANE_", 7) != 0) env.emplace_back(*e);
  }
  // extra_env entries replace the defaults of the same name.
  for (const std::string& e :
       {"ORVANE_ROOT=" + root(), "ORVANE_MACHINE_ID_FILE=" + root() + "/this",
        "ORVANE_HTTP_PORT=" + std::to_string(http_port),
        "ORVANE_MONITOR_PORT=" + std::to_string(monitor_port),
        "ORVANE_HTTPS_PORT=" + std::to_string(https_port),
        "ORVANE_METRICS_PORT=" + std::to_string(metrics_port)}) {
    if (!env_overrides(e.substr(0, e.find('=')))) env.push_back(e);
  }
  for (const auto& e : extra_env) env.push_back(e);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string program = build_path("orvaned");
  char* argv[] = {program.data(), nullptr};

  // What this start writes to the log begins here.
  std::error_code ec;
  const auto log_start = fs::exists(log_file(), ec) ? fs::file_size(log_file(), ec) : 0;
  auto new_log = [&] {
    std::ifstream in(log_file());
    in.seekg(static_cast<std::streamoff>(log_start));
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  };

  // The child only makes async-signal-safe calls: everything it needs is prepared here.
  const std::string log_path = log_file();
  const pid_t pid = fork();
  if (pid == 0) {
    const int log = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    dup2(log, 1);
    dup2(log, 2);
    execve(argv[0], argv, envp.data());
    _exit(127);
  }
  if (pid < 0) return start_result::failed;
  pid_ = pid;
  const bool tls = fs::exists(root() + "/certs/orvane.pem");
  // Ready once the server logged that its listeners are open and one accepts. Generous, for
  // sanitizer builds; a server that exits ends the wait at once.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      start_exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      for (uint16_t port : ports_in_use(new_log())) {
        if ((port == http_port && !env_overrides("ORVANE_HTTP_PORT")) ||
            (port == monitor_port && !env_overrides("ORVANE_MONITOR_PORT")) ||
            (port == https_port && !env_overrides("ORVANE_HTTPS_PORT")) ||
            (port == metrics_port && !env_overrides("ORVANE_METRICS_PORT"))) {
          return start_result::port_taken;
        }
      }
      return start_result::failed;
    }
    if (const std::string started = new_log();
        started.find("orvaned listening") != std::string::npos) {
      // Certificates the server refused leave it without HTTPS: the plain port answers then.
      const bool https = tls && started.find("SSL server disabled") == std::string::npos;
      const int fd = connect_to(https ? https_port : http_port, 1000);
      if (fd >= 0) {
        ::close(fd);
        return start_result::started;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill_hard();
  return start_result::failed;
}

int orvaned_process::stop() {
  if (pid_ <= 0) return -1;
  ::kill(pid_, SIGINT);
  int status = 0;
  // Generous, for sanitizer builds; returns as soon as the server has exited.
  for (int i = 0; i < 1200; ++i) {
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      start_exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill_hard();
  return -1;
}

void orvaned_process::kill_hard() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
}

http_answer orvaned_process::post(const std::string& document, const client_identity* identity,
                                  tls_resumption* resume) {
  const std::string request =
      "POST / HTTP/1.0\r\nHost: localhost\r\nContent-Length: " + std::to_string(document.size()) +
      "\r\n\r\n" + document;
  return parse_http(tls_exchange(https_port, request, 10000, identity, resume));
}

void orvaned_process::use_rsa_certificates() {
  fs::remove_all(root() + "/certs");
  if (!shared_certs(true).empty()) {
    fs::copy(shared_certs(true), root() + "/certs", fs::copy_options::recursive);
  }
}

http_answer orvaned_process::get(const std::string& target, bool tls) {
  const std::string request = "GET " + target + " HTTP/1.0\r\nHost: localhost\r\n\r\n";
  return parse_http(tls ? tls_exchange(https_port, request) : tcp_exchange(http_port, request));
}

std::string orvaned_process::token(const std::string& user, const std::string& password,
                                   const std::string& domain) {
  const http_answer a = post("<orvane><getToken domain=\"" + domain + "\"><u>" + user + "</u><p>" +
                             password + "</p></getToken></orvane>");
  const size_t open = a.body.find("<token");
  if (open == std::string::npos) return {};
  const size_t start = a.body.find('>', open);
  const size_t end = a.body.find("</token>", start);
  if (start == std::string::npos || end == std::string::npos) return {};
  return a.body.substr(start + 1, end - start - 1);
}

long orvaned_process::code(const http_answer& a) {
  const size_t res = a.body.rfind("<res code=\"");
  if (res == std::string::npos) return -1;
  return std::strtol(a.body.c_str() + res + 11, nullptr, 10);
}

std::string orvaned_process::log() const {
  std::ifstream in(log_file());
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace orvane_test
