// Tokens: the opaque strings that callers quote after authenticating. Tokens live only in memory,
// in the server-wide token table, and expire after a per-domain idle time.
#ifndef ORVANE_OBJECTS_TOKENS_TOKEN_H_
#define ORVANE_OBJECTS_TOKENS_TOKEN_H_

#include <atomic>
#include <cstdint>
#include <string>

#include "utils/refobj.h"

namespace orvane {

class domain;
class user;

class token : public kt::ref_object {
 public:
  token();
  ~token() override;  // token_free

  uint64_t id = 0;
  std::string key;  // the token string; key of the token table
  // Seconds since the epoch after which the sweep removes the token; 0 = never. Refreshed by
  // every command that quotes the token, from any thread.
  std::atomic<uint32_t> expire{0};
  kt::ref_ptr<domain> dom;  // the domain the user authenticated in
  kt::ref_ptr<user> usr;    // the authenticated user
};

}  // namespace orvane

#endif  // ORVANE_OBJECTS_TOKENS_TOKEN_H_
