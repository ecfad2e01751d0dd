#include "buffers/void_ptr.h"

#include <gtest/gtest.h>

#include <string>

namespace kt {
namespace {

struct counted {
  explicit counted(int* deaths) : deaths_(deaths) {}
  ~counted() { ++*deaths_; }
  int* deaths_;
};

TEST(VoidPtrTest, BundlesStartEmptyAndFreeWhatTheyHold) {
  int deaths = 0;
  {
    auto two = void_ptr2_p_create<counted, std::string>();
    EXPECT_EQ(two->p1, nullptr);
    EXPECT_EQ(two->p2, nullptr);
    two->p1 = std::make_unique<counted>(&deaths);
    auto four = void_ptr4_p_create<counted, counted, int, counted>();
    four->p1 = std::make_unique<counted>(&deaths);
    four->p4 = std::make_unique<counted>(&deaths);
    EXPECT_EQ(four->p3, nullptr);
  }
  EXPECT_EQ(deaths, 3);
}

}  // namespace
}  // namespace kt
