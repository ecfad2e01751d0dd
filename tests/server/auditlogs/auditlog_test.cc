#include "objects/auditlogs/auditlog.h"

#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/process.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;
using entries = std::vector<std::unique_ptr<auditlog_entry>>;

std::string read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void append_bytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::app);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

uint32_t u32_at(const std::string& s, size_t off) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(s[off + i]);
  return v;
}

// Local time of a calendar date and time of day.
time_t local_time(int year, int month, int day, int hour = 12, int minute = 0) {
  struct tm tm {};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_isdst = -1;
  return mktime(&tm);
}

kt::ipv4_address addr(const char* text) {
  kt::ipv4_address a;
  EXPECT_EQ(kt::ipv4_parse_addr(text, a), 0);
  return a;
}

std::unique_ptr<auditlog_entry> make_entry(uint32_t ts, const char* info, const char* api = "api") {
  const kt::ipv4_address a = addr("10.1.2.3");
  return auditlog_create_entry_v4(ts, 0, &a, api, "admin", 0, info);
}

int write(auditlog& log, const auditlog_entry& e) {
  auditlog_lock lock(log, auditlog_lock::write);
  if (!lock.held()) return -1;
  return _auditlog_write_entry(log, e);
}

// Writes an entry with the given info and timestamp: it goes to the file of that day.
int write_at(auditlog& log, const char* info, time_t when) {
  return write(log, *make_entry(static_cast<uint32_t>(when), info));
}

// Reads [from, to]; *last receives the final (non-positive) result.
entries read_range(const std::string& dir, time_t from, time_t to, int* last = nullptr) {
  entries out;
  auto log = auditlog_open(dir, true);
  EXPECT_NE(log, nullptr);
  if (!log) return out;
  auditlog_read_begin(*log, from, to);
  for (;;) {
    std::unique_ptr<auditlog_entry> e;
    const int rc = auditlog_read_entry(*log, &e);
    if (rc <= 0) {
      if (last != nullptr) *last = rc;
      break;
    }
    out.push_back(std::move(e));
  }
  return out;
}

std::vector<std::string> infos(const entries& es) {
  std::vector<std::string> out;
  for (const auto& e : es) out.emplace_back(e->info());
  return out;
}

auditlog_header header_on_disk(const std::string& dir) {
  const std::string h = read_bytes(dir + "/hdr");
  EXPECT_EQ(h.size(), AUDITLOG_HEADER_SIZE);
  auditlog_header hdr;
  if (h.size() != AUDITLOG_HEADER_SIZE) return hdr;
  hdr.size = u32_at(h, 0);
  hdr.entries = u32_at(h, 4);
  hdr.created = u32_at(h, 8);
  hdr.modified = u32_at(h, 12);
  hdr.chsum = u32_at(h, 16);
  return hdr;
}

class AuditlogTest : public ::testing::Test {
 protected:
  std::string dir() const { return tmp_.path() + "/1/auditlogs"; }
  std::string day_file(time_t when) const {
    char name[16];
    std::snprintf(name, sizeof name, "%08u", auditlog_day_of(when));
    return dir() + "/data/" + name;
  }

  orvane_test::temp_dir tmp_;
};

