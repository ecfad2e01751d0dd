#include "utils/ipv4.h"

#include <gtest/gtest.h>

#include <string>

namespace kt {
namespace {

struct ParseCase {
  const char* text;
  int rc;
  uint32_t address;
  uint8_t prefix;
};

TEST(Ipv4ParseTest, Table) {
  const ParseCase cases[] = {
      {"10.0.0.0/8", 0, 0x0a000000, 8},
      {"10.0.0.0/255.0.0.0", 0, 0x0a000000, 8},
      {"10.1.2.3", 0, 0x0a010203, 32},
      {"10.1.2.3/32", 0, 0x0a010203, 32},
      {"192.168.1.0/255.255.255.0", 0, 0xc0a80100, 24},
      {"0.0.0.0/0", 0, 0, 0},
      {"10.0.0.0/0.0.0.0", 0, 0x0a000000, 0},
      {"1.2.3.4/255.255.255.255", 0, 0x01020304, 32},
      {"255.255.255.255", 0, 0xffffffff, 32},
      {"010.001.000.009", 0, 0x0a010009, 32},  // decimal, never octal
      {"10.0.0.0/33", -2, 0, 0},
      {"10.0.0.0/99999999999999", -2, 0, 0},
      {"10.0.0.0/x", -3, 0, 0},
      {"10.0.0.0/", -3, 0, 0},
      {"10.0.0.0/00", -3, 0, 0},
      {"10.0.0.0/8x", -3, 0, 0},
      {"10.0.0.0/-1", -3, 0, 0},
      {"10.0.0.0/+8", -3, 0, 0},
      {"10.0.0.0/ 8", -3, 0, 0},
      {"10.0.0.0/255.0.255.0", -3, 0, 0},  // not contiguous
      {"10.0.0.0/0.255.255.255", -3, 0, 0},
      {"10.0.0.0/8/8", -3, 0, 0},
      {"256.1.1.1", -1, 0, 0},
      {"1.2.3", -1, 0, 0},
      {"1.2.3.4.5", -1, 0, 0},
      {"1.2.3.", -1, 0, 0},
      {".1.2.3", -1, 0, 0},
      {"1..2.3", -1, 0, 0},
      {"1.2.3.0004", -1, 0, 0},
      {" 1.2.3.4", -1, 0, 0},
      {"1.2.3.4 ", -1, 0, 0},
      {"1.2.3.4x", -1, 0, 0},
      {"x1.2.3.4", -1, 0, 0},
      {"-1.2.3.4", -1, 0, 0},
      {"", -1, 0, 0},
      {"/8", -1, 0, 0},
  };
  for (const ParseCase& c : cases) {
    ipv4_address a{0x55555555, 77};
    EXPECT_EQ(ipv4_parse_addr(c.text, a), c.rc) << c.text;
    if (c.rc == 0) {
      EXPECT_EQ(a.address, c.address) << c.text;
      EXPECT_EQ(a.prefix, c.prefix) << c.text;
    } else {
      EXPECT_EQ(a.address, 0x55555555u) << c.text;  // untouched on failure
    }
  }
}

TEST(Ipv4ParseTest, LengthLimitAndNull) {
  ipv4_address a;
  EXPECT_EQ(ipv4_parse_addr(static_cast<const char*>(nullptr), a), -1);
  // 129 characters is the longest accepted text.
  std::string text = "10.0.0.0/" + std::string(119, '0') + "8";
  ASSERT_EQ(text.size(), 129u);
  EXPECT_EQ(ipv4_parse_addr(text.c_str(), a), 0);
  EXPECT_EQ(a.prefix, 8);
  text.insert(9, "0");
  EXPECT_EQ(ipv4_parse_addr(text.c_str(), a), -1);
  EXPECT_EQ(ipv4_parse_addr(std::string_view(text), a), -1);
}

TEST(Ipv4ParseTest, StringViewStopsAtItsLength) {
  ipv4_address a;
  EXPECT_EQ(ipv4_parse_addr(std::string_view("10.1.2.3/8", 8), a), 0);
  EXPECT_EQ(a.prefix, 32);
  EXPECT_EQ(ipv4_parse_addr(std::string_view("10.1.2.3\0/8", 11), a), -1);
}

TEST(Ipv4Test, ToString) {
  const ipv4_address a{0xc0a80101, 24};
  char buf[32];
  EXPECT_EQ(ipv4_to_string_r(a, true, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "192.168.1.1/24");
  EXPECT_EQ(ipv4_to_string(a, false), "192.168.1.1");
  EXPECT_EQ(ipv4_to_string({0xffffffff, 32}, true), "255.255.255.255/32");
  ipv4_to_string_r(a, true, buf, 6);
  EXPECT_STREQ(buf, "192.1");
}

TEST(Ipv4Test, InNetwork) {
  const uint32_t host = 0x0a010203;  // 10.1.2.3
  EXPECT_TRUE(ipv4_address_in_network(host, 0x0a000000, 8));
  EXPECT_FALSE(ipv4_address_in_network(host, 0x0a000000, 16));
  EXPECT_TRUE(ipv4_address_in_network(host, 0x0a010000, 16));
  EXPECT_TRUE(ipv4_address_in_network(host, 0xc0a80000, 0));
  EXPECT_TRUE(ipv4_address_in_network(0xffffffff, 0, 0));
  EXPECT_TRUE(ipv4_address_in_network(host, host, 32));
  EXPECT_FALSE(ipv4_address_in_network(host, host ^ 1, 32));
  EXPECT_TRUE(ipv4_address_in_network(host, host ^ 1, 31));
  EXPECT_FALSE(ipv4_address_in_network(0x80000000, 0, 1));
  EXPECT_TRUE(ipv4_address_in_network(0x7fffffff, 0, 1));
  EXPECT_FALSE(ipv4_address_in_network(host, host ^ 1, 40));  // over 32 counts as 32
}

TEST(Ipv4Test, Compare) {
  const ipv4_address a{0x0a000001, 32};
  const ipv4_address same{0x0a000001, 32};
  const ipv4_address higher{0x0a000002, 32};
  const ipv4_address wide{0x0a000001, 8};
  EXPECT_EQ(ipv4_compare(nullptr, nullptr), 0);
  EXPECT_EQ(ipv4_compare(nullptr, &a), 1);
  EXPECT_EQ(ipv4_compare(&a, nullptr), -1);
  EXPECT_EQ(ipv4_compare(&a, &same), 0);
  EXPECT_EQ(ipv4_compare(&higher, &a), -3);
  EXPECT_EQ(ipv4_compare(&a, &higher), 3);
  EXPECT_EQ(ipv4_compare(&a, &wide), 2);
  EXPECT_EQ(ipv4_compare(&wide, &a), -2);
}

}  // namespace
}  // namespace kt
