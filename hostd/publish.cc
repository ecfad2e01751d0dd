#include "hostd/publish.h"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <unordered_map>
#include <vector>

#include "hostd/entries.h"
#include "hostproto/cache_view.h"
#include "utils/files.h"

namespace orvane_hostd {

namespace {

using orvane_host::cache_header;

// The strings section: each distinct text once.
class string_pool {
 public:
  uint32_t add(const std::string& s) {
    const auto it = offsets_.find(s);
    if (it != offsets_.end()) return it->second;
    const auto off = static_cast<uint32_t>(bytes_.size());
    bytes_.append(s);
    bytes_.push_back('\0');
    offsets_.emplace(s, off);
    return off;
  }
  const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
  std::unordered_map<std::string, uint32_t> offsets_;
};

void put_words(std::string& out, const std::vector<uint32_t>& words) {
  out.append(reinterpret_cast<const char*>(words.data()), words.size() * sizeof(uint32_t));
}

std::vector<uint32_t> sorted(size_t count, const auto& less) {
  std::vector<uint32_t> idx(count);
  std::iota(idx.begin(), idx.end(), 0u);
  std::stable_sort(idx.begin(), idx.end(), less);
  return idx;
}

}  // namespace

std::string publish_image(const snapshot& s) {
  string_pool pool;
  std::vector<uint32_t> users;
  users.reserve(s.users.size() * orvane_host::kUserRecordWords);
  for (const pw_entry& u : s.users) {
    users.insert(users.end(),
                 {u.uid, u.uid, pool.add(u.name), pool.add(u.home), pool.add(u.shell)});
  }
  std::vector<uint32_t> groups;
  std::vector<uint32_t> members;
  for (const gr_entry& g : s.groups) {
    groups.insert(groups.end(), {g.gid, pool.add(g.name), static_cast<uint32_t>(members.size()),
                                 static_cast<uint32_t>(g.members.size())});
    for (const std::string& m : g.members) members.push_back(pool.add(m));
  }
  const auto& us = s.users;
  const auto& gs = s.groups;
  const std::vector<uint32_t> user_names =
      sorted(us.size(), [&](uint32_t a, uint32_t b) { return us[a].name < us[b].name; });
  const std::vector<uint32_t> user_uids =
      sorted(us.size(), [&](uint32_t a, uint32_t b) { return us[a].uid < us[b].uid; });
  const std::vector<uint32_t> group_names =
      sorted(gs.size(), [&](uint32_t a, uint32_t b) { return gs[a].name < gs[b].name; });
  const std::vector<uint32_t> group_gids =
      sorted(gs.size(), [&](uint32_t a, uint32_t b) { return gs[a].gid < gs[b].gid; });

  cache_header h{};
  std::memcpy(h.magic, orvane_host::kCacheMagic, sizeof h.magic);
  h.version = orvane_host::kCacheVersion;
  h.header_size = orvane_host::kCacheHeaderSize;
  h.fetched = s.fetched;
  h.user_count = static_cast<uint32_t>(us.size());
  h.group_count = static_cast<uint32_t>(gs.size());
  h.member_total = static_cast<uint32_t>(members.size());
  uint32_t off = orvane_host::kCacheHeaderSize;
  const auto place = [&off](uint32_t* field, size_t words) {
    *field = off;
    off += static_cast<uint32_t>(words * sizeof(uint32_t));
  };
  place(&h.users_off, users.size());
  place(&h.groups_off, groups.size());
  place(&h.members_off, members.size());
  place(&h.user_name_idx_off, user_names.size());
  place(&h.user_uid_idx_off, user_uids.size());
  place(&h.group_name_idx_off, group_names.size());
  place(&h.group_gid_idx_off, group_gids.size());
  h.strings_off = off;
  h.strings_size = static_cast<uint32_t>(pool.bytes().size());
  h.file_size = off + h.strings_size;

  std::string out;
  out.reserve(h.file_size);
  out.append(reinterpret_cast<const char*>(&h), sizeof h);
  const std::vector<uint32_t>* sections[] = {&users,     &groups,      &members,   &user_names,
                                             &user_uids, &group_names, &group_gids};
  for (const std::vector<uint32_t>* words : sections) {
    put_words(out, *words);
  }
  out.append(pool.bytes());
  return out;
}

int publish_write(const std::string& path, const snapshot& s) {
  return kt::write_file(path.c_str(), publish_image(s), 0644, true);
}

}  // namespace orvane_hostd
