#include "network/websocket.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "buffers/buffer.h"
#include "htmldoc/htmldoc.h"

namespace kt {
namespace {

using bytes = std::vector<uint8_t>;

int decode(const bytes& frame, std::string& payload, size_t& consumed,
           size_t limit = kWebsocketNoLimit) {
  return websocket_wrap(frame.data(), frame.size(), payload, consumed, limit);
}

std::string serialise(const htmldoc& doc) {
  buffer out;
  EXPECT_EQ(doc.unwrap(out, false), 0);
  return std::string(out.view());
}

TEST(WebsocketHandshakeTest, Rfc6455Example) {
  htmldoc request;
  ASSERT_EQ(request.wrap("GET /chat HTTP/1.1\r\n"
                         "Host: server.example.com\r\n"
                         "Upgrade: websocket\r\n"
                         "Connection: Upgrade\r\n"
                         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                         "Sec-WebSocket-Version: 13\r\n\r\n"),
            0);
  htmldoc response;
  ASSERT_EQ(websocket_handshake(request, response), 0);
  EXPECT_EQ(serialise(response),
            "HTTP/1.1 101 Switching Protocols\r\n"
            "Upgrade: websocket\r\n"
            "Connection: Upgrade\r\n"
            "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n");
}

TEST(WebsocketHandshakeTest, NoUsableKeyLeavesResponseUntouched) {
  htmldoc response;
  response.set_status_line("HTTP/1.0", 200, "OK");
  htmldoc_add_option(response.headers(), "Server", "x");
  const std::string before = serialise(response);

  htmldoc plain;
  ASSERT_EQ(plain.wrap("GET / HTTP/1.1\r\nHost: h\r\nUpgrade: websocket\r\n\r\n"), 0);
  EXPECT_EQ(websocket_handshake(plain, response), 1);

  htmldoc empty;
  htmldoc_add_option(empty.headers(), std::string(kWebsocketKeyHeader), "");
  EXPECT_EQ(websocket_handshake(empty, response), 1);

  EXPECT_EQ(serialise(response), before);
}

TEST(WebsocketHandshakeTest, KeyHeaderNameInAnyLetterCase) {
  for (const char* name : {"sec-websocket-key", "SEC-WEBSOCKET-KEY", "Sec-Websocket-Key"}) {
    htmldoc request;
    ASSERT_EQ(request.wrap(std::string("GET / HTTP/1.1\r\n") + name +
                           ": dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n"),
              0);
    htmldoc response;
    ASSERT_EQ(websocket_handshake(request, response), 0) << name;
    EXPECT_EQ(*htmldoc_getvalue_option(response.headers(), "Sec-WebSocket-Accept"),
              "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
  }
}

TEST(WebsocketHandshakeTest, KeyMustFitTheBuffer) {
  const size_t longest = kWebsocketKeyBuffer - 1 - kWebsocketKeyGuid.size();
  htmldoc fits;
  htmldoc_add_option(fits.headers(), std::string(kWebsocketKeyHeader), std::string(longest, 'k'));
  htmldoc response;
  EXPECT_EQ(websocket_handshake(fits, response), 0);

  htmldoc too_long;
  htmldoc_add_option(too_long.headers(), std::string(kWebsocketKeyHeader),
                     std::string(longest + 1, 'k'));
  htmldoc untouched;
  EXPECT_EQ(websocket_handshake(too_long, untouched), 1);
  EXPECT_TRUE(untouched.headers().empty());
}

TEST(WebsocketWrapTest, MaskedText) {
  const uint8_t key[4] = {0x37, 0xfa, 0x21, 0x3d};
  bytes frame = {0x81, 0x83, key[0], key[1], key[2], key[3]};
  for (int i = 0; i < 3; ++i) frame.push_back(static_cast<uint8_t>("abc"[i] ^ key[i % 4]));
  // A second frame follows; it is not touched.
  frame.insert(frame.end(), {0x81, 0x02, 'h', 'i'});
  std::string payload;
  size_t consumed = 0;
  ASSERT_EQ(decode(frame, payload, consumed), 0);
  EXPECT_EQ(payload, "abc");
  EXPECT_EQ(consumed, 9u);
  ASSERT_EQ(websocket_wrap(frame.data() + consumed, frame.size() - consumed, payload, consumed), 0);
  EXPECT_EQ(payload, "hi");
  EXPECT_EQ(consumed, 4u);
}

TEST(WebsocketWrapTest, EveryDataOpcodeIsData) {
  for (uint8_t first : {0x00, 0x01, 0x02, 0x09, 0x0a, 0x0f, 0x71}) {
    const bytes frame = {first, 0x01, 'z'};
    std::string payload;
    size_t consumed = 0;
    ASSERT_EQ(decode(frame, payload, consumed), 0) << int(first);
    EXPECT_EQ(payload, "z");
  }
}

TEST(WebsocketWrapTest, MissingBytes) {
  struct Case {
    bytes frame;
    int rc;
  };
  const Case cases[] = {
      {{}, 1},
      {{0x81}, 1},
      {{0x81, 126, 0x01}, 2},
      {{0x81, 0x80 | 126, 0x00, 0x05, 1, 2, 3}, 3},
      {{0x81, 127, 0, 0, 0, 0, 0, 0, 0}, 4},
      {{0x81, 0x80 | 127, 0, 0, 0, 0, 0, 0, 0, 5, 1, 2, 3}, 5},
      {{0x81, 0x83, 1, 2, 3}, 6},
      {{0x81, 0x05, 'a', 'b'}, 7},
      {{0x81, 0x85, 1, 2, 3, 4, 'a'}, 7},
      {{0x81, 126, 0x01, 0x2c, 'a'}, 7},
      // The largest 64-bit length must not wrap around.
      {{0x81, 127, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 'a'}, 7},
  };
  for (const Case& c : cases) {
    std::string payload = "keep";
    size_t consumed = 42;
    EXPECT_EQ(decode(c.frame, payload, consumed), c.rc) << c.frame.size();
    EXPECT_EQ(payload, "keep");
    EXPECT_EQ(consumed, 42u);
  }
}

TEST(WebsocketWrapTest, CloseWhateverItsLength) {
  for (const bytes& frame : {bytes{0x88, 0x00}, bytes{0x88, 0x82, 1, 2, 3, 4, 5, 6},
                             bytes{0x08, 127}, bytes{0x88, 126}}) {
    std::string payload;
    size_t consumed = 0;
    EXPECT_EQ(decode(frame, payload, consumed), WEBSOCKET_CLOSE);
  }
}

TEST(WebsocketWrapTest, OversizedFrameRefusedEarly) {
  std::string payload;
  size_t consumed = 0;
  // Only the length bytes are present; the limit is known to be passed already.
  EXPECT_EQ(decode({0x81, 0x80 | 126, 0x05, 0xdd}, payload, consumed, 1500), WEBSOCKET_TOO_LARGE);
  EXPECT_EQ(decode({0x81, 0x80 | 127, 0, 0, 0, 1, 0, 0, 0, 0}, payload, consumed, 1500),
            WEBSOCKET_TOO_LARGE);
  EXPECT_EQ(decode({0x81, 0x80 | 100}, payload, consumed, 99), WEBSOCKET_TOO_LARGE);
  // Exactly at the limit the frame is awaited and then decoded.
  bytes frame = {0x81, 126, 0x05, 0xdc};
  EXPECT_EQ(decode(frame, payload, consumed, 1500), 7);
  frame.resize(frame.size() + 1500, 'p');
  ASSERT_EQ(decode(frame, payload, consumed, 1500), 0);
  EXPECT_EQ(payload.size(), 1500u);
  EXPECT_EQ(consumed, 1504u);
}

TEST(WebsocketUnwrapTest, HeaderForms) {
  struct Case {
    size_t length;
    bytes header;
  };
  const Case cases[] = {
      {0, {0x81, 0}},
      {125, {0x81, 125}},
      {126, {0x81, 126, 0x00, 0x7e}},
      {300, {0x81, 126, 0x01, 0x2c}},
      {65535, {0x81, 126, 0xff, 0xff}},
      {65536, {0x81, 127, 0, 0, 0, 0, 0, 1, 0, 0}},
  };
  for (const Case& c : cases) {
    const std::string payload(c.length, 'q');
    std::string frame;
    ASSERT_EQ(websocket_unwrap(payload, frame), 0);
    ASSERT_EQ(frame.size(), c.header.size() + c.length) << c.length;
    EXPECT_EQ(bytes(frame.begin(), frame.begin() + c.header.size()), c.header) << c.length;
    EXPECT_EQ(frame.substr(c.header.size()), payload);

    // What the server writes reads back.
    std::string decoded;
    size_t consumed = 0;
    ASSERT_EQ(websocket_wrap(frame, decoded, consumed), 0) << c.length;
    EXPECT_EQ(decoded, payload);
    EXPECT_EQ(consumed, frame.size());
  }
}

}  // namespace
}  // namespace kt
