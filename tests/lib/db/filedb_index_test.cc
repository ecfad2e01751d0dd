// The offset index must never change a result or a written byte: every operation on an indexed
// descriptor is checked against the same operation on a scanning descriptor of a twin file.
#include "db/filedb_index.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "db/filedb_fixed.h"

namespace kt {
namespace {

constexpr uint32_t kSize = 323;  // a user record's size: unaligned on purpose

std::vector<uint8_t> make(uint64_t id, uint8_t fill) {
  std::vector<uint8_t> r(kSize, fill);
  std::memcpy(r.data(), &id, sizeof id);
  return r;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

class FiledbIndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/filedb_index_test.XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    ASSERT_EQ(indexed_.init(dir_ + "/indexed", kSize, 7), 0);
    indexed_.set_indexed(true);
    ASSERT_EQ(plain_.init(dir_ + "/plain", kSize, 7), 0);
    // The same path without the index: another writer of the indexed file.
    ASSERT_EQ(other_.init(dir_ + "/indexed", kSize, 7), 0);
  }
  void TearDown() override {
    filedb_index::forget_all();
    std::filesystem::remove_all(dir_);
  }

  // Fills both files with ids 1..n (past the index threshold for n >= 204).
  void fill(uint64_t n) {
    for (uint64_t id = 1; id <= n; ++id) both_insert(id, 1);
  }
  void both_insert(uint64_t id, uint8_t fill) {
    const auto r = make(id, fill);
    ASSERT_EQ(indexed_.insert(0, &id, r.data()), plain_.insert(0, &id, r.data())) << id;
  }
  void expect_same_files() { ASSERT_EQ(slurp(dir_ + "/indexed"), slurp(dir_ + "/plain")); }

