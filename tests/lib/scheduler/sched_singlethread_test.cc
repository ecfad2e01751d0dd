#include "scheduler/sched_singlethread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace kt {
namespace {

using namespace std::chrono_literals;

// Counts the destructions of the tasks that capture it.
struct free_counter {
  explicit free_counter(std::atomic<int>* frees) : frees_(frees) {}
  ~free_counter() { ++*frees_; }
  std::atomic<int>* frees_;
};

// A task that counts its runs and, through its capture, its destruction.
std::unique_ptr<sched_task> counted_task(std::atomic<int>* runs, std::atomic<int>* frees) {
  auto guard = std::make_shared<free_counter>(frees);
  return sched_task::make([runs, guard] { return ++*runs; });
}

// Schedules a task that completes the returned future once every earlier task has run.
std::future<void> barrier(sched_singlethread& sched) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> f = done->get_future();
  EXPECT_EQ(sched.schedule(sched_task::make([done] {
    done->set_value();
    return 0;
  })),
            0);
  return f;
}

TEST(SchedTaskTest, FlagsFollowTheFunctions) {
  auto created = sched_task_create(SCHED_TASK_COMPLETION);
  ASSERT_NE(created, nullptr);
  EXPECT_EQ(created->flags, SCHED_TASK_COMPLETION);
  EXPECT_FALSE(created->run);
  EXPECT_EQ(sched_task::make([] { return 1; })->flags, SCHED_TASK_RUN);
  EXPECT_EQ(sched_task::make({}, [](int) {})->flags, SCHED_TASK_COMPLETION);
  EXPECT_EQ(sched_task::make([] { return 1; }, [](int) {})->flags,
            SCHED_TASK_RUN | SCHED_TASK_COMPLETION);
}

TEST(SchedSinglethreadTest, RunsTasksOneAfterAnotherInArrivalOrder) {
  auto sched = sched_singlethread_create();
  ASSERT_NE(sched, nullptr);
  EXPECT_EQ(sched->state(), SCHED_RUNNING | SCHED_THREAD_ALIVE);

  std::promise<void> gate;
  std::shared_future<void> open = gate.get_future().share();
  std::vector<std::string> log;  // touched only by the scheduler thread until the barrier
  std::vector<std::thread::id> threads;
  for (std::string name : {"A", "B", "C"}) {
    ASSERT_EQ(sched->schedule(sched_task::make([&, name] {
      log.push_back(name + "+");
      threads.push_back(std::this_thread::get_id());
      if (name == "A") open.wait();  // B and C queue up behind A
      log.push_back(name + "-");
      return 0;
    })),
              0);
  }
  gate.set_value();
  barrier(*sched).wait();
  EXPECT_EQ(log, (std::vector<std::string>{"A+", "A-", "B+", "B-", "C+", "C-"}));
  ASSERT_EQ(threads.size(), 3u);
  EXPECT_NE(threads[0], std::this_thread::get_id());
  EXPECT_EQ(threads[0], threads[1]);
  EXPECT_EQ(threads[1], threads[2]);
}

TEST(SchedSinglethreadTest, CompletionReceivesTheRunResultOrZero) {
  auto sched = sched_singlethread_create();
  ASSERT_NE(sched, nullptr);
  std::vector<int> results;
  auto record = [&results](int rc) { results.push_back(rc); };

  sched->schedule(sched_task::make({}, record));                 // completion only
  sched->schedule(sched_task::make([] { return 42; }, record));  // run + completion
  sched->schedule(sched_task::make([] { return -7; }, record));
  sched->schedule(sched_task::make([]() -> int { throw std::runtime_error("boom"); }, record));
  auto no_run = sched_task_create(SCHED_TASK_RUN | SCHED_TASK_COMPLETION);  // run left unset
  no_run->completion = record;
  sched->schedule(std::move(no_run));
  auto masked = sched_task::make([] { return 5; }, record);
  masked->flags = SCHED_TASK_COMPLETION;  // the flags decide, not the functions
  sched->schedule(std::move(masked));
  barrier(*sched).wait();
  EXPECT_EQ(results, (std::vector<int>{0, 42, -7, -1, 0, 0}));
}

