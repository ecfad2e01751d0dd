#include "utils/strings.h"

#include <gtest/gtest.h>

#include <string>

namespace kt {
namespace {

TEST(StrreplaceTest, FirstOccurrenceOnly) {
  bool replaced = false;
  EXPECT_EQ(strreplace("a${USERNAME}b${USERNAME}", "${USERNAME}", "bob", &replaced),
            "abobb${USERNAME}");
  EXPECT_TRUE(replaced);
  EXPECT_EQ(strreplace("${X}", "${X}", "", &replaced), "");
  EXPECT_TRUE(replaced);
}

TEST(StrreplaceTest, MissingPatternLeavesTextAlone) {
  bool replaced = true;
  EXPECT_EQ(strreplace("plain text", "${USERNAME}", "bob", &replaced), "plain text");
  EXPECT_FALSE(replaced);
  replaced = true;
  EXPECT_EQ(strreplace("abc", "", "x", &replaced), "abc");
  EXPECT_FALSE(replaced);
}

TEST(StrreplaceTest, RepeatedCallsReplaceAll) {
  std::string t = "x.y.z";
  bool replaced = true;
  int calls = 0;
  for (; replaced; ++calls) t = strreplace(t, ".", "::", &replaced);
  EXPECT_EQ(t, "x::y::z");
  EXPECT_EQ(calls, 3);
}

TEST(SplitTest, EmptyFieldsKept) {
  split s("a--b", '-');
  ASSERT_EQ(s.count, 3u);
  EXPECT_EQ(s.fields, (std::vector<std::string>{"a", "", "b"}));

  split empty;
  EXPECT_EQ(empty.assign("", '-'), 0);
  ASSERT_EQ(empty.count, 1u);
  EXPECT_EQ(empty.fields[0], "");

  split edges("-x-", '-');
  EXPECT_EQ(edges.fields, (std::vector<std::string>{"", "x", ""}));
  split none("abc", ',');
  EXPECT_EQ(none.fields, (std::vector<std::string>{"abc"}));
}

TEST(SplitTest, TextEndsAtZeroByte) {
  const char field[12] = "a,b\0\0\0c,d";
  split s(std::string_view(field, sizeof field), ',');
  EXPECT_EQ(s.fields, (std::vector<std::string>{"a", "b"}));
}

TEST(SplitTest, AssignReplacesPreviousResult) {
  split s("1.2.3.4", '.');
  EXPECT_EQ(s.count, 4u);
  EXPECT_EQ(s.assign("x", '.'), 0);
  EXPECT_EQ(s.count, 1u);
  EXPECT_EQ(s.fields.size(), 1u);
}

}  // namespace
}  // namespace kt
