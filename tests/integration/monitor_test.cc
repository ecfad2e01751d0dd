// The monitoring port against the real orvaned: subscriptions, the length-prefixed copies of the
// HTTPS exchanges, and the address the port listens on.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "support/orvaned.h"
#include "utils/base64.h"
#include "xmldoc/xmldoc.h"

namespace orvane_test {
namespace {

int connect_v4(const char* address, uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, address, &a.sin_addr);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// A monitoring subscriber.
class subscriber {
 public:
  subscriber(uint16_t port, const std::string& document) : fd_(connect_v4("127.0.0.1", port)) {
    if (fd_ >= 0) ::send(fd_, document.data(), document.size(), MSG_NOSIGNAL);
  }
  ~subscriber() {
    if (fd_ >= 0) ::close(fd_);
  }
  subscriber(const subscriber&) = delete;
  subscriber& operator=(const subscriber&) = delete;

  bool connected() const { return fd_ >= 0; }

  // Reads one length-prefixed message; false when none arrives in time.
  bool next(std::string* message, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      if (pending_.size() >= 4) {
        const auto* b = reinterpret_cast<const uint8_t*>(pending_.data());
        const size_t length = (static_cast<size_t>(b[0]) << 24) | (b[1] << 16) | (b[2] << 8) | b[3];
        if (pending_.size() - 4 >= length) {
          *message = pending_.substr(4, length);
          pending_.erase(0, 4 + length);
          return true;
        }
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
      char chunk[4096];
      const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
      if (n <= 0) return false;
      pending_.append(chunk, static_cast<size_t>(n));
    }
  }

 private:
  int fd_;
  std::string pending_;
};

struct ktas {
  std::string t, d, ip, api, req, res;
  std::vector<std::string> order;
};

bool parse_ktas(const std::string& text, ktas* out) {
  kt::xmldoc doc;
  if (doc.parse(text) != 0 || doc.root() == nullptr || doc.root()->name() != "ktas") return false;
  for (const auto& child : doc.root()->children()) out->order.push_back(child->name());
  auto value = [&](const char* name) {
    const std::string* v = doc.root()->get_value(name);
    return v != nullptr ? *v : std::string();
  };
  out->t = value("t");
  out->d = value("d");
  out->ip = value("ip");
  out->api = value("api");
  return kt::base64decode_(value("req"), out->req) == 0 &&
         kt::base64decode_(value("res"), out->res) == 0;
}

class MonitorTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.start()) << server.log(); }
  orvaned_process server;
};

TEST_F(MonitorTest, DebugSubscriberReceivesEveryHttpsExchange) {
  subscriber debug(server.monitor_port, "<m><t debug=\"1\"/></m>");
  subscriber quiet(server.monitor_port, "<m><t/></m>");
  ASSERT_TRUE(debug.connected() && quiet.connected());

  // The subscription is read by the monitoring thread: post until the first copy shows up.
  std::string message;
  std::map<std::string, std::string> answers;
  for (int i = 0; i < 50 && message.empty(); ++i) {
    const std::string body = "<orvane><isValidToken domain=\"ORVANE\" token=\"probe" +
                             std::to_string(i) + "\"/></orvane>";
    answers[body] = server.post(body).body;
    debug.next(&message, 100);
  }
  ASSERT_FALSE(message.empty());
  ktas k;
  ASSERT_TRUE(parse_ktas(message, &k)) << message;
  EXPECT_EQ(k.order, (std::vector<std::string>{"t", "d", "ip", "api", "req", "res"}));
  ASSERT_EQ(answers.count(k.req), 1u) << k.req;
  EXPECT_EQ(k.res, answers[k.req]);
  EXPECT_NE(k.res.find("token not found."), std::string::npos) << k.res;
  EXPECT_EQ(k.d, "ROOT_DOMAIN");
  EXPECT_EQ(k.ip, "127.0.0.1");
  EXPECT_EQ(k.api, "GetDomain");
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  EXPECT_EQ(std::sscanf(k.t.c_str(), "%4d-%2d-%2d %2d:%2d:%2d", &year, &month, &day, &hour, &minute,
                        &second),
            6)
      << k.t;
  EXPECT_EQ(k.t.size(), 19u);

  // Every later POST is copied, in order, each as one unit.
  std::string drained;
  while (debug.next(&drained, 300)) {
  }
  const std::string body =
      "<orvane><getToken domain=\"ORVANE\"><u>Administrator</u><p>tolbrine"
      "</p></getToken></orvane>";
  const std::string big = "<orvane><isValidToken domain=\"ORVANE\" token=\"" +
                          std::string(20000, 'z') + "\"/></orvane>";
  const http_answer small_answer = server.post(body);
  const http_answer big_answer = server.post(big);
  ASSERT_TRUE(debug.next(&message, 5000));
  k = ktas();
  ASSERT_TRUE(parse_ktas(message, &k));
  // The password is not copied; the rest is, byte for byte.
  EXPECT_EQ(k.req,
            "<orvane><getToken domain=\"ORVANE\"><u>Administrator</u><p>********</p></getToken>"
            "</orvane>");
  EXPECT_EQ(k.res, small_answer.body);
  ASSERT_TRUE(debug.next(&message, 5000));
  k = ktas();
  ASSERT_TRUE(parse_ktas(message, &k));
  EXPECT_EQ(k.req, big);
  EXPECT_EQ(k.res, big_answer.body);

  // The subscriber without "debug" got nothing at all.
  EXPECT_FALSE(quiet.next(&message, 300));
}

