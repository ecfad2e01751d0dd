// The throttle of password checks. Failed checks are counted per user (domain and user name, so
// that names that do not exist are throttled alike) and per peer address. After
// THROTTLE_USER_FAILURES consecutive failures for one user, or more than
// THROTTLE_ADDRESS_FAILURES failures from one address within a minute, further attempts are
// refused for a back-off period without looking at the password; the period doubles with every
// failure that follows it, from 1 s up to 15 minutes. A success resets the user's count. The
// attempts refused in one period are reported once, when it is over, for one audit entry.
#ifndef ORVANE_OBJECTS_USERS_THROTTLE_H_
#define ORVANE_OBJECTS_USERS_THROTTLE_H_

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "utils/pthread_utils.h"

namespace orvane {

constexpr uint32_t THROTTLE_USER_FAILURES = 5;
constexpr uint32_t THROTTLE_ADDRESS_FAILURES = 100;
constexpr int64_t THROTTLE_ADDRESS_WINDOW_MS = 60 * 1000;
constexpr int64_t THROTTLE_FIRST_BACKOFF_MS = 1000;
constexpr int64_t THROTTLE_MAX_BACKOFF_MS = 15 * 60 * 1000;
// Entries kept at most; beyond, the idle ones go first.
constexpr size_t THROTTLE_MAX_ENTRIES = 100000;

class login_throttle {
 public:
  // The attempts refused during one back-off period, reported once the period is over.
  struct report {
    uint64_t domain_id = 0;  // 0 for an address
    std::string uname;       // "" for an address
    uint32_t address = 0;    // the last refused attempt's peer (host byte order)
    std::string api;         // the last refused attempt's command
    uint64_t refused = 0;
    int64_t backoff_ms = 0;
  };

  login_throttle() = default;
  login_throttle(const login_throttle&) = delete;
  login_throttle& operator=(const login_throttle&) = delete;

  // Whether an attempt for the user from the address may check a password at now_ms (a
  // monotonic clock). When not, the attempt is counted for the period's report. uname may be
  // empty when the attempt names no user (only the address counts then).
  bool allow(uint64_t domain_id, std::string_view uname, uint32_t address, std::string_view api,
             int64_t now_ms);
  // A password check that failed; starts or lengthens a back-off period when due.
  void failed(uint64_t domain_id, std::string_view uname, uint32_t address, int64_t now_ms);
  // A password check that succeeded: the user's count starts again.
  void succeeded(uint64_t domain_id, std::string_view uname);

  // The reports of the periods over by now_ms, and drops entries idle for longer than the
  // longest back-off. Called every few seconds.
  std::vector<report> sweep(int64_t now_ms);

  // Attempts refused since start.
  uint64_t refused_total() const { return refused_total_.load(std::memory_order_relaxed); }

 private:
  struct entry {
    uint32_t failures = 0;     // consecutive (user) or within the window (address)
    int64_t window_start = 0;  // address: start of the counting minute
    int64_t last_failure = 0;
    int64_t blocked_until = 0;
    int64_t backoff_ms = 0;  // the last period's length; 0 before the first
    uint64_t refused = 0;    // attempts refused in the current period
    uint32_t address = 0;
    std::string api;
  };

  static std::string user_key(uint64_t domain_id, std::string_view uname);
  // The report of e's refused attempts, which it then forgets.
  static report take_report(const std::string& key, entry& e, bool user);
  // Starts e's next back-off period (lock held).
  void start_backoff(const std::string& key, entry& e, bool user, int64_t now_ms);
  // Finds or makes an entry (lock held); nullptr when the table is full of busy entries.
  entry* take(std::unordered_map<std::string, entry>& table, const std::string& key,
              int64_t now_ms);
  static void collect(std::unordered_map<std::string, entry>& table, bool users, int64_t now_ms,
                      std::vector<report>& out);

  kt::mutex lock_;
  std::atomic<uint64_t> refused_total_{0};
  std::unordered_map<std::string, entry> users_;      // "<domain id>:<name>"
  std::unordered_map<std::string, entry> addresses_;  // the address as 4 bytes
  std::vector<report> pending_;  // periods over that a new one followed before a sweep
};

}  // namespace orvane

#endif  // ORVANE_OBJECTS_USERS_THROTTLE_H_
