#include "objects/tokens/tokens.h"

#include <time.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "globals.h"
#include "objects/domains/domain.h"
#include "objects/tasks/tasks.h"
#include "objects/users/user.h"
#include "utils/base64.h"
#include "utils/crypto.h"
#include "utils/logger.h"
#include "utils/uid.h"

namespace orvane {

namespace {

using token_table = kt::hashtable<std::string, kt::ref_ptr<token>>;

// Takes the key of a token that left the table off its user's list. The caller holds no lock of
// the table: the user's lock comes first.
void user_tokens_forget(const token& t) {
  if (!t.usr) return;
  user& u = *t.usr;
  std::lock_guard lock(u.tokens_lock);
  if (auto it = std::find(u.token_keys.begin(), u.token_keys.end(), t.key);
      it != u.token_keys.end()) {
    u.token_keys.erase(it);
  }
}

// Removes, under one hold of the write lock, every token for which match(token) is true; then
// takes them off their users' lists and ends their channels.
template <class Match>
void tokens_remove_matching(globals& g, Match&& match) {
  std::vector<kt::ref_ptr<token>> removed;
  {
    std::unique_lock lock(g.tokens.rwlock());
    g.tokens.remove_if([&](const std::string&, kt::ref_ptr<token>& t) {
      if (!t || !match(*t)) return false;
      removed.push_back(t);
      return true;
    });
  }
  std::vector<uint64_t> ended;
  ended.reserve(removed.size());
  for (const kt::ref_ptr<token>& t : removed) {
    user_tokens_forget(*t);
    ended.push_back(t->id);
  }
  task_end_channels(g, ended);
}

// Lists the new token under its user, in the same hold of the user's lock as its insertion into
// the table, so that a removal always finds its key; then ends the oldest beyond
// TOKENS_PER_USER. 0, or -1 when the table would not take it.
int user_tokens_add(globals& g, const kt::ref_ptr<token>& t) {
  user& u = *t->usr;
  std::vector<std::string> excess;
  {
    std::lock_guard lock(u.tokens_lock);
    if (g.tokens.insert_rw(t->key, t) != 0) return -1;
    u.token_keys.push_back(t->key);
    while (u.token_keys.size() > TOKENS_PER_USER) {
      excess.push_back(std::move(u.token_keys.front()));
      u.token_keys.pop_front();
    }
  }
  for (const std::string& k : excess) token_destroy(g, k);
  return 0;
}

}  // namespace

kt::ref_ptr<token> token_create(globals& g, domain& d, kt::ref_ptr<user> u) {
  if (!g.aes || !u) return {};
  kt::ref_ptr<token> t;
  try {
    t = kt::make_ref<token>();
  } catch (const std::bad_alloc&) {
    KT_LOG_ERR("%s(): %s", "calloc", "out of memory");
    return {};
  }
  const uint32_t now = static_cast<uint32_t>(::time(nullptr));
  t->id = kt::uid_time_seq();
  char plain[256];
  const int n = std::snprintf(plain, sizeof plain, "%s;%lu;%u", g.machine_id_text.c_str(),
                              static_cast<unsigned long>(t->id), now);
  if (n < 0 || static_cast<size_t>(n) >= sizeof plain) return {};
  const std::string cipher = kt::aes256_encrypt(*g.aes, plain, static_cast<size_t>(n));
  if (cipher.empty()) {
    KT_LOG_ERR("aes256_encrypt failed");
    return {};
  }
  t->key = kt::base64encode_(cipher);
  const uint32_t ttl = d.expire_token_sec.load(std::memory_order_relaxed);
  t->expire.store(ttl == 0 ? 0 : now + ttl, std::memory_order_relaxed);
  t->dom = kt::ref_ptr<domain>(&d);
  t->usr = std::move(u);
  if (user_tokens_add(g, t) != 0) return {};
  return t;
}

void token_destroy(globals& g, std::string_view key) {
  kt::ref_ptr<token> gone;
  {
    std::unique_lock lock(g.tokens.rwlock());
    const kt::ref_ptr<token>* cur = g.tokens.find_nl(key);
    if (cur == nullptr) return;
    gone = *cur;
    g.tokens.remove_l(key);
  }
  if (!gone) return;
  user_tokens_forget(*gone);
  task_end_channels(g, {gone->id});
}

void token_remove_by_user(globals& g, const user& u) {
  const uint64_t domain_id = u.dom ? u.dom->id : 0;
  tokens_remove_matching(g, [&](const token& t) {
    return t.usr && t.usr->id == u.id && t.dom && t.dom->id == domain_id;
  });
}

void token_remove_by_domain(globals& g, const domain& d) {
  tokens_remove_matching(g, [&](const token& t) { return t.dom && t.dom->id == d.id; });
}

int tokens_sweep(globals& g, uint32_t now) {
  int removed = 0;
  for (;;) {
    kt::ref_ptr<token> expired;
    {
      std::shared_lock lock(g.tokens.rwlock());
      g.tokens.for_each([&](const std::string&, kt::ref_ptr<token>& t) {
        const uint32_t expire = t ? t->expire.load(std::memory_order_relaxed) : 0;
        if (expire != 0 && expire < now) {
          expired = t;
          return false;
        }
        return true;
      });
    }
    if (!expired) return removed;
    bool gone = false;
    {
      // Remove exactly the token found, unless a request refreshed it meanwhile.
      std::unique_lock lock(g.tokens.rwlock());
      const uint32_t expire = expired->expire.load(std::memory_order_relaxed);
      if (kt::ref_ptr<token>* cur = g.tokens.find_nl(expired->key);
          cur != nullptr && *cur == expired && expire != 0 && expire < now) {
        g.tokens.remove_l(expired->key);
        ++removed;
        gone = true;
      }
    }
    if (gone) {
      user_tokens_forget(*expired);
      task_end_channels(g, {expired->id});
    }
  }
}

int tokens_cleaner_cbk_sched(globals& g) {
  return tokens_sweep(g, static_cast<uint32_t>(::time(nullptr)));
}

}  // namespace orvane
