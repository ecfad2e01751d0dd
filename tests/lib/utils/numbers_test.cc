#include "utils/numbers.h"

#include <gtest/gtest.h>

namespace kt {
namespace {

TEST(NumbersTest, DecimalText) {
  char buf[32];
  EXPECT_STREQ(u82str_r(255, buf, sizeof buf), "255");
  EXPECT_STREQ(u162str_r(65535, buf, sizeof buf), "65535");
  EXPECT_STREQ(u322str_r(4294967295u, buf, sizeof buf), "4294967295");
  EXPECT_STREQ(u642str_r(18446744073709551615ull, buf, sizeof buf), "18446744073709551615");
  EXPECT_STREQ(u82str_r(static_cast<uint8_t>(300), buf, sizeof buf), "44");
  EXPECT_STREQ(u322str_r(123456, buf, 4), "123");
}

// The one decimal parser: leading digits saturate at max; a whole text must be digits up to max.
TEST(NumbersTest, DecimalParsing) {
  EXPECT_EQ(decimal_prefix("42abc"), 42u);
  EXPECT_EQ(decimal_prefix("x42"), 0u);
  EXPECT_EQ(decimal_prefix("-1"), 0u);
  EXPECT_EQ(decimal_prefix("99999999999999999999999", 1000), 1000u);
  EXPECT_EQ(decimal_prefix("1500", 1000), 1000u);
  size_t digits = 9;
  EXPECT_EQ(decimal_prefix("99999999999999999999999,", UINT64_MAX, &digits), UINT64_MAX);
  EXPECT_EQ(digits, 23u);
  EXPECT_EQ(decimal_prefix("", UINT64_MAX, &digits), 0u);
  EXPECT_EQ(digits, 0u);

  uint64_t v = 7;
  EXPECT_TRUE(decimal_parse("65535", 65535, &v));
  EXPECT_EQ(v, 65535u);
  for (const char* bad : {"", "65536", "+1", " 1", "1 ", "0x1", "18446744073709551616"}) {
    v = 7;
    EXPECT_FALSE(decimal_parse(bad, bad[0] == '1' ? UINT64_MAX : 65535, &v)) << bad;
    EXPECT_EQ(v, 7u) << bad;
  }
}

TEST(NumbersTest, BigEndianRoundTrip) {
  uint8_t bytes[6] = {0xee, 0xff, 0, 0, 0, 0};
  be_uint322byte(0x01020304u, bytes + 2);
  EXPECT_EQ(bytes[2], 1);
  EXPECT_EQ(bytes[5], 4);
  EXPECT_EQ(be_byte2uint32(bytes, 2), 0x01020304u);
  EXPECT_EQ(be_byte2uint32(bytes, 0), 0xeeff0102u);
}

TEST(NumbersTest, BytecmpIsUnsigned) {
  const unsigned char a[] = {1, 2, 0x80};
  const unsigned char b[] = {1, 2, 0x7f};
  EXPECT_EQ(bytecmp(a, a, 3), 0);
  EXPECT_EQ(bytecmp(a, b, 3), 1);
  EXPECT_EQ(bytecmp(b, a, 3), -1);
  EXPECT_EQ(bytecmp(a, b, 2), 0);
  EXPECT_EQ(bytecmp(a, b, 0), 0);
}

TEST(NumbersTest, BytecmpCt) {
  const unsigned char a[64] = {1};
  unsigned char b[64] = {1};
  EXPECT_EQ(bytecmp_ct(a, b, 64), 0);
  b[63] = 1;
  EXPECT_NE(bytecmp_ct(a, b, 64), 0);
  b[63] = 0;
  b[0] = 0;
  EXPECT_NE(bytecmp_ct(a, b, 64), 0);
  EXPECT_EQ(bytecmp_ct(a, b, 0), 0);
}

}  // namespace
}  // namespace kt
