// PAM's questions to the daemon: is this the user's password, and may the account log in. The
// server answers when it can be reached; otherwise the cached entry does, within the configured
// age for passwords.
#ifndef ORVANE_HOSTD_CHECKS_H_
#define ORVANE_HOSTD_CHECKS_H_

#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

namespace orvane_hostd {

struct config;
class remote;
class state;

// Consecutive failed password checks per user: after kMaxFailures the user waits kLockSeconds
// before the next check is even tried (the server throttles too; this also covers offline).
class failure_counter {
 public:
  static constexpr unsigned kMaxFailures = 5;
  static constexpr uint64_t kLockSeconds = 30;

  bool blocked(const std::string& user, uint64_t now);
  void failed(const std::string& user, uint64_t now);
  void succeeded(const std::string& user);

 private:
  struct entry {
    unsigned count = 0;
    uint64_t last = 0;
  };
  std::mutex lock_;
  std::unordered_map<std::string, entry> users_;  // guarded by lock_
};

class checks {
 public:
  checks(const config& c, const remote& r, const state& s) : c_(c), r_(r), s_(s) {}

  // A HOSTD_* code for the password check of user asked by a process of peer_uid: only root,
  // or the user itself, may ask.
  int password(const std::string& user, const std::string& password, uid_t peer_uid);
  // A HOSTD_* code for the account check.
  int account(const std::string& user);

 private:
  const config& c_;
  const remote& r_;
  const state& s_;
  failure_counter failures_;
};

// The HOSTD_* code of a server result code of authenticate or pamGetPWName.
int code_of_server(long code);

// Whether password hashes to the stored crypt string.
bool crypt_matches(const std::string& password, const std::string& stored);

}  // namespace orvane_hostd

#endif  // ORVANE_HOSTD_CHECKS_H_
