// WebSocket (RFC 6455): the opening handshake answer and the base framing of the server side.
//
// Decoding reads one client frame from the start of the received bytes; every opcode other than
// close is taken as a data frame and the final-fragment bit is ignored. Encoding writes one
// unmasked final text frame. No state is kept between calls.
#ifndef KT_NETWORK_WEBSOCKET_H_
#define KT_NETWORK_WEBSOCKET_H_

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "htmldoc/htmldoc.h"

namespace kt {

inline constexpr std::string_view kWebsocketKeyHeader = "Sec-WebSocket-Key";
inline constexpr std::string_view kWebsocketKeyGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
// The key and the suffix must fit this buffer (with a terminator) to be used.
inline constexpr size_t kWebsocketKeyBuffer = 1500;

// websocket_wrap results besides 0 and the "bytes missing" codes 1 to 7.
inline constexpr int WEBSOCKET_CLOSE = -8;      // a close frame (opcode 8)
inline constexpr int WEBSOCKET_TOO_LARGE = -9;  // the frame announces more than max_payload
inline constexpr size_t kWebsocketNoLimit = std::numeric_limits<size_t>::max();

// Answers an upgrade request: when request has a non-empty Sec-WebSocket-Key header, fills
// response with "HTTP/1.1 101 Switching Protocols" and the Upgrade, Connection and
// Sec-WebSocket-Accept headers (appended in that order) and returns 0. Returns 1, leaving the
// response untouched, when there is no usable key; -1 when the digest cannot be computed.
int websocket_handshake(const htmldoc& request, htmldoc& response);

// Decodes one client frame from data. On 0, payload holds the unmasked payload and consumed the
// frame's size (header plus payload); later bytes belong to the next frame. Otherwise payload and
// consumed are untouched and the result is
//   1..7                 not enough bytes yet (1: under 2 bytes; 2, 3: 16-bit length form
//                        without its length or mask key; 4, 5: the same for the 64-bit form;
//                        6: short form without its mask key; 7: payload incomplete),
//   WEBSOCKET_CLOSE      a close frame, whatever its length,
//   WEBSOCKET_TOO_LARGE  the announced payload exceeds max_payload; reported as soon as the
//                        length is readable, so a huge frame is never waited for.
int websocket_wrap(const uint8_t* data, size_t count, std::string& payload, size_t& consumed,
                   size_t max_payload = kWebsocketNoLimit);
inline int websocket_wrap(std::string_view data, std::string& payload, size_t& consumed,
                          size_t max_payload = kWebsocketNoLimit) {
  return websocket_wrap(reinterpret_cast<const uint8_t*>(data.data()), data.size(), payload,
                        consumed, max_payload);
}

// Encodes payload as one final text frame (0x81) into frame (replaced): a length up to 125 in
// the second byte, up to 65,535 as 126 and a 16-bit big-endian length, beyond that as 127 and a
// 64-bit big-endian length. Returns 0.
int websocket_unwrap(std::string_view payload, std::string& frame);

}  // namespace kt

#endif  // KT_NETWORK_WEBSOCKET_H_
