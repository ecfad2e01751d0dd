// Keyed table with chained buckets and an insertion-ordered entry list.
//
// hashtable<Key, Value> maps a key (std::string, uint16_t, uint32_t or uint64_t) to a Value and
// owns one node per entry. Colliding keys share a bucket chain; every entry is also threaded on
// a list from the newest insertion to the oldest, which is how callers enumerate the table.
//
// The table owns its values: removing, replacing (unless the old value is handed back) or
// flushing an entry destroys the stored Value. With Value = kt::ref_ptr<T> the table thus holds
// one reference on each object and drops it when the entry goes.
//
// Every table has one lock, of the type its third parameter names: a kt::rwlock (the default)
// or a kt::mutex. Each operation comes as a lock-free core ("_l" for changes, "_nl" for lookups;
// the caller holds the lock or accepts the race) and as wrappers that take the table's lock:
// insert_rw, remove_rw, get_rw, get_rw_rl and get_rw_wl on a read-write-locked table; insert,
// remove, get and get_l on a mutex-locked one. get_l, get_rw_rl and get_rw_wl return with the lock
// still held: the result carries the lock guard, so the lock is released when the result goes
// out of scope:
//
//   if (auto [v, lock] = table.get_rw_rl(key); v != nullptr) use(*v);  // read lock held here
//
// Buckets are allocated on the first insertion, so an empty table costs only its record. The
// bucket count is fixed unless set_auto_grow(true) is called; then the table doubles its
// buckets when it holds more than four entries per bucket. Growth never changes the
// enumeration order.
#ifndef KT_HASHTABLE_HASHTABLE_H_
#define KT_HASHTABLE_HASHTABLE_H_

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "utils/logger.h"
#include "utils/pthread_utils.h"

namespace kt {

enum : uint8_t {
  HASHTABLE_KEY_STRING = 1,
  HASHTABLE_KEY_UINT16 = 2,
  HASHTABLE_KEY_UINT32 = 3,
  HASHTABLE_KEY_UINT64 = 4
};

enum : uint8_t { HASHTABLE_LOCK_MUTEX = 1, HASHTABLE_LOCK_RW = 2 };

// Per key type: the type lookups take, the type tag and the bucket hash.
template <class Key>
struct hashtable_key_traits;

template <>
struct hashtable_key_traits<std::string> {
  using lookup_type = std::string_view;
  static constexpr uint8_t type = HASHTABLE_KEY_STRING;
  // Sum of the bytes taken as unsigned 8-bit numbers.
  static uint64_t hash(std::string_view key) {
    uint64_t sum = 0;
    for (char c : key) sum += static_cast<unsigned char>(c);
    return sum;
  }
  // FNV-1a, for growing tables: a byte sum spans too few values to spread many keys.
  static uint64_t mixed_hash(std::string_view key) {
    uint64_t h = 14695981039346656037ull;
    for (char c : key) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    return h;
  }
};

template <class Int, uint8_t Type>
struct hashtable_int_key_traits {
  using lookup_type = Int;
  static constexpr uint8_t type = Type;
  static uint64_t hash(Int key) { return key; }
  static uint64_t mixed_hash(Int key) { return key; }
};

template <>
struct hashtable_key_traits<uint16_t> : hashtable_int_key_traits<uint16_t, HASHTABLE_KEY_UINT16> {};
template <>
struct hashtable_key_traits<uint32_t> : hashtable_int_key_traits<uint32_t, HASHTABLE_KEY_UINT32> {};
template <>
struct hashtable_key_traits<uint64_t> : hashtable_int_key_traits<uint64_t, HASHTABLE_KEY_UINT64> {};

// Whether a stored value counts as empty: values that test as bool (ref_ptr, smart and raw
// pointers, integers) are empty when false; any other value is never empty.
template <class Value>
bool hashtable_value_empty(const Value& v) {
  if constexpr (std::is_constructible_v<bool, const Value&>) {
    return !static_cast<bool>(v);
  } else {
    (void)v;
    return false;
  }
}

// Result of the lookups that return with the lock held: the value found (nullptr when the key
// is missing) and the guard that owns the lock. Use lock.unlock() to release it early.
template <class Value, class Lock>
struct hashtable_locked {
  Value* value;
  Lock lock;
};

template <class Key, class Value, class Lock = kt::rwlock>
class hashtable {
  using traits = hashtable_key_traits<Key>;
  static_assert(std::is_same_v<Lock, kt::rwlock> || std::is_same_v<Lock, kt::mutex>);
  static constexpr bool kReadWrite = std::is_same_v<Lock, kt::rwlock>;

