#include "utils/crypto.h"

#include <crypt.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace kt {
namespace {

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 15]);
  }
  return out;
}

std::string Unhex(std::string_view hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

TEST(Sha512Test, KnownVectors) {
  uint8_t digest[64];
  ASSERT_EQ(sha512_hash("abc", 3, digest, sizeof digest), 0);
  EXPECT_EQ(Hex(std::string(reinterpret_cast<char*>(digest), 64)),
            "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
            "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f");
  ASSERT_EQ(sha512_hash("", 0, digest, sizeof digest), 0);
  EXPECT_EQ(Hex(std::string(reinterpret_cast<char*>(digest), 64)),
            "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
            "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e");
}

TEST(Sha512Test, SmallDigestRefused) {
  uint8_t digest[64] = {};
  EXPECT_EQ(sha512_hash("abc", 3, digest, 63), -1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(digest), 64), std::string(64, '\0'));
  EXPECT_EQ(sha512_hash("abc", 3, nullptr, 64), -1);
}

// NIST SP 800-38A F.2.5 (CBC-AES256), first block; our output adds a PKCS#7 padding block.
TEST(Aes256Test, NistCbcVector) {
  const std::string key = Unhex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
  const std::string iv = Unhex("000102030405060708090a0b0c0d0e0f");
  const std::string plain =
      Unhex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51");
  auto ctx = aes256_ctx_init(reinterpret_cast<const uint8_t*>(iv.data()),
                             reinterpret_cast<const uint8_t*>(key.data()));
  ASSERT_NE(ctx, nullptr);
  const std::string cipher = aes256_encrypt(*ctx, plain.data(), plain.size());
  ASSERT_EQ(cipher.size(), 48u);
  EXPECT_EQ(Hex(cipher.substr(0, 32)),
            "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d");
  std::string back;
  ASSERT_EQ(aes256_decrypt(*ctx, cipher.data(), cipher.size(), back), 0);
  EXPECT_EQ(back, plain);
}

TEST(Aes256Test, PaddingLengthAndSameIvEveryCall) {
  uint8_t key[32];
  uint8_t iv[16];
  for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(i * 7);
  for (int i = 0; i < 16; ++i) iv[i] = static_cast<uint8_t>(i * 3);
  auto ctx = aes256_ctx_init(iv, key);
  ASSERT_NE(ctx, nullptr);
  for (size_t len : {0u, 1u, 15u, 16u, 17u, 31u, 32u, 100u}) {
    const std::string data(len, 'q');
    const std::string a = aes256_encrypt(*ctx, data.data(), data.size());
    EXPECT_EQ(a.size(), (len / 16 + 1) * 16) << len;
    EXPECT_EQ(aes256_encrypt(*ctx, data.data(), data.size()), a) << len;
    std::string back;
    ASSERT_EQ(aes256_decrypt(*ctx, a.data(), a.size(), back), 0);
    EXPECT_EQ(back, data);
  }
}

TEST(Aes256Test, DecryptRejectsMalformedInput) {
  uint8_t key[32] = {1};
  uint8_t iv[16] = {2};
  auto ctx = aes256_ctx_init(iv, key);
  ASSERT_NE(ctx, nullptr);
  std::string cipher = aes256_encrypt(*ctx, "token", 5);
  std::string out = "x";
  EXPECT_EQ(aes256_decrypt(*ctx, cipher.data(), cipher.size() - 1, out), -1);
  EXPECT_EQ(out, "");
  EXPECT_EQ(aes256_decrypt(*ctx, cipher.data(), 0, out), -1);
  cipher[15] ^= 0x55;  // corrupts the padding of the only block
  EXPECT_EQ(aes256_decrypt(*ctx, cipher.data(), cipher.size(), out), -1);
}

