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
#include <sstream>
#include <thread>

#include "support/server_fixture.h"

extern char** environ;

namespace orvane_test {

namespace {

namespace fs = std::filesystem;

int connect_to(uint16_t port, int timeout_ms) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Development certificates made once per test program.
const std::string& shared_certs() {
  static std::string dir;
  static std::once_flag once;
  std::call_once(once, [] {
    static temp_dir holder;
    dir = holder.path() + "/certs";
    const run_result r =
        run_program({"/bin/bash", std::string(ORVANE_SOURCE_DIR) + "/scripts/dev-certs.sh", dir});
    if (r.status != 0) dir.clear();
  });
  return dir;
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
                         const client_identity* identity) {
  const int fd = connect_to(port, timeout_ms);
  if (fd < 0) return {};
  std::string out;
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  if (identity != nullptr) {
    SSL_CTX_use_certificate_file(ctx, identity->cert_file.c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_use_PrivateKey_file(ctx, identity->key_file.c_str(), SSL_FILETYPE_PEM);
  }
  SSL* ssl = SSL_new(ctx);
  SSL_set_fd(ssl, fd);
  if (SSL_connect(ssl) == 1) {
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
  }
  ERR_clear_error();
  SSL_free(ssl);
  SSL_CTX_free(ctx);
  ::close(fd);
  return out;
}

uint16_t free_port() {
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

orvaned_process::orvaned_process(bool without_certs) {
  http_port = free_port();
  monitor_port = free_port();
  https_port = free_port();
  fs::create_directories(root() + "/current");
  install_test_ca(root());
  if (!without_certs && !shared_certs().empty()) {
    fs::copy(shared_certs(), root() + "/certs", fs::copy_options::recursive);
  }
}

orvaned_process::~orvaned_process() {
  if (pid_ > 0) stop();
}

bool orvaned_process::start() {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "ORVANE_", 7) != 0) env.emplace_back(*e);
  }
  // extra_env entries replace the defaults of the same name.
  auto overridden = [&](const std::string& entry) {
    const std::string name = entry.substr(0, entry.find('=') + 1);
    for (const auto& e : extra_env) {
      if (e.compare(0, name.size(), name) == 0) return true;
    }
    return false;
  };
  for (const std::string& e :
       {"ORVANE_ROOT=" + root(), "ORVANE_MACHINE_ID_FILE=" + root() + "/this",
        "ORVANE_HTTP_PORT=" + std::to_string(http_port),
        "ORVANE_MONITOR_PORT=" + std::to_string(monitor_port),
        "ORVANE_HTTPS_PORT=" + std::to_string(https_port)}) {
    if (!overridden(e)) env.push_back(e);
  }
  for (const auto& e : extra_env) env.push_back(e);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string program = build_path("orvaned");
  char* argv[] = {program.data(), nullptr};

  const pid_t pid = fork();
  if (pid == 0) {
    const int log = ::open(log_file().c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    dup2(log, 1);
    dup2(log, 2);
    execve(argv[0], argv, envp.data());
    _exit(127);
  }
  pid_ = pid;
  const bool tls = fs::exists(root() + "/certs/orvane.pem");
  for (int i = 0; i < 600; ++i) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    const int fd = connect_to(tls ? https_port : http_port, 1000);
    if (fd >= 0) {
      ::close(fd);
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

int orvaned_process::stop() {
  if (pid_ <= 0) return -1;
  ::kill(pid_, SIGINT);
  int status = 0;
  for (int i = 0; i < 400; ++i) {
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
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

http_answer orvaned_process::post(const std::string& document, const client_identity* identity) {
  const std::string request =
      "POST / HTTP/1.0\r\nHost: localhost\r\nContent-Length: " + std::to_string(document.size()) +
      "\r\n\r\n" + document;
  return parse_http(tls_exchange(https_port, request, 10000, identity));
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
