#include "hostd/channel.h"

#include <openssl/rand.h>
#include <openssl/sha.h>
#include <poll.h>

#include <cerrno>
#include <cstdint>

#include "htmldoc/htmldoc.h"
#include "network/websocket.h"
#include "utils/base64.h"
#include "xmldoc/xmldoc.h"

namespace orvane_hostd {

namespace {

// A notification is a short document; anything much larger is not one.
constexpr size_t kMaxMessage = 64 * 1024;
constexpr size_t kReadChunk = 4096;

}  // namespace

std::string channel_frame(const std::string& payload) {
  std::string frame;
  frame.push_back(static_cast<char>(0x81));
  const uint64_t n = payload.size();
  if (n <= 125) {
    frame.push_back(static_cast<char>(0x80 | n));
  } else if (n <= 0xffff) {
    frame.push_back(static_cast<char>(0x80 | 126));
    frame.push_back(static_cast<char>(n >> 8));
    frame.push_back(static_cast<char>(n & 0xff));
  } else {
    frame.push_back(static_cast<char>(0x80 | 127));
    for (int shift = 56; shift >= 0; shift -= 8) frame.push_back(static_cast<char>(n >> shift));
  }
  uint8_t key[4] = {0, 0, 0, 0};
  RAND_bytes(key, sizeof key);
  frame.append(reinterpret_cast<const char*>(key), sizeof key);
  for (size_t i = 0; i < payload.size(); ++i) {
    frame.push_back(static_cast<char>(static_cast<uint8_t>(payload[i]) ^ key[i % 4]));
  }
  return frame;
}

int channel::open(const tls_context& t, std::string* error) {
  pending_.clear();
  if (conn_.connect(t, error) != 0) return -1;
  uint8_t nonce[16];
  if (RAND_bytes(nonce, sizeof nonce) != 1) {
    *error = "no random bytes for the WebSocket key";
    return -1;
  }
  const std::string key = kt::base64encode_(nonce, sizeof nonce);
  const std::string request = "GET / HTTP/1.1\r\nHost: " + t.host +
                              "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                              "Sec-WebSocket-Key: " +
                              key + "\r\nSec-WebSocket-Version: 13\r\n\r\n";
  if (conn_.write_all(request) != 0) {
    *error = "sending the WebSocket upgrade failed";
    return -1;
  }
  kt::htmldoc answer;
  char chunk[kReadChunk];
  int state = 1;
  while (state == 1) {
    const long n = conn_.read_some(chunk, sizeof chunk);
    if (n <= 0) break;
    state = answer.wrap(chunk, static_cast<size_t>(n));
  }
  if (state != 0 || answer.uri() != "101") {
    *error = "the server refused the WebSocket upgrade";
    return -1;
  }
  // The accept value proves that the server read our key.
  const std::string keyed = key + std::string(kt::kWebsocketKeyGuid);
  uint8_t digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const uint8_t*>(keyed.data()), keyed.size(), digest);
  const std::string* accept = kt::htmldoc_getvalue_option(answer.headers(), "Sec-WebSocket-Accept");
  if (accept == nullptr || *accept != kt::base64encode_(digest, sizeof digest)) {
    *error = "the server's WebSocket answer does not match the key";
    return -1;
  }
  pending_.assign(answer.body());
  return 0;
}

long channel::bind(const std::string& token, int timeout_ms, std::string* error) {
  conn_.extend(timeout_ms);
  std::string doc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><orvane><auth token=\"";
  for (char ch : token) doc += ch == '"' ? std::string("&quot;") : std::string(1, ch);
  doc += "\"/></orvane>";
  if (conn_.write_all(channel_frame(doc)) != 0) {
    *error = "sending the channel's auth message failed";
    return -1;
  }
  std::string payload;
  for (;;) {
    const int rc = next(&payload, timeout_ms, -1);
    if (rc < 0) {
      *error = "the channel ended before its auth answer";
      return -1;
    }
    if (rc == 0) {
      *error = "no auth answer on the channel";
      return -1;
    }
    // Answers and notifications share the channel: the answer is the one with "res".
    kt::xmldoc d;
    if (d.parse(payload) != 0 || d.root() == nullptr) continue;
    const kt::xmldoc_node* res = d.root()->get("res");
    if (res == nullptr) continue;
    const std::string code(res->attr_get_value("code"));
    if (code.empty() || code.size() > 10 ||
        code.find_first_not_of("0123456789") != std::string::npos) {
      *error = "malformed auth answer";
      return -1;
    }
    return std::stol(code);
  }
}

int channel::take(std::string* payload) {
  size_t consumed = 0;
  const int rc = kt::websocket_wrap(pending_, *payload, consumed, kMaxMessage);
  if (rc == 0) {
    pending_.erase(0, consumed);
    return 1;
  }
  return rc > 0 ? 0 : -1;  // close frame or oversized: the channel ends
}

int channel::next(std::string* payload, int timeout_ms, int wake_fd) {
  const int64_t deadline = monotonic_ms() + timeout_ms;
  char chunk[kReadChunk];
  for (;;) {
    if (const int rc = take(payload); rc != 0) return rc;
    if (!conn_.pending()) {
      const int64_t left = deadline - monotonic_ms();
      if (left <= 0) return 0;
      pollfd fds[2] = {{conn_.fd(), POLLIN, 0}, {wake_fd, POLLIN, 0}};
      const int n = ::poll(fds, wake_fd >= 0 ? 2 : 1, static_cast<int>(left));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return -1;
      if (n == 0) return 0;
      if (wake_fd >= 0 && (fds[1].revents & POLLIN) != 0 && (fds[0].revents & POLLIN) == 0) {
        return 0;
      }
    }
    const long got = conn_.read_now(chunk, sizeof chunk);
    if (got == -2) continue;
    if (got <= 0) return -1;
    pending_.append(chunk, static_cast<size_t>(got));
  }
}

}  // namespace orvane_hostd
