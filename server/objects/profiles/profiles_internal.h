// Helpers shared by the files of the NSS profiles module.
#ifndef ORVANE_OBJECTS_PROFILES_PROFILES_INTERNAL_H_
#define ORVANE_OBJECTS_PROFILES_PROFILES_INTERNAL_H_

#include <algorithm>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "hashtable/hashtable.h"

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

}  // namespace orvane

#endif  // ORVANE_OBJECTS_PROFILES_PROFILES_INTERNAL_H_