TEST_F(AuditlogTest, NewLogLayout) {
  const uint32_t before = static_cast<uint32_t>(time(nullptr));
  auto log = auditlog_open(dir(), false);
  ASSERT_NE(log, nullptr);
  const auditlog_header h = header_on_disk(dir());
  EXPECT_EQ(h.size, 20u);
  EXPECT_EQ(h.entries, 0u);
  EXPECT_EQ(h.chsum, 0u);
  EXPECT_GE(h.created, before);
  EXPECT_LE(h.created, static_cast<uint32_t>(time(nullptr)));
  EXPECT_TRUE(fs::is_directory(dir() + "/data"));
  EXPECT_TRUE(fs::is_empty(dir() + "/data"));
  EXPECT_TRUE(fs::is_regular_file(dir() + "/.lock"));

  struct stat st;
  ASSERT_EQ(stat(dir().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(stat((dir() + "/hdr").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0077, 0u);
  ASSERT_EQ(stat((dir() + "/.lock").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0077, 0u);
}

TEST_F(AuditlogTest, MissingLockFileIsMadeAgainByTheWriterOnly) {
  fs::create_directories(dir());
  EXPECT_EQ(auditlog_open(dir(), true), nullptr);
  EXPECT_FALSE(fs::exists(dir() + "/.lock"));
  EXPECT_NE(auditlog_open(dir(), false), nullptr);
  EXPECT_TRUE(fs::is_regular_file(dir() + "/.lock"));
  EXPECT_NE(auditlog_open(dir(), true), nullptr);
  EXPECT_EQ(auditlog_open("", true), nullptr);
  EXPECT_EQ(auditlog_open(std::string(600, 'a'), true), nullptr);
}

TEST_F(AuditlogTest, ReopenReadsHeader) {
  const time_t now = time(nullptr);
  {
    auto log = auditlog_open(dir(), false);
    ASSERT_NE(log, nullptr);
    ASSERT_EQ(write_at(*log, "x", now), 0);
  }
  auto log = auditlog_open(dir(), true);
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(log->header.entries, 1u);
  EXPECT_EQ(log->header.size, 20u + 19 + 5 + 4 + 6 + 2);
}

TEST_F(AuditlogTest, WorkedExampleEntry) {
  auto log = auditlog_open(dir(), false);
  ASSERT_NE(log, nullptr);
  const kt::ipv4_address a = addr("10.1.2.3");
  auto e = auditlog_create_entry_v4(1700000000, 0x501, &a, "userInsert", "admin", 77,
                                    "user x (5) added / ");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->total_len, 61);
  EXPECT_EQ(e->addr_len, 5);
  EXPECT_EQ(e->api_len, 11);
  EXPECT_EQ(e->user_len, 6);
  EXPECT_EQ(e->info_len, 20);

  const auditlog_header before = header_on_disk(dir());
  ASSERT_EQ(auditlog_write_entry(*log, *e), 0);
  const auditlog_header after = header_on_disk(dir());
  EXPECT_EQ(after.size, before.size + 61);
  EXPECT_EQ(after.entries, before.entries + 1);
  EXPECT_EQ(after.chsum, before.chsum + 1);

  const std::string bytes = read_bytes(day_file(1700000000));
  ASSERT_EQ(bytes.size(), 61u);
  const std::string expected_head("\x3d\x00\x05\x0b\x06\x14\x00", 7);
  EXPECT_EQ(bytes.substr(0, 7), expected_head);
  EXPECT_EQ(u32_at(bytes, 7), 1700000000u);
  EXPECT_EQ(u32_at(bytes, 11), 0x501u);
  EXPECT_EQ(u32_at(bytes, 15), 77u);
  EXPECT_EQ(bytes.substr(19, 5), std::string("\x00\x0a\x01\x02\x03", 5));
  EXPECT_EQ(bytes.substr(24), std::string("userInsert\0admin\0user x (5) added / \0", 37));

  const entries es = read_range(dir(), 1700000000, 1700000000);
  ASSERT_EQ(es.size(), 1u);
  EXPECT_EQ(es[0]->timestamp(), 1700000000u);
  EXPECT_EQ(es[0]->response_code(), 0x501u);
  EXPECT_EQ(es[0]->audit_code(), 77u);
  EXPECT_EQ(es[0]->address_v4(), a.address);
  EXPECT_EQ(es[0]->api(), "userInsert");
  EXPECT_EQ(es[0]->username(), "admin");
  EXPECT_EQ(es[0]->info(), "user x (5) added / ");
}

TEST_F(AuditlogTest, EntryWithoutOptionalFields) {
  auto e = auditlog_create_entry_v4(5, 0, nullptr, "getToken", nullptr, 0, nullptr);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->total_len, 19 + 9);
  EXPECT_EQ(e->addr_len, 0);
  EXPECT_EQ(e->user_len, 0);
  EXPECT_EQ(e->info_len, 0);
  EXPECT_FALSE(e->has_address());
  EXPECT_FALSE(e->has_username());
  EXPECT_FALSE(e->has_info());
  EXPECT_EQ(e->api(), "getToken");

  // An empty string is present (its zero byte), unlike a missing one.
  auto empty = auditlog_create_entry_v4(5, 0, nullptr, "", "", 0, "");
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->total_len, 22);
  EXPECT_TRUE(empty->has_info());
  EXPECT_EQ(empty->info(), "");
}

TEST_F(AuditlogTest, FormattedInfoIsCutAt1499Bytes) {
  const std::string long_text(2000, 'x');
  auto e = auditlog_create_entry_v4_fmt(1, 0, nullptr, "a", "u", 0, "%s", long_text.c_str());
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->info_len, 1500);
  EXPECT_EQ(e->info(), std::string(1499, 'x'));

  auto exact = auditlog_create_entry_v4_fmt(1, 0, nullptr, "a", "u", 0, "%s",
                                            std::string(1499, 'y').c_str());
  EXPECT_EQ(exact->info(), std::string(1499, 'y'));

  // A two-byte character across the cut is dropped whole.
  const std::string utf8 = std::string(1498, 'z') + "\xc3\xa9" + "tail";
  auto cut = auditlog_create_entry_v4_fmt(1, 0, nullptr, "a", "u", 0, "%s", utf8.c_str());
  EXPECT_EQ(cut->info(), std::string(1498, 'z'));
  EXPECT_EQ(cut->info_len, 1499);

  auto fmt = auditlog_create_entry_v4_fmt(1, 0, nullptr, "a", "u", 0, "user %s (%lu) added / %s",
                                          "bob", 42ul, "why");
  EXPECT_EQ(fmt->info(), "user bob (42) added / why");
}

