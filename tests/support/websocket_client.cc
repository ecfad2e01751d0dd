#include "support/websocket_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "support/loopback.h"

namespace orvane_test {

namespace {

using steady = std::chrono::steady_clock;

int remaining_ms(steady::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

websocket_client::~websocket_client() {
  close();
}

void websocket_client::close() {
  if (ssl_ != nullptr) {
    SSL_free(ssl_);
    ssl_ = nullptr;
  }
  if (ctx_ != nullptr) {
    SSL_CTX_free(ctx_);
    ctx_ = nullptr;
  }
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  ERR_clear_error();
  pending_.clear();
}

bool websocket_client::open(uint16_t port, bool tls, int timeout_ms) {
  close();
  fd_ = loopback_connect(port, timeout_ms, 0);
  if (fd_ < 0) return false;
  if (tls) {
    timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    ctx_ = SSL_CTX_new(TLS_client_method());
    if (ctx_ == nullptr) return false;
    SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(ctx_, TLS1_2_VERSION);
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_NONE, nullptr);
    ssl_ = SSL_new(ctx_);
    SSL_set_fd(ssl_, fd_);
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (SSL_connect(ssl_) != 1) return false;
    timeval none{0, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
  }
  if (!send_raw("GET / HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\n"
                "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                "Sec-WebSocket-Version: 13\r\n\r\n")) {
    return false;
  }
  const steady::time_point deadline = steady::now() + std::chrono::milliseconds(timeout_ms);
  size_t end;
  while ((end = pending_.find("\r\n\r\n")) == std::string::npos) {
    if (fill(remaining_ms(deadline)) <= 0) return false;
  }
  handshake_ = pending_.substr(0, end + 4);
  pending_.erase(0, end + 4);
  return handshake_.rfind("HTTP/1.1 101", 0) == 0;
}

std::string websocket_client::frame(std::string_view payload, uint8_t opcode) {
  static const uint8_t kMask[4] = {0x37, 0xfa, 0x21, 0x3d};
  std::string out;
  out.push_back(static_cast<char>(0x80 | opcode));
  const size_t n = payload.size();
  if (n <= 125) {
    out.push_back(static_cast<char>(0x80 | n));
  } else if (n <= 0xffff) {
    out.push_back(static_cast<char>(0x80 | 126));
    out.push_back(static_cast<char>(n >> 8));
    out.push_back(static_cast<char>(n & 0xff));
  } else {
    out.push_back(static_cast<char>(0x80 | 127));
    for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<char>(n >> shift));
  }
  out.append(reinterpret_cast<const char*>(kMask), sizeof kMask);
  for (size_t i = 0; i < n; ++i) {
    out.push_back(static_cast<char>(static_cast<uint8_t>(payload[i]) ^ kMask[i % 4]));
  }
  return out;
}

bool websocket_client::send_raw(std::string_view bytes) {
  while (!bytes.empty()) {
    int n;
    if (ssl_ != nullptr) {
      n = SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size()));
    } else {
      n = static_cast<int>(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL));
    }
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

int websocket_client::fill(int timeout_ms) {
  if (fd_ < 0) return -1;
  if (ssl_ == nullptr || SSL_pending(ssl_) == 0) {
    pollfd p{fd_, POLLIN, 0};
    const int rc = ::poll(&p, 1, timeout_ms);
    if (rc == 0) return 0;
    if (rc < 0) return -1;
  }
  char chunk[4096];
  int n;
  if (ssl_ != nullptr) {
    n = SSL_read(ssl_, chunk, sizeof chunk);
    if (n <= 0) {
      const int err = SSL_get_error(ssl_, n);
      ERR_clear_error();
      // Only a TLS record that is still incomplete: not a close.
      if (err == SSL_ERROR_WANT_READ) return 0;
      return -1;
    }
  } else {
    n = static_cast<int>(::recv(fd_, chunk, sizeof chunk, 0));
    if (n <= 0) return -1;
  }
  pending_.append(chunk, static_cast<size_t>(n));
  return n;
}

bool websocket_client::take_frame(std::string* payload, uint8_t* opcode) {
  if (pending_.size() < 2) return false;
  const auto* b = reinterpret_cast<const uint8_t*>(pending_.data());
  const bool masked = (b[1] & 0x80) != 0;
  uint64_t length = b[1] & 0x7f;
  size_t header = 2;
  if (length == 126) {
    if (pending_.size() < 4) return false;
    length = (static_cast<uint64_t>(b[2]) << 8) | b[3];
    header = 4;
  } else if (length == 127) {
    if (pending_.size() < 10) return false;
    length = 0;
    for (int i = 0; i < 8; ++i) length = (length << 8) | b[2 + i];
    header = 10;
  }
  const size_t mask_at = header;
  if (masked) header += 4;
  if (pending_.size() < header || pending_.size() - header < length) return false;
  std::string out = pending_.substr(header, length);
  if (masked) {
    for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<char>(out[i] ^ b[mask_at + i % 4]);
  }
  if (opcode != nullptr) *opcode = b[0] & 0x0f;
  *payload = std::move(out);
  pending_.erase(0, header + length);
  return true;
}

ws_read websocket_client::read_frame(std::string* payload, int timeout_ms, uint8_t* opcode) {
  const steady::time_point deadline = steady::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (take_frame(payload, opcode)) return ws_read::frame;
    const int left = remaining_ms(deadline);
    if (left == 0) return ws_read::timeout;
    const int rc = fill(left);
    if (rc < 0) return ws_read::closed;
  }
}

long websocket_client::auth(const std::string& token, int timeout_ms) {
  if (!send_text("<m><auth token=\"" + token + "\"/></m>")) return -1;
  std::string answer;
  if (read_frame(&answer, timeout_ms) != ws_read::frame) return -1;
  return ws_result_code(answer);
}

long ws_result_code(const std::string& document) {
  const size_t res = document.find("<res ");
  if (res == std::string::npos) return -1;
  const size_t code = document.find("code=\"", res);
  if (code == std::string::npos) return -1;
  return std::strtol(document.c_str() + code + 6, nullptr, 10);
}

}  // namespace orvane_test