  std::string dir_;
  filedb_fixed indexed_, plain_, other_;
};

TEST_F(FiledbIndexTest, RandomOperationsMatchTheScan) {
  fill(400);
  std::mt19937_64 rng(42);
  uint64_t next = 401;
  for (int step = 0; step < 3000; ++step) {
    const uint64_t id = rng() % (next + 20) + 1;  // some absent keys
    const auto rec = make(id, static_cast<uint8_t>(step));
    std::vector<uint8_t> a(kSize), b(kSize);
    switch (rng() % 5) {
      case 0: {
        const uint64_t fresh = next++;
        const auto r = make(fresh, 7);
        ASSERT_EQ(indexed_.insert(0, &fresh, r.data()), plain_.insert(0, &fresh, r.data()));
        // A duplicate key is refused the same way.
        ASSERT_EQ(indexed_.insert(0, &id, rec.data()), plain_.insert(0, &id, rec.data()));
        break;
      }
      case 1:
        ASSERT_EQ(indexed_.find(0, &id, a.data()), plain_.find(0, &id, b.data()));
        ASSERT_EQ(a, b);
        break;
      case 2:
        ASSERT_EQ(indexed_.edit(0, &id, rec.data()), plain_.edit(0, &id, rec.data()));
        break;
      case 3:
      case 4:
        ASSERT_EQ(indexed_.remove(0, &id), plain_.remove(0, &id));
        break;
    }
    if (step % 100 == 0) expect_same_files();
  }
  expect_same_files();
}

TEST_F(FiledbIndexTest, ChangesByAnotherWriterAreSeen) {
  fill(300);
  std::vector<uint8_t> out(kSize);
  uint64_t id = 5;
  ASSERT_EQ(indexed_.find(0, &id, out.data()), 0);  // builds the index

  // Another writer removes 5: the last record moves into its place.
  ASSERT_EQ(other_.remove(0, &id), 0);
  EXPECT_EQ(indexed_.find(0, &id, out.data()), 1);
  uint64_t last = 300;
  ASSERT_EQ(indexed_.find(0, &last, out.data()), 0);
  EXPECT_EQ(std::memcmp(out.data(), &last, 8), 0);

  // Another writer appends a key: the indexed insert of the same key is refused.
  uint64_t added = 1000;
  const auto r = make(added, 3);
  ASSERT_EQ(other_.insert(0, &added, r.data()), 0);
  EXPECT_EQ(indexed_.insert(0, &added, r.data()), -2);
  EXPECT_EQ(indexed_.edit(0, &added, make(added, 9).data()), 0);
  ASSERT_EQ(other_.find(0, &added, out.data()), 0);
  EXPECT_EQ(out[100], 9);
}

TEST_F(FiledbIndexTest, AReplacedFileIsReindexed) {
  fill(300);
  uint64_t id = 7;
  ASSERT_EQ(indexed_.find(0, &id, nullptr), 0);
  // A restore puts another file in place: ids 501.. only.
  filedb_fixed fresh;
  ASSERT_EQ(fresh.init(dir_ + "/fresh", kSize, 7), 0);
  for (uint64_t k = 501; k <= 800; ++k) ASSERT_EQ(fresh.insert(0, &k, make(k, 2).data()), 0);
  std::filesystem::rename(dir_ + "/fresh", dir_ + "/indexed");
  EXPECT_EQ(indexed_.find(0, &id, nullptr), 1);
  uint64_t k = 650;
  EXPECT_EQ(indexed_.find(0, &k, nullptr), 0);
  EXPECT_EQ(indexed_.remove(0, &k), 0);
  EXPECT_EQ(other_.find(0, &k, nullptr), 1);
}

TEST_F(FiledbIndexTest, RepeatedRecordsBehaveAsWithoutIndex) {
  fill(300);
  // A removal interrupted by a crash leaves the moved record twice; appends without lookup
  // can store a key twice as well.
  for (filedb_fixed* db : {&indexed_, &plain_}) {
    uint64_t id = 300;
    const auto r = make(id, 1);
    ASSERT_EQ(db->append_offset(0, nullptr, &id, r.data()), 0);
    id = 10;
    const auto r10 = make(id, 4);
    ASSERT_EQ(db->append_offset(0, nullptr, &id, r10.data()), 0);
  }
  expect_same_files();
  for (uint64_t id : {300ull, 10ull, 10ull, 300ull, 11ull}) {
    std::vector<uint8_t> a(kSize), b(kSize);
    ASSERT_EQ(indexed_.find(0, &id, a.data()), plain_.find(0, &id, b.data()));
    ASSERT_EQ(a, b);
    ASSERT_EQ(indexed_.remove(0, &id), plain_.remove(0, &id)) << id;
    expect_same_files();
  }
}

TEST_F(FiledbIndexTest, ShrinkingBelowTheThresholdAndGrowingBack) {
  fill(250);
  uint64_t id = 3;
  ASSERT_EQ(indexed_.find(0, &id, nullptr), 0);
  for (uint64_t k = 100; k <= 250; ++k) {
    ASSERT_EQ(indexed_.remove(0, &k), plain_.remove(0, &k));
  }
  for (uint64_t k = 1000; k < 1200; ++k) both_insert(k, 5);
  for (uint64_t k : {3ull, 150ull, 1100ull}) {
    EXPECT_EQ(indexed_.find(0, &k, nullptr), plain_.find(0, &k, nullptr)) << k;
  }
  expect_same_files();
}

TEST_F(FiledbIndexTest, EditOffsetKeepsTheIndex) {
  fill(300);
  std::vector<uint64_t> offsets;
  ASSERT_EQ(indexed_.list_offset(0,
                                 [&](int, uint64_t off, const uint8_t*, uint32_t) {
                                   offsets.push_back(off);
                                   return 0;
                                 }),
            0);
  uint64_t id = 20;
  ASSERT_EQ(indexed_.find(0, &id, nullptr), 0);
  // Same key: the index holds.
  EXPECT_EQ(indexed_.edit_offset(0, offsets[19], &id, make(20, 8).data()), 0);
  // Another key written over record 21: 21 is gone, 2000 is found.
  uint64_t other = 2000;
  EXPECT_EQ(indexed_.edit_offset(0, offsets[20], nullptr, make(other, 8).data()), 0);
  uint64_t gone = 21;
  EXPECT_EQ(indexed_.find(0, &gone, nullptr), 1);
  EXPECT_EQ(indexed_.find(0, &other, nullptr), 0);
  std::vector<uint8_t> out(kSize);
  ASSERT_EQ(indexed_.find(0, &id, out.data()), 0);
  EXPECT_EQ(out[200], 8);
}

}  // namespace
}  // namespace kt
