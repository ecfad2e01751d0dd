// Blocking first-in first-out queue of owned items.
//
// queue<T> owns every item it holds (T is movable, typically std::unique_ptr<X>): items still
// queued when the queue is destroyed are destroyed with it. Any thread may enqueue; consumers
// take items without waiting (dequeue) or wait for one (dequeue_s). prepare_exit() marks the
// queue as exiting and wakes every waiting consumer; from then on dequeue_s returns nothing at
// once, while dequeue and the drain helpers still hand out what is left.
//
// The classic C interface maps onto the class as follows:
//   queue_create / queue_init  -> queue_create<T>() / the constructor
//   queue_enqueue              -> queue::enqueue
//   queue_dequeue              -> queue::dequeue
//   queue_dequeue_s            -> queue::dequeue_s
//   queue_prepare_exit         -> queue::prepare_exit
//   queue_free                 -> the destructor (exits, wakes, destroys the remaining items)
//
// The waiting consumer sleeps on a condition variable with the predicate "an item is queued or
// the queue is exiting", so a spurious wake-up never yields an item that is not there and a
// wake-up that arrives before the consumer sleeps is never lost. The condition variable also
// does the work of a counting semaphore of queued items, so the queue keeps none.
#ifndef KT_QUEUE_QUEUE_H_
#define KT_QUEUE_QUEUE_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>

#include "utils/pthread_utils.h"

namespace kt {

// queue::flags() bits.
enum : uint16_t {
  QUEUE_ITEM_ADDED = 0x1,  // an item has been enqueued since the queue was created
  QUEUE_EXITING = 0x2,     // prepare_exit() was called
  QUEUE_WAITING = 0x4,     // a consumer is waiting in dequeue_s
};

template <class T>
class queue {
  static_assert(std::is_nothrow_move_constructible_v<T>, "queue items must move without throwing");

 public:
  queue() = default;
  // queue_free: marks the queue as exiting, wakes the waiters and destroys the remaining items.
  // No consumer may still be inside dequeue_s when the destructor runs.
  ~queue() {
    prepare_exit();
    std::list<T> rest;
    {
      std::lock_guard<mutex> lock(mutex_);
      rest.swap(items_);
    }
  }
  queue(const queue&) = delete;
  queue& operator=(const queue&) = delete;

  // queue_enqueue: appends the item at the tail and wakes one waiting consumer. Returns 0, or -1
  // when no memory is left for the node (the item is then destroyed).
  int enqueue(T item) {
    std::list<T> node;  // allocated outside the lock, spliced in under it
    try {
      node.push_back(std::move(item));
    } catch (const std::bad_alloc&) {
      return -1;
    }
    {
      std::lock_guard<mutex> lock(mutex_);
      items_.splice(items_.end(), node);
      flags_ |= QUEUE_ITEM_ADDED;
    }
    cond_.notify_one();
    return 0;
  }

  // queue_dequeue: removes and returns the head item, or nothing when the queue is empty. Never
  // waits.
  std::optional<T> dequeue() {
    std::lock_guard<mutex> lock(mutex_);
    return pop_head_l();
  }

  // queue_dequeue_s: removes and returns the head item, waiting while the queue is empty.
  // Returns nothing at once when the queue is exiting, and nothing when prepare_exit() is called
  // while it waits.
  std::optional<T> dequeue_s() {
    std::unique_lock<mutex> lock(mutex_);
    if ((flags_ & QUEUE_EXITING) != 0) return std::nullopt;
    if (items_.empty()) {
      ++waiters_;
      flags_ |= QUEUE_WAITING;
      cond_.wait(lock, [this] { return !items_.empty() || (flags_ & QUEUE_EXITING) != 0; });
      if (--waiters_ == 0) flags_ &= ~QUEUE_WAITING;
      if ((flags_ & QUEUE_EXITING) != 0) return std::nullopt;
    }
    return pop_head_l();
  }

  // Like dequeue_s, but gives up and returns nothing once `timeout` has passed.
  template <class Rep, class Period>
  std::optional<T> dequeue_s_for(std::chrono::duration<Rep, Period> timeout) {
    std::unique_lock<mutex> lock(mutex_);
    if ((flags_ & QUEUE_EXITING) != 0) return std::nullopt;
    if (items_.empty()) {
      ++waiters_;
      flags_ |= QUEUE_WAITING;
      cond_.wait_for(lock, timeout,
                     [this] { return !items_.empty() || (flags_ & QUEUE_EXITING) != 0; });
      if (--waiters_ == 0) flags_ &= ~QUEUE_WAITING;
      if ((flags_ & QUEUE_EXITING) != 0) return std::nullopt;
    }
    return pop_head_l();
  }

  // queue_prepare_exit: marks the queue as exiting and wakes every waiting consumer. Items stay
  // queued. Calling it again has no further effect.
  void prepare_exit() {
    {
      std::lock_guard<mutex> lock(mutex_);
      flags_ |= QUEUE_EXITING;
    }
    cond_.notify_all();
  }

  // Removes every queued item and hands them back in queue order.
  std::list<T> drain() {
    std::list<T> out;
    std::lock_guard<mutex> lock(mutex_);
    out.swap(items_);
    return out;
  }

  // Removes and destroys every queued item (outside the lock). Returns how many there were.
  size_t clear() { return drain().size(); }

  size_t size() const {
    std::lock_guard<mutex> lock(mutex_);
    return items_.size();
  }
  bool empty() const { return size() == 0; }
  bool exiting() const { return (flags() & QUEUE_EXITING) != 0; }
  uint16_t flags() const {
    std::lock_guard<mutex> lock(mutex_);
    return flags_;
  }

 private:
  std::optional<T> pop_head_l() {
    if (items_.empty()) return std::nullopt;
    std::optional<T> item(std::move(items_.front()));
    items_.pop_front();
    return item;
  }

  mutable mutex mutex_;
  std::condition_variable_any cond_;
  std::list<T> items_;    // guarded by mutex_
  uint16_t flags_ = 0;    // guarded by mutex_
  uint32_t waiters_ = 0;  // guarded by mutex_
};

// queue_create: an empty queue, or nullptr when out of memory.
template <class T>
std::unique_ptr<queue<T>> queue_create() {
  try {
    return std::make_unique<queue<T>>();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace kt

#endif  // KT_QUEUE_QUEUE_H_
