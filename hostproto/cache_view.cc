#include "hostproto/cache_view.h"

#include <string.h>

namespace orvane_host {

namespace {

uint32_t word(const cache_view& v, uint32_t off) {
  uint32_t w;
  memcpy(&w, v.base + off, sizeof w);
  return w;
}

// True when count records of words u32 each start at off and end inside the file.
bool section_fits(uint64_t off, uint64_t count, uint64_t words, uint64_t size) {
  if (off % 4 != 0 || off < kCacheHeaderSize) return false;
  return off <= size && count * words * 4 <= size - off;
}

// The text at string offset off, or nullptr when it does not end inside the strings section.
const char* text(const cache_view& v, uint32_t off) {
  if (off >= v.h.strings_size) return nullptr;
  const char* s = reinterpret_cast<const char*>(v.base + v.h.strings_off + off);
  return memchr(s, '\0', v.h.strings_size - off) != nullptr ? s : nullptr;
}

// Index entry i of the index at idx_off holding count record numbers.
bool index_at(const cache_view& v, uint32_t idx_off, uint32_t count, uint32_t i, uint32_t* out) {
  if (i >= count) return false;
  *out = word(v, idx_off + i * 4);
  return *out < count;
}

}  // namespace

int cache_view_open(cache_view* v, const void* data, size_t size) {
  *v = cache_view{};
  if (data == nullptr || size < kCacheHeaderSize || size > UINT32_MAX) return -1;
  cache_header h;
  memcpy(&h, data, sizeof h);
  if (memcmp(h.magic, kCacheMagic, sizeof h.magic) != 0 || h.version != kCacheVersion ||
      h.header_size != kCacheHeaderSize || h.file_size != size) {
    return -1;
  }
  const bool fits = section_fits(h.users_off, h.user_count, kUserRecordWords, size) &&
                    section_fits(h.groups_off, h.group_count, kGroupRecordWords, size) &&
                    section_fits(h.members_off, h.member_total, 1, size) &&
                    section_fits(h.user_name_idx_off, h.user_count, 1, size) &&
                    section_fits(h.user_uid_idx_off, h.user_count, 1, size) &&
                    section_fits(h.group_name_idx_off, h.group_count, 1, size) &&
                    section_fits(h.group_gid_idx_off, h.group_count, 1, size) &&
                    h.strings_off >= kCacheHeaderSize && h.strings_off <= size &&
                    h.strings_size <= size - h.strings_off;
  if (!fits) return -1;
  v->base = static_cast<const uint8_t*>(data);
  v->size = size;
  v->h = h;
  return 0;
}

bool cache_user_at(const cache_view& v, uint32_t i, cache_user* out) {
  if (v.base == nullptr || i >= v.h.user_count) return false;
  const uint32_t rec = v.h.users_off + i * kUserRecordWords * 4;
  out->uid = word(v, rec);
  out->gid = word(v, rec + 4);
  out->name = text(v, word(v, rec + 8));
  out->home = text(v, word(v, rec + 12));
  out->shell = text(v, word(v, rec + 16));
  return out->name != nullptr && out->home != nullptr && out->shell != nullptr;
}

bool cache_group_at(const cache_view& v, uint32_t i, cache_group* out) {
  if (v.base == nullptr || i >= v.h.group_count) return false;
  const uint32_t rec = v.h.groups_off + i * kGroupRecordWords * 4;
  out->gid = word(v, rec);
  out->name = text(v, word(v, rec + 4));
  out->first_member = word(v, rec + 8);
  out->member_count = word(v, rec + 12);
  const uint64_t end = static_cast<uint64_t>(out->first_member) + out->member_count;
  return out->name != nullptr && end <= v.h.member_total;
}

const char* cache_group_member(const cache_view& v, const cache_group& g, uint32_t j) {
  if (j >= g.member_count) return nullptr;
  const uint64_t k = static_cast<uint64_t>(g.first_member) + j;
  if (k >= v.h.member_total) return nullptr;
  return text(v, word(v, v.h.members_off + static_cast<uint32_t>(k) * 4));
}

namespace {

// Binary search of an index of count record numbers at idx_off; compare(record) tells whether
// the key sorts before (< 0), at (0) or after (> 0) the record.
template <typename Record, typename Compare>
bool search(const cache_view& v, uint32_t idx_off, uint32_t count,
            bool (*at)(const cache_view&, uint32_t, Record*), Compare compare, Record* out) {
  uint32_t lo = 0;
  uint32_t hi = v.base != nullptr ? count : 0;
  while (lo < hi) {
    const uint32_t mid = lo + (hi - lo) / 2;
    uint32_t rec = 0;
    if (!index_at(v, idx_off, count, mid, &rec) || !at(v, rec, out)) return false;
    const int c = compare(*out);
    if (c == 0) return true;
    if (c < 0) {
      hi = mid;
    } else {
      lo = mid + 1;
    }
  }
  return false;
}

int order(uint32_t a, uint32_t b) {
  return a < b ? -1 : (a > b ? 1 : 0);
}

}  // namespace

bool cache_find_user_name(const cache_view& v, const char* name, cache_user* out) {
  return search(
      v, v.h.user_name_idx_off, v.h.user_count, cache_user_at,
      [name](const cache_user& u) { return strcmp(name, u.name); }, out);
}

bool cache_find_user_uid(const cache_view& v, uint32_t uid, cache_user* out) {
  return search(
      v, v.h.user_uid_idx_off, v.h.user_count, cache_user_at,
      [uid](const cache_user& u) { return order(uid, u.uid); }, out);
}

bool cache_find_group_name(const cache_view& v, const char* name, cache_group* out) {
  return search(
      v, v.h.group_name_idx_off, v.h.group_count, cache_group_at,
      [name](const cache_group& g) { return strcmp(name, g.name); }, out);
}

bool cache_find_group_gid(const cache_view& v, uint32_t gid, cache_group* out) {
  return search(
      v, v.h.group_gid_idx_off, v.h.group_count, cache_group_at,
      [gid](const cache_group& g) { return order(gid, g.gid); }, out);
}

}  // namespace orvane_host
