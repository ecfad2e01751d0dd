#include "hostproto/sock_client.h"

#include <errno.h>
#include <poll.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "hostproto/protocol.h"

namespace orvane_host {

namespace {

// Closes the descriptor with the scope.
struct fd_guard {
  int fd;
  ~fd_guard() {
    if (fd >= 0) close(fd);
  }
};

long long now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits for the descriptor until the deadline; false on time-out or error.
bool wait_for(int fd, short events, long long deadline) {
  for (;;) {
    const long long left = deadline - now_ms();
    if (left <= 0) return false;
    pollfd p = {fd, events, 0};
    const int n = poll(&p, 1, static_cast<int>(left));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

bool send_all(int fd, const char* data, size_t len, long long deadline) {
  while (len > 0) {
    const ssize_t n = send(fd, data, len, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      data += n;
      len -= static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!wait_for(fd, POLLOUT, deadline)) return false;
    } else {
      return false;
    }
  }
  return true;
}

bool recv_all(int fd, char* data, size_t len, long long deadline) {
  while (len > 0) {
    const ssize_t n = recv(fd, data, len, MSG_DONTWAIT);
    if (n > 0) {
      data += n;
      len -= static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!wait_for(fd, POLLIN, deadline)) return false;
    } else {
      return false;
    }
  }
  return true;
}

// Reads at least min and at most cap bytes; *got says how many.
bool recv_some(int fd, char* data, size_t cap, size_t min, long long deadline, size_t* got) {
  *got = 0;
  while (*got < min) {
    const ssize_t n = recv(fd, data + *got, cap - *got, MSG_DONTWAIT);
    if (n > 0) {
      *got += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!wait_for(fd, POLLIN, deadline)) return false;
    } else {
      return false;
    }
  }
  return true;
}

void put_length(char* out, uint32_t n) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((n >> (8 * i)) & 0xff);
}

uint32_t get_length(const char* in) {
  uint32_t n = 0;
  for (int i = 0; i < 4; ++i) n |= static_cast<uint32_t>(static_cast<uint8_t>(in[i])) << (8 * i);
  return n;
}

}  // namespace

hostd_answer::~hostd_answer() {
  free(data);  // allocated by hostd_ask with malloc: the module links no C++ runtime
}

const char* hostd_socket_path() {
  const char* p = secure_getenv(kSocketEnv);
  return p != nullptr && p[0] != '\0' ? p : kDefaultSocket;
}

int hostd_ask(const char* path, const char* request, size_t len, hostd_answer* out,
              int timeout_ms) {
  if (path == nullptr || len == 0 || len > kMaxRequest) return -2;
  sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  const size_t path_len = strlen(path);
  if (path_len >= sizeof addr.sun_path) return -2;
  memcpy(addr.sun_path, path, path_len);

  fd_guard s{socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
  if (s.fd < 0) return -1;
  if (connect(s.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return -1;
  const long long deadline = now_ms() + timeout_ms;
  // One write and, for the usual short answer, one read.
  char first[4 + kMaxRequest];
  put_length(first, static_cast<uint32_t>(len));
  memcpy(first + 4, request, len);
  const bool sent = send_all(s.fd, first, 4 + len, deadline);
  explicit_bzero(first, 4 + len);  // the request may hold a password
  if (!sent) return -1;
  char head[512];
  size_t got = 0;
  // The answer is never there yet: wait first rather than try a read that would fail.
  if (!wait_for(s.fd, POLLIN, deadline) || !recv_some(s.fd, head, sizeof head, 4, deadline, &got)) {
    return -1;
  }
  const uint32_t size = get_length(head);
  if (size < 3 || size > kMaxAnswer || got > 4 + static_cast<size_t>(size)) return -2;
  char* data = static_cast<char*>(malloc(size + 1));
  if (data == nullptr) return -1;
  free(out->data);
  out->data = data;
  memcpy(data, head + 4, got - 4);
  if (!recv_all(s.fd, data + (got - 4), size - (got - 4), deadline)) return -1;
  data[size] = '\0';

  // "<code> <stale>\n"
  char* end = static_cast<char*>(memchr(data, '\n', size));
  if (end == nullptr || end - data != 3 || data[0] < '0' || data[0] > '9' || data[1] != ' ' ||
      (data[2] != '0' && data[2] != '1')) {
    return -2;
  }
  out->code = data[0] - '0';
  out->stale = data[2] == '1';
  out->body = end + 1;
  out->body_size = size - static_cast<size_t>(end + 1 - data);
  return 0;
}

char* hostd_next_line(char** cursor) {
  char* line = *cursor;
  if (line == nullptr || *line == '\0') return nullptr;
  char* nl = strchr(line, '\n');
  if (nl != nullptr) {
    *nl = '\0';
    *cursor = nl + 1;
  } else {
    *cursor = line + strlen(line);
  }
  return line;
}

}  // namespace orvane_host
