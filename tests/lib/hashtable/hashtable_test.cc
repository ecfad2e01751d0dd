#include "hashtable/hashtable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "utils/refobj.h"

namespace kt {
namespace {

// Counts live objects so tests can tell when the table dropped its reference.
struct tracked : ref_object {
  explicit tracked(int v) : value(v) { ++live; }
  ~tracked() override { --live; }
  int value;
  static inline std::atomic<int> live{0};
};
using ptr = ref_ptr<tracked>;

class HashtableTest : public ::testing::Test {
 protected:
  void SetUp() override { tracked::live = 0; }
  void TearDown() override { EXPECT_EQ(tracked::live, 0); }
};

template <class K, class V>
std::vector<K> keys_newest_first(hashtable<K, V>& t) {
  std::vector<K> out;
  for (auto* e = t.newest(); e != nullptr; e = e->older()) out.push_back(e->key());
  return out;
}

TEST_F(HashtableTest, InsertTwiceKeepsOneEntryWithTheSecondValue) {
  hashtable<std::string, ptr> t(10);
  ASSERT_EQ(t.insert_l("a", make_ref<tracked>(1)), 0);
  ptr old;
  ASSERT_EQ(t.insert_l("a", make_ref<tracked>(2), &old), 0);
  EXPECT_EQ(t.count(), 1u);
  EXPECT_EQ(t.get_nl("a")->value, 2);
  ASSERT_TRUE(old);
  EXPECT_EQ(old->value, 1);
  EXPECT_EQ(old->ref_count(), 1u);  // only ours: the table let go
  old.reset();
  EXPECT_EQ(tracked::live, 1);

  // Without an out pointer the old value is released by the table.
  ASSERT_EQ(t.insert_l("a", make_ref<tracked>(3)), 0);
  EXPECT_EQ(tracked::live, 1);

  // An empty old value is not handed back.
  ASSERT_EQ(t.insert_l("b", ptr()), 0);
  ptr untouched = make_ref<tracked>(9);
  ASSERT_EQ(t.insert_l("b", make_ref<tracked>(4), &untouched), 0);
  EXPECT_EQ(untouched->value, 9);
  EXPECT_EQ(t.get_nl("b")->value, 4);
  EXPECT_EQ(t.count(), 2u);
}

TEST_F(HashtableTest, EnumerationIsNewestFirstAndReplacementKeepsPlace) {
  hashtable<std::string, int> t(10);
  t.insert_l("A", 1);
  t.insert_l("B", 2);
  t.insert_l("C", 3);
  EXPECT_EQ(keys_newest_first(t), (std::vector<std::string>{"C", "B", "A"}));
  t.remove_l("B");
  EXPECT_EQ(keys_newest_first(t), (std::vector<std::string>{"C", "A"}));
  t.insert_l("A", 10);
  EXPECT_EQ(keys_newest_first(t), (std::vector<std::string>{"C", "A"}));
  EXPECT_EQ(t.get_nl("A"), 10);
  // Links are consistent both ways.
  EXPECT_EQ(t.newest()->newer(), nullptr);
  EXPECT_EQ(t.newest()->older()->newer(), t.newest());
}

TEST_F(HashtableTest, RemovingNewestAndOnlyEntry) {
  hashtable<uint64_t, ptr> t(10);
  t.insert_l(1, make_ref<tracked>(1));
  t.insert_l(2, make_ref<tracked>(2));
  t.remove_l(2);
  EXPECT_EQ(tracked::live, 1);  // removal dropped the table's reference
  ASSERT_NE(t.newest(), nullptr);
  EXPECT_EQ(t.newest()->key(), 1u);
  EXPECT_EQ(t.newest()->newer(), nullptr);
  t.remove_l(1);
  EXPECT_EQ(t.newest(), nullptr);
  EXPECT_EQ(t.count(), 0u);
  EXPECT_EQ(tracked::live, 0);
  // The table is usable again afterwards.
  t.insert_l(3, make_ref<tracked>(3));
  EXPECT_EQ(keys_newest_first(t), (std::vector<uint64_t>{3}));
}

TEST_F(HashtableTest, RemovingMissingKeyChangesNothing) {
  hashtable<std::string, int> t(10);
  EXPECT_EQ(t.remove_l("x"), 0);  // before any bucket exists
  t.insert_l("a", 1);
  t.insert_l("k", 2);  // same bucket as "a" (97 % 10 == 107 % 10)
  EXPECT_EQ(t.remove_l("u"), 0);
  EXPECT_EQ(t.remove_rw("u"), 0);
  EXPECT_EQ(t.count(), 2u);
  EXPECT_EQ(keys_newest_first(t), (std::vector<std::string>{"k", "a"}));
}

TEST_F(HashtableTest, CollidingStringKeysAreToldApart) {
  hashtable<std::string, int> t(7);
  t.insert_l("ab", 1);
  t.insert_l("ba", 2);
  EXPECT_EQ(t.get_nl("ab"), 1);
  EXPECT_EQ(t.get_nl("ba"), 2);
  std::vector<std::string> order;
  t.flush_ref([&](int& v) { order.push_back(std::to_string(v)); });
  // One chain, newest at its head.
  EXPECT_EQ(order, (std::vector<std::string>{"2", "1"}));

  t.insert_l("ab", 1);
  t.insert_l("ba", 2);
  t.remove_l("ab");
  EXPECT_EQ(t.find_nl("ab"), nullptr);
  EXPECT_EQ(t.get_nl("ba"), 2);
}

TEST_F(HashtableTest, StringKeyIsCopied) {
  hashtable<std::string, int> t(10);
  std::string key = "alice";
  t.insert_l(key, 1);
  key[0] = 'A';
  EXPECT_EQ(t.get_nl("alice"), 1);
  EXPECT_EQ(t.find_nl("Alice"), nullptr);
  EXPECT_EQ(t.newest()->key(), "alice");
  // Lookups accept any view, including one not terminated by zero.
  std::string_view part = std::string_view("alicex").substr(0, 5);
  EXPECT_EQ(t.get_nl(part), 1);
}

TEST_F(HashtableTest, FlushRefReleasesEveryEntryInBucketOrder) {
  hashtable<uint32_t, ptr> t(10);
  t.insert_l(13, make_ref<tracked>(13));
  t.insert_l(2, make_ref<tracked>(2));
  t.insert_l(21, make_ref<tracked>(21));
  t.insert_l(11, ptr());  // empty value: still called back
  t.insert_l(1, make_ref<tracked>(1));
  std::vector<int> seen;
  t.flush_ref([&](ptr& v) { seen.push_back(v ? v->value : -1); });
  // Bucket 1: 1, 11, 21 (newest at the head); bucket 2: 2; bucket 3: 13.
  EXPECT_EQ(seen, (std::vector<int>{1, -1, 21, 2, 13}));
  EXPECT_EQ(t.count(), 0u);
  EXPECT_EQ(t.newest(), nullptr);
  EXPECT_EQ(tracked::live, 0);

  // A plain flush releases too, and the table stays usable.
  t.insert_l(5, make_ref<tracked>(5));
  t.flush();
  EXPECT_EQ(tracked::live, 0);
  t.insert_l(5, make_ref<tracked>(5));
  EXPECT_EQ(t.get_nl(5)->value, 5);
}

TEST_F(HashtableTest, ReleasedExactlyOnce) {
  {
    hashtable<std::string, ptr> t(3);
    ptr keep = make_ref<tracked>(1);
    t.insert_l("a", keep);
    t.insert_l("b", keep);
    EXPECT_EQ(keep->ref_count(), 3u);
    ptr got = t.get_rw("a");
    EXPECT_EQ(keep->ref_count(), 4u);
    got = t.get_rw("missing");
    EXPECT_FALSE(got);
    EXPECT_EQ(keep->ref_count(), 3u);
    t.remove_rw("a");
    EXPECT_EQ(keep->ref_count(), 2u);
    t.insert_rw("b", make_ref<tracked>(2));
    EXPECT_EQ(keep->ref_count(), 1u);
    t.insert_rw("c", make_ref<tracked>(3));
  }  // destroying the table releases what is left
  EXPECT_EQ(tracked::live, 0);
}

TEST_F(HashtableTest, LockedLookupsReturnWithTheLockHeld) {
  hashtable<std::string, ptr> t(10);
  t.insert_rw("a", make_ref<tracked>(1));
  {
    auto [v, lock] = t.get_rw_rl("missing");
    EXPECT_EQ(v, nullptr);
    EXPECT_TRUE(lock.owns_lock());
    EXPECT_FALSE(t.rwlock().try_lock());  // a reader holds it
  }
  ASSERT_TRUE(t.rwlock().try_lock());
  t.rwlock().unlock();
  {
    auto [v, lock] = t.get_rw_rl("a");
    ASSERT_NE(v, nullptr);
    EXPECT_EQ((*v)->value, 1);
    EXPECT_TRUE(t.rwlock().try_lock_shared());  // readers share
    t.rwlock().unlock_shared();
  }
  {
    auto [v, lock] = t.get_rw_wl("a");
    ASSERT_NE(v, nullptr);
    *v = make_ref<tracked>(2);  // may change the entry under the write lock
    EXPECT_FALSE(t.rwlock().try_lock_shared());
    lock.unlock();
    EXPECT_TRUE(t.rwlock().try_lock_shared());
    t.rwlock().unlock_shared();
  }
}

// A table may have a mutex for its lock instead; it then has the mutex wrappers only.
TEST_F(HashtableTest, MutexLockedTable) {
  hashtable<std::string, ptr, kt::mutex> t(10);
  EXPECT_EQ(t.lock_flags(), HASHTABLE_LOCK_MUTEX);
  ASSERT_EQ(t.insert("a", make_ref<tracked>(1)), 0);
  EXPECT_EQ(t.get("a")->value, 1);
  {
    auto [v, lock] = t.get_l("a");
    ASSERT_NE(v, nullptr);
    EXPECT_EQ((*v)->value, 1);
    EXPECT_FALSE(t.mutex().try_lock());
  }
  ASSERT_TRUE(t.mutex().try_lock());
  t.mutex().unlock();
  EXPECT_EQ(t.remove("a"), 0);
  EXPECT_EQ(t.count(), 0u);
}

TEST_F(HashtableTest, AllKeyTypes) {
  EXPECT_EQ((hashtable<std::string, int>::key_type()), HASHTABLE_KEY_STRING);
  EXPECT_EQ((hashtable<uint16_t, int>::key_type()), HASHTABLE_KEY_UINT16);
  EXPECT_EQ((hashtable<uint32_t, int>::key_type()), HASHTABLE_KEY_UINT32);
  EXPECT_EQ((hashtable<uint64_t, int>::key_type()), HASHTABLE_KEY_UINT64);

  hashtable<uint16_t, int> t16(10);
  t16.insert_l(65535, 1);
  t16.insert_l(5, 2);  // 65535 % 10 == 5: same bucket
  EXPECT_EQ(t16.get_nl(65535), 1);
  EXPECT_EQ(t16.get_nl(5), 2);
  EXPECT_EQ(t16.get_nl(15), 0);

  hashtable<uint32_t, int> t32(100);
  t32.insert_l(4294967295u, 1);
  t32.insert_l(0, 2);
  EXPECT_EQ(t32.get_nl(4294967295u), 1);
  EXPECT_EQ(t32.get_nl(0), 2);

  hashtable<uint64_t, int> t64(30);
  const uint64_t big = UINT64_MAX;
  t64.insert_l(big, 1);
  t64.insert_l(big % 30, 2);
  EXPECT_EQ(t64.get_nl(big), 1);
  EXPECT_EQ(t64.get_nl(big % 30), 2);
  std::vector<int> order;
  t64.flush_ref([&](int& v) { order.push_back(v); });
  EXPECT_EQ(order, (std::vector<int>{2, 1}));  // one chain, newest first
}

TEST_F(HashtableTest, StringHashIsByteSumModuloSize) {
  hashtable<std::string, int> t(100);
  // "\xff" sums to 255 (unsigned bytes): bucket 55, like "7" (55).
  t.insert_l("7", 1);
  t.insert_l("\xff", 2);
  t.insert_l("", 3);   // empty key: bucket 0
  t.insert_l("d", 4);  // 100: bucket 0
  std::vector<int> order;
  t.flush_ref([&](int& v) { order.push_back(v); });
  EXPECT_EQ(order, (std::vector<int>{4, 3, 2, 1}));
}

TEST_F(HashtableTest, DumpFormat) {
  hashtable<uint64_t, int> t(4);
  t.insert_l(6, 60);
  t.insert_l(1, 10);
  ::testing::internal::CaptureStderr();
  t.dump([](const int& v) { std::fprintf(stderr, " %d\n", v); });
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "- hashtable dump 4 size, type 4 -\n"
            "pos[1], key: 1 10\n"
            "pos[2], key: 6 60\n");