TEST_F(AuditlogTest, OversizedFieldsAreCutWithConsistentLengths) {
  const std::string name(300, 'n');
  const std::string info(70000, 'i');
  const kt::ipv4_address a = addr("1.2.3.4");
  auto e = auditlog_create_entry_v4(1, 2, &a, name.c_str(), name.c_str(), 3, info.c_str());
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->api_len, 255);
  EXPECT_EQ(e->user_len, 255);
  EXPECT_EQ(e->total_len, 65535);
  EXPECT_EQ(size_t{e->total_len}, 19u + 5 + 255 + 255 + e->info_len);
  EXPECT_EQ(e->body.size(), e->total_len - 7u);
  EXPECT_EQ(e->api(), std::string(254, 'n'));
  EXPECT_EQ(e->info().size(), e->info_len - 1u);

  auto log = auditlog_open(dir(), false);
  ASSERT_NE(log, nullptr);
  ASSERT_EQ(write(*log, *e), 0);
  const entries es = read_range(dir(), 1, 1);
  ASSERT_EQ(es.size(), 1u);
  EXPECT_EQ(es[0]->username(), std::string(254, 'n'));
  EXPECT_EQ(es[0]->info(), e->info());
}

TEST_F(AuditlogTest, FixptrRejectsInconsistentLengths) {
  auto e = make_entry(1, "info");
  ASSERT_EQ(_auditlog_entry_fixptr(*e), 0);
  e->user_len += 1;
  EXPECT_NE(_auditlog_entry_fixptr(*e), 0);
  EXPECT_FALSE(e->has_address());
  EXPECT_EQ(e->username(), "");
  auto log = auditlog_open(dir(), false);
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(auditlog_write_entry(*log, *e), -1);
  e->user_len -= 1;
  e->addr_len = 4;
  e->info_len += 1;
  EXPECT_NE(_auditlog_entry_fixptr(*e), 0);
}

