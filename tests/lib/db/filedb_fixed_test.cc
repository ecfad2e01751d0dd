#include "db/filedb_fixed.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "utils/logger.h"

namespace kt {
namespace {

// A 16-byte record: 64-bit key, 64-bit payload.
struct rec {
  uint64_t id;
  uint64_t data;
};

class FiledbFixedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/filedb_test.XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/t.db";
    ASSERT_EQ(db_.init(path_, sizeof(rec), 7), 0);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string read_all() const {
    std::string out;
    int fd = ::open(path_.c_str(), O_RDONLY);
    if (fd < 0) return "<missing>";
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof(buf))) > 0) out.append(buf, static_cast<size_t>(n));
    ::close(fd);
    return out;
  }
  void write_raw(const std::string& bytes) const {
    int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
  }
  std::vector<rec> records() const {
    std::vector<rec> out;
    EXPECT_EQ(db_.list(0,
                       [&](const uint8_t* r, uint32_t size) {
                         EXPECT_EQ(size, sizeof(rec));
                         rec x;
                         std::memcpy(&x, r, sizeof x);
                         out.push_back(x);
                         return 0;
                       }),
              0);
    return out;
  }
  std::vector<uint64_t> ids() const {
    std::vector<uint64_t> out;
    for (const rec& r : records()) out.push_back(r.id);
    return out;
  }
  int insert(uint64_t id, uint64_t data = 0) const {
    rec r{id, data};
    return db_.insert(0, &r.id, &r);
  }

  std::string dir_;
  std::string path_;
  filedb_fixed db_;
};

TEST_F(FiledbFixedTest, InitKeyTypesAndSizes) {
  const struct {
    uint32_t type;
    uint32_t size;
  } cases[] = {{1, 1}, {2, 1}, {3, 2}, {4, 2}, {5, 4}, {6, 4}, {7, 8}, {8, 8}, {9, 5}, {18, 12}};
  for (const auto& c : cases) {
    filedb_fixed d;
    ASSERT_EQ(d.init(path_, 32, c.type, c.type == 9 ? 5 : 12), 0) << c.type;
    EXPECT_EQ(d.key_size(), c.size) << c.type;
    EXPECT_EQ(d.key_type(), c.type);
    EXPECT_EQ(d.record_size(), 32u);
    EXPECT_EQ(d.path(), path_);
  }
  filedb_fixed d;
  for (uint32_t bad : {0u, 10u, 17u, 19u, 0xffffffffu}) EXPECT_EQ(d.init(path_, 32, bad), -1);
  // Sizes that would make lookups meaningless or out of bounds.
  EXPECT_EQ(d.init(path_, 0, 7), -1);
  EXPECT_EQ(d.init(path_, 4, 7), -1);      // key beyond the record
  EXPECT_EQ(d.init(path_, 32, 9, 0), -1);  // every record would match
  EXPECT_EQ(d.init(path_, 32, 18, 33), -1);
  EXPECT_EQ(d.init("", 32, 7), -1);
  EXPECT_EQ(d.init(std::string(filedb_fixed::kMaxPath + 1, 'a'), 32, 7), -1);
  EXPECT_EQ(d.init(std::string(filedb_fixed::kMaxPath, 'a'), 32, 7), 0);
}

TEST_F(FiledbFixedTest, KeyComparesOnlyKeySizeBytes) {
  for (uint32_t type : {1u, 3u, 5u, 7u, 9u, 18u}) {
    std::filesystem::remove(path_);
    filedb_fixed d;
    ASSERT_EQ(d.init(path_, 24, type, 3), 0);
    const uint32_t ks = d.key_size();
    uint8_t a[24] = {};
    std::memset(a, 0x11, ks);
    uint8_t b[24];
    std::memcpy(b, a, sizeof a);
    b[ks] = 0x22;  // differs just after the key: same key
    uint8_t c[24];
    std::memcpy(c, a, sizeof a);
    c[ks - 1] = 0x33;  // differs in the key's last byte
    EXPECT_EQ(d.insert(0, a, a), 0) << type;
    EXPECT_EQ(d.insert(0, b, b), -2) << type;
    EXPECT_EQ(d.insert(0, c, c), 0) << type;
    uint8_t out[24] = {};
    EXPECT_EQ(d.find(0, b, out), 0);
    EXPECT_EQ(std::memcmp(out, a, sizeof a), 0);  // the stored record, not the probe
  }
}

