#include "hostd/sync.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <random>

#include "hostd/channel.h"
#include "hostd/config.h"
#include "hostd/remote.h"
#include "hostd/state.h"
#include "hostd/tls.h"
#include "utils/logger.h"
#include "xmldoc/xmldoc.h"

namespace orvane_hostd {

namespace {

constexpr int64_t kBackoffBaseMs = 1000;
constexpr int64_t kBackoffCapMs = 60000;
// Changes that come in a burst are fetched once, this long after the first.
constexpr int64_t kCoalesceMs = 100;

}  // namespace

bool change_concerns(const std::string& document, uint64_t domain_id) {
  kt::xmldoc d;
  if (d.parse(document) != 0 || d.root() == nullptr) return false;
  const kt::xmldoc_node* change = d.root()->get("change");
  if (change == nullptr) return false;
  const std::string_view type = change->attr_get_value("objType");
  if (type != "user" && type != "group" && type != "nssprofile") return false;
  return change->attr_get_value("domain") == std::to_string(domain_id);
}

int64_t backoff_ms(unsigned failures, int64_t base_ms, int64_t cap_ms) {
  int64_t limit = base_ms;
  for (unsigned i = 1; i < failures && limit < cap_ms; ++i) limit *= 2;
  limit = std::min(limit, cap_ms);
  thread_local std::mt19937_64 random{std::random_device{}()};
  return std::uniform_int_distribution<int64_t>(limit / 2, limit)(random);
}

int syncer::start() {
  wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake_fd_ < 0) return -1;
  stopping_.store(false);
  thread_ = std::thread([this] { run(); });
  return 0;
}

void syncer::stop() {
  if (!thread_.joinable()) return;
  stopping_.store(true);
  const uint64_t one = 1;
  if (::write(wake_fd_, &one, sizeof one) != sizeof one) {
    KT_LOG_ERR("can't wake the sync thread");
  }
  thread_.join();
  ::close(wake_fd_);
  wake_fd_ = -1;
}

bool syncer::pause(int64_t ms) {
  pollfd p{wake_fd_, POLLIN, 0};
  const int64_t deadline = monotonic_ms() + ms;
  while (!stopping_.load()) {
    const int64_t left = deadline - monotonic_ms();
    if (left <= 0) return true;
    ::poll(&p, 1, static_cast<int>(left));
  }
  return false;
}

bool syncer::ensure_token() {
  std::string error;
  if (token_.empty()) token_ = s_.load_token();
  if (!token_.empty()) {
    const long code = r_.check_token(token_, &error);
    if (code == kUnreachable) {
      KT_LOG_WARN("server unreachable: %s", error.c_str());
      return false;
    }
    if (code != kCodeOk) token_.clear();  // ended: log in again
  }
  if (token_.empty()) {
    long code = 0;
    token_ = r_.login(&code, &error);
    if (token_.empty()) {
      if (code == kUnreachable) {
        KT_LOG_WARN("server unreachable: %s", error.c_str());
      } else {
        KT_LOG_ERR("service account %s: login refused (code %ld)", c_.user.c_str(), code);
        refused_ = true;
      }
      return false;
    }
    s_.save_token(token_);
    domain_id_ = 0;
  }
  if (domain_id_ == 0) {
    const long code = r_.token_domain(token_, &domain_id_, &error);
    if (code != kCodeOk) {
      if (code == kCodeTokenNotFound) token_.clear();
      KT_LOG_WARN("getTokenInfo: %s (code %ld)", error.c_str(), code);
      return false;
    }
  }
  return true;
}

bool syncer::refresh() {
  snapshot s;
  std::string error;
  const uint64_t fetched = epoch_seconds();
  const long code = r_.fetch(token_, &s, &error);
  if (code != kCodeOk) {
    if (code == kUnreachable) {
      KT_LOG_WARN("fetch: server unreachable: %s", error.c_str());
    } else {
      KT_LOG_ERR("fetch of profile %s refused (code %ld)", c_.profile.c_str(), code);
    }
    s_.set_online(false);
    return false;
  }
  s.fetched = fetched;
  KT_LOG_INFO("profile %s: %zu users, %zu groups", c_.profile.c_str(), s.users.size(),
              s.groups.size());
  s_.install(std::move(s));
  s_.set_online(true);
  return true;
}

void syncer::serve_channel() {
  std::string error;
  channel ch;
  if (ch.open(*r_.tls(), &error) != 0) {
    KT_LOG_WARN("channel: %s", error.c_str());
    s_.set_online(false);
    return;
  }
  const long bound = ch.bind(token_, static_cast<int>(c_.timeout * 1000), &error);
  if (bound != kCodeOk) {
    if (bound == kCodeTokenNotFound) {
      token_.clear();
    } else {
      KT_LOG_WARN("channel bind: %s (code %ld)", error.c_str(), bound);
    }
    return;
  }
  // Changes made before the bind are not announced: fetch now.
  if (!refresh()) return;
  failures_ = 0;
  int64_t next_refresh = monotonic_ms() + static_cast<int64_t>(c_.refresh_interval) * 1000;
  int64_t due = -1;  // a change waits for its fetch until then
  std::string payload;
  while (!stopping_.load()) {
    const int64_t now = monotonic_ms();
    if (now >= next_refresh || (due >= 0 && now >= due)) {
      if (!refresh()) return;
      next_refresh = monotonic_ms() + static_cast<int64_t>(c_.refresh_interval) * 1000;
      due = -1;
      continue;
    }
    const int64_t until = due >= 0 ? std::min(due, next_refresh) : next_refresh;
    const int rc = ch.next(&payload, static_cast<int>(until - now), wake_fd_);
    if (rc < 0) {
      KT_LOG_INFO("channel closed by the server");
      return;
    }
    if (rc == 1 && change_concerns(payload, domain_id_) && due < 0) {
      due = monotonic_ms() + kCoalesceMs;
    }
  }
}

void syncer::run() {
  while (!stopping_.load()) {
    refused_ = false;
    if (ensure_token()) {
      serve_channel();
      if (stopping_.load()) return;
      // Whether the channel ended with the token is told by the next ensure_token().
    } else if (refused_) {
      // Without the channel the entries are still fetched, at every retry.
      refresh();
    } else {
      s_.set_online(false);
    }
    ++failures_;
    // The first reconnection after a working channel is immediate.
    if (failures_ > 1 && !pause(backoff_ms(failures_ - 1, kBackoffBaseMs, kBackoffCapMs))) return;
  }
}

}  // namespace orvane_hostd