TEST_F(MonitorTest, DocumentWithoutTIsNotSubscribed) {
  subscriber none(server.monitor_port, "<m><x debug=\"1\"/></m>");
  ASSERT_TRUE(none.connected());
  std::string message;
  // The server closes the connection without sending anything.
  EXPECT_FALSE(none.next(&message, 3000));
  server.post("<orvane/>");
  EXPECT_FALSE(none.next(&message, 300));
}

// The listening sockets of a port in /proc/net/tcp, as "address:port" in its hex notation.
std::vector<std::string> listeners(uint16_t port) {
  std::vector<std::string> out;
  std::ifstream in("/proc/net/tcp");
  std::string line;
  char suffix[8];
  std::snprintf(suffix, sizeof suffix, ":%04X", port);
  while (std::getline(in, line)) {
    char local[64] = {};
    char remote[64] = {};
    unsigned state = 0;
    if (std::sscanf(line.c_str(), " %*d: %63s %63s %x", local, remote, &state) != 3) continue;
    const std::string l = local;
    if (state == 0x0A && l.size() > 5 && l.compare(l.size() - 5, 5, suffix) == 0) {
      out.push_back(l);
    }
  }
  return out;
}

TEST_F(MonitorTest, MonitoringPortListensOnLoopbackOnlyByDefault) {
  char expected[32];
  std::snprintf(expected, sizeof expected, "0100007F:%04X", server.monitor_port);
  EXPECT_EQ(listeners(server.monitor_port), std::vector<std::string>{expected});

  // Another local address of the machine: the command port answers there, the monitoring port
  // does not.
  const int http = connect_v4("127.0.0.2", server.http_port);
  EXPECT_GE(http, 0);
  if (http >= 0) ::close(http);
  const int monitor = connect_v4("127.0.0.2", server.monitor_port);
  EXPECT_LT(monitor, 0);
  if (monitor >= 0) ::close(monitor);
}

TEST(MonitorBind, EnvironmentNamesAnotherAddress) {
  orvaned_process server;
  server.extra_env.push_back("ORVANE_MONITOR_BIND=0.0.0.0");
  ASSERT_TRUE(server.start()) << server.log();
  char expected[32];
  std::snprintf(expected, sizeof expected, "00000000:%04X", server.monitor_port);
  EXPECT_EQ(listeners(server.monitor_port), std::vector<std::string>{expected});
  const int fd = connect_v4("127.0.0.2", server.monitor_port);
  EXPECT_GE(fd, 0);
  if (fd >= 0) ::close(fd);
}

}  // namespace
}  // namespace orvane_test
