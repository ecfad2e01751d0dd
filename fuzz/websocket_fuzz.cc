// Decodes client frames from the input until it is used up or a frame is incomplete, and checks
// the limit handling and that each payload survives a round trip through the encoder.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "network/websocket.h"

namespace {

constexpr size_t kLimit = 1500;

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "websocket_fuzz: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  size_t offset = 0;
  while (offset < size) {
    const uint8_t* frame = data + offset;
    const size_t left = size - offset;
    std::string payload;
    size_t consumed = 0;
    const int rc = kt::websocket_wrap(frame, left, payload, consumed);
    check(rc == 0 || rc == kt::WEBSOCKET_CLOSE || (rc >= 1 && rc <= 7), "result out of range");

    std::string limited;
    size_t limited_consumed = 0;
    const int limited_rc = kt::websocket_wrap(frame, left, limited, limited_consumed, kLimit);
    if (limited_rc == kt::WEBSOCKET_TOO_LARGE) {
      check(rc != 0 || payload.size() > kLimit, "refused a frame within the limit");
    } else if (rc == 0 && payload.size() <= kLimit) {
      check(limited_rc == 0 && limited == payload && limited_consumed == consumed,
            "limit changed a small frame");
    } else if (rc == 0) {
      check(false, "accepted a frame over the limit");
    }
    if (rc != 0) break;

    check(consumed > 0 && consumed <= left, "consumed count out of range");
    check(payload.size() < consumed, "payload larger than its frame");

    std::string encoded;
    check(kt::websocket_unwrap(payload, encoded) == 0, "encode failed");
    std::string decoded;
    size_t decoded_consumed = 0;
    check(kt::websocket_wrap(encoded, decoded, decoded_consumed) == 0, "encoded frame unreadable");
    check(decoded == payload && decoded_consumed == encoded.size(), "round trip differs");
    offset += consumed;
  }
  return 0;
}
