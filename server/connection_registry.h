// The open connections of one kind (client connections, monitoring subscribers), so that change
// notifications, the monitoring mirror and shutdown can reach each of them. A connection record
// derives from registry_links and is listed from its start until it ends; the registry does not
// own it. Whoever walks the registry holds its lock shared, so a listed record stays alive until
// the walk is over: a connection takes itself off the list before its record goes.
#ifndef ORVANE_CONNECTION_REGISTRY_H_
#define ORVANE_CONNECTION_REGISTRY_H_

#include <atomic>
#include <cstddef>
#include <mutex>
#include <shared_mutex>

#include "utils/pthread_utils.h"

namespace orvane {

template <class T>
class connection_registry;

// The links of a listed connection record.
template <class T>
class registry_links {
 private:
  friend class connection_registry<T>;
  T* prev_ = nullptr;
  T* next_ = nullptr;
  bool listed_ = false;
};

template <class T>
class connection_registry {
 public:
  connection_registry() = default;
  connection_registry(const connection_registry&) = delete;
  connection_registry& operator=(const connection_registry&) = delete;

  // Lists the connection at the end.
  void add(T* c) {
    std::unique_lock lock(lock_);
    registry_links<T>& l = *c;
    l.prev_ = tail_;
    l.next_ = nullptr;
    l.listed_ = true;
    if (tail_ != nullptr) links(tail_).next_ = c;
    tail_ = c;
    if (head_ == nullptr) head_ = c;
    count_.fetch_add(1, std::memory_order_relaxed);
  }

  // Takes the connection off the list; nothing when it is not listed. Once this returns, no walk
  // sees it any more.
  void remove(T* c) {
    std::unique_lock lock(lock_);
    registry_links<T>& l = *c;
    if (!l.listed_) return;
    if (l.prev_ != nullptr) links(l.prev_).next_ = l.next_;
    if (l.next_ != nullptr) links(l.next_).prev_ = l.prev_;
    if (head_ == c) head_ = l.next_;
    if (tail_ == c) tail_ = l.prev_;
    l.prev_ = l.next_ = nullptr;
    l.listed_ = false;
    count_.fetch_sub(1, std::memory_order_relaxed);
  }

  // Calls fn(T&) for each listed connection in the order they came, under the lock held shared:
  // fn must not add or remove connections.
  template <class Fn>
  void for_each(Fn&& fn) const {
    std::shared_lock lock(lock_);
    for (T* c = head_; c != nullptr; c = links(c).next_) fn(*c);
  }

  // Connections listed now; without the lock, so only a hint by the time it is used.
  size_t size() const { return count_.load(std::memory_order_relaxed); }

 private:
  static registry_links<T>& links(T* c) { return *c; }

  mutable kt::rwlock lock_;
  T* head_ = nullptr;
  T* tail_ = nullptr;
  std::atomic<size_t> count_{0};
};

}  // namespace orvane

#endif  // ORVANE_CONNECTION_REGISTRY_H_
