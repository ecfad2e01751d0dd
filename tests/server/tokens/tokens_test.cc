// The token table functions: keys, expiry, the sweep and the removals.
#include "objects/tokens/tokens.h"

#include <gtest/gtest.h>
#include <time.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "globals.h"
#include "objects/domains/domain.h"
#include "objects/users/user.h"
#include "utils/base64.h"
#include "utils/crypto.h"
#include "utils/strings.h"

namespace orvane {
namespace {

class TokensTest : public ::testing::Test {
 protected:
  void SetUp() override {
    uint8_t iv[kt::kAes256IvSize];
    uint8_t key[kt::kAes256KeySize];
    for (size_t i = 0; i < sizeof iv; ++i) iv[i] = static_cast<uint8_t>(i);
    for (size_t i = 0; i < sizeof key; ++i) key[i] = static_cast<uint8_t>(100 + i);
    g_.aes = kt::aes256_ctx_init(iv, key);
    ASSERT_TRUE(g_.aes);
    g_.machine_id_text = "0000000000000001-00000002-00000003-0004-00000005";
    d1_ = add_domain(1);
    d2_ = add_domain(2);
  }
  void TearDown() override {
    g_.tokens.flush();
    for (auto& d : {d1_, d2_}) {
      d->users_by_id.flush();
    }
  }

  kt::ref_ptr<domain> add_domain(uint64_t id) {
    auto d = kt::make_ref<domain>();
    d->id = id;
    d->expire_token_sec = 1800;
    return d;
  }
  kt::ref_ptr<user> add_user(const kt::ref_ptr<domain>& d, uint64_t id) {
    auto u = kt::make_ref<user>();
    u->id = id;
    u->uname = "u" + std::to_string(id);
    u->dom = d;
    d->users_by_id.insert_rw(id, u);
    return u;
  }

