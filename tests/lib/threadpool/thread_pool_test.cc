#include "threadpool/thread_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <thread>
#include <vector>

namespace kt {
namespace {

using namespace std::chrono_literals;

class fn_job final : public thread_pool_job {
 public:
  explicit fn_job(std::function<void()> fn) : fn_(std::move(fn)) {}
  void run() override { fn_(); }

 private:
  std::function<void()> fn_;
};

std::unique_ptr<thread_pool_job> job(std::function<void()> fn) {
  return std::make_unique<fn_job>(std::move(fn));
}

bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

TEST(ThreadPoolTest, CoreWorkersStartAtOnce) {
  thread_pool pool({2, 1000});
  EXPECT_EQ(pool.threads(), 2u);
}

TEST(ThreadPoolTest, ABlockedJobDoesNotHoldUpTheNext) {
  thread_pool pool({1, 1000});
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> blocked{0};
  for (int i = 0; i < 3; ++i) {
    auto j = job([&, released] {
      blocked.fetch_add(1);
      released.wait();
    });
    ASSERT_EQ(pool.submit(j), 0);
    EXPECT_EQ(j, nullptr);
  }
  std::promise<void> ran;
  auto j = job([&] { ran.set_value(); });
  ASSERT_EQ(pool.submit(j), 0);
  EXPECT_EQ(ran.get_future().wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(wait_until([&] { return blocked.load() == 3; }, 10s));
  EXPECT_GE(pool.threads(), 4u);
  release.set_value();
}

TEST(ThreadPoolTest, ExtraWorkersEndWhenIdleAndCoreOnesStay) {
  thread_pool pool({1, 50});
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> started{0};
  for (int i = 0; i < 4; ++i) {
    auto j = job([&, released] {
      started.fetch_add(1);
      released.wait();
    });
    ASSERT_EQ(pool.submit(j), 0);
  }
  ASSERT_TRUE(wait_until([&] { return started.load() == 4; }, 10s));
  EXPECT_EQ(pool.threads(), 4u);
  release.set_value();
  EXPECT_TRUE(wait_until([&] { return pool.threads() == 1; }, 10s)) << pool.threads();
  // The pool still works after its extra workers left.
  std::promise<void> ran;
  auto j = job([&] { ran.set_value(); });
  ASSERT_EQ(pool.submit(j), 0);
  EXPECT_EQ(ran.get_future().wait_for(10s), std::future_status::ready);
}

TEST(ThreadPoolTest, StopEndsEveryWorkerAndRefusesMore) {
  thread_pool pool({2, 1000});
  std::atomic<int> count{0};
  for (int i = 0; i < 50; ++i) {
    auto j = job([&] { count.fetch_add(1); });
    ASSERT_EQ(pool.submit(j), 0);
  }
  pool.stop();
  EXPECT_EQ(count.load(), 50);
  EXPECT_EQ(pool.threads(), 0u);
  auto j = job([&] { count.fetch_add(1); });
  EXPECT_EQ(pool.submit(j), -1);
  EXPECT_NE(j, nullptr);  // still the caller's
  pool.stop();
  EXPECT_EQ(count.load(), 50);
}

TEST(ThreadPoolTest, ManySubmittersRunEveryJobOnce) {
  std::atomic<int> count{0};
  {
    thread_pool pool({2, 20});
    std::vector<std::thread> submitters;
    for (int t = 0; t < 8; ++t) {
      submitters.emplace_back([&] {
        for (int i = 0; i < 500; ++i) {
          auto j = job([&] { count.fetch_add(1); });
          ASSERT_EQ(pool.submit(j), 0);
          if (i % 100 == 0) std::this_thread::sleep_for(30ms);  // let extra workers retire
        }
      });
    }
    for (std::thread& t : submitters) t.join();
  }
  EXPECT_EQ(count.load(), 4000);
}

}  // namespace
}  // namespace kt
