// What the daemon knows: the current entries (shared read-only with the socket's answers), where
// they are kept on disk, and whether the server answered lately.
#ifndef ORVANE_HOSTD_STATE_H_
#define ORVANE_HOSTD_STATE_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "hostd/entries.h"

namespace orvane_hostd {

struct config;

class state {
 public:
  // Paths and limits are read from c at each call, so that a reload takes effect.
  explicit state(const config* c) : c_(c) {}
  void set_config(const config* c) { c_ = c; }

  // The entries in use (never null after load_cache or install; null before).
  std::shared_ptr<const snapshot> current() const;

  // Starts from the daemon's cache file, when there is a readable one, and publishes it.
  // 0, or -1 when there is none.
  int load_cache();
  // Takes freshly fetched entries: writes the daemon's cache (aside, flushed, renamed,
  // owner-only), publishes them for the module, and answers from them. 0, or -1 when a file
  // could not be written (the entries are still used).
  int install(snapshot s);

  // Whether the data is older than the configured limit.
  bool stale(uint64_t now) const;
  bool online() const { return online_.load(); }
  void set_online(bool v) { online_.store(v); }

  // The service account's token, kept beside the cache so that a restart reuses it.
  std::string load_token() const;
  void save_token(const std::string& token) const;

 private:
  const config* c_;
  mutable std::mutex lock_;
  std::shared_ptr<const snapshot> current_;  // guarded by lock_
  std::atomic<bool> online_{false};
};

uint64_t epoch_seconds();

}  // namespace orvane_hostd

#endif  // ORVANE_HOSTD_STATE_H_