  hashtable<std::string, int> s(4);
  s.insert_l("a", 1);  // 97 % 4 == 1
  ::testing::internal::CaptureStderr();
  s.dump();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "- hashtable dump 4 size, type 1 -\npos[1], key: a \n");

  hashtable<uint16_t, int> u(4);
  u.insert_l(7, 1);
  ::testing::internal::CaptureStderr();
  u.dump([](const int&) { std::fputs("v\n", stderr); });
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "- hashtable dump 4 size, type 2 -\npos[3], key: 7 v\n");
  EXPECT_TRUE(u.rwlock().try_lock());  // released after the dump
  u.rwlock().unlock();
}

TEST_F(HashtableTest, ForEachStopsAndMayRemoveCurrent) {
  hashtable<uint64_t, ptr> t(10);
  for (uint64_t i = 1; i <= 5; ++i) t.insert_l(i, make_ref<tracked>(static_cast<int>(i)));

  std::vector<uint64_t> seen;
  t.for_each([&](uint64_t k, ptr&) {
    seen.push_back(k);
    return k != 3;
  });
  EXPECT_EQ(seen, (std::vector<uint64_t>{5, 4, 3}));

  seen.clear();
  t.for_each([&](uint64_t k, ptr&) {
    seen.push_back(k);
    if (k % 2 == 0) t.remove_l(k);  // the entry just visited
  });
  EXPECT_EQ(seen, (std::vector<uint64_t>{5, 4, 3, 2, 1}));
  EXPECT_EQ(keys_newest_first(t), (std::vector<uint64_t>{5, 3, 1}));
  EXPECT_EQ(tracked::live, 3);

  EXPECT_EQ(t.remove_if([](uint64_t k, ptr&) { return k != 3; }), 2u);
  EXPECT_EQ(keys_newest_first(t), (std::vector<uint64_t>{3}));
  EXPECT_EQ(tracked::live, 1);

  const auto& ct = t;
  int sum = 0;
  ct.for_each([&](uint64_t, const ptr& v) { sum += v->value; });
  EXPECT_EQ(sum, 3);
}

