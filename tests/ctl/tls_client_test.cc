// orvanectl's connection module against peers that are not the server: an answer read whole,
// answers that are not HTTP, a peer that says nothing, nobody listening, an untrusted
// certificate. Each failure comes back as a message, never as a crash or a hang.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "tls_client.h"

namespace ctl {
namespace {

// A listener on 127.0.0.1 that answers one connection with fixed bytes, after reading the
// request's head when wait_for_head.
class one_shot_peer {
 public:
  explicit one_shot_peer(std::string answer, bool wait_for_head = true)
      : answer_(std::move(answer)), wait_for_head_(wait_for_head) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd_, 1);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] {
      const int c = ::accept(fd_, nullptr, nullptr);
      if (c < 0) return;
      std::string head;
      char buf[4096];
      while (wait_for_head_ && head.find("\r\n\r\n") == std::string::npos) {
        const ssize_t n = ::read(c, buf, sizeof buf);
        if (n <= 0) break;
        head.append(buf, static_cast<size_t>(n));
      }
      request_ = head;
      if (::write(c, answer_.data(), answer_.size()) < 0) request_ += "(write failed)";
      ::close(c);
    });
  }
  ~one_shot_peer() {
    ::shutdown(fd_, SHUT_RDWR);
    thread_.join();
    ::close(fd_);
  }
  uint16_t port() const { return port_; }
  const std::string& request() const { return request_; }

 private:
  std::string answer_;
  bool wait_for_head_;
  int fd_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
  std::string request_;
};

url plain(uint16_t port) {
  url u;
  u.tls = false;
  u.host = "127.0.0.1";
  u.port = port;
  return u;
}

TEST(CtlConnection, AnswersAndFailures) {
  tls_options opts;
  opts.timeout_ms = 5000;
  http_reply reply;
  std::string error;
  {
    one_shot_peer peer(
        "HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\nContent-Length: 9\r\n\r\n<a>b</a>\n");
    ASSERT_TRUE(http_post(plain(peer.port()), opts, "<orvane/>", &reply, &error)) << error;
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "<a>b</a>\n");
  }
  {
    // The request carries its length and type.
    one_shot_peer peer("HTTP/1.0 500 Internal Server Error\r\n\r\n");
    ASSERT_TRUE(http_post(plain(peer.port()), opts, "<orvane/>", &reply, &error)) << error;
    EXPECT_EQ(reply.status, 500);
    EXPECT_NE(peer.request().find("POST / HTTP/1.0\r\n"), std::string::npos) << peer.request();
    EXPECT_NE(peer.request().find("Content-Length: 9\r\n"), std::string::npos);
  }
  for (const std::string& garbage : {std::string("SSH-2.0-OpenSSH\r\n\r\n"), std::string(""),
                                     std::string(70000, 'x') + "\r\n\r\n"}) {
    one_shot_peer peer(garbage);
    EXPECT_FALSE(http_post(plain(peer.port()), opts, "<orvane/>", &reply, &error));
    EXPECT_FALSE(error.empty());
  }
  {
    // A TLS client meeting a peer that is not TLS fails its handshake with a message.
    one_shot_peer peer("HTTP/1.0 200 OK\r\n\r\n", false);
    url u = plain(peer.port());
    u.tls = true;
    EXPECT_FALSE(http_post(u, opts, "<orvane/>", &reply, &error));
    EXPECT_NE(error.find("TLS"), std::string::npos) << error;
  }
  {
    // Nobody listening.
    one_shot_peer peer("");
    const uint16_t port = peer.port();
    url u = plain(port);
    u.port = 1;
    EXPECT_FALSE(http_post(u, opts, "<orvane/>", &reply, &error));
    EXPECT_NE(error.find("cannot connect"), std::string::npos) << error;
  }
  // Files that cannot be used are named.
  opts.ca_file = "/nonexistent/ca.pem";
  url u = plain(1);
  u.tls = true;
  EXPECT_EQ(connection::open(u, opts, &error), nullptr);
  EXPECT_NE(error.find("/nonexistent/ca.pem"), std::string::npos) << error;
  opts.ca_file.clear();
  opts.cert_file = "/nonexistent/client.pfx";
  EXPECT_EQ(connection::open(u, opts, &error), nullptr);
  EXPECT_NE(error.find("/nonexistent/client.pfx"), std::string::npos) << error;
}

}  // namespace
}  // namespace ctl
