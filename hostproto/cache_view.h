// The published name-service cache: the file orvane-hostd writes for the name-service module,
// which maps it read-only. It holds no password hashes.
//
// Layout (little-endian, every section 4-byte aligned, offsets from the start of the file):
//   header        kCacheHeaderSize bytes (cache_header)
//   users         user_count records of 5 u32: uid, gid, name, home, shell (string offsets)
//   groups        group_count records of 4 u32: gid, name, first member, member count
//   members       member_total u32 string offsets (a group's members are consecutive)
//   4 indexes     u32 record numbers: users by name, users by uid, groups by name, groups by
//                 gid, each sorted by its key (names byte-wise)
//   strings       NUL-terminated texts; string offsets count from the section's start
//
// Reading never trusts the file: every offset, count and string is checked against the mapped
// size before use, so a damaged or truncated file answers "not found" or is refused as a whole,
// and never makes the reader touch memory outside the mapping.
#ifndef ORVANE_HOSTPROTO_CACHE_VIEW_H_
#define ORVANE_HOSTPROTO_CACHE_VIEW_H_

#include <stddef.h>
#include <stdint.h>

namespace orvane_host {

inline constexpr char kCacheMagic[8] = {'O', 'R', 'V', 'N', 'S', 'S', '\0', '\1'};
inline constexpr uint32_t kCacheVersion = 1;
inline constexpr uint32_t kUserRecordWords = 5;
inline constexpr uint32_t kGroupRecordWords = 4;

struct cache_header {
  char magic[8];
  uint32_t version;
  uint32_t header_size;
  uint64_t fetched;  // seconds since the Epoch at which the daemon fetched the entries
  uint32_t user_count;
  uint32_t group_count;
  uint32_t member_total;
  uint32_t users_off;
  uint32_t groups_off;
  uint32_t members_off;
  uint32_t user_name_idx_off;
  uint32_t user_uid_idx_off;
  uint32_t group_name_idx_off;
  uint32_t group_gid_idx_off;
  uint32_t strings_off;
  uint32_t strings_size;
  uint32_t file_size;
  uint32_t reserved;
};
inline constexpr size_t kCacheHeaderSize = sizeof(cache_header);
static_assert(kCacheHeaderSize == 80, "the header is part of the file format");

// One passwd entry; the texts point into the mapping.
struct cache_user {
  uint32_t uid;
  uint32_t gid;
  const char* name;
  const char* home;
  const char* shell;
};

// One group entry; members are read with cache_group_member.
struct cache_group {
  uint32_t gid;
  const char* name;
  uint32_t first_member;
  uint32_t member_count;
};

// A checked view of a mapped cache file.
struct cache_view {
  const uint8_t* base = nullptr;
  size_t size = 0;
  cache_header h{};
};

// Checks the header and that every section lies inside the size bytes at data. 0 when the view
// is usable, -1 otherwise (the view is then empty).
int cache_view_open(cache_view* v, const void* data, size_t size);

// Record i; false when i is out of range or the record is damaged.
bool cache_user_at(const cache_view& v, uint32_t i, cache_user* out);
bool cache_group_at(const cache_view& v, uint32_t i, cache_group* out);
// Member j of a group (0 <= j < member_count), or nullptr when damaged.
const char* cache_group_member(const cache_view& v, const cache_group& g, uint32_t j);

// Lookups through the sorted indexes; false when there is no such entry (or it is damaged).
bool cache_find_user_name(const cache_view& v, const char* name, cache_user* out);
bool cache_find_user_uid(const cache_view& v, uint32_t uid, cache_user* out);
bool cache_find_group_name(const cache_view& v, const char* name, cache_group* out);
bool cache_find_group_gid(const cache_view& v, uint32_t gid, cache_group* out);

}  // namespace orvane_host

#endif  // ORVANE_HOSTPROTO_CACHE_VIEW_H_
