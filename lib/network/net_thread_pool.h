// Connections that wait on their peer without a thread each. A few loop threads, each with its
// own epoll set, run a task's step() whenever its socket is ready for what the task waits for,
// and end the task when its deadline passes. A task that has more to do than a short step (work
// that may block) leaves the loop and carries on elsewhere, owning itself.
//
// The loops can also accept the connections of listeners that have no accept thread: each loop
// watches the listening socket and accepts one connection per turn, which becomes a task of that
// loop; at the listener's cap a loop stops watching until a slot is free again.
//
// Every task gets the same time to live, counted from add(): a loop keeps its tasks in the order
// they came, which is then also the order of their deadlines. A task may give its deadline up
// (net_task::keep) and then stays until it ends itself: a long-lived connection such as a
// WebSocket channel. Other threads have a task stepped through its waker (net_task::waker), for
// example when they queued bytes for it to send. A loop starts one new task per turn, after the
// steps of the tasks it already runs, so that work under way finishes first.
#ifndef KT_NETWORK_NET_THREAD_POOL_H_
#define KT_NETWORK_NET_THREAD_POOL_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <thread>
#include <vector>

#include "network/socket_listener.h"
#include "utils/pthread_utils.h"
#include "utils/refobj.h"

namespace kt {

// What a task waits for after a step.
enum class net_wait {
  read,   // the socket to be readable
  write,  // the socket to be writable
  leave,  // nothing: the task leaves the loop (see net_task::leave)
  close,  // nothing: the task is done and is destroyed
};

class net_task;
class net_thread_pool;

// Lets any thread have a task stepped on its loop soon. Shared by the task and whoever wakes it;
// once the task has ended (or left its loop), wake() does nothing.
class net_waker : public ref_object {
 public:
  // Queues one extra step() of the task on its loop. Wakes that come before the step ran are
  // folded into one. Before the task has joined a loop, nothing: its first step comes anyway.
  void wake();

 private:
  friend class net_thread_pool;
  friend class net_task;
  mutex lock_;
  void* loop_ KT_GUARDED_BY(lock_) = nullptr;      // the loop the task runs in
  net_task* task_ KT_GUARDED_BY(lock_) = nullptr;  // cleared when the task ends or leaves
  bool queued_ KT_GUARDED_BY(lock_) = false;       // a step is queued already
};

class net_task {
 public:
  explicit net_task(int fd) : fd_(fd) {}
  virtual ~net_task();
  net_task(const net_task&) = delete;
  net_task& operator=(const net_task&) = delete;

  int fd() const { return fd_; }

  // On a loop thread: first right after the task joins the loop, then each time its socket is
  // ready (or has failed). Must not block.
  virtual net_wait step() = 0;
  // On a loop thread, once step() returned leave: the task is out of the loop (its socket no
  // longer watched) and owns itself from now on.
  virtual void leave(std::unique_ptr<net_task> self) = 0;
  // On a loop thread: the deadline passed first. The task is destroyed right after.
  virtual void expire() {}

  // The task's waker (made on the first call). Any thread before the task is added; afterwards
  // only the task's own step().
  ref_ptr<net_waker> waker();

 protected:
  // From step(): the task gives up its deadline and stays in the loop until a step ends it.
  void keep() { keep_ = true; }

 private:
  friend class net_thread_pool;
  const int fd_;
  int64_t deadline_ms_ = 0;
  uint32_t watched_ = 0;  // epoll events the loop watches for it; 0 before it is registered
  bool keep_ = false;     // asked for no deadline
  bool kept_ = false;     // in the loop's list of tasks without deadline
  ref_ptr<net_waker> waker_;
  std::list<std::unique_ptr<net_task>>::iterator where_;
};

class net_thread_pool {
 public:
  // threads loop threads (at least one); each task lives at most timeout_ms in the loop.
  // Null when a loop cannot be set up.
  static std::unique_ptr<net_thread_pool> open(unsigned threads, int timeout_ms);

  // An empty pool; open() gives it its loops.
  explicit net_thread_pool(int timeout_ms);
  ~net_thread_pool();
  net_thread_pool(const net_thread_pool&) = delete;
  net_thread_pool& operator=(const net_thread_pool&) = delete;

  // Hands the task to the loop with the fewest tasks and takes it (task is null after). Returns
  // 0, or -1 when the pool has stopped (the task stays with the caller). Any thread.
  int add(std::unique_ptr<net_task>& task);

  // Has every loop accept the listener's connections (a listener opened without an accept
  // thread; its callback normally add()s a task, which then joins the accepting loop). The
  // listener must outlive the pool, or at least stay open until stop(). Returns 0, or -1 when
  // the pool has stopped.
  int watch(socket_listener& listener);

  // Ends the loops and destroys the tasks still in them. Any thread but a loop; idempotent.
  void stop();

  // Tasks in the loops now.
  size_t tasks() const;

 private:
  friend class net_waker;
  struct loop;
  void run(loop& l);

  const int timeout_ms_;
  std::vector<std::unique_ptr<loop>> loops_;
  std::atomic<bool> stopping_{false};
  mutex stop_lock_;
};

}  // namespace kt

#endif  // KT_NETWORK_NET_THREAD_POOL_H_
