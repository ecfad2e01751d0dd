// What orvane-hostd, the name-service module and the PAM module share: the default paths with
// their environment overrides, and the request/answer format of the daemon's Unix socket.
//
// Socket exchange: one request and one answer per connection, each a 4-byte little-endian
// length followed by that many bytes. A request is "<op> <argument>" (no line break); an
// "auth" request adds a line break and the password bytes after the user name. An answer starts
// with the line "<code> <stale>" (stale: 1 when the daemon's data is older than its limit),
// followed by the entry lines of the operation:
//   passwd entry  "name:uid:gid:home:shell"
//   group entry   "name:gid:member,member,..."
//   groups        "gid gid ..." (initgroups)
// Fields never hold ':' or line breaks: the daemon leaves such entries out.
#ifndef ORVANE_HOSTPROTO_PROTOCOL_H_
#define ORVANE_HOSTPROTO_PROTOCOL_H_

#include <stddef.h>
#include <stdint.h>

namespace orvane_host {

// Default paths; the environment variables replace them (the modules read them through
// secure_getenv, so set-user-ID programs keep the defaults).
inline constexpr const char kDefaultSocket[] = "/run/orvane/hostd.sock";
inline constexpr const char kDefaultNssCache[] = "/var/lib/orvane/nss.cache";
inline constexpr const char kSocketEnv[] = "ORVANE_HOSTD_SOCKET";
inline constexpr const char kNssCacheEnv[] = "ORVANE_NSS_CACHE";

// Bounds of one exchange.
inline constexpr size_t kMaxRequest = 4096;
inline constexpr size_t kMaxAnswer = 4u << 20;
// Longest name or password the socket carries.
inline constexpr size_t kMaxName = 255;
inline constexpr size_t kMaxPassword = 511;

// Answer codes.
enum answer_code : int {
  HOSTD_OK = 0,
  HOSTD_NOT_FOUND = 1,    // no such entry, or the user is not one of the profile's
  HOSTD_UNAVAILABLE = 2,  // no data yet, or the server can't be asked and nothing is cached
  HOSTD_DENIED = 3,       // wrong password (or too many failures)
  HOSTD_EXPIRED = 4,      // the password has expired
  HOSTD_LOCKED = 5,       // the account is locked or disabled
  HOSTD_MUST_CHANGE = 6,  // the password must be changed on the server first
  HOSTD_BAD_REQUEST = 7,  // malformed, or not permitted for the caller
};

}  // namespace orvane_host

#endif  // ORVANE_HOSTPROTO_PROTOCOL_H_
