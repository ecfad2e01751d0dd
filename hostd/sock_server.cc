#include "hostd/sock_server.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "hostd/answers.h"
#include "hostd/checks.h"
#include "hostd/config.h"
#include "hostd/state.h"
#include "hostd/tls.h"
#include "hostproto/protocol.h"
#include "utils/files.h"
#include "utils/logger.h"

namespace orvane_hostd {

namespace {

using orvane_host::HOSTD_BAD_REQUEST;
using orvane_host::HOSTD_UNAVAILABLE;

constexpr int kIdleMs = 5000;
constexpr size_t kMaxConnections = 4096;
constexpr int kMaxWorkers = 32;

std::string frame(const std::string& answer) {
  std::string out(4, '\0');
  const auto n = static_cast<uint32_t>(answer.size());
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((n >> (8 * i)) & 0xff);
  return out + answer;
}

uint32_t length_of(const std::string& in) {
  uint32_t n = 0;
  for (int i = 0; i < 4; ++i) n |= static_cast<uint32_t>(static_cast<uint8_t>(in[i])) << (8 * i);
  return n;
}

// Writes the whole answer, waiting at most kIdleMs, then closes the descriptor (workers).
void send_and_close(int fd, const std::string& bytes) {
  size_t sent = 0;
  const int64_t deadline = monotonic_ms() + kIdleMs;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    const int64_t left = deadline - monotonic_ms();
    pollfd p{fd, POLLOUT, 0};
    if (n < 0 && errno == EAGAIN && left > 0 && ::poll(&p, 1, static_cast<int>(left)) > 0) {
      continue;
    }
    break;
  }
  ::close(fd);
}

// A password or account check on a worker thread; it owns the connection's descriptor.
class check_job : public kt::thread_pool_job {
 public:
  check_job(checks& k, std::atomic<int>& busy, int fd, uid_t uid, std::string request)
      : k_(k), busy_(busy), fd_(fd), uid_(uid), request_(std::move(request)) {}
  ~check_job() override {
    // The request may hold a password.
    explicit_bzero(request_.data(), request_.size());
    if (fd_ >= 0) ::close(fd_);
    busy_.fetch_sub(1);
  }

  void run() override {
    int code = HOSTD_BAD_REQUEST;
    if (request_.compare(0, 5, "auth ") == 0) {
      const size_t nl = request_.find('\n');
      if (nl != std::string::npos && nl > 5 && nl - 5 <= orvane_host::kMaxName &&
          request_.size() - nl - 1 <= orvane_host::kMaxPassword) {
        std::string password = request_.substr(nl + 1);
        code = k_.password(request_.substr(5, nl - 5), password, uid_);
        explicit_bzero(password.data(), password.size());
      }
    } else if (request_.compare(0, 8, "account ") == 0 && request_.size() > 8) {
      code = k_.account(request_.substr(8));
    }
    send_and_close(fd_, frame(answer_head(code, false)));
    fd_ = -1;
  }

 private:
  checks& k_;
  std::atomic<int>& busy_;
  int fd_;
  uid_t uid_;
  std::string request_;
};

}  // namespace

int sock_server::start(std::string* error) {
  const std::string& path = c_.socket;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    *error = "socket path " + path + " is too long";
    return -1;
  }
  std::memcpy(addr.sun_path, path.data(), path.size());
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    kt::path_create(path.substr(0, slash).c_str(), 0755);
  }
  ::unlink(path.c_str());
  listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::chmod(path.c_str(), 0666) != 0 || ::listen(listen_fd_, 512) != 0) {
    *error = "can't listen on " + path + ": " + std::strerror(errno);
    return -1;
  }
  epoll_fd_ = ::epoll_create1(EPOLL_CLOEXEC);
  wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (epoll_fd_ < 0 || wake_fd_ < 0) {
    *error = std::string("epoll: ") + std::strerror(errno);
    return -1;
  }
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = listen_fd_;
  ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, listen_fd_, &ev);
  ev.data.fd = wake_fd_;
  ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, wake_fd_, &ev);
  workers_ = std::make_unique<kt::thread_pool>(kt::thread_pool::options{0, 5000});
  stopping_.store(false);
  thread_ = std::thread([this] { run(); });
  return 0;
}

