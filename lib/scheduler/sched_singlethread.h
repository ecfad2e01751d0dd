// Single-thread scheduler: one background thread that runs tasks one at a time, in the order
// they were scheduled.
//
// A sched_task carries a run function (bit SCHED_TASK_RUN) and a completion function (bit
// SCHED_TASK_COMPLETION) that receives the run function's result, or 0 when the task has no run
// function. Whatever a task needs is captured by its functions; destroying the task releases it.
//
// sched_singlethread owns every task from the moment it is scheduled and destroys it once it has
// run. Stopping (stop() or the destructor, i.e. sched_singlethread_free) clears the running flag,
// wakes the thread, always joins it and destroys the tasks still queued without running them.
// Tasks scheduled after the stop are destroyed at once and never run.
//
//   auto sched = kt::sched_singlethread_create();
//   sched->schedule(kt::sched_task::make([] { return sweep(); }, [](int rc) { log(rc); }));
//
// Any thread may schedule. Tasks must not block for long: they delay every task behind them.
// A task may stop() the scheduler that runs it (the loop then ends after the task; the queued
// tasks are dropped by the next stop() or the destructor) but must not destroy it.
#ifndef KT_SCHEDULER_SCHED_SINGLETHREAD_H_
#define KT_SCHEDULER_SCHED_SINGLETHREAD_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

#include "queue/queue.h"
#include "utils/pthread_utils.h"

namespace kt {

// sched_task::flags bits.
enum : uint16_t {
  SCHED_TASK_RUN = 0x1,         // run() is called
  SCHED_TASK_COMPLETION = 0x2,  // completion(result) is called after run
};

// sched_singlethread::state() bits.
enum : uint16_t {
  SCHED_RUNNING = 0x1,       // accepting and running tasks
  SCHED_THREAD_ALIVE = 0x2,  // the thread has not ended yet
};

struct sched_task {
  uint16_t flags = 0;
  std::function<int()> run;
  std::function<void(int)> completion;

  // A task with the given functions; the flags follow from which of them are set. Returns
  // nullptr (logged) when out of memory.
  static std::unique_ptr<sched_task> make(std::function<int()> run,
                                          std::function<void(int)> completion = {});
};

// sched_task_create: an empty task with `flags` set, or nullptr (logged) when out of memory. The
// caller sets the functions. A task is freed (sched_task_free) by destroying it.
std::unique_ptr<sched_task> sched_task_create(uint16_t flags);

class sched_singlethread {
 public:
  // sched_singlethread_free: stops the scheduler (see stop()) and frees it.
  ~sched_singlethread();
  sched_singlethread(const sched_singlethread&) = delete;
  sched_singlethread& operator=(const sched_singlethread&) = delete;

  // sched_singlethread_schedule: queues the task behind those already scheduled and returns 0
  // at once. Returns -1 and destroys the task without running it when the task is null, the
  // scheduler has stopped or no memory is left.
  int schedule(std::unique_ptr<sched_task> task);

  // Stops the scheduler: clears running, wakes the thread, waits for it to end (a task that is
  // running finishes first) and destroys the tasks still queued without running them. Returns
  // how many queued tasks were dropped. Safe to call more than once and from several threads.
  size_t stop();

  bool running() const;
  uint16_t state() const;
  // Tasks queued and not yet taken by the thread.
  size_t pending() const { return queue_.size(); }

 private:
  friend std::unique_ptr<sched_singlethread> sched_singlethread_create();

  sched_singlethread() = default;
  // sched_singlethread_init: sets running and thread alive and starts the thread. Returns 0, or
  // -1 (logged, running cleared) when the thread cannot start; `error` then holds the cause.
  int init(int* error);
  void thread_main();
  static void run_task(sched_task& task);

  mutable mutex mutex_;
  mutex stop_mutex_;    // serialises stop()
  uint16_t state_ = 0;  // guarded by mutex_
  queue<std::unique_ptr<sched_task>> queue_;
  std::thread thread_;
  std::thread::id thread_id_;  // set once by init()
};

// sched_singlethread_create: a started scheduler, or nullptr (logged) when the record cannot be
// allocated or its thread cannot start.
std::unique_ptr<sched_singlethread> sched_singlethread_create();

// sched_singlethread_free: stops and frees the scheduler; a null pointer is ignored.
void sched_singlethread_free(std::unique_ptr<sched_singlethread> sched);

}  // namespace kt

#endif  // KT_SCHEDULER_SCHED_SINGLETHREAD_H_
