#include "hostd/state.h"

#include <time.h>

#include "hostd/config.h"
#include "hostd/publish.h"
#include "utils/files.h"
#include "utils/logger.h"

namespace orvane_hostd {

namespace {

constexpr size_t kMaxCacheFile = 512u << 20;
constexpr size_t kMaxTokenFile = 4096;

}  // namespace

uint64_t epoch_seconds() {
  return static_cast<uint64_t>(::time(nullptr));
}

std::shared_ptr<const snapshot> state::current() const {
  std::lock_guard lock(lock_);
  return current_;
}

int state::load_cache() {
  std::string text;
  snapshot s;
  if (kt::read_file(c_->cache.c_str(), text, kMaxCacheFile) != 0) return -1;
  if (entries_load(text, &s) != 0) {
    KT_LOG_WARN("cache %s is damaged; waiting for the server", c_->cache.c_str());
    return -1;
  }
  KT_LOG_INFO("cache %s: %zu users, %zu groups, fetched %lu", c_->cache.c_str(), s.users.size(),
              s.groups.size(), static_cast<unsigned long>(s.fetched));
  if (publish_write(c_->nss_cache, s) != 0) {
    KT_LOG_ERR("can't publish %s", c_->nss_cache.c_str());
  }
  auto shared = std::make_shared<const snapshot>(std::move(s));
  std::lock_guard lock(lock_);
  current_ = std::move(shared);
  return 0;
}

int state::install(snapshot s) {
  int rc = 0;
  if (kt::write_file(c_->cache.c_str(), entries_save(s), 0600, true) != 0) {
    KT_LOG_ERR("can't write cache %s", c_->cache.c_str());
    rc = -1;
  }
  if (publish_write(c_->nss_cache, s) != 0) {
    KT_LOG_ERR("can't publish %s", c_->nss_cache.c_str());
    rc = -1;
  }
  auto shared = std::make_shared<const snapshot>(std::move(s));
  std::lock_guard lock(lock_);
  current_ = std::move(shared);
  return rc;
}

bool state::stale(uint64_t now) const {
  const std::shared_ptr<const snapshot> s = current();
  return !s || now > s->fetched + c_->stale_after;
}

std::string state::load_token() const {
  std::string token;
  if (kt::read_file((c_->cache + ".token").c_str(), token, kMaxTokenFile) != 0) return "";
  return token;
}

void state::save_token(const std::string& token) const {
  if (kt::write_file((c_->cache + ".token").c_str(), token, 0600, true) != 0) {
    KT_LOG_WARN("can't keep the token in %s.token", c_->cache.c_str());
  }
}

}  // namespace orvane_hostd
