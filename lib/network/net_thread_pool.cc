#include "network/net_thread_pool.h"

#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <system_error>
#include <utility>

#include "utils/clock.h"
#include "utils/logger.h"

namespace kt {

namespace {

constexpr int kEventsPerWait = 64;
// New tasks a loop starts per turn, after the steps of the tasks it already runs: handshakes under
// way finish before new ones start, which keeps the latency of each short, while the others wait
// their turn in arrival order.
constexpr size_t kStartsPerTurn = 1;

// How long a loop leaves a listener alone after it hit the cap or ran out of descriptors.
constexpr int64_t kListenerRetryMs = 10;

// The loop the current thread runs, if any (add() from a loop's own accept goes straight to it).
thread_local const void* current_loop = nullptr;

// Listener watches are told apart from tasks in epoll's data by the low bit of the pointer.
constexpr uintptr_t kListenerTag = 1;

}  // namespace

struct net_thread_pool::loop {
  loop() = default;
  ~loop() {
    if (ep >= 0) ::close(ep);
    if (wake >= 0) ::close(wake);
  }
  loop(const loop&) = delete;
  loop& operator=(const loop&) = delete;

  int ep = -1;
  int wake = -1;  // eventfd: tasks in the inbox, or the pool stops
  std::thread thread;
  std::atomic<size_t> count{0};  // tasks in the inbox and in the loop

  mutex inbox_lock;
  std::vector<std::unique_ptr<net_task>> inbox;  // added, deadlines set, not yet in the loop
  std::vector<socket_listener*> new_listeners;   // to watch
  std::vector<ref_ptr<net_waker>> woken;         // tasks to step once more
  bool closed = false;                           // the loop has ended: nothing more is taken

  // A listener this loop accepts from (loop thread only).
  struct listen_watch {
    socket_listener* listener = nullptr;
    bool armed = false;    // in the epoll set
    bool ended = false;    // closed: never armed again
    int64_t retry_ms = 0;  // when disarmed: the earliest time to arm again
  };
  std::list<listen_watch> listeners;

  // Loop thread only: tasks taken from the inbox and not started yet, and the running tasks, each
  // in the order of their deadlines; the running tasks that gave their deadline up.
  std::deque<std::unique_ptr<net_task>> waiting;
  std::list<std::unique_ptr<net_task>> tasks;
  std::list<std::unique_ptr<net_task>> kept;

  void unwatch(net_task& t) {
    if (t.watched_ != 0) epoll_ctl(ep, EPOLL_CTL_DEL, t.fd_, nullptr);
    t.watched_ = 0;
  }
  // Puts a task that joins the loop in the running list; its waker now reaches this loop.
  void join(std::unique_ptr<net_task> t) {
    net_task& raw = *t;
    raw.where_ = tasks.insert(tasks.end(), std::move(t));
    if (raw.waker_) {
      mutex_guard g(raw.waker_->lock_);
      raw.waker_->loop_ = this;
      raw.waker_->task_ = &raw;
    }
  }
  // Takes the task out of its list; the caller owns it, and its waker reaches nothing any more.
  std::unique_ptr<net_task> take(net_task& t) {
    unwatch(t);
    if (t.waker_) {
      mutex_guard g(t.waker_->lock_);
      t.waker_->loop_ = nullptr;
      t.waker_->task_ = nullptr;
      t.waker_->queued_ = false;
    }
    std::unique_ptr<net_task> self = std::move(*t.where_);
    (t.kept_ ? kept : tasks).erase(t.where_);
    count.fetch_sub(1, std::memory_order_relaxed);
    return self;
  }
  // Steps the tasks whose wakers were used since the last turn.
  void step_woken(std::vector<ref_ptr<net_waker>>& woken_now) {
    for (const ref_ptr<net_waker>& w : woken_now) {
      net_task* t;
      {
        mutex_guard g(w->lock_);
        w->queued_ = false;
        t = w->task_;
      }
      if (t != nullptr) step(*t);  // ended tasks cleared task_ on this thread
    }
    woken_now.clear();
  }
  void arm(listen_watch& w) {
    const int fd = w.listener->fd();
    if (fd < 0 || !w.listener->running()) {
      w.ended = true;
      return;
    }
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLEXCLUSIVE;
    ev.data.ptr = reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(&w) | kListenerTag);
    if (epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev) == 0) {
      w.armed = true;
      return;
    }
    KT_LOG_ERR("epoll_ctl(listener %d): %s", fd, std::strerror(errno));
    w.ended = true;
  }
  void disarm(listen_watch& w) {
    if (w.armed) epoll_ctl(ep, EPOLL_CTL_DEL, w.listener->fd(), nullptr);
    w.armed = false;
  }
  // One connection from a ready listener; the listener's callback add()s it to this loop.
  void accept_from(listen_watch& w, int64_t now) {
    const int rc = w.listener->accept_one();
    if (rc == socket_listener::kEnded) {
      disarm(w);
      w.ended = true;
    } else if (rc == socket_listener::kNoSlot || rc == socket_listener::kBackOff) {
      disarm(w);
      w.retry_ms = now + kListenerRetryMs;
    }
  }
  // Arms again the listeners left alone for a while, once a slot is free. Returns how long the
  // next wait may last at most (-1: no limit).
  int rearm_listeners(int64_t now) {
    int limit = -1;
    for (listen_watch& w : listeners) {
      if (w.armed || w.ended) continue;
      const ref_ptr<connection_slots> slots = w.listener->slots();
      if (now >= w.retry_ms && (!slots || slots->available())) {
        arm(w);
      } else {
        limit = static_cast<int>(kListenerRetryMs);
      }
    }
    return limit;
  }

  // Starts up to kStartsPerTurn waiting tasks; those whose deadline has passed end instead.
  void start_waiting(int64_t now) {
    size_t started = 0;
    while (started < kStartsPerTurn && !waiting.empty()) {
      std::unique_ptr<net_task> t = std::move(waiting.front());
      waiting.pop_front();
      if (t->deadline_ms_ <= now) {
        count.fetch_sub(1, std::memory_order_relaxed);
        t->expire();
        continue;
      }
      net_task& raw = *t;
      join(std::move(t));
      step(raw);
      ++started;
    }
  }
  // Runs one step and does what it asks for.
  void step(net_task& t) {
    const net_wait w = t.step();
    if (w == net_wait::read || w == net_wait::write) {
      if (t.keep_ && !t.kept_) {
        kept.splice(kept.end(), tasks, t.where_);
        t.kept_ = true;
      }
      const uint32_t want = w == net_wait::read ? EPOLLIN : EPOLLOUT;
      if (t.watched_ == want) return;
      epoll_event ev{};
      ev.events = want;
      ev.data.ptr = &t;
      if (epoll_ctl(ep, t.watched_ == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, t.fd_, &ev) == 0) {
        t.watched_ = want;
        return;
      }
      KT_LOG_ERR("epoll_ctl(%d): %s", t.fd_, std::strerror(errno));
      take(t);  // cannot be watched: ends
      return;
    }
    std::unique_ptr<net_task> self = take(t);
    if (w == net_wait::leave) {
      net_task* raw = self.get();
      raw->leave(std::move(self));
    }
  }
};

