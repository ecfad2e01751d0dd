// A TCP connection to a port on 127.0.0.1, for tests of servers and listeners on loopback.
#ifndef ORVANE_TESTS_SUPPORT_LOOPBACK_H_
#define ORVANE_TESTS_SUPPORT_LOOPBACK_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>

namespace orvane_test {

// The connected socket, or -1. Sends give up after send_timeout_ms and receives after
// receive_timeout_ms; 0 leaves that direction without a timeout.
inline int loopback_connect(uint16_t port, int send_timeout_ms, int receive_timeout_ms) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (send_timeout_ms > 0) {
    timeval tv{send_timeout_ms / 1000, (send_timeout_ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  }
  if (receive_timeout_ms > 0) {
    timeval tv{receive_timeout_ms / 1000, (receive_timeout_ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
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

}  // namespace orvane_test

#endif  // ORVANE_TESTS_SUPPORT_LOOPBACK_H_
