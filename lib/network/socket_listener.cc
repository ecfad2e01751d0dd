#include "network/socket_listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "utils/logger.h"

namespace kt {

namespace {

// Pause after accept ran out of descriptors or memory, before trying again.
constexpr useconds_t kResourceBackoffUs = 10 * 1000;

void print_open_error(const char* call, const std::string& bind_text, uint16_t port, int err) {
  std::fprintf(stderr, "%s: %s(%s:%u): %s\n", "socket_listener_open", call,
               bind_text.empty() ? "0.0.0.0" : bind_text.c_str(), static_cast<unsigned>(port),
               std::strerror(err));
}

// Errors of one connection (or of a signal) that leave the listening socket usable.
bool accept_error_is_transient(int err) {
  switch (err) {
    case EINTR:
    case EAGAIN:
    case ECONNABORTED:
    case EPROTO:
    case EPERM:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
      return true;
    default:
      return false;
  }
}

bool accept_error_is_resource(int err) {
  return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

}  // namespace

connection_slots::connection_slots(unsigned max) : max_(max) {
  if (sem_init(&sem_, 0, max) != 0) pthread_utils_fatal(__FILE__, __func__, "sem_init", errno);
}

connection_slots::~connection_slots() {
  sem_destroy(&sem_);
}

bool connection_slots::acquire(const std::atomic<bool>& running) {
  while (running.load(std::memory_order_acquire)) {
    if (sem_wait(&sem_) == 0) {
      if (running.load(std::memory_order_acquire)) return true;
      sem_post(&sem_);  // woken for stopping; leave the count as it was
      return false;
    }
    if (errno != EINTR) pthread_utils_fatal(__FILE__, __func__, "sem_wait", errno);
  }
  return false;
}

bool connection_slots::try_acquire() {
  while (sem_trywait(&sem_) != 0) {
    if (errno == EAGAIN) return false;
    if (errno != EINTR) pthread_utils_fatal(__FILE__, __func__, "sem_trywait", errno);
  }
  return true;
}

bool connection_slots::available() {
  int value = 0;
  sem_getvalue(&sem_, &value);
  return value > 0;
}

void connection_slots::release() {
  sem_post(&sem_);
}

void connection_slots::wake() {
  sem_post(&sem_);
}

socket_listener::socket_listener(int fd, std::string bind_text, uint16_t port, callback cb,
                                 ref_ptr<connection_slots> slots)
    : fd_(fd),
      bind_(std::move(bind_text)),
      port_(port),
      cb_(std::move(cb)),
      slots_(std::move(slots)) {}

socket_listener::~socket_listener() {
  close();
  wait();
}

void socket_listener::close() {
  running_.store(false, std::memory_order_release);
  const int fd = fd_.load(std::memory_order_acquire);
  if (fd >= 0) shutdown(fd, SHUT_RDWR);
  if (slots_) slots_->wake();
}

void socket_listener::wait() {
  std::lock_guard<mutex> hold(join_lock_);
  if (joinable_) {
    pthread_join(thread_, nullptr);
    joinable_ = false;
  }
  const int fd = fd_.exchange(-1, std::memory_order_acq_rel);
  if (fd >= 0) ::close(fd);
}

void socket_listener::release_slot() {
  if (slots_) slots_->release();
}

void* socket_listener::routine(void* arg) {
  sigset_t all;
  sigfillset(&all);
  const int rc = pthread_sigmask(SIG_BLOCK, &all, nullptr);
  if (rc != 0)
    std::fprintf(stderr, "%s: sigprocmask: %s\n", "socket_listener_routine", std::strerror(rc));
  static_cast<socket_listener*>(arg)->accept_loop();
  return nullptr;
}

void socket_listener::accept_loop() {
  while (running()) {
    if (slots_ && !slots_->acquire(running_)) break;
    const int rc = accept_holding_slot();
    if (rc == kEnded) break;
    if (rc == kBackOff) usleep(kResourceBackoffUs);
  }
  running_.store(false, std::memory_order_release);
}

int socket_listener::accept_one() {
  if (!running() || fd() < 0) return kEnded;
  if (slots_ && !slots_->try_acquire()) return kNoSlot;
  return accept_holding_slot();
}

int socket_listener::accept_holding_slot() {
  const int fd = fd_.load(std::memory_order_acquire);
  for (;;) {
    sockaddr_in peer{};
    socklen_t peer_len = sizeof(peer);
    const int conn = accept4(fd, reinterpret_cast<sockaddr*>(&peer), &peer_len, accept_flags_);
    if (conn >= 0) {
      if (cb_(conn, peer) == -1) {
        ::close(conn);
        if (slots_) slots_->release();
      }
      return 1;
    }
    const int err = errno;
    if (err == EINTR) continue;
    if (slots_) slots_->release();
    if (!running()) return kEnded;
    if (accept_error_is_resource(err)) return kBackOff;
    if (err == EAGAIN || err == EWOULDBLOCK || accept_error_is_transient(err)) return kNoneWaiting;
    KT_LOG_WARN("accept(%s:%u): %s", bind_.empty() ? "0.0.0.0" : bind_.c_str(),
                static_cast<unsigned>(port_), std::strerror(err));
    running_.store(false, std::memory_order_release);
    return kEnded;
  }
}

std::unique_ptr<socket_listener> socket_listener_open(std::string_view bind_text, uint16_t port,
                                                      socket_listener::callback cb,
                                                      const socket_listener::options& opts) {
  const std::string text(bind_text);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  // An unusable address is reported as the bind failure it would cause.
  const bool bad_address = text.size() > kSocketListenerMaxBind ||
                           (!text.empty() && inet_pton(AF_INET, text.c_str(), &addr.sin_addr) != 1);

  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) {
    print_open_error("socket", text, port, errno);
    return nullptr;
  }
  auto fail = [&](const char* call, int err) {
    print_open_error(call, text, port, err);
    ::close(fd);
    return nullptr;
  };
  const int on = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0) {
    return fail("setsockopt", errno);
  }
  if (bad_address) return fail("bind", EINVAL);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
    return fail("bind", errno);
  }
  if (listen(fd, opts.backlog > 0 ? opts.backlog : kSocketListenerBacklog) != 0) {
    return fail("listen", errno);
  }

  ref_ptr<connection_slots> slots = opts.slots;
  if (!slots && opts.max_connections > 0) slots = make_ref<connection_slots>(opts.max_connections);
  std::unique_ptr<socket_listener> l(
      new (std::nothrow) socket_listener(fd, text, port, std::move(cb), std::move(slots)));
  if (l == nullptr) return fail("pthread_create", ENOMEM);
  if (!opts.accept_thread) {
    const int fl = fcntl(fd, F_GETFL);
    if (fl < 0 || fcntl(fd, F_SETFL, fl | O_NONBLOCK) != 0) {
      l->fd_.store(-1);
      return fail("fcntl", errno);
    }
    l->accept_flags_ = SOCK_CLOEXEC | SOCK_NONBLOCK;
    return l;
  }
  const int rc = pthread_create(&l->thread_, nullptr, &socket_listener::routine, l.get());
  if (rc != 0) {
    l->fd_.store(-1);
    return fail("pthread_create", rc);
  }
  l->joinable_ = true;
  return l;
}

}  // namespace kt