 public:
  using key_arg = typename traits::lookup_type;

  // One key's node. Read-only to callers apart from its value.
  class entry {
   public:
    const Key& key() const { return key_; }
    Value& value() { return value_; }
    const Value& value() const { return value_; }
    entry* older() const { return older_; }  // next less recently inserted, or nullptr
    entry* newer() const { return newer_; }  // next more recently inserted, or nullptr

   private:
    friend class hashtable;
    entry(key_arg k, Value&& v) : key_(k), value_(std::move(v)) {}

    Key key_;
    Value value_;
    std::unique_ptr<entry> next_;  // bucket chain; the chain owns its nodes
    entry* newer_ = nullptr;
    entry* older_ = nullptr;
  };

  using mutex_lock = std::unique_lock<kt::mutex>;
  using read_lock = std::shared_lock<kt::rwlock>;
  using write_lock = std::unique_lock<kt::rwlock>;

  // size is the bucket count (0 is taken as 1).
  explicit hashtable(uint64_t size) : size_(size == 0 ? 1 : size) {}
  ~hashtable() { flush(); }

  hashtable(const hashtable&) = delete;
  hashtable& operator=(const hashtable&) = delete;

  static constexpr uint8_t key_type() { return traits::type; }
  static constexpr uint8_t lock_flags() {
    return kReadWrite ? HASHTABLE_LOCK_RW : HASHTABLE_LOCK_MUTEX;
  }
  uint64_t size() const { return size_; }
  uint64_t count() const { return count_.load(std::memory_order_relaxed); }
  kt::rwlock& rwlock() requires kReadWrite { return lock_; }
  kt::mutex& mutex() requires(!kReadWrite) { return lock_; }

  // Off by default. When on, an insertion that leaves more than 4 * size entries doubles the
  // bucket count and rehashes, and string keys hash with FNV-1a instead of the byte sum (whose
  // few distinct values would defeat the growth). Call it under the write lock.
  void set_auto_grow(bool on) {
    if (on == auto_grow_) return;
    auto_grow_ = on;
    if (buckets_ && traits::type == HASHTABLE_KEY_STRING && !rehash(size_)) auto_grow_ = !on;
  }
  bool auto_grow() const { return auto_grow_; }