TEST(SchedSinglethreadTest, StopWhileIdleIsPromptAndRejectsLaterTasks) {
  auto sched = sched_singlethread_create();
  ASSERT_NE(sched, nullptr);
  std::this_thread::sleep_for(10ms);  // let the thread sleep on the empty queue
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(sched->stop(), 0u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_EQ(sched->state(), 0);
  EXPECT_EQ(sched->stop(), 0u);  // again: nothing left to do

  std::atomic<int> runs{0}, frees{0};
  EXPECT_EQ(sched->schedule(counted_task(&runs, &frees)), -1);
  EXPECT_EQ(frees, 1);  // destroyed at once
  EXPECT_EQ(sched->schedule(nullptr), -1);
  sched_singlethread_free(std::move(sched));
  EXPECT_EQ(runs, 0);
}

TEST(SchedSinglethreadTest, StopFreesQueuedTasksWithoutRunningThem) {
  auto sched = sched_singlethread_create();
  ASSERT_NE(sched, nullptr);
  std::promise<void> started, gate;
  std::shared_future<void> open = gate.get_future().share();
  sched->schedule(sched_task::make([&started, open] {
    started.set_value();
    open.wait();
    return 0;
  }));
  started.get_future().wait();  // the thread is inside the first task

  std::atomic<int> runs{0}, frees{0};
  for (int i = 0; i < 5; ++i) ASSERT_EQ(sched->schedule(counted_task(&runs, &frees)), 0);
  EXPECT_EQ(sched->pending(), 5u);

  size_t dropped = 0;
  std::thread stopper([&] { dropped = sched->stop(); });
  while (sched->running()) std::this_thread::sleep_for(1ms);
  gate.set_value();  // the running task finishes; the queued ones must not start
  stopper.join();
  EXPECT_EQ(dropped, 5u);
  EXPECT_EQ(runs, 0);
  EXPECT_EQ(frees, 5);
  EXPECT_EQ(sched->state() & SCHED_THREAD_ALIVE, 0);
}

TEST(SchedSinglethreadTest, DestroyingTheSchedulerFreesQueuedTasks) {
  std::atomic<int> runs{0}, frees{0};
  {
    auto sched = sched_singlethread_create();
    ASSERT_NE(sched, nullptr);
    std::promise<void> started, gate;
    std::shared_future<void> open = gate.get_future().share();
    sched->schedule(sched_task::make([&started, open] {
      started.set_value();
      open.wait();
      return 0;
    }));
    started.get_future().wait();
    for (int i = 0; i < 3; ++i) sched->schedule(counted_task(&runs, &frees));
    // The destructor cannot finish before the gate opens, so `raw` outlives the polling.
    sched_singlethread* raw = sched.get();
    std::thread opener([&gate, raw] {
      while (raw->running()) std::this_thread::sleep_for(1ms);
      gate.set_value();
    });
    sched.reset();
    opener.join();
  }
  EXPECT_EQ(runs, 0);
  EXPECT_EQ(frees, 3);
}

TEST(SchedSinglethreadTest, TaskMayStopItsOwnScheduler) {
  auto sched = sched_singlethread_create();
  ASSERT_NE(sched, nullptr);
  std::atomic<int> runs{0}, frees{0};
  std::promise<size_t> stopped;
  sched_singlethread* self = sched.get();
  // Queued behind the stopping task, so it must never run.
  std::promise<void> gate;
  std::shared_future<void> open = gate.get_future().share();
  sched->schedule(sched_task::make([open, self, &stopped] {
    open.wait();
    stopped.set_value(self->stop());
    return 0;
  }));
  sched->schedule(counted_task(&runs, &frees));
  gate.set_value();
  EXPECT_EQ(stopped.get_future().get(), 0u);
  EXPECT_FALSE(sched->running());
  EXPECT_EQ(sched->schedule(counted_task(&runs, &frees)), -1);
  EXPECT_EQ(sched->stop(), 1u);  // joins the thread and drops the task left behind
  EXPECT_EQ(runs, 0);
  EXPECT_EQ(frees, 2);
}

TEST(SchedSinglethreadTest, ManyProducersScheduleConcurrently) {
  constexpr int kProducers = 4;
  constexpr int kTasks = 250;
  auto sched = sched_singlethread_create();
  ASSERT_NE(sched, nullptr);
  std::vector<std::pair<int, int>> ran;  // touched only by the scheduler thread
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kTasks; ++i) {
        EXPECT_EQ(sched->schedule(sched_task::make([&ran, p, i] {
          ran.emplace_back(p, i);
          return 0;
        })),
                  0);
      }
    });
  }
  for (auto& t : producers) t.join();
  barrier(*sched).wait();
  ASSERT_EQ(ran.size(), size_t{kProducers} * kTasks);
  std::vector<int> next(kProducers, 0);
  for (auto [p, i] : ran) EXPECT_EQ(i, next[p]++);  // each producer's tasks in its order
}

}  // namespace
}  // namespace kt
