#include "sptrlist/sptrlist.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "utils/refobj.h"

namespace kt {
namespace {

TEST(SptrlistTest, NewListHasOneEmptySlot) {
  sptrlist<int*> list;
  EXPECT_EQ(list.slots(), 1u);
  EXPECT_EQ(list.count(), 0u);
  EXPECT_EQ(list.begin(), list.end());
  EXPECT_EQ(list.add(nullptr), -1);
  EXPECT_EQ(list.slots(), 1u);
}

TEST(SptrlistTest, EmptiedSlotIsReused) {
  int a = 1, b = 2, c = 3, d = 4;
  sptrlist<int*> list;
  EXPECT_EQ(list.add(&a), 0);
  EXPECT_EQ(list.add(&b), 1);
  EXPECT_EQ(list.add(&c), 2);
  EXPECT_EQ(list.slots(), 3u);
  EXPECT_EQ(list.erase(0), &a);
  EXPECT_EQ(list.erase(0), nullptr);
  EXPECT_EQ(list.erase(99), nullptr);
  EXPECT_EQ(list.count(), 2u);
  EXPECT_EQ(list.add(&d), 0);  // first empty slot
  EXPECT_EQ(list.slots(), 3u);
  EXPECT_EQ(list.count(), 3u);
  EXPECT_EQ(list[0], &d);
}

TEST(SptrlistTest, IterationSkipsEmptySlots) {
  int v[5] = {10, 11, 12, 13, 14};
  sptrlist<int*> list;
  for (int& x : v) list.add(&x);
  list.erase(0);
  list.erase(2);
  list.erase(4);
  std::vector<int> seen;
  std::vector<size_t> slots;
  for (auto it = list.begin(); it != list.end(); ++it) {
    seen.push_back(**it);
    slots.push_back(it.slot());
  }
  EXPECT_EQ(seen, (std::vector<int>{11, 13}));
  EXPECT_EQ(slots, (std::vector<size_t>{1, 3}));
}

struct item : ref_object {
  explicit item(int* deaths) : deaths_(deaths) {}
  ~item() override { ++*deaths_; }
  int* deaths_;
};

TEST(SptrlistTest, RefPtrItemsReleasedWithTheList) {
  int deaths = 0;
  ref_ptr<item> kept = make_ref<item>(&deaths);
  {
    sptrlist<ref_ptr<item>> list;
    list.add(kept);
    list.add(make_ref<item>(&deaths));
    EXPECT_EQ(kept->ref_count(), 2u);
  }
  EXPECT_EQ(deaths, 1);
  EXPECT_EQ(kept->ref_count(), 1u);
}

TEST(SptrlistTest, FreeRefReleasesInSlotOrder) {
  int a = 1, b = 2, c = 3;
  sptrlist<int*> list;
  list.add(&a);
  list.add(&b);
  list.add(&c);
  list.erase(1);
  std::vector<int> released;
  list.free_ref([&](int* p) { released.push_back(*p); });
  EXPECT_EQ(released, (std::vector<int>{1, 3}));
  EXPECT_EQ(list.count(), 0u);
}

TEST(SptrlistTest, OwningItems) {
  sptrlist<std::unique_ptr<int>> list;
  list.add(std::make_unique<int>(5));
  std::unique_ptr<int> back = list.erase(0);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(*back, 5);
  EXPECT_EQ(list.count(), 0u);
}

}  // namespace
}  // namespace kt