TEST_F(FiledbFixedTest, DuplicateInsertLeavesFileUnchanged) {
  ASSERT_EQ(insert(1, 100), 0);
  ASSERT_EQ(insert(2, 200), 0);
  const std::string before = read_all();
  EXPECT_EQ(insert(1, 999), -2);
  EXPECT_EQ(read_all(), before);
  rec out{};
  uint64_t key = 1;
  EXPECT_EQ(db_.find(0, &key, &out), 0);
  EXPECT_EQ(out.data, 100u);
  key = 3;
  EXPECT_EQ(db_.find(0, &key, &out), 1);
  EXPECT_EQ(db_.find(0, &key, nullptr), 1);
}

TEST_F(FiledbFixedTest, RemoveMovesLastRecordIntoPlace) {
  for (uint64_t id : {1, 2, 3}) ASSERT_EQ(insert(id), 0);
  uint64_t key = 1;
  EXPECT_EQ(db_.remove(0, &key), 0);
  EXPECT_EQ(ids(), (std::vector<uint64_t>{3, 2}));

  std::filesystem::remove(path_);
  for (uint64_t id : {1, 2, 3}) ASSERT_EQ(insert(id), 0);
  key = 3;
  EXPECT_EQ(db_.remove(0, &key), 0);
  EXPECT_EQ(ids(), (std::vector<uint64_t>{1, 2}));
  key = 9;
  EXPECT_EQ(db_.remove(0, &key), 1);
  EXPECT_EQ(ids(), (std::vector<uint64_t>{1, 2}));

  std::filesystem::remove(path_);
  ASSERT_EQ(insert(5), 0);
  key = 5;
  EXPECT_EQ(db_.remove(0, &key), 0);
  EXPECT_EQ(std::filesystem::file_size(path_), 0u);
  EXPECT_EQ(db_.remove(0, &key), 1);
}

TEST_F(FiledbFixedTest, DamagedFileIsReadButNeverWritten) {
  rec a{1, 10}, b{2, 20};
  std::string bytes(reinterpret_cast<const char*>(&a), sizeof a);
  bytes.append(reinterpret_cast<const char*>(&b), sizeof b);
  bytes.append("12345");
  write_raw(bytes);

  std::vector<uint64_t> seen;
  EXPECT_EQ(db_.list(0,
                     [&](const uint8_t* r, uint32_t) {
                       uint64_t id;
                       std::memcpy(&id, r, 8);
                       seen.push_back(id);
                       return 0;
                     }),
            -4);
  EXPECT_EQ(seen, (std::vector<uint64_t>{1, 2}));

  uint64_t key = 2;
  rec out{};
  EXPECT_EQ(db_.find(0, &key, &out), 0);  // before the damage
  EXPECT_EQ(out.data, 20u);
  key = 7;
  EXPECT_EQ(db_.find(0, &key, &out), -4);
  // Nothing is written behind or over a partial tail.
  rec c{7, 70};
  EXPECT_EQ(db_.insert(0, &c.id, &c), -4);
  uint64_t off = 99;
  EXPECT_EQ(db_.append_offset(0, &off, &c.id, &c), -4);
  EXPECT_EQ(off, 99u);
  key = 1;
  EXPECT_EQ(db_.remove(0, &key), -4);
  EXPECT_EQ(read_all(), bytes);
  // An in-place edit of a whole record is still allowed.
  rec a2{1, 11};
  EXPECT_EQ(db_.edit(0, &a2.id, &a2), 0);
  EXPECT_EQ(read_all().size(), bytes.size());
}

