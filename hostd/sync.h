// The thread that keeps the entries current: it logs the service account in (reusing its token
// for as long as the server keeps it), binds the notification channel, fetches the profile after
// every bind, after every user, group or NSS-profile change of its domain and every refresh
// interval, and reconnects with jittered exponential back-off while the server is out of reach.
// When the server refuses the service account, the profile is still fetched at every retry (the
// lookups need no token), only without notifications.
#ifndef ORVANE_HOSTD_SYNC_H_
#define ORVANE_HOSTD_SYNC_H_

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace orvane_hostd {

struct config;
class remote;
class state;

// The change documents that call for a fetch: objType "user", "group" or "nssprofile" of the
// given domain.
bool change_concerns(const std::string& document, uint64_t domain_id);

// The back-off before attempt number `failures` (1, 2, ...): a random time between half and all
// of min(cap, base * 2^(failures-1)).
int64_t backoff_ms(unsigned failures, int64_t base_ms, int64_t cap_ms);

class syncer {
 public:
  syncer(const config& c, const remote& r, state& s) : c_(c), r_(r), s_(s) {}
  ~syncer() { stop(); }
  syncer(const syncer&) = delete;
  syncer& operator=(const syncer&) = delete;

  // Starts the thread. 0 or -1.
  int start();
  // Ends the thread and waits for it.
  void stop();

 private:
  void run();
  // One life of the channel: returns when it ended (or the thread is to stop).
  void serve_channel();
  // Fetches and installs; false when the server could not be asked.
  bool refresh();
  // Sleeps ms, or less when the thread is to stop. False when it is to stop.
  bool pause(int64_t ms);
  // A token of the service account (the kept one while the server knows it). False on failure.
  bool ensure_token();

  const config& c_;
  const remote& r_;
  state& s_;
  std::thread thread_;
  int wake_fd_ = -1;
  std::atomic<bool> stopping_{false};
  std::string token_;
  uint64_t domain_id_ = 0;
  unsigned failures_ = 0;
  bool refused_ = false;  // the server refused the service account's login
};

}  // namespace orvane_hostd

#endif  // ORVANE_HOSTD_SYNC_H_
