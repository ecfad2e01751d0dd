#include "buffers/buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace kt {
namespace {

TEST(BufferTest, GrowthRule) {
  buffer b;
  ASSERT_TRUE(b.append("0123456789", 10));
  EXPECT_EQ(b.size(), 11u);  // 10 + 2 * 0 + 1
  EXPECT_EQ(b.length(), 10u);
  EXPECT_EQ(b.data()[10], '\0');
  ASSERT_TRUE(b.append("a", 1));  // 11 reaches the size: 1 + 2 * 11 + 1
  EXPECT_EQ(b.size(), 24u);
  EXPECT_EQ(b.view(), "0123456789a");
}

TEST(BufferTest, MakeRoomKeepsContents) {
  buffer b;
  ASSERT_TRUE(b.append("abc"));
  ASSERT_TRUE(b.make_room(100));
  EXPECT_GE(b.size(), 104u);
  EXPECT_EQ(b.view(), "abc");
  const uint32_t size = b.size();
  ASSERT_TRUE(b.make_room(10));
  EXPECT_EQ(b.size(), size);
}

TEST(BufferTest, RemoveWholeAndPart) {
  buffer b;
  EXPECT_EQ(b.remove(0), -2);
  ASSERT_TRUE(b.append("hello world"));
  const uint32_t size = b.size();
  const char* data = b.data();
  EXPECT_EQ(b.remove(6), 0);
  EXPECT_EQ(b.view(), "world");
  EXPECT_EQ(std::strlen(b.data()), 5u);
  EXPECT_EQ(b.remove(5), 0);  // whole length: empty, same allocation
  EXPECT_TRUE(b.empty());
  EXPECT_EQ(b.size(), size);
  EXPECT_EQ(b.data(), data);
  EXPECT_STREQ(b.data(), "");
}

TEST(BufferTest, PrintfNeverOverflows) {
  buffer b;
  ASSERT_TRUE(b.printf("%s-%d", "x", 7));
  EXPECT_EQ(b.view(), "x-7");
  const std::string long_text(5000, 'L');
  ASSERT_TRUE(b.printf("[%s]", long_text.c_str()));
  EXPECT_EQ(b.length(), 3u + 5002u);
  ASSERT_TRUE(b.printf("%500d|%-300s|%.*f", 1, "s", 200, 1.5));
  EXPECT_EQ(b.length(), 5005u + 500 + 1 + 300 + 1 + 202);
  EXPECT_LT(b.length(), b.size());
  EXPECT_EQ(b.data()[b.length()], '\0');
  EXPECT_EQ(b.view().substr(5005, 500), std::string(499, ' ') + "1");
}

TEST(BufferTest, MoveAndClear) {
  buffer a;
  ASSERT_TRUE(a.append("data"));
  buffer b(std::move(a));
  EXPECT_EQ(b.view(), "data");
  EXPECT_EQ(a.length(), 0u);  // NOLINT: moved-from state is defined
  EXPECT_STREQ(a.data(), "");
  b.clear();
  EXPECT_TRUE(b.empty());
  EXPECT_STREQ(b.data(), "");
  b.release();
  EXPECT_EQ(b.size(), 0u);
}

}  // namespace
}  // namespace kt
