#include "network/net_thread_pool.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/loopback.h"

namespace kt {
namespace {

using namespace std::chrono_literals;

bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

// What happened to the tasks of a test.
struct journal {
  std::atomic<int> steps{0};
  std::atomic<int> left{0};
  std::atomic<int> expired{0};
  std::atomic<int> destroyed{0};
  std::atomic<int> lines{0};
};

// Reads a line ending in '\n' without blocking, then leaves the loop, answers it and ends; a line
// "close\n" ends it at once, and "write\n" first waits for the socket to be writable.
class line_task final : public net_task {
 public:
  line_task(int fd, journal& j) : net_task(fd), j_(j) {}
  ~line_task() override {
    ::close(fd());
    j_.destroyed.fetch_add(1);
  }
  net_wait step() override {
    j_.steps.fetch_add(1);
    if (waiting_write_) {
      waiting_write_ = false;
      return net_wait::leave;
    }
    char buf[64];
    for (;;) {
      const ssize_t n = ::recv(fd(), buf, sizeof buf, 0);
      if (n < 0 && errno == EAGAIN) return net_wait::read;
      if (n <= 0) return net_wait::close;
      line_.append(buf, static_cast<size_t>(n));
      if (line_.back() != '\n') continue;
      j_.lines.fetch_add(1);
      if (line_ == "close\n") return net_wait::close;
      if (line_ == "write\n") {
        waiting_write_ = true;
        return net_wait::write;
      }
      return net_wait::leave;
    }
  }
  void leave(std::unique_ptr<net_task> self) override {
    j_.left.fetch_add(1);
    const std::string answer = "got " + line_;
    // Off the loop: the task owns itself and answers from another thread.
    std::thread([self = std::move(self), answer] {
      (void)!::send(self->fd(), answer.data(), answer.size(), MSG_NOSIGNAL);
    }).detach();
  }
  void expire() override { j_.expired.fetch_add(1); }

 private:
  journal& j_;
  std::string line_;
  bool waiting_write_ = false;
};

struct pair_fds {
  int mine = -1;  // the test's end
  int task = -1;  // the task's end, non-blocking
};

pair_fds make_pair() {
  int sv[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return {};
  ::fcntl(sv[1], F_SETFL, ::fcntl(sv[1], F_GETFL) | O_NONBLOCK);
  return {sv[0], sv[1]};
}

std::string read_all(int fd, int timeout_ms) {
  std::string out;
  char buf[256];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) != 1) return out + "<timeout>";
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return out;
    out.append(buf, static_cast<size_t>(n));
  }
}

TEST(NetThreadPoolTest, StepsOnReadinessThenLeavesTheLoop) {
  journal j;
  auto pool = net_thread_pool::open(2, 10000);
  ASSERT_NE(pool, nullptr);
  const pair_fds p = make_pair();
  std::unique_ptr<net_task> t = std::make_unique<line_task>(p.task, j);
  ASSERT_EQ(pool->add(t), 0);
  EXPECT_EQ(t, nullptr);
  // Bytes in pieces: a step per arrival, no answer before the line is whole.
  for (const char* piece : {"he", "ll", "o\n"}) {
    std::this_thread::sleep_for(20ms);
    ASSERT_EQ(::send(p.mine, piece, 2, 0), 2);
  }
  EXPECT_EQ(read_all(p.mine, 5000), "got hello\n");
  EXPECT_GE(j.steps.load(), 3);
  EXPECT_EQ(j.left.load(), 1);
  EXPECT_TRUE(wait_until([&] { return j.destroyed.load() == 1; }, 5s));
  EXPECT_EQ(pool->tasks(), 0u);
  ::close(p.mine);
}

TEST(NetThreadPoolTest, WaitsForWritableAndCloses) {
  journal j;
  auto pool = net_thread_pool::open(1, 10000);
  ASSERT_NE(pool, nullptr);
  const pair_fds a = make_pair();
  const pair_fds b = make_pair();
  std::unique_ptr<net_task> ta = std::make_unique<line_task>(a.task, j);
  std::unique_ptr<net_task> tb = std::make_unique<line_task>(b.task, j);
  ASSERT_EQ(pool->add(ta), 0);
  ASSERT_EQ(pool->add(tb), 0);
  ASSERT_EQ(::send(a.mine, "write\n", 6, 0), 6);
  ASSERT_EQ(::send(b.mine, "close\n", 6, 0), 6);
  EXPECT_EQ(read_all(a.mine, 5000), "got write\n");
  EXPECT_EQ(read_all(b.mine, 5000), "");  // closed without an answer
  EXPECT_TRUE(wait_until([&] { return j.destroyed.load() == 2; }, 5s));
  EXPECT_EQ(j.left.load(), 1);
  EXPECT_EQ(j.expired.load(), 0);
  ::close(a.mine);
  ::close(b.mine);
}

TEST(NetThreadPoolTest, SilentPeersExpireAtTheDeadline) {
  journal j;
  auto pool = net_thread_pool::open(2, 150);
  ASSERT_NE(pool, nullptr);
  std::vector<pair_fds> pairs;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 6; ++i) {
    pairs.push_back(make_pair());
    std::unique_ptr<net_task> t = std::make_unique<line_task>(pairs.back().task, j);
    ASSERT_EQ(pool->add(t), 0);
  }
  // One of them trickles bytes: that does not move its deadline.
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(::send(pairs[0].mine, "x", 1, 0), 1);
    std::this_thread::sleep_for(20ms);
  }
  for (const pair_fds& p : pairs) EXPECT_EQ(read_all(p.mine, 5000), "");
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, 140ms);
  EXPECT_TRUE(wait_until([&] { return j.destroyed.load() == 6; }, 5s));
  EXPECT_EQ(j.expired.load(), 6);
  EXPECT_EQ(pool->tasks(), 0u);
  for (const pair_fds& p : pairs) ::close(p.mine);
}