  globals g_;
  kt::ref_ptr<domain> d1_, d2_;
};

TEST_F(TokensTest, CreateMakesEncryptedKeyAndExpiry) {
  auto u = add_user(d1_, 10);
  const uint32_t now = static_cast<uint32_t>(time(nullptr));
  kt::ref_ptr<token> t = token_create(g_, *d1_, u);
  ASSERT_TRUE(t);
  EXPECT_EQ(g_.tokens.get_rw(t->key), t);
  EXPECT_EQ(t->usr, u);
  EXPECT_EQ(t->dom, d1_);
  EXPECT_GE(t->expire.load(), now + 1800);
  EXPECT_LE(t->expire.load(), now + 1802);

  std::string cipher, plain;
  ASSERT_EQ(kt::base64decode_(t->key, cipher), 0);
  ASSERT_EQ(kt::aes256_decrypt(*g_.aes, cipher.data(), cipher.size(), plain), 0);
  kt::split fields(plain, ';');
  ASSERT_EQ(fields.count, 3u) << plain;
  EXPECT_EQ(fields.fields[0], g_.machine_id_text);
  EXPECT_EQ(fields.fields[1], std::to_string(t->id));
  const uint64_t created = std::stoull(fields.fields[2]);
  EXPECT_GE(created, now);
  EXPECT_LE(created, now + 2);

  // Keys differ between tokens of one user; without a lifetime a token never expires.
  d1_->expire_token_sec = 0;
  kt::ref_ptr<token> t2 = token_create(g_, *d1_, u);
  ASSERT_TRUE(t2);
  EXPECT_NE(t2->key, t->key);
  EXPECT_EQ(t2->expire.load(), 0u);
}

TEST_F(TokensTest, CreateWithoutCipherFails) {
  g_.aes.reset();
  EXPECT_FALSE(token_create(g_, *d1_, add_user(d1_, 10)));
  EXPECT_EQ(g_.tokens.count(), 0u);
}

TEST_F(TokensTest, SweepRemovesOnlyExpired) {
  auto u = add_user(d1_, 10);
  std::vector<kt::ref_ptr<token>> tokens;
  for (int i = 0; i < 6; ++i) tokens.push_back(token_create(g_, *d1_, u));
  const uint32_t now = 100000;
  tokens[0]->expire = now - 1;  // expired
  tokens[1]->expire = now;      // lives through its second
  tokens[2]->expire = 0;        // never
  tokens[3]->expire = now - 500;
  tokens[4]->expire = now + 1;
  tokens[5]->expire = 1;
  EXPECT_EQ(tokens_sweep(g_, now), 3);
  EXPECT_FALSE(g_.tokens.get_rw(tokens[0]->key));
  EXPECT_TRUE(g_.tokens.get_rw(tokens[1]->key));
  EXPECT_TRUE(g_.tokens.get_rw(tokens[2]->key));
  EXPECT_FALSE(g_.tokens.get_rw(tokens[3]->key));
  EXPECT_TRUE(g_.tokens.get_rw(tokens[4]->key));
  EXPECT_FALSE(g_.tokens.get_rw(tokens[5]->key));
  EXPECT_EQ(tokens_sweep(g_, now), 0);
  // A swept token that a request still holds stays usable by that request.
  EXPECT_EQ(tokens[0]->usr, u);
}

TEST_F(TokensTest, RefreshedTokenSurvivesTheSweep) {
  auto u = add_user(d1_, 10);
  kt::ref_ptr<token> t = token_create(g_, *d1_, u);
  // Used every minute with the default lifetime: the expiry keeps moving ahead.
  uint32_t now = static_cast<uint32_t>(time(nullptr));
  for (int minute = 0; minute < 60; ++minute) {
    now += 60;
    t->expire = now + d1_->expire_token_sec;
    EXPECT_EQ(tokens_sweep(g_, now), 0);
  }
  EXPECT_TRUE(g_.tokens.get_rw(t->key));
  EXPECT_EQ(tokens_sweep(g_, now + 1801), 1);
}

TEST_F(TokensTest, RemoveByUserAndDomain) {
  auto a = add_user(d1_, 10);
  auto b = add_user(d1_, 11);
  auto c = add_user(d2_, 10);  // same id, other domain
  auto ta1 = token_create(g_, *d1_, a);
  auto ta2 = token_create(g_, *d1_, a);
  auto tb = token_create(g_, *d1_, b);
  auto tc = token_create(g_, *d2_, c);
  token_remove_by_user(g_, *a);
  EXPECT_FALSE(g_.tokens.get_rw(ta1->key));
  EXPECT_FALSE(g_.tokens.get_rw(ta2->key));
  EXPECT_TRUE(g_.tokens.get_rw(tb->key));
  EXPECT_TRUE(g_.tokens.get_rw(tc->key));
  token_remove_by_domain(g_, *d1_);
  EXPECT_FALSE(g_.tokens.get_rw(tb->key));
  EXPECT_TRUE(g_.tokens.get_rw(tc->key));
  token_destroy(g_, tc->key);
  EXPECT_EQ(g_.tokens.count(), 0u);
  token_destroy(g_, "no such key");
}

TEST_F(TokensTest, OneUserHoldsAtMostSixtyFourTokens) {
  auto u = add_user(d1_, 10);
  std::vector<kt::ref_ptr<token>> made;
  for (size_t n = 0; n < TOKENS_PER_USER + 6; ++n) made.push_back(token_create(g_, *d1_, u));
  EXPECT_EQ(g_.tokens.count(), TOKENS_PER_USER);
  for (size_t n = 0; n < made.size(); ++n) {
    EXPECT_EQ(static_cast<bool>(g_.tokens.get_rw(made[n]->key)), n >= 6) << n;
  }
  // Tokens that ended otherwise leave room.
  for (size_t n = 6; n < 16; ++n) token_destroy(g_, made[n]->key);
  for (int n = 0; n < 10; ++n) token_create(g_, *d1_, u);
  EXPECT_EQ(g_.tokens.count(), TOKENS_PER_USER);
  EXPECT_TRUE(g_.tokens.get_rw(made[16]->key));
  // So do expired ones, once swept; the user lists exactly the tokens left in the table.
  for (size_t n = 16; n < 20; ++n) made[n]->expire = 1;
  EXPECT_EQ(tokens_sweep(g_, 2), 4);
  EXPECT_EQ(u->token_keys.size(), TOKENS_PER_USER - 4);
  for (int n = 0; n < 4; ++n) token_create(g_, *d1_, u);
  EXPECT_EQ(g_.tokens.count(), TOKENS_PER_USER);
  EXPECT_EQ(u->token_keys.size(), TOKENS_PER_USER);
  EXPECT_TRUE(g_.tokens.get_rw(made[20]->key));
}

TEST_F(TokensTest, ConcurrentCreateAndSweep) {
  // Four users a thread, so that none holds more tokens than a user may.
  std::vector<kt::ref_ptr<user>> users;
  for (uint64_t id = 10; id < 26; ++id) users.push_back(add_user(d1_, id));
  d1_->expire_token_sec = 0;
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&, i] {
      for (int n = 0; n < 200; ++n) {
        kt::ref_ptr<token> t = token_create(g_, *d1_, users[i * 4 + n % 4]);
        ASSERT_TRUE(t);
        if (n % 2 == 0) t->expire = 1;
      }
    });
  }
  threads.emplace_back([&] {
    for (int n = 0; n < 50; ++n) tokens_sweep(g_, 1000);
  });
  for (auto& t : threads) t.join();
  tokens_sweep(g_, 1000);
  EXPECT_EQ(g_.tokens.count(), 400u);
}

}  // namespace
}  // namespace orvane
