#include "scheduler/sched_singlethread.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <utility>

#include "utils/logger.h"

namespace kt {

std::unique_ptr<sched_task> sched_task_create(uint16_t flags) {
  std::unique_ptr<sched_task> task(new (std::nothrow) sched_task());
  if (task == nullptr) {
    KT_LOG_ERR("%s(): %s", "calloc", std::strerror(ENOMEM));
    return nullptr;
  }
  task->flags = flags;
  return task;
}

std::unique_ptr<sched_task> sched_task::make(std::function<int()> run,
                                             std::function<void(int)> completion) {
  uint16_t flags = 0;
  if (run) flags |= SCHED_TASK_RUN;
  if (completion) flags |= SCHED_TASK_COMPLETION;
  std::unique_ptr<sched_task> task = sched_task_create(flags);
  if (task == nullptr) return nullptr;
  // Moving a std::function does not allocate.
  task->run = std::move(run);
  task->completion = std::move(completion);
  return task;
}

std::unique_ptr<sched_singlethread> sched_singlethread_create() {
  std::unique_ptr<sched_singlethread> sched;
  try {
    sched.reset(new sched_singlethread());
  } catch (const std::bad_alloc&) {
    KT_LOG_WARN("%s(): %s", "calloc", std::strerror(ENOMEM));
    return nullptr;
  }
  int error = 0;
  if (sched->init(&error) != 0) {
    KT_LOG_WARN("%s(): %s", "sched_singlethread_init", std::strerror(error));
    return nullptr;
  }
  return sched;
}

void sched_singlethread_free(std::unique_ptr<sched_singlethread> sched) {
  sched.reset();
}

int sched_singlethread::init(int* error) {
  {
    std::lock_guard<mutex> lock(mutex_);
    state_ = SCHED_RUNNING | SCHED_THREAD_ALIVE;
  }
  int code = 0;
  try {
    thread_ = std::thread(&sched_singlethread::thread_main, this);
    thread_id_ = thread_.get_id();
  } catch (const std::system_error& e) {
    code = e.code().value();
  } catch (const std::bad_alloc&) {
    code = ENOMEM;
  }
  if (code == 0) return 0;
  KT_LOG_WARN("pthread_create() failed");
  {
    std::lock_guard<mutex> lock(mutex_);
    state_ = 0;
  }
  *error = code;
  return -1;
}

sched_singlethread::~sched_singlethread() {
  stop();
  if (thread_id_ == std::this_thread::get_id() && thread_.joinable()) {
    // Only when a task destroys its own scheduler; nothing sound is left to do.
    KT_LOG_ERR("scheduler destroyed by its own task");
    thread_.detach();
  }
}

int sched_singlethread::schedule(std::unique_ptr<sched_task> task) {
  if (task == nullptr) return -1;
  std::unique_ptr<sched_task> dropped;  // destroyed after the lock is released
  {
    std::lock_guard<mutex> lock(mutex_);
    // Enqueuing under the lock keeps stop() from missing a task it must drop.
    if ((state_ & SCHED_RUNNING) != 0) return queue_.enqueue(std::move(task));
    dropped = std::move(task);
  }
  return -1;
}

size_t sched_singlethread::stop() {
  const bool own_thread = thread_id_ == std::this_thread::get_id();
  // A task stopping its own scheduler cannot wait for itself, and must not wait for a stop()
  // running elsewhere, which is joining this very thread: it only asks the loop to end.
  std::unique_lock<mutex> stop_lock(stop_mutex_, std::defer_lock);
  if (!own_thread) stop_lock.lock();
  {
    std::lock_guard<mutex> lock(mutex_);
    state_ &= ~SCHED_RUNNING;
  }
  queue_.prepare_exit();
  if (own_thread) {
    KT_LOG_INFO("scheduler stopped by its own task; the thread ends after it");
    return 0;
  }
  if (thread_.joinable()) {
    try {
      thread_.join();
    } catch (const std::system_error& e) {
      KT_LOG_ERR("%s(): %s", "pthread_join", e.what());
    }
  }
  return queue_.clear();
}

bool sched_singlethread::running() const {
  return (state() & SCHED_RUNNING) != 0;
}

uint16_t sched_singlethread::state() const {
  std::lock_guard<mutex> lock(mutex_);
  return state_;
}

void sched_singlethread::run_task(sched_task& task) {
  int result = 0;
  if ((task.flags & SCHED_TASK_RUN) != 0 && task.run) {
    try {
      result = task.run();
    } catch (const std::exception& e) {
      KT_LOG_ERR("task failed: %s", e.what());
      result = -1;
    } catch (...) {
      KT_LOG_ERR("task failed");
      result = -1;
    }
  }
  if ((task.flags & SCHED_TASK_COMPLETION) != 0 && task.completion) {
    try {
      task.completion(result);
    } catch (const std::exception& e) {
      KT_LOG_ERR("task completion failed: %s", e.what());
    } catch (...) {
      KT_LOG_ERR("task completion failed");
    }
  }
}

void sched_singlethread::thread_main() {
  while (running()) {
    std::optional<std::unique_ptr<sched_task>> task = queue_.dequeue_s();
    if (!task.has_value() || *task == nullptr) continue;  // woken without a task
    run_task(**task);
  }
  std::lock_guard<mutex> lock(mutex_);
  state_ &= ~SCHED_THREAD_ALIVE;
}

}  // namespace kt
