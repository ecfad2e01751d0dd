// The published cache as the name-service module reads it: lookups through the indexes, and no
// read outside the file whatever its bytes (every truncation, random damage).
#include "hostproto/cache_view.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "hostd/entries.h"
#include "hostd/publish.h"

namespace {

using namespace orvane_host;
using orvane_hostd::snapshot;

snapshot sample(int users) {
  snapshot s;
  s.fetched = 1700000000;
  for (int i = 0; i < users; ++i) {
    orvane_hostd::pw_entry e;
    e.name = "user" + std::to_string(i);
    e.uid = 5000 + static_cast<uint32_t>((i * 7919) % users);
    e.home = "/home/" + e.name;
    e.shell = "/bin/sh";
    e.crypt = "$6$saltsaltsaltsalt$hash";
    s.users.push_back(e);
    s.groups.push_back({e.name, e.uid, {e.name}});
  }
  s.groups.push_back({"staff", 100, {"user1", "user3", "user2"}});
  s.index();
  return s;
}

// Everything a caller can do with a view; the sanitizers catch reads outside it.
size_t exercise(const cache_view& v) {
  size_t seen = 0;
  cache_user u;
  cache_group g;
  for (uint32_t i = 0; i < v.h.user_count && i < 64; ++i) seen += cache_user_at(v, i, &u);
  for (uint32_t i = 0; i < v.h.group_count && i < 64; ++i) {
    if (!cache_group_at(v, i, &g)) continue;
    for (uint32_t j = 0; j < g.member_count && j < 64; ++j) {
      seen += cache_group_member(v, g, j) != nullptr;
    }
  }
  seen += cache_find_user_name(v, "user3", &u) + cache_find_user_uid(v, 5003, &u);
  seen += cache_find_group_name(v, "staff", &g) + cache_find_group_gid(v, 100, &g);
  return seen;
}

TEST(CacheViewTest, LookupsThroughTheIndexes) {
  const std::string image = orvane_hostd::publish_image(sample(50));
  cache_view v;
  ASSERT_EQ(cache_view_open(&v, image.data(), image.size()), 0);
  EXPECT_EQ(v.h.user_count, 50u);
  EXPECT_EQ(v.h.fetched, 1700000000u);
  EXPECT_EQ(image.find("$6$"), std::string::npos);  // no hashes in the published file
  cache_user u;
  ASSERT_TRUE(cache_find_user_name(v, "user7", &u));
  EXPECT_STREQ(u.home, "/home/user7");
  EXPECT_EQ(u.gid, u.uid);
  for (uint32_t uid = 5000; uid < 5050; ++uid) {
    ASSERT_TRUE(cache_find_user_uid(v, uid, &u)) << uid;
    EXPECT_EQ(u.uid, uid);
  }
  EXPECT_FALSE(cache_find_user_name(v, "user50", &u));
  EXPECT_FALSE(cache_find_user_uid(v, 4999, &u));
  cache_group g;
  ASSERT_TRUE(cache_find_group_name(v, "staff", &g));
  ASSERT_EQ(g.member_count, 3u);
  EXPECT_STREQ(cache_group_member(v, g, 2), "user2");
  EXPECT_EQ(cache_group_member(v, g, 3), nullptr);
  ASSERT_TRUE(cache_find_group_gid(v, 5010, &g));
  EXPECT_STREQ(cache_group_member(v, g, 0), g.name);

  const std::string empty = orvane_hostd::publish_image(snapshot{});
  ASSERT_EQ(cache_view_open(&v, empty.data(), empty.size()), 0);
  EXPECT_FALSE(cache_find_user_name(v, "user7", &u));
}

TEST(CacheViewTest, DamagedFilesNeverReadOutside) {
  const std::string image = orvane_hostd::publish_image(sample(40));
  cache_view v;
  // Every truncation: refused, also when the header is made to claim the shorter size.
  for (size_t len = 0; len < image.size(); ++len) {
    std::string cut = image.substr(0, len);
    EXPECT_NE(cache_view_open(&v, cut.data(), cut.size()), 0) << len;
    if (len >= kCacheHeaderSize) {
      const auto size = static_cast<uint32_t>(len);
      std::memcpy(cut.data() + offsetof(cache_header, file_size), &size, sizeof size);
      if (cache_view_open(&v, cut.data(), cut.size()) == 0) exercise(v);
    }
  }
  // Random bytes over random places, header included.
  std::mt19937 random(21);
  for (int round = 0; round < 20000; ++round) {
    std::string bad = image;
    const int flips = 1 + static_cast<int>(random() % 8);
    for (int i = 0; i < flips; ++i) {
      const size_t at = round % 3 == 0 ? random() % kCacheHeaderSize : random() % bad.size();
      bad[at] = static_cast<char>(random());
    }
    if (cache_view_open(&v, bad.data(), bad.size()) == 0) exercise(v);
  }
  // Pure noise of every small size.
  for (size_t len = 0; len < 512; ++len) {
    std::string noise(len, '\0');
    for (char& c : noise) c = static_cast<char>(random());
    if (len >= 8) std::memcpy(noise.data(), kCacheMagic, 8);
    if (cache_view_open(&v, noise.data(), noise.size()) == 0) exercise(v);
  }
}

}  // namespace