void sock_server::stop() {
  if (thread_.joinable()) {
    stopping_.store(true);
    const uint64_t one = 1;
    if (::write(wake_fd_, &one, sizeof one) != sizeof one) KT_LOG_ERR("can't wake the socket");
    thread_.join();
  }
  if (workers_) workers_->stop();
  workers_.reset();
  for (auto& [fd, c] : conns_) ::close(fd);
  conns_.clear();
  for (int* fd : {&listen_fd_, &epoll_fd_, &wake_fd_}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
  if (!c_.socket.empty()) ::unlink(c_.socket.c_str());
}

void sock_server::drop(int fd) {
  const auto it = conns_.find(fd);
  if (it != conns_.end() && it->second.watched != 0) {
    ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
  }
  ::close(fd);
  conns_.erase(fd);
}

void sock_server::watch(conn& c, uint32_t events) {
  if (c.watched == events) return;
  epoll_event ev{};
  ev.events = events;
  ev.data.fd = c.fd;
  ::epoll_ctl(epoll_fd_, c.watched == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, c.fd, &ev);
  c.watched = events;
}

void sock_server::accept_all() {
  for (;;) {
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    if (conns_.size() >= kMaxConnections) {
      ::close(fd);
      continue;
    }
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
      ::close(fd);
      continue;
    }
    conn& c = conns_[fd];
    c.fd = fd;
    c.uid = cred.uid;
    c.deadline_ms = monotonic_ms() + kIdleMs;
    // The request is usually there already: most connections end here, never watched.
    if (on_readable(c)) {
      watch(c, c.out.empty() ? EPOLLIN : EPOLLOUT);
    } else if (c.fd >= 0) {
      drop(fd);
    } else {
      conns_.erase(fd);  // handed to a worker
    }
  }
}

bool sock_server::handle(conn& c, std::string_view request) {
  if (request.compare(0, 5, "auth ") == 0 || request.compare(0, 8, "account ") == 0) {
    if (busy_workers_.fetch_add(1) >= kMaxWorkers) {
      busy_workers_.fetch_sub(1);
      c.out = frame(answer_head(HOSTD_UNAVAILABLE, false));
      return true;
    }
    if (c.watched != 0) ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, c.fd, nullptr);
    std::unique_ptr<kt::thread_pool_job> job =
        std::make_unique<check_job>(k_, busy_workers_, c.fd, c.uid, std::string(request));
    c.fd = -1;  // the job owns it now, also when it can't start (it closes it then)
    if (workers_->submit(job) != 0) job.reset();
    return false;
  }
  const std::shared_ptr<const snapshot> s = s_.current();
  c.out = frame(answer_lookup(s.get(), s_.stale(epoch_seconds()), s_.online(), request));
  return true;
}

bool sock_server::on_readable(conn& c) {
  char buf[4096];
  for (;;) {
    const ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
    if (n == 0) return false;
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    c.in.append(buf, static_cast<size_t>(n));
    if (c.in.size() >= 4) {
      const uint32_t len = length_of(c.in);
      if (len == 0 || len > orvane_host::kMaxRequest) return false;
      if (c.in.size() > 4 + static_cast<size_t>(len)) return false;  // one request only
      if (c.in.size() == 4 + static_cast<size_t>(len)) {
        std::string request = c.in.substr(4);
        explicit_bzero(c.in.data(), c.in.size());
        if (!handle(c, request)) {
          explicit_bzero(request.data(), request.size());
          return false;
        }
        return on_writable(c);
      }
    }
  }
}

bool sock_server::on_writable(conn& c) {
  while (c.sent < c.out.size()) {
    const ssize_t n = ::send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    c.sent += static_cast<size_t>(n);
  }
  return false;  // answered: the connection ends
}

void sock_server::expire() {
  const int64_t now = monotonic_ms();
  for (auto it = conns_.begin(); it != conns_.end();) {
    if (it->second.deadline_ms < now) {
      if (it->second.watched != 0) ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, it->first, nullptr);
      ::close(it->first);
      it = conns_.erase(it);
    } else {
      ++it;
    }
  }
}

void sock_server::run() {
  epoll_event events[64];
  int64_t next_expiry = monotonic_ms() + 1000;
  while (!stopping_.load()) {
    const int n = ::epoll_wait(epoll_fd_, events, 64, 1000);
    for (int i = 0; i < n; ++i) {
      const int fd = events[i].data.fd;
      if (fd == wake_fd_) continue;
      if (fd == listen_fd_) {
        accept_all();
        continue;
      }
      const auto it = conns_.find(fd);
      if (it == conns_.end()) continue;
      conn& c = it->second;
      const bool keep = c.out.empty() ? on_readable(c) : on_writable(c);
      if (keep) {
        watch(c, c.out.empty() ? EPOLLIN : EPOLLOUT);
      } else if (c.fd >= 0) {
        drop(fd);
      } else {
        conns_.erase(fd);  // handed to a worker (which took it off epoll)
      }
    }
    if (monotonic_ms() >= next_expiry) {
      expire();
      next_expiry = monotonic_ms() + 1000;
    }
  }
}

}  // namespace orvane_hostd
