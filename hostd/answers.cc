#include "hostd/answers.h"

#include <cstdint>

#include "hostd/entries.h"
#include "hostproto/protocol.h"
#include "utils/numbers.h"

namespace orvane_hostd {

namespace {

using orvane_host::HOSTD_BAD_REQUEST;
using orvane_host::HOSTD_NOT_FOUND;
using orvane_host::HOSTD_OK;
using orvane_host::HOSTD_UNAVAILABLE;

bool number(std::string_view text, uint32_t* out) {
  uint64_t v = 0;
  if (!kt::decimal_parse(text, UINT32_MAX, &v)) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

std::string pw_line(const pw_entry& e) {
  const std::string id = std::to_string(e.uid);
  return e.name + ":" + id + ":" + id + ":" + e.home + ":" + e.shell + "\n";
}

std::string gr_line(const gr_entry& e) {
  std::string line = e.name + ":" + std::to_string(e.gid) + ":";
  for (size_t i = 0; i < e.members.size(); ++i) {
    if (i > 0) line += ',';
    line += e.members[i];
  }
  return line + "\n";
}

}  // namespace

std::string answer_head(int code, bool stale) {
  std::string head = std::to_string(code);
  head += stale ? " 1\n" : " 0\n";
  return head;
}

std::string answer_lookup(const snapshot* s, bool stale, bool online, std::string_view request) {
  const size_t space = request.find(' ');
  const std::string_view op = request.substr(0, space);
  const std::string_view arg =
      space == std::string_view::npos ? std::string_view() : request.substr(space + 1);
  if (op == "status") {
    std::string body = answer_head(HOSTD_OK, stale);
    body += "online=" + std::string(online ? "1" : "0");
    if (s != nullptr) {
      body += " fetched=" + std::to_string(s->fetched) +
              " users=" + std::to_string(s->users.size()) +
              " groups=" + std::to_string(s->groups.size());
    }
    return body + "\n";
  }
  if (arg.empty() || arg.size() > orvane_host::kMaxName)
    return answer_head(HOSTD_BAD_REQUEST, stale);
  if (s == nullptr) return answer_head(HOSTD_UNAVAILABLE, true);

  uint32_t n = 0;
  const pw_entry* pw = nullptr;
  const gr_entry* gr = nullptr;
  if (op == "pwnam") {
    pw = s->user(std::string(arg));
  } else if (op == "pwuid" || op == "pwent") {
    if (!number(arg, &n)) return answer_head(HOSTD_BAD_REQUEST, stale);
    pw = op == "pwuid" ? s->user(n) : (n < s->users.size() ? &s->users[n] : nullptr);
  } else if (op == "grnam") {
    gr = s->group(std::string(arg));
  } else if (op == "grgid" || op == "grent") {
    if (!number(arg, &n)) return answer_head(HOSTD_BAD_REQUEST, stale);
    gr = op == "grgid" ? s->group(n) : (n < s->groups.size() ? &s->groups[n] : nullptr);
  } else if (op == "initgroups") {
    std::string gids;
    for (const gr_entry& g : s->groups) {
      for (const std::string& m : g.members) {
        if (m != arg) continue;
        if (!gids.empty()) gids += ' ';
        gids += std::to_string(g.gid);
        break;
      }
    }
    if (gids.empty()) return answer_head(HOSTD_NOT_FOUND, stale);
    return answer_head(HOSTD_OK, stale) + gids + "\n";
  } else {
    return answer_head(HOSTD_BAD_REQUEST, stale);
  }
  if (pw != nullptr) return answer_head(HOSTD_OK, stale) + pw_line(*pw);
  if (gr != nullptr) return answer_head(HOSTD_OK, stale) + gr_line(*gr);
  return answer_head(HOSTD_NOT_FOUND, stale);
}

}  // namespace orvane_hostd
