// The client side of orvane-hostd's Unix socket, for the name-service and PAM modules: one
// bounded request/answer exchange per call, with a deadline. Uses only the C library.
#ifndef ORVANE_HOSTPROTO_SOCK_CLIENT_H_
#define ORVANE_HOSTPROTO_SOCK_CLIENT_H_

#include <stddef.h>

namespace orvane_host {

// A parsed answer; owns its bytes.
struct hostd_answer {
  hostd_answer() = default;
  ~hostd_answer();
  hostd_answer(const hostd_answer&) = delete;
  hostd_answer& operator=(const hostd_answer&) = delete;

  int code = -1;
  bool stale = false;
  const char* body = nullptr;  // the entry lines, NUL-terminated
  size_t body_size = 0;
  char* data = nullptr;  // the whole answer (allocated)
};

// The socket path: $ORVANE_HOSTD_SOCKET (not for set-user-ID programs), else the default.
const char* hostd_socket_path();

// Sends request (len bytes) to the daemon listening at path and reads its answer. 0 on success;
// -1 when the daemon can't be reached or does not answer before timeout_ms; -2 when the request
// or the answer is out of bounds or malformed.
int hostd_ask(const char* path, const char* request, size_t len, hostd_answer* out, int timeout_ms);

// The next line of an answer body starting at *cursor, NUL-terminated in place (the line break
// is overwritten); nullptr at the end. *cursor advances past it.
char* hostd_next_line(char** cursor);

}  // namespace orvane_host

#endif  // ORVANE_HOSTPROTO_SOCK_CLIENT_H_
