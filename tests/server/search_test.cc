#include "objects/search.h"

#include <gtest/gtest.h>
#include <regex.h>

#include <string>
#include <vector>

#include "errors.h"
#include "xmldoc/xmldoc.h"

namespace orvane {
namespace {

// regcomp/regexec alone: what every pattern must match, literal or not.
struct oracle {
  oracle(const std::string& pattern, int cflags) : rc(regcomp(&re, pattern.c_str(), cflags)) {}
  ~oracle() {
    if (rc == 0) regfree(&re);
  }
  bool match(const std::string& text) const {
    return rc == 0 && regexec(&re, text.c_str(), 0, nullptr, 0) == 0;
  }
  regex_t re{};
  int rc;
};

const std::vector<std::string> kPatterns = {
    // Literals, plain and anchored, in both cases.
    "abc", "^abc", "abc$", "^abc$", "ABC", "^Ab", "bC$", "^aBc$", "b", "user_name", "^user_name$",
    "a b", " ", "@", "`", "-._@~", "-_@~", "0", "^9z$", "\"'%&,/:;<=>!#",
    // Anchors alone, anchors in the middle, doubled anchors.
    "^", "$", "^$", "a$b", "^^a", "a^", "$a", "^a$$", "^$a", "a^b",
    // Escapes, braces, operators and brackets: never compared as literals.
    "a\\$", "a\\.b", "\\^a", "a\\b", "\\w", "a.b", "a{2}", "^a{1,2}$", "{", "a{", "}", "a}", "a|b",
    "(ab)", "[ab]", "[[:upper:]]", "a*", "a+", "a?", ".*",
    // Bytes outside printable ASCII.
    "\xc3\xa4", "^\xe4", "a\tb"};

const std::vector<std::string> kNames = {
    "",         "abc",       "ABC",       "AbC",        "xabcx",
    "abcx",     "xabc",      "ab",        "bc",         "a",
    "aa",       "aaa",       "a$b",       "a.b",        "axb",
    "a{2}",     "{",         "a\\.b",     "a\\$",       "a$",
    "^abc",     "abc$",      "^a",        "\344abc",    "abc\344",
    "\xc3\xa4", "\xc3\x84",  "\xe4",      "\xc4",       "abc\n",
    "\nabc",    "user_name", "USER_NAME", "user_name2", "a user_name",
    "a b",      "A B",       "@",         "`",          "-._@~",
    "-_@~x",    "0",         "9z",        "9Z",         "\"'%&,/:;<=>!#",
    "a}",       "a\tb",      "w",         "bcbc",       "abcabc"};

TEST(RegexHolderTest, MatchesLikeRegexec) {
  for (const int icase : {0, REG_ICASE}) {
    const int cflags = REG_EXTENDED | REG_NOSUB | icase;
    for (const std::string& pattern : kPatterns) {
      const oracle expected(pattern, cflags);
      regex_holder re;
      ASSERT_EQ(re.compile(pattern.c_str(), cflags), expected.rc) << pattern;
      for (const std::string& name : kNames) {
        EXPECT_EQ(re.match(name.c_str()), expected.match(name))
            << "pattern \"" << pattern << "\" name \"" << name << "\" icase " << (icase != 0);
      }
    }
  }
}

TEST(RegexHolderTest, OnlyPlainLiteralsSkipRegexec) {
  const int cflags = REG_EXTENDED | REG_NOSUB | REG_ICASE;
  for (const char* pattern : {"abc", "^abc", "abc$", "^user_name$", "a b", "-_@~"}) {
    regex_holder re;
    ASSERT_EQ(re.compile(pattern, cflags), 0);
    EXPECT_TRUE(re.is_literal()) << pattern;
  }
  for (const char* pattern : {"^", "$", "^$", "a$b", "^^a", "^a$$", "a\\$", "a\\.b", "a{2}", "a}",
                              "a.b", "\xc3\xa4", "a\tb", ".*"}) {
    regex_holder re;
    ASSERT_EQ(re.compile(pattern, cflags), 0) << pattern;
    EXPECT_FALSE(re.is_literal()) << pattern;
  }
}

TEST(RegexHolderTest, CompilesOnce) {
  regex_holder re;
  EXPECT_FALSE(re.match("abc"));
  EXPECT_NE(re.compile("[", REG_EXTENDED), 0);
  EXPECT_FALSE(re.compiled());
  EXPECT_FALSE(re.match("["));
  ASSERT_EQ(re.compile("^abc$", REG_EXTENDED | REG_NOSUB), 0);
  EXPECT_EQ(re.compile("xyz", REG_EXTENDED | REG_NOSUB), REG_BADPAT);
  EXPECT_TRUE(re.match("abc"));
  EXPECT_FALSE(re.match("xyz"));
}

// A search command with an "s" child holding text and the given "opt" attributes.
std::unique_ptr<kt::xmldoc_node> search_cmd(const char* text, const char* s_opt,
                                            const char* cmd_opt) {
  auto cmd = kt::xmldoc_node::create("userSearch");
  if (cmd_opt != nullptr) cmd->attr_addval("opt", cmd_opt);
  if (text != nullptr) {
    kt::xmldoc_node* s = cmd->add_child(kt::xmldoc_node::create("s"));
    s->set_value(text);
    if (s_opt != nullptr) s->attr_addval("opt", s_opt);
  }
  return cmd;
}

// Whether the compiled "^abc$" of the command matches "ABC" (it ignores case).
bool ignores_case(const char* s_opt, const char* cmd_opt) {
  regex_holder re;
  EXPECT_EQ(search_pattern_compile(*search_cmd("^abc$", s_opt, cmd_opt), re), 0);
  return re.match("ABC");
}

TEST(SearchPatternTest, OptionBitMatchCase) {
  EXPECT_TRUE(ignores_case(nullptr, nullptr));
  EXPECT_FALSE(ignores_case("1", nullptr));
  EXPECT_TRUE(ignores_case("2", nullptr));
  EXPECT_FALSE(ignores_case("3", nullptr));
  EXPECT_FALSE(ignores_case("13abc", nullptr));  // digits up to the first other byte
  EXPECT_TRUE(ignores_case("12abc", nullptr));
  EXPECT_TRUE(ignores_case("", nullptr));
  EXPECT_TRUE(ignores_case("x1", nullptr));
  EXPECT_TRUE(ignores_case("-1", nullptr));
  EXPECT_FALSE(ignores_case("18446744073709551615", nullptr));  // UINT64_MAX
  // Beyond 64 bits the value's own parity still decides.
  EXPECT_TRUE(ignores_case("18446744073709551616", nullptr));
  EXPECT_FALSE(ignores_case("100000000000000000000000000001", nullptr));
  // The command's "opt" counts only when "s" has none.
  EXPECT_FALSE(ignores_case(nullptr, "1"));
  EXPECT_TRUE(ignores_case("0", "1"));
  EXPECT_FALSE(ignores_case("1", "0"));
}

TEST(SearchPatternTest, EmptyMissingAndInvalid) {
  regex_holder all;
  ASSERT_EQ(search_pattern_compile(*search_cmd("", nullptr, nullptr), all), 0);
  EXPECT_TRUE(all.match(""));
  EXPECT_TRUE(all.match("anything"));
  EXPECT_EQ(search_pattern_compile(*search_cmd("x", nullptr, nullptr), all),
            static_cast<int>(E_INVALID_REQUEST));  // already compiled

  regex_holder none;
  EXPECT_EQ(search_pattern_compile(*search_cmd(nullptr, nullptr, nullptr), none),
            static_cast<int>(E_INVALID_REQUEST));
  regex_holder bad;
  EXPECT_EQ(search_pattern_compile(*search_cmd("[", nullptr, nullptr), bad),
            static_cast<int>(E_INVALID_REGEX));
  EXPECT_FALSE(bad.match("["));
}

}  // namespace
}  // namespace orvane