TEST(NetThreadPoolTest, StopDestroysWaitingTasksAndRefusesMore) {
  journal j;
  auto pool = net_thread_pool::open(2, 60000);
  ASSERT_NE(pool, nullptr);
  std::vector<pair_fds> pairs;
  for (int i = 0; i < 10; ++i) {
    pairs.push_back(make_pair());
    std::unique_ptr<net_task> t = std::make_unique<line_task>(pairs.back().task, j);
    ASSERT_EQ(pool->add(t), 0);
  }
  ASSERT_TRUE(wait_until([&] { return j.steps.load() == 10; }, 5s));
  EXPECT_EQ(pool->tasks(), 10u);
  pool->stop();
  EXPECT_EQ(j.destroyed.load(), 10);
  EXPECT_EQ(j.expired.load(), 0);
  const pair_fds late = make_pair();
  std::unique_ptr<net_task> t = std::make_unique<line_task>(late.task, j);
  EXPECT_EQ(pool->add(t), -1);
  EXPECT_NE(t, nullptr);
  t.reset();
  ::close(late.mine);
  for (const pair_fds& p : pairs) ::close(p.mine);
}

TEST(NetThreadPoolTest, ManyConnectionsFromManyThreads) {
  journal j;
  auto pool = net_thread_pool::open(2, 20000);
  ASSERT_NE(pool, nullptr);
  std::atomic<int> answered{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 4; ++t) {
    clients.emplace_back([&, t] {
      for (int i = 0; i < 100; ++i) {
        const pair_fds p = make_pair();
        std::unique_ptr<net_task> task = std::make_unique<line_task>(p.task, j);
        if (pool->add(task) != 0) break;
        const std::string line = "c" + std::to_string(t) + "-" + std::to_string(i) + "\n";
        (void)!::send(p.mine, line.data(), line.size(), 0);
        if (read_all(p.mine, 10000) == "got " + line) answered.fetch_add(1);
        ::close(p.mine);
      }
    });
  }
  for (std::thread& c : clients) c.join();
  EXPECT_EQ(answered.load(), 400);
  EXPECT_TRUE(wait_until([&] { return j.destroyed.load() == 400; }, 10s));
  EXPECT_EQ(pool->tasks(), 0u);
}

int dial(uint16_t port) {
  return orvane_test::loopback_connect(port, 0, 0);
}

uint16_t bound_port(int fd) {
  sockaddr_in a{};
  socklen_t n = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
  return ntohs(a.sin_port);
}

// A line_task that hands its connection slot back when it ends.
class slot_task final : public net_task {
 public:
  slot_task(int fd, journal& j, ref_ptr<connection_slots> slots)
      : net_task(fd), inner_(std::make_unique<line_task>(fd, j)), slots_(std::move(slots)) {}
  ~slot_task() override {
    inner_.reset();
    slots_->release();
  }
  net_wait step() override { return inner_->step(); }
  void leave(std::unique_ptr<net_task>) override {
    // Answered at once here; the slot goes back with the task.
    (void)!::send(fd(), "ok\n", 3, MSG_NOSIGNAL);
  }

 private:
  std::unique_ptr<line_task> inner_;
  ref_ptr<connection_slots> slots_;
};

TEST(NetThreadPoolTest, LoopsAcceptUpToTheCapAndResumeWhenASlotFrees) {
  journal j;
  auto pool = net_thread_pool::open(2, 20000);
  ASSERT_NE(pool, nullptr);
  socket_listener::options opts;
  opts.accept_thread = false;
  opts.slots = make_ref<connection_slots>(2);
  std::atomic<int> accepted{0};
  net_thread_pool* p = pool.get();
  auto listener = socket_listener_open(
      "127.0.0.1", 0,
      [&, p, slots = opts.slots](int fd, const sockaddr_in&) {
        accepted.fetch_add(1);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        std::unique_ptr<net_task> t = std::make_unique<slot_task>(fd, j, slots);
        return p->add(t) == 0 ? 0 : -1;
      },
      opts);
  ASSERT_NE(listener, nullptr);
  const uint16_t port = bound_port(listener->fd());
  ASSERT_EQ(pool->watch(*listener), 0);

  // Two connections fill the cap; the third waits in the backlog.
  std::vector<int> held = {dial(port), dial(port)};
  ASSERT_TRUE(wait_until([&] { return accepted.load() == 2; }, 5s));
  const int late = dial(port);
  ASSERT_GE(late, 0);
  ASSERT_EQ(::send(late, "late\n", 5, 0), 5);
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(accepted.load(), 2);
  // One held connection ends: the late one is accepted and answered.
  ::close(held[0]);
  EXPECT_EQ(read_all(late, 5000), "ok\n");
  EXPECT_EQ(accepted.load(), 3);

  // A closed listener is dropped by the loops; its waiting connections are never accepted.
  listener->close();
  std::this_thread::sleep_for(100ms);
  pool->stop();
  ::close(held[1]);
  ::close(late);
  EXPECT_EQ(j.destroyed.load(), 3);
}

}  // namespace
}  // namespace kt