TEST_F(HashtableTest, AutoGrowKeepsOrderAndEntries) {
  hashtable<uint64_t, ptr> t(2);
  EXPECT_FALSE(t.auto_grow());
  for (uint64_t i = 0; i < 9; ++i) t.insert_l(i, make_ref<tracked>(static_cast<int>(i)));
  EXPECT_EQ(t.size(), 2u);  // off by default

  hashtable<uint64_t, ptr> g(2);
  g.set_auto_grow(true);
  std::vector<uint64_t> expected;
  for (uint64_t i = 0; i < 1000; ++i) {
    g.insert_l(i * 7, make_ref<tracked>(static_cast<int>(i)));
    expected.insert(expected.begin(), i * 7);
    if (i == 4) g.remove_l(0);
  }
  expected.erase(std::find(expected.begin(), expected.end(), 0));
  EXPECT_GE(g.size(), 256u);
  EXPECT_LE(g.count(), 4 * g.size());
  EXPECT_EQ(keys_newest_first(g), expected);
  for (uint64_t i = 1; i < 1000; ++i) {
    ptr* v = g.find_nl(i * 7);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ((*v)->value, static_cast<int>(i));
  }
  // Chains stay newest-first after a rehash.
  std::vector<int> order;
  hashtable<uint64_t, int> h(1);
  h.set_auto_grow(true);
  for (uint64_t i = 0; i < 6; ++i) h.insert_l(i * 2, static_cast<int>(i * 2));  // grows to 2
  EXPECT_EQ(h.size(), 2u);
  h.flush_ref([&](int& v) { order.push_back(v); });
  EXPECT_EQ(order, (std::vector<int>{10, 8, 6, 4, 2, 0}));
  EXPECT_EQ(tracked::live, 1008);
  t.flush();
  g.flush();
}