TEST(Aes256Test, SharedContextAcrossThreads) {
  uint8_t key[32] = {9};
  uint8_t iv[16] = {4};
  auto ctx = aes256_ctx_init(iv, key);
  ASSERT_NE(ctx, nullptr);
  const std::string data(70, 'z');
  const std::string expected = aes256_encrypt(*ctx, data.data(), data.size());
  std::vector<std::thread> threads;
  std::atomic<int> mismatches{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        if (aes256_encrypt(*ctx, data.data(), data.size()) != expected) ++mismatches;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(mismatches.load(), 0);
  aes256_ctx_free(ctx);
  EXPECT_EQ(ctx, nullptr);
}

// crypt(3) itself for the same setting: the reference the NSS clients verify with.
std::string CryptR(const std::string& key, const std::string& setting) {
  auto data = std::make_unique<crypt_data>();
  const char* out = crypt_r(key.c_str(), setting.c_str(), data.get());
  return out != nullptr ? std::string(out) : std::string();
}

std::string Sha512Crypt(std::string_view key, std::string_view setting) {
  char out[kSha512CryptSize];
  if (sha512_crypt(key, setting, out, sizeof out) != 0) return "(failed)";
  return out;
}

TEST(Sha512CryptTest, KnownVectors) {
  EXPECT_EQ(Sha512Crypt("Hello world!", "$6$saltstring"),
            "$6$saltstring$svn8UoSVapNtMuq1ukKS4tPQd8iKwSMHWjl/O817G3uBnIFNjnQJuesI68u4OTLiBFdcb"
            "YEdFCoEOfaS35inz1");
  // The salt is cut to 16 chars.
  EXPECT_EQ(Sha512Crypt("This is just a test", "$6$toolongsaltstring"),
            "$6$toolongsaltstrin$lQ8jolhgVRVhY4b5pZKaysCLi0QBxGoNeKQzQ3glMhwllF7oGDZxUhx1yxdYcz"
            "/e1JSbq3y6JMxxl8audkUEm0");
}

// Random keys (bytes 1..255) of every length up to 300, and random salts of 1 to 16 chars;
// the lengths where a round's message moves from one block to two (and the key-length loops
// change shape) get extra draws.
TEST(Sha512CryptTest, MatchesCryptForRandomKeysAndSalts) {
  static const char kAlphabet[] =
      "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  std::mt19937 rng(20240611);
  std::uniform_int_distribution<int> byte(1, 255);
  std::uniform_int_distribution<size_t> salt_char(0, sizeof kAlphabet - 2);
  std::uniform_int_distribution<size_t> salt_len(1, 16);
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 300; ++n) lengths.push_back(n);
  for (size_t edge :
       {16, 17, 23, 24, 31, 32, 33, 47, 48, 49, 63, 64, 65, 111, 112, 127, 128, 129}) {
    for (int i = 0; i < 3; ++i) lengths.push_back(edge);
  }
  for (const size_t len : lengths) {
    std::string key(len, '\0');
    for (char& c : key) c = static_cast<char>(byte(rng));
    std::string setting = "$6$";
    for (size_t n = salt_len(rng); n > 0; --n) setting.push_back(kAlphabet[salt_char(rng)]);
    setting.push_back('$');
    const std::string expected = CryptR(key, setting);
    ASSERT_EQ(expected.size(), setting.size() + 86) << expected;
    ASSERT_EQ(Sha512Crypt(key, setting), expected) << "key length " << len << ", " << setting;
  }
}

TEST(Sha512CryptTest, SaltForms) {
  // Empty salt, no closing '$', a hash after the salt, a salt cut at 16 chars: as crypt reads them.
  for (const std::string setting : {"$6$", "$6$$", "$6$a", "$6$abc$", "$6$abc$ignored/hash",
                                    "$6$abcdefghijklmnopqrstu$x", "$6$./09AZaz"}) {
    EXPECT_EQ(Sha512Crypt("Passw0rd", setting), CryptR("Passw0rd", setting)) << setting;
  }
  EXPECT_EQ(Sha512Crypt("", "$6$abc$"), CryptR("", "$6$abc$"));
}

TEST(Sha512CryptTest, EveryKeyByteCounts) {
  const std::string with_nul("ab\0cd", 5);
  EXPECT_NE(Sha512Crypt(with_nul, "$6$salt"), Sha512Crypt("ab", "$6$salt"));
  EXPECT_EQ(Sha512Crypt(std::string_view(with_nul).substr(0, 2), "$6$salt"),
            CryptR(with_nul, "$6$salt"));
}

TEST(Sha512CryptTest, RefusesOtherSettings) {
  char out[kSha512CryptSize] = "untouched";
  for (const std::string& setting : std::vector<std::string>{
           "", "$6", "6$abc$", "$5$abc$", "$1$abc$", "$6$rounds=5000$abc$", "$6$ab:c$", "$6$ab c$",
           "$6$ab!c$", "$6$\x80$", std::string("$6$a\0b$", 7)}) {
    EXPECT_EQ(sha512_crypt("pw", setting, out, sizeof out), -1) << setting;
  }
  EXPECT_STREQ(out, "untouched");
}

TEST(Sha512CryptTest, KeyLengthLimitAsCrypt) {
  const std::string longest(kSha512CryptKeyMax, 'k');
  EXPECT_EQ(Sha512Crypt(longest, "$6$salt$"), CryptR(longest, "$6$salt$"));
  char out[kSha512CryptSize];
  EXPECT_EQ(sha512_crypt(longest + "k", "$6$salt$", out, sizeof out), -1);
  EXPECT_EQ(CryptR(longest + "k", "$6$salt$")[0], '*');  // crypt's failure token
}

TEST(Sha512CryptTest, OutputBufferSize) {
  const std::string full = Sha512Crypt("pw", "$6$abcdefghijklmnop$");
  ASSERT_EQ(full.size() + 1, kSha512CryptSize);
  char out[kSha512CryptSize];
  std::memset(out, 'x', sizeof out);
  EXPECT_EQ(sha512_crypt("pw", "$6$abcdefghijklmnop$", out, sizeof out - 1), -2);
  EXPECT_EQ(std::string(out, sizeof out), std::string(sizeof out, 'x'));
  EXPECT_EQ(sha512_crypt("pw", "$6$abcdefghijklmnop$", nullptr, sizeof out), -2);
  // A shorter salt needs less room.
  char small[3 + 3 + 1 + 86 + 1];
  ASSERT_EQ(sha512_crypt("pw", "$6$abc$", small, sizeof small), 0);
  EXPECT_EQ(std::string(small), CryptR("pw", "$6$abc$"));
}

}  // namespace
}  // namespace kt
