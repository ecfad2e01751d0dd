#include "db/filedb_index.h"

#include <utility>

namespace kt {

namespace {

struct registry {
  kt::mutex mutex;
  std::unordered_map<std::string, ref_ptr<filedb_index>> indexes;
};

registry& the_registry() {
  static registry r;
  return r;
}

bool same_time(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Drops the registry's indexes nobody else holds. Caller holds the registry mutex.
void drop_idle(registry& r) {
  for (auto it = r.indexes.begin(); it != r.indexes.end();) {
    if (it->second->ref_count() == 1) {
      it = r.indexes.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace

ref_ptr<filedb_index> filedb_index::of(const std::string& path) {
  registry& r = the_registry();
  std::lock_guard<kt::mutex> lock(r.mutex);
  auto it = r.indexes.find(path);
  if (it != r.indexes.end()) return it->second;
  if (r.indexes.size() >= kMaxIdle) drop_idle(r);
  ref_ptr<filedb_index> ix = make_ref<filedb_index>();
  r.indexes.emplace(path, ix);
  return ix;
}

ref_ptr<filedb_index> filedb_index::existing(const std::string& path) {
  registry& r = the_registry();
  std::lock_guard<kt::mutex> lock(r.mutex);
  auto it = r.indexes.find(path);
  return it == r.indexes.end() ? nullptr : it->second;
}

void filedb_index::forget_all() {
  registry& r = the_registry();
  std::lock_guard<kt::mutex> lock(r.mutex);
  drop_idle(r);
}

bool filedb_index::matches(const struct stat& st) const {
  return valid && st.st_dev == state.st_dev && st.st_ino == state.st_ino &&
         st.st_size == state.st_size && same_time(st.st_mtim, state.st_mtim) &&
         same_time(st.st_ctim, state.st_ctim);
}

void filedb_index::invalidate() {
  valid = false;
  first.clear();
  repeated.clear();
}

void filedb_index::add(std::string_view k, uint64_t offset) {
  auto [it, fresh] = first.try_emplace(std::string(k), offset);
  if (!fresh) repeated.emplace(k);
}

}  // namespace kt
