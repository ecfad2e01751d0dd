// Test support: a WebSocket client for the server's notification channel, over plain TCP or TLS
// 1.2. It performs the opening handshake, sends masked client frames (whole or as raw bytes) and
// reads the server's frames with a timeout.
#ifndef ORVANE_TESTS_SUPPORT_WEBSOCKET_CLIENT_H_
#define ORVANE_TESTS_SUPPORT_WEBSOCKET_CLIENT_H_

#include <openssl/ssl.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace orvane_test {

// Result of waiting for a server frame.
enum class ws_read { frame, timeout, closed };

class websocket_client {
 public:
  websocket_client() = default;
  ~websocket_client();
  websocket_client(const websocket_client&) = delete;
  websocket_client& operator=(const websocket_client&) = delete;

  // Connects to 127.0.0.1:port (with TLS when tls is set) and upgrades the connection. True when
  // the server answered "101 Switching Protocols".
  bool open(uint16_t port, bool tls, int timeout_ms = 5000);
  void close();

  // The server's upgrade answer (status line and headers).
  const std::string& handshake_answer() const { return handshake_; }

  // One masked client frame (final bit set) with the given opcode.
  static std::string frame(std::string_view payload, uint8_t opcode = 0x1);

  // Writes raw bytes; false when the connection refuses them.
  bool send_raw(std::string_view bytes);
  bool send_text(std::string_view payload) { return send_raw(frame(payload)); }
  bool send_close() { return send_raw(frame("", 0x8)); }

  // Waits for one server frame; payload and opcode are set on ws_read::frame.
  ws_read read_frame(std::string* payload, int timeout_ms, uint8_t* opcode = nullptr);
  // Sends an "auth" message for the token and returns the code of the answer's "res", or -1.
  long auth(const std::string& token, int timeout_ms = 5000);

 private:
  // Reads more bytes into pending_; 0 on timeout, -1 when the connection closed.
  int fill(int timeout_ms);
  // Decodes one frame from pending_ when it is complete.
  bool take_frame(std::string* payload, uint8_t* opcode);

  int fd_ = -1;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  std::string handshake_;
  std::string pending_;
};

// The code attribute of the "res" element of an answer document, or -1.
long ws_result_code(const std::string& document);

}  // namespace orvane_test

#endif  // ORVANE_TESTS_SUPPORT_WEBSOCKET_CLIENT_H_