TEST_F(FiledbFixedTest, MissingFileIsCreatedEmpty) {
  uint64_t key = 1;
  EXPECT_EQ(db_.find(0, &key, nullptr), 1);
  EXPECT_EQ(std::filesystem::file_size(path_), 0u);
  std::filesystem::remove(path_);
  int calls = 0;
  EXPECT_EQ(db_.list(0,
                     [&](const uint8_t*, uint32_t) {
                       ++calls;
                       return 0;
                     }),
            0);
  EXPECT_EQ(calls, 0);
  EXPECT_TRUE(std::filesystem::exists(path_));

  filedb_fixed d;
  ASSERT_EQ(d.init(dir_ + "/no/such/dir/x.db", 16, 7), 0);
  EXPECT_EQ(d.find(0, &key, nullptr), -1);
  EXPECT_EQ(d.fdopen(), -1);
}

TEST_F(FiledbFixedTest, CallbackResultStopsTheWalk) {
  for (uint64_t id : {1, 2, 3}) ASSERT_EQ(insert(id), 0);
  int calls = 0;
  EXPECT_EQ(db_.list(0,
                     [&](const uint8_t*, uint32_t) {
                       ++calls;
                       return 5;
                     }),
            5);
  EXPECT_EQ(calls, 1);
  calls = 0;
  EXPECT_EQ(db_.list_offset(0,
                            [&](int, uint64_t offset, const uint8_t*, uint32_t) {
                              ++calls;
                              return offset == 16 ? -7 : 0;
                            }),
            -7);
  EXPECT_EQ(calls, 2);
}

TEST_F(FiledbFixedTest, EditInPlace) {
  for (uint64_t id : {1, 2, 3}) ASSERT_EQ(insert(id, id * 10), 0);
  rec r{2, 222};
  EXPECT_EQ(db_.edit(0, &r.id, &r), 0);
  rec scratch;
  rec missing{9, 9};
  EXPECT_EQ(db_.edit(0, &missing.id, &missing, &scratch), 1);
  std::vector<rec> all = records();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[1].id, 2u);
  EXPECT_EQ(all[1].data, 222u);
  EXPECT_EQ(all[0].data, 10u);
  EXPECT_EQ(all[2].data, 30u);
}

TEST_F(FiledbFixedTest, AppendAndEditByOffset) {
  std::vector<uint64_t> offsets;
  for (uint64_t id : {1, 2, 1}) {  // no lookup: duplicates are appended
    rec r{id, id};
    uint64_t off = 0;
    ASSERT_EQ(db_.append_offset(0, &off, &r.id, &r), 0);
    offsets.push_back(off);
  }
  EXPECT_EQ(offsets, (std::vector<uint64_t>{0, 16, 32}));
  rec none{4, 4};
  EXPECT_EQ(db_.append_offset(0, nullptr, nullptr, &none), 0);
  EXPECT_EQ(ids(), (std::vector<uint64_t>{1, 2, 1, 4}));

  rec r{2, 77};
  rec old{};
  EXPECT_EQ(db_.edit_offset(0, 16, &r.id, &r, &old), 0);
  EXPECT_EQ(old.id, 2u);
  EXPECT_EQ(old.data, 2u);
  EXPECT_EQ(records()[1].data, 77u);
  // A stale offset (another record there now) is refused.
  EXPECT_EQ(db_.edit_offset(0, 0, &r.id, &r), 1);
  // Offsets that are not the start of a whole record.
  EXPECT_EQ(db_.edit_offset(0, 8, &r.id, &r), -4);
  EXPECT_EQ(db_.edit_offset(0, 64, &r.id, &r), -4);
  EXPECT_EQ(db_.edit_offset(0, UINT64_MAX - 15, &r.id, &r), -4);
  // Without a key the record at the offset is simply overwritten.
  EXPECT_EQ(db_.edit_offset(0, 48, nullptr, &r), 0);
  EXPECT_EQ(ids(), (std::vector<uint64_t>{1, 2, 1, 2}));
  EXPECT_EQ(std::filesystem::file_size(path_), 64u);
}

