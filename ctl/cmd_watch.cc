// watch: prints the change notifications of the WebSocket channel as they arrive. The channel
// binds the stored token; when the token ends (the server closes the channel) it is renewed
// with the stored identity and bound again, and a lost connection is retried with a growing
// pause, so a watch rides out a server restart or a failover.
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "commands.h"
#include "network/websocket.h"
#include "objects.h"

namespace ctl {

namespace {

constexpr size_t kMaxFrame = 1 << 20;
constexpr int kMaxPauseSeconds = 30;

class watcher {
 public:
  explicit watcher(context& c) : c_(c), limit_(0) {
    parse_number(c.args.get("count", "0"), &limit_);
  }

  int run() {
    url u;
    std::string error;
    if (!parse_url(c_.server, &u, &error)) return c_.usage_error(error);
    int pause = 1;
    bool ever_bound = false;
    while (true) {
      const int rc = session(u, &error);
      if (rc >= 0) return rc;
      if (rc == kTokenEnded) {
        // The channel closed because its token ended: renew it, or stop.
        if (!c_.renew_token()) {
          answer a;
          a.sent = true;
          a.code = CODE_TOKEN_NOT_FOUND;
          a.msg = "the token ended and cannot be renewed";
          return c_.fail(a);
        }
        continue;
      }
      if (rc == kBound) ever_bound = true;
      if (!ever_bound && rc == kUnreachable) {
        answer a;
        a.error = error;
        return c_.fail(a);
      }
      if (rc == kBound) pause = 1;
      std::fprintf(stderr, "orvanectl: %s; again in %d s\n", error.c_str(), pause);
      ::sleep(static_cast<unsigned>(pause));
      pause = std::min(pause * 2, kMaxPauseSeconds);
      // Was it the token? A valid one is kept; an ended one renewed (call does that).
      const answer check = c_.call(c_.command("isValidToken"));
      if (check.sent && check.code == CODE_TOKEN_NOT_FOUND && !c_.renew_token()) {
        return c_.fail(check);
      }
    }
  }

 private:
  static constexpr int kUnreachable = -1;  // no channel was opened
  static constexpr int kBound = -2;        // bound, then the connection ended
  static constexpr int kTokenEnded = -3;   // the token was refused or the channel closed
  static constexpr int kDone = 1;          // --count reached

  // One channel: connect, upgrade, bind, print. Returns an exit status when the watch is over
  // (--count reached), else one of the negative outcomes.
  int session(const url& u, std::string* error) {
    std::unique_ptr<connection> conn = connection::open(u, c_.tls, error);
    if (!conn) return kUnreachable;
    std::string pending;
    if (!websocket_upgrade(*conn, u, c_.tls.timeout_ms, &pending, error)) return kUnreachable;
    const std::string auth =
        "<orvane><auth token=\"" + c_.stored.token + "\"/></orvane>";  // base64: no escaping
    if (!conn->write_all(websocket_client_frame(auth))) {
      *error = "the channel closed";
      return kUnreachable;
    }
    bool bound = false;
    char chunk[16384];
    while (true) {
      std::string payload;
      size_t used = 0;
      const int rc = kt::websocket_wrap(pending, payload, used, kMaxFrame);
      if (rc == 0) {
        pending.erase(0, used);
        const int outcome = handle(payload, &bound);
        if (outcome == kDone) return 0;
        if (outcome != 0) return outcome;
        continue;
      }
      if (rc < 0) {  // a close frame (the token ended) or an oversized one
        *error = "the server closed the channel";
        return bound ? kTokenEnded : kUnreachable;
      }
      const long n = conn->read_some(chunk, sizeof chunk, -1);
      if (n <= 0) {
        *error = "the channel closed";
        return bound ? kBound : kUnreachable;
      }
      pending.append(chunk, static_cast<size_t>(n));
    }
  }

  // One message: the answer to "auth" or a change document. 0 to go on.
  int handle(const std::string& payload, bool* bound) {
    kt::xmldoc doc;
    if (doc.parse(payload) != 0 || doc.root() == nullptr) return 0;
    if (const kt::xmldoc_node* res = doc.root()->get("res")) {
      if (res->attr_get_value("code") != "0") return kTokenEnded;
      *bound = true;
      if (c_.fmt == format::table) {
        std::fprintf(stderr, "watching %s at %s\n", c_.domain.c_str(), c_.server.c_str());
      }
      return 0;
    }
    const kt::xmldoc_node* change = doc.root()->get("change");
    if (change == nullptr) return 0;
    print(*change, payload);
    if (limit_ != 0 && ++printed_ >= limit_) return kDone;
    return 0;
  }

  void print(const kt::xmldoc_node& ch, const std::string& payload) {
    const std::string when = time_text(std::to_string(::time(nullptr)));
    switch (c_.fmt) {
      case format::xml:
        std::printf("%s\n", payload.c_str());
        break;
      case format::json:
        std::printf(
            "{\"time\": %s, \"domain\": %s, \"user\": %s, \"type\": %s, \"id\": %s, "
            "\"change\": %s}\n",
            json_quote(when).c_str(), json_quote(attr(&ch, "domain")).c_str(),
            json_quote(attr(&ch, "user")).c_str(), json_quote(attr(&ch, "objType")).c_str(),
            json_quote(attr(&ch, "objId")).c_str(), json_quote(attr(&ch, "changeType")).c_str());
        break;
      case format::table:
        if (!header_) {
          std::printf("%-19s  %-20s  %-20s  %-10s  %-20s  %s\n", "TIME", "DOMAIN", "USER", "TYPE",
                      "OBJECT", "CHANGE");
          header_ = true;
        }
        std::printf("%-19s  %-20s  %-20s  %-10s  %-20s  %s\n", when.c_str(),
                    attr(&ch, "domain").c_str(), attr(&ch, "user").c_str(),
                    attr(&ch, "objType").c_str(), attr(&ch, "objId").c_str(),
                    attr(&ch, "changeType").c_str());
        break;
    }
    std::fflush(stdout);
  }

  context& c_;
  uint64_t limit_;
  uint64_t printed_ = 0;
  bool header_ = false;
};

int watch(context& c, const std::vector<std::string>&) {
  if (!c.session_matches()) {
    return c.local_error("not logged in to " + c.domain + " at " + c.server);
  }
  return watcher(c).run();
}

constexpr verb kWatch[] = {{"", "[--count N]",
                            "Prints every change notification the stored token may see (object\n"
                            "inserted, edited or removed) as it arrives, until interrupted or\n"
                            "after N of them. An ended token is renewed with the stored identity\n"
                            "and the channel bound again; a lost connection is retried.",
                            "count", 0, 0, watch}};

}  // namespace

const family kWatchFamily{"watch", "print change notifications as they arrive", kWatch, 1};

}  // namespace ctl
