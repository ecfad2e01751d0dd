#include "utils/uid.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace kt {
namespace {

class UidFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kt_uid_XXXXXX";
    const int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    close(fd);
    path_ = tmpl;
  }
  void TearDown() override { std::remove(path_.c_str()); }

  int Parse(const std::string& content, uid& out) {
    std::FILE* f = std::fopen(path_.c_str(), "w");
    std::fwrite(content.data(), 1, content.size(), f);
    std::fclose(f);
    return uid_from_file(path_.c_str(), out);
  }

  std::string path_;
};

TEST(UidTimeSeqTest, LowerHalvesCountUpByOne) {
  const uint64_t a = uid_time_seq();
  const uint64_t b = uid_time_seq();
  EXPECT_EQ(static_cast<uint32_t>(b), static_cast<uint32_t>(a) + 1);
  EXPECT_LE(a >> 32, b >> 32);
  EXPECT_NEAR(static_cast<double>(b >> 32), static_cast<double>(time(nullptr) & 0xffffffffu), 2);
}

TEST(UidTimeSeqTest, NextIdentifierExceedsObservedOnes) {
  const uint64_t taken = uid_time_seq() + 1000;  // as if loaded from a file
  uid_observe(taken);
  EXPECT_GT(uid_time_seq(), taken);
  uid_observe(1);  // older identifiers change nothing
  EXPECT_GT(uid_time_seq(), taken + 1);
}

TEST(UidTimeSeqTest, IdentifiersAtTheTopOfTheRangeAreNotNoted) {
  // A damaged record may hold any identifier; the counter must not wrap around to 0. Run in a
  // child: the noted identifiers are process-wide.
  EXPECT_EXIT(
      {
        uid_observe(UINT64_MAX);
        uid_observe(UINT64_MAX - 5);
        const uint64_t first = uid_time_seq();
        uid_observe(UINT64_MAX - UINT32_MAX);  // the largest noted
        const uint64_t second = uid_time_seq();
        const uint64_t third = uid_time_seq();
        std::exit(first != 0 && first < UINT64_MAX - UINT32_MAX &&
                          second == UINT64_MAX - UINT32_MAX + 1 && third == second + 1
                      ? 0
                      : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(UidTimeSeqTest, UniqueAcrossThreads) {
  std::vector<std::vector<uint32_t>> seen(4);
  std::vector<std::thread> threads;
  for (auto& s : seen) {
    threads.emplace_back([&s] {
      for (int i = 0; i < 10000; ++i) s.push_back(static_cast<uint32_t>(uid_time_seq()));
    });
  }
  for (auto& t : threads) t.join();
  std::vector<uint32_t> all;
  for (auto& s : seen) all.insert(all.end(), s.begin(), s.end());
  std::sort(all.begin(), all.end());
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
}

TEST(UidUreadTest, FillsBuffer) {
  unsigned char a[64] = {};
  unsigned char b[64] = {};
  EXPECT_EQ(uid_uread(a, sizeof a), 0);
  EXPECT_EQ(uid_uread(b, sizeof b), 0);
  EXPECT_NE(std::string(reinterpret_cast<char*>(a), 64),
            std::string(reinterpret_cast<char*>(b), 64));
  EXPECT_EQ(uid_uread(a, 0), 0);
}

TEST_F(UidFileTest, ParsesTextForm) {
  uid id;
  ASSERT_EQ(Parse("0123456789abcdef-deadbeef-00000001-ffff-CAFEBABE\n", id), 0);
  EXPECT_EQ(id.a, 0x0123456789abcdefu);
  EXPECT_EQ(id.b, 0xdeadbeefu);
  EXPECT_EQ(id.c, 1u);
  EXPECT_EQ(id.d, 0xffff);
  EXPECT_EQ(id.e, 0xcafebabeu);
  EXPECT_EQ(uid2str(id), "0123456789abcdef-deadbeef-00000001-ffff-cafebabe");

  uid again;
  ASSERT_EQ(Parse(uid2str(id) + "\r\nsecond line ignored\n", again), 0);
  EXPECT_EQ(again, id);
}

TEST_F(UidFileTest, RejectsBadLines) {
  const uid sentinel{1, 2, 3, 4, 5};
  const char* bad[] = {
      "",                           // empty file
      "\n",                         // empty line
      "1-2-3-4",                    // four fields
      "1-2-3-4-5-6",                // six fields
      "1-2--4-5",                   // empty field
      "1-2-3-4-",                   // empty last field
      "1-2-3-10000-5",              // d over 16 bits
      "1-100000000-3-4-5",          // b over 32 bits
      "10000000000000000-2-3-4-5",  // a over 64 bits
      "1-2-3-4-5x",                 // junk
      "0x1-2-3-4-5",                // prefix
      "1-2-3-4- 5",                 // inner blank
      "g-2-3-4-5",                  // not hex
  };
  for (const char* line : bad) {
    uid id = sentinel;
    EXPECT_EQ(Parse(line, id), -3) << '"' << line << '"';
    EXPECT_EQ(id, sentinel) << line;
  }
}

TEST_F(UidFileTest, LineOver1023BytesIsRefused) {
  uid id;
  // Cut at 1,023 bytes the line would still parse, with a different last field.
  EXPECT_EQ(Parse("1-2-3-4-" + std::string(2000, '0') + "5\n", id), -3);
  EXPECT_EQ(Parse("1-2-3-4-" + std::string(1015, '0') + "5", id), -3);  // 1,024 bytes
  EXPECT_EQ(Parse("1-2-3-4-" + std::string(1014, '0') + "5", id), 0);   // 1,023 bytes
  EXPECT_EQ(id.e, 5u);
  EXPECT_EQ(Parse("1-2-3-4-" + std::string(1014, '0') + "5\n", id), 0);
}

TEST(UidFromFileTest, MissingFile) {
  uid id;
  EXPECT_EQ(uid_from_file("/nonexistent/kt/this", id), -1);
  EXPECT_EQ(uid_from_file(nullptr, id), -1);
}

TEST(Uid2StrTest, TruncatesToSize) {
  const uid id{0xabc, 1, 2, 3, 4};
  char buf[10];
  EXPECT_EQ(uid2str_t(id, buf, sizeof buf), buf);
  EXPECT_STREQ(buf, "000000000");
  EXPECT_EQ(uid2str(uid{}), "0000000000000000-00000000-00000000-0000-00000000");
}

}  // namespace
}  // namespace kt
