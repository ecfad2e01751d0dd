// Ticket keys: a ticket sealed with the current key opens, with the previous key it opens and is
// renewed, with an older or unknown key it does not; the key changes once a period is over.
#include "tls_tickets.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <array>
#include <memory>

namespace orvane {
namespace {

using name_t = std::array<unsigned char, 16>;

struct contexts {
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> cipher{EVP_CIPHER_CTX_new(),
                                                                         EVP_CIPHER_CTX_free};
  std::unique_ptr<EVP_MAC, decltype(&EVP_MAC_free)> hmac{EVP_MAC_fetch(nullptr, "HMAC", nullptr),
                                                         EVP_MAC_free};
  std::unique_ptr<EVP_MAC_CTX, decltype(&EVP_MAC_CTX_free)> mac{EVP_MAC_CTX_new(hmac.get()),
                                                                EVP_MAC_CTX_free};
};

// Seals at time now: the key name used, and the return code in *rc.
name_t seal(ticket_keys& keys, int64_t now, int* rc) {
  contexts c;
  name_t name{};
  unsigned char iv[EVP_MAX_IV_LENGTH] = {};
  *rc = keys.seal_or_open(name.data(), iv, c.cipher.get(), c.mac.get(), 1, now);
  return name;
}

int open(ticket_keys& keys, name_t name, int64_t now) {
  contexts c;
  unsigned char iv[EVP_MAX_IV_LENGTH] = {};
  return keys.seal_or_open(name.data(), iv, c.cipher.get(), c.mac.get(), 0, now);
}

TEST(TicketKeysTest, CurrentAndPreviousKeysOpenOlderOnesDoNot) {
  ticket_keys keys(3600);
  int rc = 0;
  const name_t first = seal(keys, 1000, &rc);
  ASSERT_EQ(rc, 1);
  EXPECT_EQ(seal(keys, 4599, &rc), first);  // same period, same key
  EXPECT_EQ(open(keys, first, 4599), 1);
  EXPECT_EQ(open(keys, name_t{}, 4599), 0);

  // The next period: a new key seals; the first one still opens, and asks for a renewal.
  const name_t second = seal(keys, 4600, &rc);
  ASSERT_EQ(rc, 1);
  EXPECT_NE(second, first);
  EXPECT_EQ(open(keys, second, 4600), 1);
  EXPECT_EQ(open(keys, first, 4600), 2);

  // One more period: the first key is gone.
  const name_t third = seal(keys, 8200, &rc);
  EXPECT_EQ(open(keys, first, 8200), 0);
  EXPECT_EQ(open(keys, second, 8200), 2);
  EXPECT_EQ(open(keys, third, 8200), 1);

  // A server idle for more than two periods: the key it had is too old to keep.
  EXPECT_EQ(open(keys, third, 20000), 0);
}

}  // namespace
}  // namespace orvane
