#include "hostd/checks.h"

#include <crypt.h>

#include <memory>

#include "hostd/config.h"
#include "hostd/remote.h"
#include "hostd/state.h"
#include "hostproto/protocol.h"
#include "utils/logger.h"
#include "utils/numbers.h"

namespace orvane_hostd {

namespace {

using namespace orvane_host;  // the HOSTD_* codes

constexpr uint64_t kSecondsPerDay = 86400;

}  // namespace

bool failure_counter::blocked(const std::string& user, uint64_t now) {
  std::lock_guard lock(lock_);
  const auto it = users_.find(user);
  return it != users_.end() && it->second.count >= kMaxFailures &&
         now < it->second.last + kLockSeconds;
}

void failure_counter::failed(const std::string& user, uint64_t now) {
  std::lock_guard lock(lock_);
  entry& e = users_[user];
  ++e.count;
  e.last = now;
}

void failure_counter::succeeded(const std::string& user) {
  std::lock_guard lock(lock_);
  users_.erase(user);
}

int code_of_server(long code) {
  switch (code) {
    case kCodeOk:
      return HOSTD_OK;
    case kCodeInvalidCredentials:
      return HOSTD_DENIED;
    case kCodeUserNotFound:
      return HOSTD_NOT_FOUND;
    case kCodePasswordExpired:
      return HOSTD_EXPIRED;
    case kCodeAccountLocked:
      return HOSTD_LOCKED;
    case kCodeMustChange:
      return HOSTD_MUST_CHANGE;
    default:
      return HOSTD_UNAVAILABLE;
  }
}

bool crypt_matches(const std::string& password, const std::string& stored) {
  if (stored.size() < 4 || stored.compare(0, 3, "$6$") != 0) return false;
  auto data = std::make_unique<crypt_data>();
  const char* hashed = ::crypt_r(password.c_str(), stored.c_str(), data.get());
  if (hashed == nullptr || hashed[0] == '*') return false;
  const std::string_view h(hashed);
  return h.size() == stored.size() && kt::bytecmp_ct(h.data(), stored.data(), h.size()) == 0;
}

int checks::password(const std::string& user, const std::string& password, uid_t peer_uid) {
  const std::shared_ptr<const snapshot> s = s_.current();
  if (!s) return HOSTD_UNAVAILABLE;
  const pw_entry* e = s->user(user);
  if (e == nullptr) return HOSTD_NOT_FOUND;
  if (peer_uid != 0 && peer_uid != e->uid) return HOSTD_BAD_REQUEST;
  const uint64_t now = epoch_seconds();
  if (failures_.blocked(user, now)) return HOSTD_DENIED;

  // While the sync thread finds the server out of reach, a login does not wait for it too, as
  // long as the cached entry may answer.
  const bool young = now <= s->fetched + c_.offline_max_age;
  std::string error = "no contact with the server";
  const long code = s_.online() || !young ? r_.authenticate(user, password, &error) : kUnreachable;
  int result;
  if (code != kUnreachable) {
    result = code_of_server(code);
    if (result == HOSTD_UNAVAILABLE) KT_LOG_ERR("authenticate %s: code %ld", user.c_str(), code);
  } else if (!young) {
    KT_LOG_WARN("server unreachable (%s) and the cache is too old for %s", error.c_str(),
                user.c_str());
    return HOSTD_UNAVAILABLE;
  } else if (!crypt_matches(password, e->crypt)) {
    result = HOSTD_DENIED;
  } else {
    result = password_expired(*e, static_cast<uint32_t>(now / kSecondsPerDay)) ? HOSTD_EXPIRED
                                                                               : HOSTD_OK;
    KT_LOG_INFO("offline password check for %s (server unreachable: %s)", user.c_str(),
                error.c_str());
  }
  if (result == HOSTD_DENIED) {
    failures_.failed(user, now);
  } else if (result == HOSTD_OK) {
    failures_.succeeded(user);
  }
  return result;
}

int checks::account(const std::string& user) {
  const std::shared_ptr<const snapshot> s = s_.current();
  if (!s) return HOSTD_UNAVAILABLE;
  const pw_entry* e = s->user(user);
  if (e == nullptr) return HOSTD_NOT_FOUND;
  std::string error;
  const long code = s_.online() ? r_.account(user, &error) : kUnreachable;
  if (code != kUnreachable) return code_of_server(code);
  // Offline: the entry was usable when fetched; only the password's age can have run out.
  const auto today = static_cast<uint32_t>(epoch_seconds() / kSecondsPerDay);
  return password_expired(*e, today) ? HOSTD_EXPIRED : HOSTD_OK;
}

}  // namespace orvane_hostd