  // Inserts or replaces. A present key keeps its entry (and its place in the enumeration);
  // the old value is moved to *old when old is given and the old value is not empty, and is
  // destroyed otherwise. Returns 0, or -1 when memory runs out (nothing changed).
  int insert_l(key_arg key, Value v, Value* old = nullptr) {
    if (entry* e = find_entry(key)) {
      if (old != nullptr && !hashtable_value_empty(e->value_)) {
        *old = std::exchange(e->value_, std::move(v));
      } else {
        e->value_ = std::move(v);
      }
      return 0;
    }
    std::unique_ptr<entry> node;
    try {
      if (!buckets_) buckets_ = std::make_unique<std::unique_ptr<entry>[]>(size_);
      node.reset(new entry(key, std::move(v)));
    } catch (const std::bad_alloc&) {
      KT_LOG_WARN("%s(): %s", "malloc", std::strerror(ENOMEM));
      return -1;
    }
    entry* e = node.get();
    std::unique_ptr<entry>& head = buckets_[bucket_of(key, size_)];
    e->next_ = std::move(head);
    head = std::move(node);
    e->older_ = newest_;
    if (newest_ != nullptr) newest_->newer_ = e;
    newest_ = e;
    count_.store(count_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    if (auto_grow_ && count() > 4 * size_ && size_ * 2 > size_) rehash(size_ * 2);
    return 0;
  }
  int insert(key_arg key, Value v, Value* old = nullptr) requires(!kReadWrite) {
    std::lock_guard<kt::mutex> l(lock_);
    return insert_l(key, std::move(v), old);
  }
  int insert_rw(key_arg key, Value v, Value* old = nullptr) requires kReadWrite {
    std::lock_guard<kt::rwlock> l(lock_);
    return insert_l(key, std::move(v), old);
  }

  // Removes the entry and destroys its value. A missing key is no error. Returns 0.
  int remove_l(key_arg key) {
    if (!buckets_) return 0;
    std::unique_ptr<entry>* link = &buckets_[bucket_of(key, size_)];
    while (*link && !((*link)->key_ == key)) link = &(*link)->next_;
    if (!*link) return 0;
    std::unique_ptr<entry> node = std::move(*link);
    *link = std::move(node->next_);
    unlink_order(node.get());
    count_.store(count_.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
    return 0;
  }
  int remove(key_arg key) requires(!kReadWrite) {
    std::lock_guard<kt::mutex> l(lock_);
    return remove_l(key);
  }
  int remove_rw(key_arg key) requires kReadWrite {
    std::lock_guard<kt::rwlock> l(lock_);
    return remove_l(key);
  }

  // Pointer to the stored value, or nullptr. Valid until the entry is removed or replaced.
  Value* find_nl(key_arg key) {
    entry* e = find_entry(key);
    return e != nullptr ? &e->value_ : nullptr;
  }
  const Value* find_nl(key_arg key) const {
    const entry* e = find_entry(key);
    return e != nullptr ? &e->value_ : nullptr;
  }

  // Copy of the stored value, or Value{} when the key is missing.
  Value get_nl(key_arg key) const {
    const entry* e = find_entry(key);
    return e != nullptr ? e->value_ : Value{};
  }
  Value get(key_arg key) requires(!kReadWrite) {
    std::lock_guard<kt::mutex> l(lock_);
    return get_nl(key);
  }
  Value get_rw(key_arg key) requires kReadWrite {
    std::shared_lock<kt::rwlock> l(lock_);
    return get_nl(key);
  }

  // Lookups that return with the lock held, also when the key is missing.
  hashtable_locked<Value, mutex_lock> get_l(key_arg key) requires(!kReadWrite) {
    mutex_lock l(lock_);
    return {find_nl(key), std::move(l)};
  }
  hashtable_locked<Value, read_lock> get_rw_rl(key_arg key) requires kReadWrite {
    read_lock l(lock_);
    return {find_nl(key), std::move(l)};
  }
  hashtable_locked<Value, write_lock> get_rw_wl(key_arg key) requires kReadWrite {
    write_lock l(lock_);
    return {find_nl(key), std::move(l)};
  }

  // Enumeration, newest to oldest. The caller holds the lock that excludes writers.
  entry* newest() { return newest_; }
  const entry* newest() const { return newest_; }

  // Calls f(key, value&) for each entry, newest to oldest. When f returns bool, false stops
  // the walk. f may remove the entry it was given (and only that one).
  template <class F>
  void for_each(F&& f) {
    for (entry* e = newest_; e != nullptr;) {
      entry* next = e->older_;
      if constexpr (std::is_same_v<std::invoke_result_t<F&, const Key&, Value&>, bool>) {
        if (!f(std::as_const(e->key_), e->value_)) return;
      } else {
        f(std::as_const(e->key_), e->value_);
      }
      e = next;
    }
  }
  template <class F>
  void for_each(F&& f) const {
    for (const entry* e = newest_; e != nullptr; e = e->older_) {
      if constexpr (std::is_same_v<std::invoke_result_t<F&, const Key&, const Value&>, bool>) {
        if (!f(e->key_, e->value_)) return;
      } else {
        f(e->key_, e->value_);
      }
    }
  }

  // Removes (and destroys) every entry for which pred(key, value&) is true. No lock taken.
  // Returns the number removed.
  template <class Pred>
  uint64_t remove_if(Pred&& pred) {
    uint64_t removed = 0;
    for (entry* e = newest_; e != nullptr;) {
      entry* next = e->older_;
      if (pred(std::as_const(e->key_), e->value_)) {
        remove_l(key_view(e->key_));
        ++removed;
      }
      e = next;
    }
    return removed;
  }

  // Removes every entry, bucket by bucket from bucket 0 and each chain from its head,
  // destroying the values. No lock taken.
  void flush() {
    flush_ref([](Value&) {});
  }
  // The same, calling release(value) for every entry (empty values included) before it goes.
  template <class Release>
  void flush_ref(Release&& release) {
    if (buckets_) {
      for (uint64_t i = 0; i < size_; ++i) {
        std::unique_ptr<entry> node = std::move(buckets_[i]);
        while (node) {
          release(node->value_);
          node = std::move(node->next_);  // one node at a time: no deep recursion
        }
      }
    }
    newest_ = nullptr;
    count_.store(0, std::memory_order_relaxed);
  }

  // Prints the table to standard error under its lock, bucket by bucket. print_value, when
  // given, prints the value and ends the line; without it each entry ends its own line.
  void dump(const std::function<void(const Value&)>& print_value = nullptr) {
    std::lock_guard<Lock> l(lock_);
    std::fprintf(stderr, "- hashtable dump %lu size, type %u -\n",
                 static_cast<unsigned long>(size_), static_cast<unsigned>(key_type()));
    if (!buckets_) return;
    for (uint64_t i = 0; i < size_; ++i) {
      for (const entry* e = buckets_[i].get(); e != nullptr; e = e->next_.get()) {
        print_key(static_cast<unsigned long>(i), e->key_);
        if (print_value) {
          print_value(e->value_);
        } else {
          std::fputc('\n', stderr);
        }
      }
    }
  }

 private:
  static key_arg key_view(const Key& k) { return key_arg(k); }

  static void print_key(unsigned long pos, const Key& k) {
    if constexpr (traits::type == HASHTABLE_KEY_STRING) {
      std::fprintf(stderr, "pos[%lu], key: %s ", pos, k.c_str());
    } else if constexpr (traits::type == HASHTABLE_KEY_UINT64) {
      std::fprintf(stderr, "pos[%lu], key: %lu", pos, static_cast<unsigned long>(k));
    } else {
      std::fprintf(stderr, "pos[%lu], key: %u ", pos, static_cast<unsigned>(k));
    }
  }

  entry* find_entry(key_arg key) const {
    if (!buckets_) return nullptr;
    entry* e = buckets_[bucket_of(key, size_)].get();
    while (e != nullptr && !(e->key_ == key)) e = e->next_.get();
    return e;
  }

  void unlink_order(entry* e) {
    if (e->newer_ != nullptr) {
      e->newer_->older_ = e->older_;
    } else {
      newest_ = e->older_;
    }
    if (e->older_ != nullptr) e->older_->newer_ = e->newer_;
  }

  uint64_t bucket_of(key_arg key, uint64_t size) const {
    return (auto_grow_ ? traits::mixed_hash(key) : traits::hash(key)) % size;
  }

  // Moves every entry to a new array of new_size buckets, oldest first, so every chain again
  // holds its newest entry at the head. Returns false, leaving the table as it was, when
  // memory runs out.
  bool rehash(uint64_t new_size) {
    std::unique_ptr<std::unique_ptr<entry>[]> fresh;
    try {
      fresh = std::make_unique<std::unique_ptr<entry>[]>(new_size);
    } catch (const std::bad_alloc&) {
      return false;
    }
    entry* oldest = newest_;
    while (oldest != nullptr && oldest->older_ != nullptr) oldest = oldest->older_;
    // Take every node out of the old chains; each stays reachable through the insertion list
    // and is owned again by its new chain below.
    for (uint64_t i = 0; i < size_; ++i) {
      std::unique_ptr<entry> node = std::move(buckets_[i]);
      while (node) {
        std::unique_ptr<entry> next = std::move(node->next_);
        (void)node.release();
        node = std::move(next);
      }
    }
    for (entry* e = oldest; e != nullptr; e = e->newer_) {
      std::unique_ptr<entry>& head = fresh[bucket_of(key_view(e->key_), new_size)];
      e->next_ = std::move(head);
      head.reset(e);
    }
    buckets_ = std::move(fresh);
    size_ = new_size;
    return true;
  }

  Lock lock_;
  uint64_t size_;
  std::unique_ptr<std::unique_ptr<entry>[]> buckets_;  // nullptr until the first insertion
  entry* newest_ = nullptr;
  std::atomic<uint64_t> count_{0};  // atomic so count() may be read without a lock
  bool auto_grow_ = false;
};

}  // namespace kt

#endif  // KT_HASHTABLE_HASHTABLE_H_