TEST_F(HashtableTest, GrowingStringTableRehashesWhenSwitched) {
  hashtable<std::string, int> t(10);
  std::vector<std::string> expected;
  auto add = [&](int i) {
    std::string name = "user" + std::to_string(i);
    ASSERT_EQ(t.insert_l(name, i), 0);
    expected.insert(expected.begin(), name);
  };
  for (int i = 0; i < 30; ++i) add(i);
  t.set_auto_grow(true);  // existing entries move to the new hash
  for (int i = 30; i < 2000; ++i) add(i);
  EXPECT_GE(t.size(), 320u);
  EXPECT_EQ(keys_newest_first(t), expected);
  t.set_auto_grow(false);  // and back to the byte sum
  for (int i = 0; i < 2000; ++i) {
    const int* v = t.find_nl("user" + std::to_string(i));
    ASSERT_NE(v, nullptr) << i;
    EXPECT_EQ(*v, i);
  }
  EXPECT_EQ(t.remove_l("user7"), 0);
  EXPECT_EQ(t.find_nl("user7"), nullptr);
  EXPECT_EQ(t.count(), 1999u);
}

TEST_F(HashtableTest, ZeroSizeIsUsable) {
  hashtable<uint32_t, int> t(0);
  EXPECT_EQ(t.size(), 1u);
  t.insert_l(3, 1);
  t.insert_l(4, 2);
  EXPECT_EQ(t.get_nl(3), 1);
  EXPECT_EQ(t.get_nl(4), 2);
}

