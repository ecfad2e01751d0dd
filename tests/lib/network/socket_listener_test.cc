#include "network/socket_listener.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace kt {
namespace {

using namespace std::chrono_literals;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

// A port that was free a moment ago on 127.0.0.1.
uint16_t free_port() {
  const int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  socklen_t len = sizeof(addr);
  EXPECT_EQ(getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  close(probe);
  return ntohs(addr.sin_port);
}

int connect_to(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Records what the callback saw.
struct accepted {
  std::mutex m;
  std::condition_variable cv;
  std::vector<int> fds;
  std::vector<sockaddr_in> peers;
  bool signals_blocked = true;

  socket_listener::callback keep() {
    return [this](int fd, const sockaddr_in& peer) {
      sigset_t mask;
      pthread_sigmask(SIG_BLOCK, nullptr, &mask);
      std::lock_guard<std::mutex> hold(m);
      signals_blocked =
          signals_blocked && sigismember(&mask, SIGINT) == 1 && sigismember(&mask, SIGTERM) == 1;
      fds.push_back(fd);
      peers.push_back(peer);
      cv.notify_all();
      return 0;
    };
  }
  bool wait_for(size_t n, std::chrono::milliseconds limit = 5s) {
    std::unique_lock<std::mutex> hold(m);
    return cv.wait_for(hold, limit, [&] { return fds.size() >= n; });
  }
  size_t count() {
    std::lock_guard<std::mutex> hold(m);
    return fds.size();
  }
  ~accepted() {
    for (int fd : fds) close(fd);
  }
};

TEST(SocketListenerTest, AcceptsAndStops) {
  const uint16_t port = free_port();
  accepted seen;
  std::unique_ptr<socket_listener> l = socket_listener_open("127.0.0.1", port, seen.keep());
  ASSERT_NE(l, nullptr);
  EXPECT_TRUE(l->running());
  EXPECT_EQ(l->port(), port);
  EXPECT_EQ(l->bind_text(), "127.0.0.1");

  std::vector<int> clients;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(connect_to(port));
    ASSERT_GE(clients.back(), 0);
  }
  ASSERT_TRUE(seen.wait_for(3));
  for (const sockaddr_in& peer : seen.peers) {
    EXPECT_EQ(peer.sin_family, AF_INET);
    EXPECT_EQ(ntohl(peer.sin_addr.s_addr), INADDR_LOOPBACK);
  }
  EXPECT_TRUE(seen.signals_blocked);

  // The accepted sockets are live and belong to the callback.
  ASSERT_EQ(send(clients[0], "x", 1, 0), 1);
  char c = 0;
  ASSERT_EQ(recv(seen.fds[0], &c, 1, 0), 1);
  EXPECT_EQ(c, 'x');

  l->close();
  l->close();
  l->wait();
  l->wait();
  EXPECT_FALSE(l->running());
  EXPECT_LT(connect_to(port), 0);
  for (int fd : clients) close(fd);

  // The port is free again.
  accepted again;
  EXPECT_NE(socket_listener_open("127.0.0.1", port, again.keep()), nullptr);
}

TEST(SocketListenerTest, PortInUse) {
  const uint16_t port = free_port();
  accepted seen;
  std::unique_ptr<socket_listener> first = socket_listener_open("", port, seen.keep());
  ASSERT_NE(first, nullptr);
  CaptureStderr();
  std::unique_ptr<socket_listener> second = socket_listener_open("127.0.0.1", port, seen.keep());
  const std::string err = GetCapturedStderr();
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(err, "socket_listener_open: bind(127.0.0.1:" + std::to_string(port) +
                     "): Address already in use\n");

  CaptureStderr();
  EXPECT_EQ(socket_listener_open("", port, seen.keep()), nullptr);
  EXPECT_EQ(GetCapturedStderr(), "socket_listener_open: bind(0.0.0.0:" + std::to_string(port) +
                                     "): Address already in use\n");
}

TEST(SocketListenerTest, BadAddress) {
  accepted seen;
  CaptureStderr();
  EXPECT_EQ(socket_listener_open("not.an.address", free_port(), seen.keep()), nullptr);
  EXPECT_NE(GetCapturedStderr().find("socket_listener_open: bind(not.an.address:"),
            std::string::npos);
}

TEST(SocketListenerTest, RefusedConnectionIsClosed) {
  const uint16_t port = free_port();
  std::atomic<int> calls{0};
  std::unique_ptr<socket_listener> l =
      socket_listener_open("127.0.0.1", port, [&](int, const sockaddr_in&) {
        ++calls;
        return -1;
      });
  ASSERT_NE(l, nullptr);
  const int client = connect_to(port);
  ASSERT_GE(client, 0);
  timeval timeout{5, 0};
  setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  char c;
  EXPECT_EQ(recv(client, &c, 1, 0), 0);  // end of file, not a timeout
  EXPECT_EQ(calls.load(), 1);
  close(client);
}

TEST(SocketListenerTest, ConnectionCap) {
  const uint16_t port = free_port();
  accepted seen;
  socket_listener::options opts;
  opts.max_connections = 1;
  std::unique_ptr<socket_listener> l = socket_listener_open("127.0.0.1", port, seen.keep(), opts);
  ASSERT_NE(l, nullptr);
  ASSERT_NE(l->slots(), nullptr);

  const int a = connect_to(port);
  const int b = connect_to(port);  // completes in the backlog
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  ASSERT_TRUE(seen.wait_for(1));
  EXPECT_FALSE(seen.wait_for(2, 200ms));
  l->release_slot();
  EXPECT_TRUE(seen.wait_for(2));

  // Stopping while the accept thread waits for a slot.
  const int c = connect_to(port);
  ASSERT_GE(c, 0);
  ref_ptr<connection_slots> slots = l->slots();
  l->close();
  l->wait();
  EXPECT_EQ(seen.count(), 2u);
  l.reset();
  slots->release();  // a connection may hand its slot back after the listener is gone
  for (int fd : {a, b, c}) close(fd);
}

TEST(SocketListenerTest, GivenSlotCounterIsTheCap) {
  // The callback holds the counter before the listener exists, and hands slots back through it.
  const uint16_t port = free_port();
  ref_ptr<connection_slots> given = make_ref<connection_slots>(1);
  accepted seen;
  socket_listener::callback keep = seen.keep();
  socket_listener::options opts;
  opts.max_connections = 5;  // the given counter wins
  opts.slots = given;
  std::unique_ptr<socket_listener> l = socket_listener_open(
      "127.0.0.1", port,
      [&keep, given](int fd, const sockaddr_in& peer) {
        given->release();  // the connection is done at once
        return keep(fd, peer);
      },
      opts);
  ASSERT_NE(l, nullptr);
  EXPECT_EQ(l->slots().get(), given.get());
  EXPECT_EQ(l->slots()->max(), 1u);
  std::vector<int> clients;
  for (int i = 0; i < 3; ++i) clients.push_back(connect_to(port));
  EXPECT_TRUE(seen.wait_for(3));
  l->close();
  l->wait();
  for (int fd : clients) close(fd);
}

TEST(SocketListenerTest, UncappedHasNoSlots) {
  accepted seen;
  std::unique_ptr<socket_listener> l = socket_listener_open("127.0.0.1", free_port(), seen.keep());
  ASSERT_NE(l, nullptr);
  EXPECT_EQ(l->slots(), nullptr);
  l->release_slot();  // no-op
  // Dropped without close: the destructor stops and joins.
}

}  // namespace
}  // namespace kt