TEST_F(AuditlogTest, RangeWithFromAfterToReadsNothing) {
  auto log = auditlog_open(dir(), false);
  ASSERT_NE(log, nullptr);
  const time_t now = time(nullptr);
  ASSERT_EQ(write_at(*log, "a", now), 0);
  int last = 99;
  EXPECT_TRUE(read_range(dir(), now + 1, now, &last).empty());
  EXPECT_EQ(last, 0);
  EXPECT_EQ(read_range(dir(), now, now).size(), 1u);
}

TEST_F(AuditlogTest, RangeVisitsEveryDateInOrder) {
  auto log = auditlog_open(dir(), false);
  ASSERT_NE(log, nullptr);
  // Written out of order; read back by date, in write order within a date.
  ASSERT_EQ(write_at(*log, "d5", local_time(2024, 3, 5)), 0);
  ASSERT_EQ(write_at(*log, "d1a", local_time(2024, 3, 1, 0, 5)), 0);
  ASSERT_EQ(write_at(*log, "d3", local_time(2024, 3, 3)), 0);
  ASSERT_EQ(write_at(*log, "d1b", local_time(2024, 3, 1, 23, 55)), 0);
  ASSERT_EQ(write_at(*log, "d7", local_time(2024, 3, 7)), 0);
  ASSERT_EQ(write_at(*log, "feb", local_time(2024, 2, 29)), 0);

  using v = std::vector<std::string>;
  EXPECT_EQ(infos(read_range(dir(), local_time(2024, 3, 1, 23), local_time(2024, 3, 5, 1))),
            (v{"d1a", "d1b", "d3", "d5"}));
  // Late on one day to early on the next: the next day's file is visited too.
  EXPECT_EQ(infos(read_range(dir(), local_time(2024, 3, 4, 23), local_time(2024, 3, 5, 1))),
            (v{"d5"}));
  // Across a month end (leap day).
  EXPECT_EQ(infos(read_range(dir(), local_time(2024, 2, 28), local_time(2024, 3, 1))),
            (v{"feb", "d1a", "d1b"}));
  EXPECT_EQ(infos(read_range(dir(), 0, 0xffffffffll)), (v{"feb", "d1a", "d1b", "d3", "d5", "d7"}));
  EXPECT_TRUE(read_range(dir(), local_time(2024, 3, 8), local_time(2030, 1, 1)).empty());
  // Huge or negative bounds are clamped instead of walking billions of days.
  EXPECT_EQ(read_range(dir(), -5, 1ll << 50).size(), 6u);
}

