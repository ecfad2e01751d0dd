#include "buffers/net_buffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace kt {
namespace {

using namespace std::chrono_literals;

TEST(NetBufferTest, PostBeforeWaitIsNotLost) {
  net_buffer b;
  ASSERT_TRUE(b.add("hello"));
  EXPECT_EQ(b.wait(), 0);  // returns at once
  std::string out;
  EXPECT_EQ(b.take(out, 3), 3u);
  EXPECT_EQ(out, "hel");
  EXPECT_EQ(b.take(out), 2u);
  EXPECT_EQ(out, "hello");
  EXPECT_EQ(b.take(out), 0u);
}

TEST(NetBufferTest, CloseWakesWaiterWithoutData) {
  net_buffer b;
  std::atomic<int> rc{1};
  std::thread consumer([&] { rc = b.wait(); });
  while (!b.waiting()) std::this_thread::sleep_for(1ms);
  std::this_thread::sleep_for(10ms);
  EXPECT_EQ(rc.load(), 1);  // still sleeping
  b.close();
  consumer.join();
  EXPECT_EQ(rc.load(), -1);
  EXPECT_TRUE(b.closing());
  EXPECT_EQ(b.wait(), -1);
  EXPECT_FALSE(b.add("late"));
  EXPECT_EQ(b.length(), 0u);
}

TEST(NetBufferTest, DestructorWakesWaiter) {
  auto b = std::make_unique<net_buffer>();
  net_buffer* raw = b.get();
  std::atomic<int> rc{1};
  std::thread consumer([&rc, raw] { rc = raw->wait(); });
  while (!b->waiting()) std::this_thread::sleep_for(1ms);
  b.reset();  // closes, and returns only once the consumer left wait()
  consumer.join();
  EXPECT_EQ(rc.load(), -1);
}

TEST(NetBufferTest, TimedWaitReportsDataTimeoutAndClose) {
  net_buffer b;
  EXPECT_EQ(b.wait_for(20ms), 1);  // nothing posted
  EXPECT_FALSE(b.waiting());
  ASSERT_TRUE(b.add("x"));
  EXPECT_EQ(b.wait_for(10s), 0);   // returns at once
  EXPECT_EQ(b.wait_for(20ms), 1);  // the post was taken by the previous wait
  std::atomic<int> rc{2};
  std::thread consumer([&] { rc = b.wait_for(10s); });
  while (!b.waiting()) std::this_thread::sleep_for(1ms);
  b.close();
  consumer.join();
  EXPECT_EQ(rc.load(), -1);
  EXPECT_EQ(b.wait_for(20ms), -1);
  EXPECT_EQ(net_buffer(false).wait_for(10s), 0);  // a non-signalling buffer never blocks
}

TEST(NetBufferTest, ProducersNeverInterleaveMessages) {
  net_buffer b;
  constexpr int kProducers = 4;
  constexpr int kMessages = 2000;
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&b, p] {
      const std::string body(20 + p, static_cast<char>('a' + p));
      for (int i = 0; i < kMessages; ++i) {
        const char header = static_cast<char>('0' + p);
        if (i % 2 == 0) {
          b.begin_add(&header, 1);
          std::this_thread::yield();  // the lock is held across the two calls
          ASSERT_TRUE(b.end_add(body.data(), body.size()));
        } else {
          ASSERT_TRUE(b.add(&header, 1, body.data(), body.size()));
        }
      }
    });
  }
  std::string received;
  size_t expected = 0;
  for (int p = 0; p < kProducers; ++p) expected += kMessages * (21 + p);
  std::thread consumer([&] {
    while (received.size() < expected) {
      if (b.wait() != 0) break;
      b.take(received);
    }
  });
  for (auto& t : producers) t.join();
  consumer.join();
  ASSERT_EQ(received.size(), expected);
  size_t pos = 0;
  int counts[kProducers] = {};
  while (pos < received.size()) {
    const int p = received[pos] - '0';
    ASSERT_TRUE(p >= 0 && p < kProducers) << pos;
    ASSERT_EQ(received.substr(pos + 1, 20 + p), std::string(20 + p, static_cast<char>('a' + p)));
    pos += 21 + p;
    ++counts[p];
  }
  for (int c : counts) EXPECT_EQ(c, kMessages);
}

TEST(NetBufferTest, LengthLimitDropsWholeMessages) {
  net_buffer b(true, 10);
  EXPECT_TRUE(b.add("12345", 5, "678", 3));
  EXPECT_FALSE(b.add("ab", 2, "c", 1));  // would make 11
  EXPECT_EQ(b.length(), 8u);
  b.begin_add("x", 1);
  EXPECT_FALSE(b.end_add("yz", 2));
  EXPECT_EQ(b.length(), 8u);
  EXPECT_TRUE(b.add("ab"));
  std::string out;
  b.take(out);
  EXPECT_EQ(out, "12345678ab");
}

TEST(NetBufferTest, NonSignallingNeverBlocks) {
  net_buffer b(false);
  EXPECT_EQ(b.wait(), 0);
  EXPECT_TRUE(b.add("x"));
  b.close();
  EXPECT_EQ(b.wait(), -1);
}

}  // namespace
}  // namespace kt
