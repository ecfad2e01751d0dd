#include "utils/base64.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>
#include <string>

namespace kt {
namespace {

std::string Decode(std::string_view text, int expected_rc = 0) {
  std::string out = "stale";
  EXPECT_EQ(base64decode_(text, out), expected_rc) << '"' << text << '"';
  return out;
}

TEST(Base64Test, Rfc4648Vectors) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, encoded] : vectors) {
    EXPECT_EQ(base64encode_(std::string_view(plain)), encoded);
    EXPECT_EQ(Decode(encoded), plain);
  }
}

TEST(Base64Test, MatchesOpenSslAndRoundTrips) {
  std::mt19937 rng(7);
  for (size_t len = 0; len < 300; ++len) {
    std::string bytes(len, '\0');
    for (auto& c : bytes) c = static_cast<char>(rng());
    const std::string encoded = base64encode_(bytes.data(), bytes.size());
    std::string reference(4 * ((len + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(reference.data()),
                                  reinterpret_cast<const unsigned char*>(bytes.data()),
                                  static_cast<int>(len));
    reference.resize(static_cast<size_t>(n));
    ASSERT_EQ(encoded, reference) << len;
    ASSERT_EQ(Decode(encoded), bytes) << len;
  }
}

TEST(Base64Test, PaddingIsOptionalAndEndsDecoding) {
  EXPECT_EQ(Decode("Zg"), "f");        // trailing group of 2 -> 1 byte
  EXPECT_EQ(Decode("Zm8"), "fo");      // trailing group of 3 -> 2 bytes
  EXPECT_EQ(Decode("Zg==Zm9v"), "f");  // the first '=' ends decoding
  EXPECT_EQ(Decode("Zm9v=Zm9v"), "foo");
  EXPECT_EQ(Decode("Zm9v=!!!\r"), "foo");  // junk after '=' is ignored
  EXPECT_EQ(Decode("="), "");
  EXPECT_EQ(Decode("Z"), "");  // a lone character yields nothing
  EXPECT_EQ(Decode("Zm9vY"), "foo");
}

TEST(Base64Test, LineFeedsSkippedCarriageReturnFails) {
  EXPECT_EQ(Decode("Zm9v\nYmFy\n"), "foobar");
  EXPECT_EQ(Decode("\nZ\nm\n9\nv"), "foo");
  EXPECT_EQ(Decode("Zm9v\r\nYmFy\r\n", -1), "");
  EXPECT_EQ(Decode("Zm9v\r", -1), "");
}

TEST(Base64Test, NonAlphabetFails) {
  for (const char* bad : {"Zm9v YmFy", "Zm9v-YmFy", "Zm9v_YmFy", "Zm9v\tYmFy", "Zm9v.", "é"}) {
    EXPECT_EQ(Decode(bad, -1), "") << bad;
  }
  EXPECT_EQ(Decode(std::string_view("Zm\0v", 4), -1), "");
  // Only the given length is read.
  EXPECT_EQ(Decode(std::string_view("Zm9v!", 4)), "foo");
}

TEST(Base64Test, AllByteValues) {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
  const std::string encoded = base64encode_(bytes);
  EXPECT_EQ(encoded.find_first_not_of(
                "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
            std::string::npos);
  EXPECT_EQ(encoded.size() % 4, 0u);
  EXPECT_EQ(Decode(encoded), bytes);
}

TEST(Base64Test, NullText) {
  std::string out;
  EXPECT_EQ(base64decode_(nullptr, 0, out), 0);
  EXPECT_EQ(base64decode_(nullptr, 4, out), -1);
  EXPECT_EQ(base64encode_(nullptr, 0), "");
}

}  // namespace
}  // namespace kt