TEST_F(FiledbFixedTest, CallersFdKeepsItsPosition) {
  int fd = db_.fdopen();
  ASSERT_GT(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  ASSERT_EQ(::lseek(fd, 5, SEEK_SET), 5);
  auto pos = [&] { return ::lseek(fd, 0, SEEK_CUR); };

  for (uint64_t id : {1, 2, 3}) {
    rec r{id, id};
    ASSERT_EQ(db_.insert(fd, &r.id, &r), 0);
    EXPECT_EQ(pos(), 5);
  }
  uint64_t key = 2;
  rec out{};
  EXPECT_EQ(db_.find(fd, &key, &out), 0);
  EXPECT_EQ(pos(), 5);
  rec e{2, 20};
  EXPECT_EQ(db_.edit(fd, &e.id, &e), 0);
  uint64_t off = 0;
  EXPECT_EQ(db_.append_offset(fd, &off, &key, &e), 0);
  EXPECT_EQ(off, 48u);
  EXPECT_EQ(db_.edit_offset(fd, off, &key, &e), 0);
  key = 1;
  EXPECT_EQ(db_.remove(fd, &key), 0);
  int seen_fd = -1;
  EXPECT_EQ(db_.list_offset(fd,
                            [&](int used, uint64_t, const uint8_t*, uint32_t) {
                              seen_fd = used;
                              return 0;
                            }),
            0);
  EXPECT_EQ(seen_fd, fd);
  EXPECT_EQ(pos(), 5);
  db_.fdclose(fd);  // also drops the lock
  EXPECT_EQ(ids(), (std::vector<uint64_t>{2, 2, 3}));

  // A descriptor that can't be positioned.
  int p[2];
  ASSERT_EQ(::pipe(p), 0);
  EXPECT_EQ(db_.find(p[0], &key, nullptr), -3);
  EXPECT_EQ(db_.insert(p[1], &key, &e), -3);
  ::close(p[0]);
  ::close(p[1]);
}

TEST_F(FiledbFixedTest, InterruptedRemovalLeavesReadableDuplicate) {
  // Removing 1 from 1,2,3 writes 3 over 1; dying before the truncation leaves 3,2,3.
  rec a{3, 30}, b{2, 20};
  std::string bytes(reinterpret_cast<const char*>(&a), sizeof a);
  bytes.append(reinterpret_cast<const char*>(&b), sizeof b);
  bytes.append(reinterpret_cast<const char*>(&a), sizeof a);
  write_raw(bytes);
  rec out{};
  uint64_t key = 3;
  EXPECT_EQ(db_.find(0, &key, &out), 0);
  EXPECT_EQ(out.data, 30u);
  EXPECT_EQ(insert(3), -2);
  // Removing the duplicated record removes the stale copy as well.
  EXPECT_EQ(db_.remove(0, &key), 0);
  EXPECT_EQ(ids(), (std::vector<uint64_t>{2}));
  EXPECT_EQ(db_.find(0, &key, nullptr), 1);
}

TEST_F(FiledbFixedTest, LargeRecordsAcrossReadBlocks) {
  // 323-byte records don't divide the read block; 70,000-byte ones exceed it.
  for (uint32_t size : {323u, 70000u}) {
    std::filesystem::remove(path_);
    filedb_fixed d;
    ASSERT_EQ(d.init(path_, size, 7), 0);
    const uint64_t n = size == 323 ? 1000 : 5;
    std::vector<uint8_t> r(size);
    for (uint64_t id = 1; id <= n; ++id) {
      std::memcpy(r.data(), &id, 8);
      r[size - 1] = static_cast<uint8_t>(id);
      ASSERT_EQ(d.insert(0, &id, r.data()), 0);
    }
    uint64_t expect = 1;
    EXPECT_EQ(d.list_offset(0,
                            [&](int, uint64_t offset, const uint8_t* rec, uint32_t sz) {
                              EXPECT_EQ(reinterpret_cast<uintptr_t>(rec) % alignof(uint64_t), 0u);
                              EXPECT_EQ(*reinterpret_cast<const uint64_t*>(rec), expect);
                              EXPECT_EQ(rec[sz - 1], static_cast<uint8_t>(expect));
                              EXPECT_EQ(offset, (expect - 1) * size);
                              ++expect;
                              return 0;
                            }),
              0);
    EXPECT_EQ(expect, n + 1);
    uint64_t key = n;  // the last one: a find reads every block
    std::vector<uint8_t> out(size);
    EXPECT_EQ(d.find(0, &key, out.data()), 0);
    EXPECT_EQ(out[size - 1], static_cast<uint8_t>(n));
    key = 1;
    EXPECT_EQ(d.remove(0, &key), 0);
    EXPECT_EQ(d.find(0, &key, nullptr), 1);
    EXPECT_EQ(std::filesystem::file_size(path_), (n - 1) * size);
  }
}

TEST_F(FiledbFixedTest, CreateModeIsHonoured) {
  const mode_t saved = ::umask(022);
  filedb_fixed d;
  ASSERT_EQ(d.init(dir_ + "/private.db", 16, 7, 0, 0600), 0);
  uint64_t key = 1;
  EXPECT_EQ(d.find(0, &key, nullptr), 1);
  EXPECT_EQ(std::filesystem::status(d.path()).permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  EXPECT_EQ(db_.find(0, &key, nullptr), 1);  // default 0644
  struct stat st;
  ASSERT_EQ(::stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  ::umask(saved);
}

TEST_F(FiledbFixedTest, ConcurrentProcessesInsert) {
  constexpr uint64_t kPerProcess = 1000;
  constexpr uint64_t kShared = 1u << 20;
  constexpr uint64_t kSharedCount = kPerProcess / 20;
  pid_t pids[2];
  for (int p = 0; p < 2; ++p) {
    pids[p] = ::fork();
    ASSERT_GE(pids[p], 0);
    if (pids[p] == 0) {
      int failures = 0;
      for (uint64_t i = 0; i < kPerProcess; ++i) {
        rec r{i * 2 + static_cast<uint64_t>(p), static_cast<uint64_t>(p)};
        if (db_.insert(0, &r.id, &r) != 0) ++failures;
        if (i % 20 == 0) {  // both processes race for the shared keys: one insert wins
          rec shared{kShared + i, static_cast<uint64_t>(p)};
          int res = db_.insert(0, &shared.id, &shared);
          if (res != 0 && res != -2) ++failures;
        }
      }
      ::_exit(failures == 0 ? 0 : 1);
    }
  }
  for (pid_t pid : pids) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const uint64_t total = 2 * kPerProcess + kSharedCount;
  EXPECT_EQ(std::filesystem::file_size(path_), total * sizeof(rec));
  std::set<uint64_t> unique;
  for (uint64_t id : ids()) unique.insert(id);
  EXPECT_EQ(unique.size(), total);  // no duplicates
  EXPECT_EQ(unique.count(2 * kPerProcess - 1), 1u);
  EXPECT_EQ(unique.count(kShared + kPerProcess - 20), 1u);
}

TEST_F(FiledbFixedTest, Messages) {
  const bool saved_stderr = logger_to_stderr, saved_syslog = logger_to_syslog;
  logger_to_stderr = true;
  logger_to_syslog = false;
  filedb_fixed d;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(d.init(path_, 16, 10), -1);
  EXPECT_THAT(::testing::internal::GetCapturedStderr(),
              ::testing::HasSubstr("invalid key_type: 10"));

  write_raw(std::string(16 + 3, 'x'));
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(db_.list(0, [](const uint8_t*, uint32_t) { return 0; }), -4);
  EXPECT_THAT(::testing::internal::GetCapturedStderr(),
              ::testing::HasSubstr(path_ + " read 3 bytes struct size 16 possible file corrupt"));
  logger_to_stderr = saved_stderr;
  logger_to_syslog = saved_syslog;
}

}  // namespace
}  // namespace kt
