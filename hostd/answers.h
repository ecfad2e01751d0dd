// The answers of the daemon's socket to lookups (format in hostproto/protocol.h), made from the
// entries in memory.
#ifndef ORVANE_HOSTD_ANSWERS_H_
#define ORVANE_HOSTD_ANSWERS_H_

#include <string>
#include <string_view>

namespace orvane_hostd {

struct snapshot;

// The answer to a lookup request: "pwnam NAME", "pwuid N", "pwent I" (the I-th entry, from 0),
// "grnam NAME", "grgid N", "grent I", "initgroups NAME" or "status". s may be null (no data
// yet: code 2). Unknown or malformed requests get code 7.
std::string answer_lookup(const snapshot* s, bool stale, bool online, std::string_view request);

// The first line of every answer.
std::string answer_head(int code, bool stale);

}  // namespace orvane_hostd

#endif  // ORVANE_HOSTD_ANSWERS_H_
