// An elastic pool of worker threads for jobs that may block for a long time (a connection waiting
// on its peer, a command waiting for a lock): a job never queues behind a busy worker. It goes to
// an idle worker, or to a new thread when none is idle. The first `core` workers stay for the
// pool's life; the others end after `idle_ms` without work, so a burst leaves no threads behind.
//
// Workers block every signal. Jobs must not throw.
#ifndef KT_THREADPOOL_THREAD_POOL_H_
#define KT_THREADPOOL_THREAD_POOL_H_

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <list>
#include <memory>
#include <thread>
#include <vector>

#include "utils/pthread_utils.h"

namespace kt {

// One unit of work; the worker destroys it after run().
class thread_pool_job {
 public:
  virtual ~thread_pool_job() = default;
  virtual void run() = 0;
};

class thread_pool {
 public:
  struct options {
    unsigned core = 0;   // workers started at once and kept
    int idle_ms = 1000;  // how long another worker waits for work before it ends
  };

  explicit thread_pool(const options& opts);
  ~thread_pool();
  thread_pool(const thread_pool&) = delete;
  thread_pool& operator=(const thread_pool&) = delete;

  // Runs the job on a worker and takes it (job is null after). Returns 0, or -1 when the pool has
  // stopped or no thread could be started (the job stays with the caller).
  int submit(std::unique_ptr<thread_pool_job>& job);

  // Runs the jobs already submitted, then ends every worker and waits for them. Later submits
  // fail. Any thread but a worker; any number of times.
  void stop();

  // Workers alive now (busy or idle).
  size_t threads() const;

 private:
  struct worker {
    std::thread thread;
    bool core = false;
    std::unique_ptr<thread_pool_job> first;  // the job it was started for
  };
  using worker_list = std::list<worker>;

  void routine(worker_list::iterator self);
  // Starts a worker (lock held). False when the thread could not be created.
  bool start_locked(bool core, std::unique_ptr<thread_pool_job>& first);
  // Joins the workers that have ended (lock not held).
  void reap();

  const options opts_;
  mutable mutex lock_;
  std::condition_variable_any work_;   // a job was queued, or the pool stops
  std::condition_variable_any ended_;  // a worker ended
  std::deque<std::unique_ptr<thread_pool_job>> jobs_;
  worker_list workers_;
  std::vector<std::thread> finished_;  // ended workers not yet joined
  size_t idle_ = 0;
  bool stopping_ = false;
};

}  // namespace kt

#endif  // KT_THREADPOOL_THREAD_POOL_H_
