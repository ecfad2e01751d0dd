#include "network/websocket.h"

#include <openssl/evp.h>

#include "utils/base64.h"

namespace kt {

namespace {

constexpr uint8_t kOpcodeClose = 8;
constexpr uint8_t kTextFrame = 0x81;  // final fragment, text

}  // namespace

int websocket_handshake(const htmldoc& request, htmldoc& response) {
  // Header names are matched in any letter case: clients differ ("sec-websocket-key").
  const std::string* key = htmldoc_getvalue_option_nocase(request.headers(), kWebsocketKeyHeader);
  if (key == nullptr || key->empty()) return 1;
  if (key->size() + kWebsocketKeyGuid.size() >= kWebsocketKeyBuffer) return 1;

  std::string text = *key;
  text.append(kWebsocketKeyGuid);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_len = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &digest_len, EVP_sha1(), nullptr) != 1) {
    return -1;
  }
  const std::string accept = base64encode_(digest, digest_len);

  response.set_status_line("HTTP/1.1", 101, "Switching Protocols");
  htmldoc_add_option(response.headers(), "Upgrade", "websocket");
  htmldoc_add_option(response.headers(), "Connection", "Upgrade");
  htmldoc_add_option(response.headers(), "Sec-WebSocket-Accept", accept);
  return 0;
}

int websocket_wrap(const uint8_t* data, size_t count, std::string& payload, size_t& consumed,
                   size_t max_payload) {
  if (data == nullptr || count < 2) return 1;
  if ((data[0] & 0x0f) == kOpcodeClose) return WEBSOCKET_CLOSE;
  const bool masked = (data[1] & 0x80) != 0;
  const uint8_t short_length = data[1] & 0x7f;

  uint64_t length = 0;
  size_t header = 0;
  int missing_mask = 0;
  if (short_length == 126) {
    if (count < 4) return 2;
    length = (static_cast<uint64_t>(data[2]) << 8) | data[3];
    header = 4;
    missing_mask = 3;
  } else if (short_length == 127) {
    if (count < 10) return 4;
    for (size_t i = 2; i < 10; ++i) length = (length << 8) | data[i];
    header = 10;
    missing_mask = 5;
  } else {
    length = short_length;
    header = 2;
    missing_mask = 6;
  }
  if (length > max_payload) return WEBSOCKET_TOO_LARGE;
  const uint8_t* key = data + header;
  if (masked) {
    header += 4;
    if (count < header) return missing_mask;
  }
  if (length > count - header) return 7;

  const uint8_t* body = data + header;
  payload.assign(reinterpret_cast<const char*>(body), static_cast<size_t>(length));
  if (masked) {
    for (size_t i = 0; i < payload.size(); ++i)
      payload[i] = static_cast<char>(body[i] ^ key[i % 4]);
  }
  consumed = header + static_cast<size_t>(length);
  return 0;
}

int websocket_unwrap(std::string_view payload, std::string& frame) {
  const uint64_t length = payload.size();
  frame.clear();
  frame.reserve(payload.size() + 10);
  frame.push_back(static_cast<char>(kTextFrame));
  if (length <= 125) {
    frame.push_back(static_cast<char>(length));
  } else if (length <= 0xffff) {
    frame.push_back(static_cast<char>(126));
    frame.push_back(static_cast<char>(length >> 8));
    frame.push_back(static_cast<char>(length & 0xff));
  } else {
    frame.push_back(static_cast<char>(127));
    for (int shift = 56; shift >= 0; shift -= 8) {
      frame.push_back(static_cast<char>((length >> shift) & 0xff));
    }
  }
  frame.append(payload);
  return 0;
}

}  // namespace kt