TEST_F(HashtableTest, ConcurrentReadersAndWriters) {
  hashtable<uint64_t, ptr> t(100);
  constexpr int kThreads = 4;
  constexpr uint64_t kKeys = 2000;
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < kThreads; ++w) {
    threads.emplace_back([&, w] {
      for (uint64_t i = 0; i < kKeys; ++i) {
        const uint64_t key = i * kThreads + static_cast<uint64_t>(w);
        t.insert_rw(key, make_ref<tracked>(static_cast<int>(key)));
        ptr got = t.get_rw(key);
        if (!got || got->value != static_cast<int>(key)) ++bad;
        // Read a neighbour's key: it is either missing or carries its own value.
        ptr other = t.get_rw(key ^ 1);
        if (other && other->value != static_cast<int>(key ^ 1)) ++bad;
        if (i % 2 == 0) t.remove_rw(key);
        if (auto [v, lock] = t.get_rw_rl(key); v != nullptr && (*v)->value != static_cast<int>(key))
          ++bad;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(bad, 0);
  EXPECT_EQ(t.count(), kThreads * kKeys / 2);
  uint64_t walked = 0;
  t.for_each([&](uint64_t k, ptr& v) {
    EXPECT_EQ((k / kThreads) % 2, 1u);  // odd rounds were kept
    EXPECT_EQ(v->value, static_cast<int>(k));
    ++walked;
  });
  EXPECT_EQ(walked, t.count());
  t.flush();
}

}  // namespace
}  // namespace kt