net_task::~net_task() {
  if (!waker_) return;
  mutex_guard g(waker_->lock_);
  waker_->loop_ = nullptr;
  waker_->task_ = nullptr;
}

ref_ptr<net_waker> net_task::waker() {
  if (!waker_) waker_ = make_ref<net_waker>();
  return waker_;
}

void net_waker::wake() {
  mutex_guard g(lock_);
  if (task_ == nullptr || loop_ == nullptr || queued_) return;
  auto* l = static_cast<net_thread_pool::loop*>(loop_);
  bool first = false;
  {
    std::lock_guard lock(l->inbox_lock);
    if (l->closed) return;
    first = l->woken.empty() && l->inbox.empty();
    l->woken.emplace_back(this);
  }
  queued_ = true;
  if (first) {
    const uint64_t one = 1;
    if (::write(l->wake, &one, sizeof one) < 0 && errno != EAGAIN) {
      KT_LOG_ERR("net_thread_pool: wake: %s", std::strerror(errno));
    }
  }
}

net_thread_pool::net_thread_pool(int timeout_ms) : timeout_ms_(timeout_ms) {}

std::unique_ptr<net_thread_pool> net_thread_pool::open(unsigned threads, int timeout_ms) {
  auto pool = std::make_unique<net_thread_pool>(std::max(timeout_ms, 0));
  for (unsigned i = 0; i < std::max(threads, 1u); ++i) {
    auto l = std::make_unique<loop>();
    l->ep = epoll_create1(EPOLL_CLOEXEC);
    l->wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (l->ep < 0 || l->wake < 0) {
      KT_LOG_ERR("net_thread_pool: %s", std::strerror(errno));
      return nullptr;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = nullptr;
    if (epoll_ctl(l->ep, EPOLL_CTL_ADD, l->wake, &ev) != 0) {
      KT_LOG_ERR("net_thread_pool: epoll_ctl: %s", std::strerror(errno));
      return nullptr;
    }
    pool->loops_.push_back(std::move(l));
  }
  for (auto& l : pool->loops_) {
    try {
      l->thread = std::thread(&net_thread_pool::run, pool.get(), std::ref(*l));
    } catch (const std::system_error&) {
      KT_LOG_ERR("net_thread_pool: cannot start a loop thread");
      pool->stop();
      return nullptr;
    }
  }
  return pool;
}

net_thread_pool::~net_thread_pool() {
  stop();
}

int net_thread_pool::add(std::unique_ptr<net_task>& task) {
  if (!task || stopping_.load(std::memory_order_acquire)) return -1;
  // From a loop's own thread (its accept): the task joins that loop.
  for (auto& l : loops_) {
    if (l.get() != current_loop) continue;
    task->deadline_ms_ = kt::monotonic_ms() + timeout_ms_;
    l->waiting.push_back(std::move(task));
    l->count.fetch_add(1, std::memory_order_relaxed);
    return 0;
  }
  loop* best = nullptr;
  for (auto& l : loops_) {
    if (best == nullptr ||
        l->count.load(std::memory_order_relaxed) < best->count.load(std::memory_order_relaxed)) {
      best = l.get();
    }
  }
  bool first = false;
  {
    std::lock_guard lock(best->inbox_lock);
    if (best->closed) return -1;
    task->deadline_ms_ = kt::monotonic_ms() + timeout_ms_;
    first = best->inbox.empty();
    best->inbox.push_back(std::move(task));
    best->count.fetch_add(1, std::memory_order_relaxed);
  }
  if (first) {
    const uint64_t one = 1;
    if (::write(best->wake, &one, sizeof one) < 0 && errno != EAGAIN) {
      KT_LOG_ERR("net_thread_pool: wake: %s", std::strerror(errno));
    }
  }
  return 0;
}

void net_thread_pool::run(loop& l) {
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
  current_loop = &l;

  epoll_event events[kEventsPerWait];
  std::vector<std::unique_ptr<net_task>> arrived;
  std::vector<socket_listener*> listeners;
  std::vector<ref_ptr<net_waker>> woken;
  while (!stopping_.load(std::memory_order_acquire)) {
    int timeout = l.rearm_listeners(kt::monotonic_ms());
    if (!l.waiting.empty()) {
      timeout = 0;
    } else if (!l.tasks.empty()) {
      const int64_t left =
          std::clamp<int64_t>(l.tasks.front()->deadline_ms_ - kt::monotonic_ms(), 0, INT_MAX);
      if (timeout < 0 || left < timeout) timeout = static_cast<int>(left);
    }
    const int n = epoll_wait(l.ep, events, kEventsPerWait, timeout);
    if (n < 0 && errno != EINTR) {
      KT_LOG_ERR("net_thread_pool: epoll_wait: %s", std::strerror(errno));
      break;
    }
    const int64_t now = kt::monotonic_ms();
    for (int i = 0; i < n; ++i) {
      const uintptr_t data = reinterpret_cast<uintptr_t>(events[i].data.ptr);
      if ((data & kListenerTag) != 0) {
        l.accept_from(*reinterpret_cast<loop::listen_watch*>(data & ~kListenerTag), now);
        continue;
      }
      if (data != 0) {
        l.step(*reinterpret_cast<net_task*>(data));
        continue;
      }
      uint64_t count = 0;
      if (::read(l.wake, &count, sizeof count) < 0 && errno != EAGAIN) {
        KT_LOG_ERR("net_thread_pool: wake: %s", std::strerror(errno));
      }
      {
        std::lock_guard lock(l.inbox_lock);
        arrived.swap(l.inbox);
        listeners.swap(l.new_listeners);
        woken.swap(l.woken);
      }
      for (std::unique_ptr<net_task>& t : arrived) l.waiting.push_back(std::move(t));
      arrived.clear();
      for (socket_listener* sl : listeners) {
        l.listeners.emplace_back().listener = sl;
        l.arm(l.listeners.back());
      }
      listeners.clear();
    }
    // After the events of this turn, whose tasks may have ended since epoll_wait reported them.
    l.step_woken(woken);
    l.start_waiting(now);
    while (!l.tasks.empty() && l.tasks.front()->deadline_ms_ <= now) {
      std::unique_ptr<net_task> t = l.take(*l.tasks.front());
      t->expire();
    }
  }

  // Ended: nothing more is taken, and what is left is destroyed here.
  {
    std::lock_guard lock(l.inbox_lock);
    l.closed = true;
    arrived.swap(l.inbox);
    l.woken.clear();
  }
  arrived.clear();
  woken.clear();
  for (loop::listen_watch& w : l.listeners) l.disarm(w);
  l.listeners.clear();
  l.waiting.clear();
  while (!l.tasks.empty()) l.take(*l.tasks.front());
  while (!l.kept.empty()) l.take(*l.kept.front());
  l.count.store(0, std::memory_order_relaxed);
}

int net_thread_pool::watch(socket_listener& listener) {
  if (stopping_.load(std::memory_order_acquire)) return -1;
  for (auto& l : loops_) {
    {
      std::lock_guard lock(l->inbox_lock);
      if (l->closed) return -1;
      l->new_listeners.push_back(&listener);
    }
    const uint64_t one = 1;
    if (::write(l->wake, &one, sizeof one) < 0 && errno != EAGAIN) {
      KT_LOG_ERR("net_thread_pool: wake: %s", std::strerror(errno));
    }
  }
  return 0;
}

void net_thread_pool::stop() {
  std::lock_guard lock(stop_lock_);
  stopping_.store(true, std::memory_order_release);
  for (auto& l : loops_) {
    const uint64_t one = 1;
    if (l->wake >= 0 && ::write(l->wake, &one, sizeof one) < 0 && errno != EAGAIN) {
      KT_LOG_ERR("net_thread_pool: wake: %s", std::strerror(errno));
    }
  }
  for (auto& l : loops_) {
    if (l->thread.joinable()) l->thread.join();
  }
}

size_t net_thread_pool::tasks() const {
  size_t total = 0;
  for (const auto& l : loops_) total += l->count.load(std::memory_order_relaxed);
  return total;
}

}  // namespace kt
