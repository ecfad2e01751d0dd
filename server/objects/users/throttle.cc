#include "objects/users/throttle.h"
#include "utils/numbers.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <mutex>
#include <utility>

namespace orvane {

namespace {

std::string address_key(uint32_t address) {
  return std::string(reinterpret_cast<const char*>(&address), sizeof address);
}

// An entry that nothing holds any more: no period running, nothing to report, no failure for
// longer than the longest back-off.
bool idle(const auto& e, int64_t now_ms, int64_t quiet_ms) {
  return e.blocked_until <= now_ms && e.refused == 0 && now_ms - e.last_failure > quiet_ms;
}

}  // namespace

std::string login_throttle::user_key(uint64_t domain_id, std::string_view uname) {
  std::string key = std::to_string(domain_id);
  key += ':';
  key += uname;
  return key;
}

login_throttle::report login_throttle::take_report(const std::string& key, entry& e, bool user) {
  report r;
  if (user) {
    const size_t colon = key.find(':');
    r.domain_id = kt::decimal_prefix(key);
    r.uname = key.substr(colon + 1);
  }
  r.address = e.address;
  r.api = std::move(e.api);
  r.refused = e.refused;
  r.backoff_ms = e.backoff_ms;
  e.refused = 0;
  e.api.clear();
  return r;
}

void login_throttle::start_backoff(const std::string& key, entry& e, bool user, int64_t now_ms) {
  // The attempts refused in the period before are reported apart from the new one.
  if (e.refused > 0) pending_.push_back(take_report(key, e, user));
  e.backoff_ms = e.backoff_ms == 0 ? THROTTLE_FIRST_BACKOFF_MS
                                   : std::min(e.backoff_ms * 2, THROTTLE_MAX_BACKOFF_MS);
  e.blocked_until = now_ms + e.backoff_ms;
}

login_throttle::entry* login_throttle::take(std::unordered_map<std::string, entry>& table,
                                            const std::string& key, int64_t now_ms) {
  if (auto it = table.find(key); it != table.end()) return &it->second;
  if (table.size() >= THROTTLE_MAX_ENTRIES) {
    std::erase_if(
        table, [&](const auto& kv) { return idle(kv.second, now_ms, THROTTLE_ADDRESS_WINDOW_MS); });
    if (table.size() >= THROTTLE_MAX_ENTRIES) return nullptr;
  }
  entry& e = table[key];
  e.window_start = now_ms;
  return &e;
}

bool login_throttle::allow(uint64_t domain_id, std::string_view uname, uint32_t address,
                           std::string_view api, int64_t now_ms) {
  std::lock_guard lock(lock_);
  bool allowed = true;
  const auto refuse = [&](entry& e) {
    ++e.refused;
    e.address = address;
    e.api.assign(api.substr(0, 64));
    allowed = false;
  };
  if (!uname.empty()) {
    if (auto it = users_.find(user_key(domain_id, uname));
        it != users_.end() && it->second.blocked_until > now_ms) {
      refuse(it->second);
    }
  }
  if (auto it = addresses_.find(address_key(address));
      it != addresses_.end() && it->second.blocked_until > now_ms) {
    refuse(it->second);
  }
  if (!allowed) refused_total_.fetch_add(1, std::memory_order_relaxed);
  return allowed;
}

void login_throttle::failed(uint64_t domain_id, std::string_view uname, uint32_t address,
                            int64_t now_ms) {
  std::lock_guard lock(lock_);
  if (!uname.empty()) {
    const std::string key = user_key(domain_id, uname);
    if (entry* e = take(users_, key, now_ms); e != nullptr) {
      e->last_failure = now_ms;
      if (++e->failures >= THROTTLE_USER_FAILURES) start_backoff(key, *e, true, now_ms);
    }
  }
  const std::string key = address_key(address);
  if (entry* e = take(addresses_, key, now_ms); e != nullptr) {
    if (now_ms - e->window_start >= THROTTLE_ADDRESS_WINDOW_MS) {
      // A minute without a back-off lets the next one start short again.
      if (e->failures <= THROTTLE_ADDRESS_FAILURES) e->backoff_ms = 0;
      e->window_start = now_ms;
      e->failures = 0;
    }
    e->last_failure = now_ms;
    if (++e->failures > THROTTLE_ADDRESS_FAILURES) start_backoff(key, *e, false, now_ms);
  }
}

void login_throttle::succeeded(uint64_t domain_id, std::string_view uname) {
  std::lock_guard lock(lock_);
  auto it = users_.find(user_key(domain_id, uname));
  if (it == users_.end()) return;
  it->second.failures = 0;
  it->second.backoff_ms = 0;
}

void login_throttle::collect(std::unordered_map<std::string, entry>& table, bool users,
                             int64_t now_ms, std::vector<report>& out) {
  for (auto it = table.begin(); it != table.end();) {
    entry& e = it->second;
    if (e.blocked_until <= now_ms && e.refused > 0) out.push_back(take_report(it->first, e, users));
    it = idle(e, now_ms, THROTTLE_MAX_BACKOFF_MS) ? table.erase(it) : std::next(it);
  }
}

std::vector<login_throttle::report> login_throttle::sweep(int64_t now_ms) {
  std::lock_guard lock(lock_);
  std::vector<report> out = std::move(pending_);
  pending_.clear();
  collect(users_, true, now_ms, out);
  collect(addresses_, false, now_ms, out);
  return out;
}

}  // namespace orvane
