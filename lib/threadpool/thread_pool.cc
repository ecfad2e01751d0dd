#include "threadpool/thread_pool.h"

#include <signal.h>

#include <chrono>
#include <mutex>
#include <system_error>
#include <utility>

namespace kt {

thread_pool::thread_pool(const options& opts) : opts_(opts) {
  std::lock_guard l(lock_);
  for (unsigned i = 0; i < opts_.core; ++i) {
    std::unique_ptr<thread_pool_job> none;
    if (!start_locked(true, none)) break;
  }
}

thread_pool::~thread_pool() {
  stop();
}

bool thread_pool::start_locked(bool core, std::unique_ptr<thread_pool_job>& first) {
  const auto it = workers_.emplace(workers_.end());
  it->core = core;
  it->first = std::move(first);
  // A worker started without a job counts as idle at once, so that jobs go to it.
  const bool idle_now = it->first == nullptr;
  if (idle_now) ++idle_;
  try {
    it->thread = std::thread(&thread_pool::routine, this, it);
  } catch (const std::system_error&) {
    if (idle_now) --idle_;
    first = std::move(it->first);
    workers_.erase(it);
    return false;
  }
  return true;
}

void thread_pool::routine(worker_list::iterator self) {
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);

  std::unique_ptr<thread_pool_job> job;
  {
    std::lock_guard l(lock_);
    job = std::move(self->first);
  }
  bool counted_idle = job == nullptr;  // see start_locked()
  for (;;) {
    if (job) {
      job->run();
      job.reset();
    }
    std::unique_lock l(lock_);
    if (!counted_idle) ++idle_;
    counted_idle = false;
    bool waited_enough = false;
    while (jobs_.empty() && !stopping_ && !waited_enough) {
      if (self->core) {
        work_.wait(l);
      } else {
        waited_enough =
            work_.wait_for(l, std::chrono::milliseconds(opts_.idle_ms)) == std::cv_status::timeout;
      }
    }
    --idle_;
    if (!jobs_.empty()) {
      job = std::move(jobs_.front());
      jobs_.pop_front();
      continue;
    }
    // Stopping, or idle for too long: another thread joins this one.
    finished_.push_back(std::move(self->thread));
    workers_.erase(self);
    ended_.notify_all();
    return;
  }
}

void thread_pool::reap() {
  std::vector<std::thread> done;
  {
    std::lock_guard l(lock_);
    done.swap(finished_);
  }
  for (std::thread& t : done) t.join();
}

int thread_pool::submit(std::unique_ptr<thread_pool_job>& job) {
  if (!job) return -1;
  reap();
  std::lock_guard l(lock_);
  if (stopping_) return -1;
  if (idle_ > jobs_.size()) {
    jobs_.push_back(std::move(job));
    work_.notify_one();
    return 0;
  }
  return start_locked(false, job) ? 0 : -1;
}

void thread_pool::stop() {
  {
    std::unique_lock l(lock_);
    stopping_ = true;
    work_.notify_all();
    ended_.wait(l, [this] { return workers_.empty(); });
  }
  reap();
}

size_t thread_pool::threads() const {
  std::lock_guard l(lock_);
  return workers_.size();
}

}  // namespace kt
