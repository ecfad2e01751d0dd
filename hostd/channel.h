// The notification channel: a WebSocket over TLS to the server, bound to the service account's
// token, on which the server pushes a change document for every change the account may see.
#ifndef ORVANE_HOSTD_CHANNEL_H_
#define ORVANE_HOSTD_CHANNEL_H_

#include <string>

#include "hostd/tls.h"

namespace orvane_hostd {

class channel {
 public:
  // Connects and upgrades the connection. 0, or -1 with *error.
  int open(const tls_context& t, std::string* error);
  // Sends the "auth" message for token and waits for its answer: the result code, or -1 when
  // the channel failed (*error).
  long bind(const std::string& token, int timeout_ms, std::string* error);
  // Waits at most timeout_ms for the next message, returning early (0) when wake_fd becomes
  // readable. 1: *payload holds a message; 0: nothing yet; -1: the channel ended.
  int next(std::string* payload, int timeout_ms, int wake_fd);
  void close() { conn_.close(); }

 private:
  // Takes one whole message from the bytes received: 1, 0 (more needed) or -1 (closed).
  int take(std::string* payload);

  tls_conn conn_;
  std::string pending_;
};

// One masked client text frame.
std::string channel_frame(const std::string& payload);

}  // namespace orvane_hostd

#endif  // ORVANE_HOSTD_CHANNEL_H_
