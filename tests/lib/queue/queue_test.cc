#include "queue/queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

namespace kt {
namespace {

using namespace std::chrono_literals;

// Counts its own destructions.
struct counted {
  explicit counted(std::atomic<int>* deaths, int value = 0) : deaths_(deaths), value(value) {}
  ~counted() { ++*deaths_; }
  std::atomic<int>* deaths_;
  int value;
};

// Spins until a consumer sleeps in dequeue_s.
template <class T>
void wait_for_waiter(const queue<T>& q) {
  while ((q.flags() & QUEUE_WAITING) == 0) std::this_thread::sleep_for(1ms);
}

TEST(QueueTest, DequeueNeverWaitsAndKeepsArrivalOrder) {
  queue<int> q;
  EXPECT_EQ(q.dequeue(), std::nullopt);
  EXPECT_TRUE(q.empty());
  EXPECT_EQ(q.flags(), 0);
  for (int i = 1; i <= 3; ++i) EXPECT_EQ(q.enqueue(i), 0);
  EXPECT_EQ(q.size(), 3u);
  EXPECT_EQ(q.flags(), QUEUE_ITEM_ADDED);
  EXPECT_EQ(q.dequeue(), 1);
  EXPECT_EQ(q.dequeue_s(), 2);  // an item is there: no waiting
  EXPECT_EQ(q.dequeue(), 3);
  EXPECT_EQ(q.dequeue(), std::nullopt);
}

TEST(QueueTest, BlockingDequeueIsWokenByEnqueueFromAnotherThread) {
  queue<std::unique_ptr<int>> q;
  std::optional<std::unique_ptr<int>> got;
  std::thread consumer([&] { got = q.dequeue_s(); });
  wait_for_waiter(q);
  ASSERT_EQ(q.enqueue(std::make_unique<int>(7)), 0);
  consumer.join();
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(**got, 7);
  EXPECT_EQ(q.flags() & QUEUE_WAITING, 0);
  EXPECT_TRUE(q.empty());
}

TEST(QueueTest, PrepairExitWakesEveryBlockedConsumerEmptyHanded) {
  queue<int> q;
  std::atomic<int> woken{0}, empty_handed{0};
  std::vector<std::thread> consumers;
  for (int i = 0; i < 3; ++i) {
    consumers.emplace_back([&] {
      if (!q.dequeue_s().has_value()) ++empty_handed;
      ++woken;
    });
  }
  wait_for_waiter(q);
  q.prepare_exit();
  for (auto& t : consumers) t.join();
  EXPECT_EQ(woken, 3);
  EXPECT_EQ(empty_handed, 3);
  EXPECT_TRUE(q.exiting());
}

TEST(QueueTest, ExitingQueueStillHandsOutItemsWithoutBlocking) {
  queue<int> q;
  q.enqueue(1);
  q.enqueue(2);
  q.prepare_exit();
  q.prepare_exit();                        // idempotent
  EXPECT_EQ(q.dequeue_s(), std::nullopt);  // returns at once despite queued items
  EXPECT_EQ(q.dequeue_s_for(1h), std::nullopt);
  EXPECT_EQ(q.dequeue(), 1);
  auto rest = q.drain();
  ASSERT_EQ(rest.size(), 1u);
  EXPECT_EQ(rest.front(), 2);
}

TEST(QueueTest, TimedDequeueGivesUpOnEmptyQueue) {
  queue<int> q;
  EXPECT_EQ(q.dequeue_s_for(20ms), std::nullopt);
  EXPECT_EQ(q.flags() & QUEUE_WAITING, 0);
  q.enqueue(5);
  EXPECT_EQ(q.dequeue_s_for(1h), 5);
}

TEST(QueueTest, DestroyingTheQueueDestroysRemainingItems) {
  std::atomic<int> deaths{0};
  {
    auto q = queue_create<std::unique_ptr<counted>>();
    ASSERT_NE(q, nullptr);
    for (int i = 0; i < 4; ++i) q->enqueue(std::make_unique<counted>(&deaths, i));
    auto first = q->dequeue();
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ((*first)->value, 0);
    EXPECT_EQ(deaths, 0);
  }
  EXPECT_EQ(deaths, 4);  // three left in the queue plus the one taken out
}

TEST(QueueTest, ClearDestroysItemsAndCountsThem) {
  std::atomic<int> deaths{0};
  queue<std::unique_ptr<counted>> q;
  EXPECT_EQ(q.clear(), 0u);
  for (int i = 0; i < 3; ++i) q.enqueue(std::make_unique<counted>(&deaths, i));
  EXPECT_EQ(q.clear(), 3u);
  EXPECT_EQ(deaths, 3);
  EXPECT_TRUE(q.empty());
  EXPECT_FALSE(q.exiting());
}

TEST(QueueTest, ManyProducersOneConsumerLoseNothingAndKeepEachProducersOrder) {
  constexpr int kProducers = 4;
  constexpr int kItems = 2000;
  queue<std::pair<int, int>> q;
  std::vector<std::pair<int, int>> received;
  std::thread consumer([&] {
    while (received.size() < size_t{kProducers} * kItems) {
      if (auto item = q.dequeue_s()) received.push_back(*item);
    }
  });
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&q, p] {
      for (int i = 0; i < kItems; ++i) ASSERT_EQ(q.enqueue({p, i}), 0);
    });
  }
  for (auto& t : producers) t.join();
  consumer.join();
  std::vector<int> next(kProducers, 0);
  for (auto [p, i] : received) EXPECT_EQ(i, next[p]++);
  for (int p = 0; p < kProducers; ++p) EXPECT_EQ(next[p], kItems);
  EXPECT_TRUE(q.empty());
}

}  // namespace
}  // namespace kt