// Stepping by dates, not by 86,400 seconds: no date is skipped or read twice across
// daylight-saving changes.
TEST_F(AuditlogTest, DaylightSavingChangesNeitherSkipNorRepeatDays) {
  const char* old_tz = getenv("TZ");
  const std::string saved = old_tz != nullptr ? old_tz : "";
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  tzset();
  {
    auto log = auditlog_open(dir(), false);
    ASSERT_NE(log, nullptr);
    ASSERT_EQ(write_at(*log, "mar26", local_time(2023, 3, 26)), 0);
    ASSERT_EQ(write_at(*log, "oct29", local_time(2023, 10, 29)), 0);
    ASSERT_EQ(write_at(*log, "oct30", local_time(2023, 10, 30, 0, 30)), 0);

    using v = std::vector<std::string>;
    // 23:30 + 86,400 s would land on 27 March and skip the 23-hour day.
    EXPECT_EQ(infos(read_range(dir(), local_time(2023, 3, 25, 23, 30), local_time(2023, 3, 27))),
              (v{"mar26"}));
    // 00:30 + 86,400 s would land on 29 October again (a 25-hour day) and never reach the 30th.
    EXPECT_EQ(
        infos(read_range(dir(), local_time(2023, 10, 29, 0, 30), local_time(2023, 10, 30, 0, 10))),
        (v{"oct29", "oct30"}));
  }
  if (old_tz != nullptr) {
    setenv("TZ", saved.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

class AuditlogCorruptTest : public AuditlogTest {
 protected:
  void SetUp() override {
    log_ = auditlog_open(dir(), false);
    ASSERT_NE(log_, nullptr);
    ASSERT_EQ(write_at(*log_, "one", day1_), 0);
    ASSERT_EQ(write_at(*log_, "two", day1_), 0);
    ASSERT_EQ(write_at(*log_, "next", day2_), 0);
  }
  std::vector<std::string> read_all(int* last) {
    return infos(read_range(dir(), day1_, day2_, last));
  }

  const time_t day1_ = local_time(2024, 5, 1);
  const time_t day2_ = local_time(2024, 5, 2);
  std::unique_ptr<auditlog> log_;
};

using v = std::vector<std::string>;

TEST_F(AuditlogCorruptTest, TruncatedHeadEndsTheDayFile) {
  append_bytes(day_file(day1_), std::string("\x20\x00\x00", 3));
  int last = 99;
  EXPECT_EQ(read_all(&last), (v{"one", "two", "next"}));
  EXPECT_EQ(last, 0);
}

TEST_F(AuditlogCorruptTest, TruncatedBodyEndsTheRead) {
  const std::string good = read_bytes(day_file(day1_));
  append_bytes(day_file(day1_), good.substr(0, 20));  // a head and part of a body
  int last = 99;
  EXPECT_EQ(read_all(&last), (v{"one", "two"}));
  EXPECT_EQ(last, -3);
}

TEST_F(AuditlogCorruptTest, LengthsNotAddingUpEndTheRead) {
  // total 40 but the lengths add up to 19 + 5 + 4 + 6 + 4 = 38.
  std::string rec("\x28\x00\x05\x04\x06\x04\x00", 7);
  rec += std::string(33, 'A');
  append_bytes(day_file(day1_), rec);
  int last = 99;
  EXPECT_EQ(read_all(&last), (v{"one", "two"}));
  EXPECT_EQ(last, -3);
}

TEST_F(AuditlogCorruptTest, BadAddressLengthEndsTheRead) {
  std::string rec("\x18\x00\x04\x01\x00\x00\x00", 7);  // 19 + 4 + 1 = 24, but address 4
  rec += std::string(17, 'B');
  append_bytes(day_file(day1_), rec);
  int last = 99;
  EXPECT_EQ(read_all(&last), (v{"one", "two"}));
  EXPECT_EQ(last, -3);
}

TEST_F(AuditlogCorruptTest, TotalBelowNineteenEndsTheRead) {
  append_bytes(day_file(day1_), std::string("\x03\x00\x00\x00\x00\x00\x00zzzzzzzzzz", 17));
  int last = 99;
  EXPECT_EQ(read_all(&last), (v{"one", "two"}));
  EXPECT_EQ(last, -3);
}

TEST_F(AuditlogCorruptTest, UnterminatedStringsStayInsideTheRecord) {
  // Lengths agree but no zero bytes: views stop at the field end.
  std::string rec("\x19\x00\x00\x02\x02\x02\x00", 7);
  rec += std::string(12, '\0') + "AAUUII";
  append_bytes(day_file(day1_), rec);
  const entries es = read_range(dir(), day1_, day1_);
  ASSERT_EQ(es.size(), 3u);
  EXPECT_EQ(es[2]->api(), "AA");
  EXPECT_EQ(es[2]->username(), "UU");
  EXPECT_EQ(es[2]->info(), "II");
}

// The writer cuts off what a crash left at the end of a day file before it appends there.
TEST_F(AuditlogCorruptTest, WriterCutsTornTailsWhenItOpens) {
  const std::string good1 = read_bytes(day_file(day1_));
  const std::string good2 = read_bytes(day_file(day2_));
  log_.reset();
  append_bytes(day_file(day1_), std::string("\x20\x00\x00", 3));  // a partial head
  append_bytes(day_file(day2_), good1.substr(0, 20));             // a head, part of a body
  log_ = auditlog_open(dir(), false);
  ASSERT_NE(log_, nullptr);
  EXPECT_EQ(read_bytes(day_file(day1_)), good1);
  EXPECT_EQ(read_bytes(day_file(day2_)), good2);
  ASSERT_EQ(write_at(*log_, "after", day1_), 0);
  int last = 99;
  EXPECT_EQ(read_all(&last), (v{"one", "two", "after", "next"}));
  EXPECT_EQ(last, 0);

  // Blocks a crash left zero-filled go too.
  log_.reset();
  const std::string with_after = read_bytes(day_file(day1_));
  append_bytes(day_file(day1_), std::string(4096, '\0'));
  log_ = auditlog_open(dir(), false);
  ASSERT_NE(log_, nullptr);
  EXPECT_EQ(read_bytes(day_file(day1_)), with_after);

  // Damage with entries behind it is no torn tail: it stays, and the read reports it.
  log_.reset();
  std::string damaged = with_after;
  damaged[0] = '\x7f';
  {
    std::ofstream out(day_file(day1_), std::ios::binary | std::ios::trunc);
    out.write(damaged.data(), static_cast<std::streamsize>(damaged.size()));
  }
  log_ = auditlog_open(dir(), false);
  ASSERT_NE(log_, nullptr);
  EXPECT_EQ(read_bytes(day_file(day1_)), damaged);
  EXPECT_TRUE(read_all(&last).empty());
  EXPECT_EQ(last, -3);
}

TEST_F(AuditlogCorruptTest, DirectoryNamedLikeADayIsSkipped) {
  fs::create_directory(dir() + "/data/20240503");
  EXPECT_EQ(infos(read_range(dir(), day1_, local_time(2024, 5, 4))), (v{"one", "two", "next"}));
}

TEST_F(AuditlogTest, ClearLeavesAnEmptyLog) {
  auto log = auditlog_open(dir(), false);
  ASSERT_NE(log, nullptr);
  ASSERT_EQ(write_at(*log, "a", local_time(2024, 1, 1)), 0);
  ASSERT_EQ(write_at(*log, "b", time(nullptr)), 0);
  const uint32_t before = static_cast<uint32_t>(time(nullptr));
  ASSERT_EQ(auditlog_clear(*log), 0);
  const auditlog_header h = header_on_disk(dir());
  EXPECT_EQ(h.size, 20u);
  EXPECT_EQ(h.entries, 0u);
  EXPECT_EQ(h.chsum, 0u);
  EXPECT_GE(h.created, before);
  EXPECT_TRUE(fs::is_directory(dir() + "/data"));
  EXPECT_TRUE(fs::is_empty(dir() + "/data"));
}

TEST_F(AuditlogTest, ClearDropsEntriesQueuedBeforeIt) {
  {
    auto log = auditlog_open(dir(), false);
    ASSERT_NE(log, nullptr);
    for (int i = 0; i < 50; ++i) ASSERT_EQ(auditlog_enqueue_entry(*log, make_entry(1, "old")), 0);
    ASSERT_EQ(auditlog_clear(*log), 0);
    ASSERT_EQ(auditlog_enqueue_entry(*log, make_entry(1, "audit log cleared. / ")), 0);
  }
  const entries es = read_range(dir(), 0, 0xffffffffll);
  ASSERT_EQ(es.size(), 1u);
  EXPECT_EQ(es[0]->info(), "audit log cleared. / ");
  EXPECT_EQ(header_on_disk(dir()).entries, 1u);
}

TEST_F(AuditlogTest, CloseWritesEveryQueuedEntry) {
  {
    auto log = auditlog_open(dir(), false);
    ASSERT_NE(log, nullptr);
    for (int i = 0; i < 200; ++i) {
      ASSERT_EQ(auditlog_enqueue_entry(*log, make_entry(i, std::to_string(i).c_str())), 0);
    }
  }
  const entries es = read_range(dir(), 0, 0xffffffffll);
  ASSERT_EQ(es.size(), 200u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(es[i]->info(), std::to_string(i));
  EXPECT_EQ(header_on_disk(dir()).entries, 200u);
}

TEST_F(AuditlogTest, ConcurrentEnqueueThenClose) {
  constexpr int kThreads = 8;
  constexpr int kPerThread = 250;
  size_t bytes = 0;
  {
    auto log = auditlog_open(dir(), false);
    ASSERT_NE(log, nullptr);
    std::vector<std::thread> threads;
    std::atomic<size_t> total{0};
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&log, &total, t] {
        for (int i = 0; i < kPerThread; ++i) {
          auto e = make_entry(t, (std::to_string(t) + ":" + std::to_string(i)).c_str());
          total += e->total_len;
          auditlog_enqueue_entry(*log, std::move(e));
        }
      });
    }
    for (auto& th : threads) th.join();
    bytes = total;
  }
  const entries es = read_range(dir(), 0, 0xffffffffll);
  ASSERT_EQ(es.size(), size_t{kThreads * kPerThread});
  // Each thread's entries keep their order.
  std::vector<int> next(kThreads, 0);
  for (const auto& e : es) {
    const int t = static_cast<int>(e->timestamp());
    EXPECT_EQ(e->info(), std::to_string(t) + ":" + std::to_string(next[t]));
    ++next[t];
  }
  const auditlog_header h = header_on_disk(dir());
  EXPECT_EQ(h.entries, uint32_t{kThreads * kPerThread});
  EXPECT_EQ(h.chsum, h.entries);
  EXPECT_EQ(h.size, 20 + bytes);
}

TEST_F(AuditlogTest, ReadOnlyHandleDoesNotQueue) {
  auto w = auditlog_open(dir(), false);
  ASSERT_NE(w, nullptr);
  auto r = auditlog_open(dir(), true);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(auditlog_enqueue_entry(*r, make_entry(1, "x")), -1);
  EXPECT_EQ(auditlog_enqueue_entry(*w, nullptr), -1);
}

TEST_F(AuditlogTest, BackupFlushWritesQueueBeforeCopy) {
  auto log = auditlog_open(dir(), false);
  ASSERT_NE(log, nullptr);
  for (int i = 0; i < 20; ++i) ASSERT_EQ(auditlog_enqueue_entry(*log, make_entry(1, "q")), 0);
  uint32_t seen = 0;
  const int rc = auditlog_backup_flush(*log, [&] {
    seen = header_on_disk(dir()).entries;
    // The lock file is held exclusively for the copy.
    auto reader = auditlog_open(dir(), true);
    EXPECT_NE(reader, nullptr);
    EXPECT_NE(flock(reader->lock_fd, LOCK_SH | LOCK_NB), 0);
    return 7;
  });
  EXPECT_EQ(rc, 7);
  EXPECT_EQ(seen, 20u);
}

// A reader keeps its day file open between entries; the writer must still get through.
TEST_F(AuditlogTest, OpenReaderDoesNotBlockTheWriter) {
  auto log = auditlog_open(dir(), false);
  ASSERT_NE(log, nullptr);
  const time_t now = time(nullptr);
  const uint32_t ts = static_cast<uint32_t>(now);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(auditlog_write_entry(*log, *make_entry(ts, "x")), 0);
  auto reader = auditlog_open(dir(), true);
  ASSERT_NE(reader, nullptr);
  auditlog_read_begin(*reader, now - 86400, now + 86400);
  std::unique_ptr<auditlog_entry> e;
  ASSERT_EQ(auditlog_read_entry(*reader, &e), 1);

  ASSERT_EQ(auditlog_enqueue_entry(*log, make_entry(ts, "new")), 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (header_on_disk(dir()).entries < 4 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(header_on_disk(dir()).entries, 4u);
  int n = 1;
  while (auditlog_read_entry(*reader, &e) > 0) ++n;
  EXPECT_GE(n, 3);
}

TEST_F(AuditlogTest, DayFileIsChosenByTheEntrysTimestamp) {
  auto log = auditlog_open(dir(), false);
  ASSERT_NE(log, nullptr);
  // Timestamp taken just before midnight, written whenever the writer gets to it: the entry
  // belongs to the day of its timestamp, where a read of its time finds it.
  const time_t before = local_time(2024, 6, 1, 23, 59);
  ASSERT_EQ(write_at(*log, "late", before), 0);
  EXPECT_TRUE(fs::exists(day_file(before)));
  EXPECT_FALSE(fs::exists(day_file(local_time(2024, 6, 2))));
  EXPECT_EQ(infos(read_range(dir(), before, before)), std::vector<std::string>{"late"});
}

// Several entries in one call: those of one day in a row share a write, the day files and the
// header end as if each had been written alone, and a broken entry costs only itself.
TEST_F(AuditlogTest, EntriesWrittenTogetherKeepTheirDaysAndOrder) {
  auto log = auditlog_open(dir(), false);
  ASSERT_NE(log, nullptr);
  const time_t d1 = local_time(2024, 3, 1);
  const time_t d2 = local_time(2024, 3, 2);
  std::vector<std::unique_ptr<auditlog_entry>> owned;
  for (auto [info, when] : {std::pair{"a", d1}, {"b", d1}, {"c", d2}, {"bad", d2}, {"d", d1}}) {
    owned.push_back(make_entry(static_cast<uint32_t>(when), info));
  }
  owned[3]->total_len += 1;  // lengths no longer add up
  std::vector<const auditlog_entry*> batch;
  for (const auto& e : owned) batch.push_back(e.get());
  {
    auditlog_lock lock(*log, auditlog_lock::write);
    ASSERT_TRUE(lock.held());
    EXPECT_EQ(_auditlog_write_entries(*log, batch), 1);
  }
  EXPECT_EQ(infos(read_range(dir(), d1, d1)), (std::vector<std::string>{"a", "b", "d"}));
  EXPECT_EQ(infos(read_range(dir(), d1, d2)), (std::vector<std::string>{"a", "b", "d", "c"}));
  const auditlog_header h = header_on_disk(dir());
  EXPECT_EQ(h.entries, 4u);
  EXPECT_EQ(h.size,
            AUDITLOG_HEADER_SIZE + fs::file_size(day_file(d1)) + fs::file_size(day_file(d2)));
}

TEST(AuditlogInfoTest, FromXml) {
  kt::xmldoc doc;
  ASSERT_EQ(doc.parse("<orvane><userInsert><audit code=\"17\">ticket 9</audit></userInsert>"
                      "<a><audit/></a><b/><c><audit code=\"x\">t</audit></c>"
                      "<d><audit code=\"99999999999\">t</audit></d></orvane>"),
            0);
  const auto& cmds = doc.root()->children();
  auditlog_info info;
  EXPECT_EQ(auditlog_info_from_xml(*cmds[0], info), 0);
  EXPECT_TRUE(info.present);
  EXPECT_EQ(info.code, 17u);
  EXPECT_EQ(info.text, "ticket 9");
  EXPECT_STREQ(audit_text(*cmds[0]), "ticket 9");

  EXPECT_EQ(auditlog_info_from_xml(*cmds[1], info), 1);
  EXPECT_FALSE(info.present);
  EXPECT_STREQ(audit_text(*cmds[1]), "");
  EXPECT_EQ(auditlog_info_from_xml(*cmds[2], info), 1);
  EXPECT_STREQ(audit_text(*cmds[2]), "");
  EXPECT_EQ(auditlog_info_from_xml(*cmds[3], info), 0);
  EXPECT_EQ(info.code, 0u);
  EXPECT_EQ(auditlog_info_from_xml(*cmds[4], info), 0);
  EXPECT_EQ(info.code, 0u);
}

}  // namespace
}  // namespace orvane
