// Helpers shared by the files of the NSS profiles module.
#ifndef ORVANE_OBJECTS_PROFILES_NSS_PROFILE_INTERNAL_H_
#define ORVANE_OBJECTS_PROFILES_NSS_PROFILE_INTERNAL_H_

#include <algorithm>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "hashtable/hashtable.h"
#include "objects/profiles/nss_profile.h"
#include "objects/profiles/nss_profile_records.h"

namespace orvane {

// The values of a table in insertion order (the table enumerates newest first), taken under
// its read lock.
template <class K, class V>
std::vector<V> profile_snapshot(kt::hashtable<K, V>& table) {
  std::vector<V> out;
  std::shared_lock lock(table.rwlock());
  out.reserve(table.count());
  table.for_each([&](const K&, V& v) {
    if (v) out.push_back(v);
  });
  std::reverse(out.begin(), out.end());
  return out;
}

template <class Table>
void profile_flush_table(Table& table) {
  std::unique_lock lock(table.rwlock());
  table.flush();
}

class domain;

// Deletes the three member files of a profile (missing files are no error).
void _nss_profile_member_files_unlink(const domain& d, uint64_t profile_id);

// Replace one member file with the given list (an empty list deletes the file). 0, or 0x13 when
// the file can't be written (the old one stays).
uint32_t _nss_profile_write_users(const domain& d, uint64_t profile_id, const profile_user_list& l);
uint32_t _nss_profile_write_groups(const domain& d, uint64_t profile_id,
                                   const profile_group_list& l);
uint32_t _nss_profile_write_includes(const domain& d, uint64_t profile_id, const profile_list& l);
// Replace the profile's members / included profiles in memory (both indexes; for inclusions
// the included_by links of the old and new targets too). The lists must hold no duplicate
// user, uid, group or gid.
void _nss_profile_set_users(nss_profile& p, const profile_user_list& l);
void _nss_profile_set_groups(nss_profile& p, const profile_group_list& l);
void _nss_profile_set_includes(nss_profile& p, const profile_list& l);

}  // namespace orvane

#endif  // ORVANE_OBJECTS_PROFILES_NSS_PROFILE_INTERNAL_H_
