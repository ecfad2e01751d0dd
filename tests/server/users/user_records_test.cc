// Unit tests of the users module's record, password and validation functions.
#include "objects/users/user_records.h"

#include <crypt.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

#include <cstring>
#include <memory>
#include <string>

#include "config.h"
#include "errors.h"
#include "objects/domains/domain.h"
#include "objects/names.h"
#include "objects/record.h"
#include "support/process.h"
#include "utils/crypto.h"
#include "utils/files.h"
#include "xmldoc/xmldoc.h"

namespace orvane {
namespace {

TEST(UserValidators, LengthLimits) {
  EXPECT_EQ(validate_user_username(std::string(255, 'a')), 0);
  EXPECT_EQ(validate_user_username(std::string(256, 'a')), 0x502);
  EXPECT_EQ(validate_domain_name(std::string(255, 'a')), 0);
  EXPECT_EQ(validate_domain_name(std::string(256, 'a')), 0x309);
  EXPECT_EQ(validate_generic_name(std::string(255, 'a')), 0);
  EXPECT_EQ(validate_generic_name(std::string(256, 'a')), 0x14);
  // Too long wins over invalid characters.
  EXPECT_EQ(validate_user_username(std::string(300, ' ')), 0x502);
}

TEST(UserValidators, EmptyAndBlankNames) {
  EXPECT_EQ(validate_user_username(""), 0x503);
  EXPECT_EQ(validate_user_username("john doe"), 0x503);
  EXPECT_EQ(validate_user_username(" "), 0x503);
  EXPECT_EQ(validate_domain_name(""), 0x310);
  EXPECT_EQ(validate_generic_name(""), 0x15);
  EXPECT_EQ(validate_generic_name("a b"), 0x15);
}

TEST(UserValidators, AllowedCharacters) {
  EXPECT_EQ(validate_user_username("John.Doe-1_x@example.com"), 0);
  EXPECT_EQ(validate_domain_name("Sub.domain-1_x"), 0);
  EXPECT_EQ(validate_generic_name("Group.name-1_x"), 0);
  // '@' only in user names.
  EXPECT_EQ(validate_domain_name("a@b"), 0x310);
  EXPECT_EQ(validate_generic_name("a@b"), 0x15);
  for (const char* bad : {"a/b", "a\\b", "a:b", "a*b", "a$b", "<a>", "a\tb", "a\nb", "a+b"}) {
    EXPECT_EQ(validate_user_username(bad), 0x503) << bad;
    EXPECT_EQ(validate_generic_name(bad), 0x15) << bad;
  }
  // Bytes beyond ASCII and embedded zero bytes are not letters.
  EXPECT_EQ(validate_user_username("j\xc3\xb6rg"), 0x503);
  EXPECT_EQ(validate_user_username(std::string("ab\0cd", 5)), 0x503);
}

class PasswordPolicyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    d_ = kt::make_ref<domain>();
    d_->password_min_length = 6;
    d_->password_policy = PASSWORD_MUST_CAPITAL | PASSWORD_MUST_DIGIT | PASSWORD_MUST_LETTER;
  }
  uint32_t check(const std::string& pw) { return _user_check_password_policy(*d_, &pw); }
  kt::ref_ptr<domain> d_;
};

TEST_F(PasswordPolicyTest, DefaultPolicy) {
  EXPECT_EQ(check("Abcde1"), 0u);
  EXPECT_EQ(check("abcde1"), 0x504u);  // no capital
  EXPECT_EQ(check("Abcdef"), 0x504u);  // no digit
  EXPECT_EQ(check("Abc1"), 0x504u);    // too short
  EXPECT_EQ(_user_check_password_policy(*d_, static_cast<const std::string*>(nullptr)), 0x504u);
}

TEST_F(PasswordPolicyTest, LetterAndSpecialSymbol) {
  d_->password_policy = PASSWORD_MUST_LETTER;
  EXPECT_EQ(check("123456"), 0x504u);
  EXPECT_EQ(check("12345x"), 0u);
  d_->password_policy = PASSWORD_MUST_CAPITAL | PASSWORD_MUST_DIGIT | PASSWORD_MUST_LETTER |
                        PASSWORD_MUST_SPEC_SYMBOL;
  EXPECT_EQ(check("Abcde1"), 0x504u);
  EXPECT_EQ(check("Abcde1!"), 0u);
  EXPECT_EQ(check("Abcde1 "), 0u);
  EXPECT_EQ(check("Abcde1\x80"), 0u);  // a byte of 0x80 or above counts as special
  EXPECT_EQ(check("Abcde1\xff"), 0u);
}

TEST_F(PasswordPolicyTest, LengthCountsBytes) {
  d_->password_policy = 0;
  d_->password_min_length = 4;
  EXPECT_EQ(check("\xc3\xa4\xc3\xa4"), 0u);  // two characters, four bytes
  EXPECT_EQ(check("abc"), 0x504u);
  d_->password_min_length = 0;
  EXPECT_EQ(check(""), 0u);
  // Longer than crypt can hash.
  EXPECT_EQ(check(std::string(511, 'a')), 0u);
  EXPECT_EQ(check(std::string(512, 'a')), 0x504u);
}

TEST(UserPassword, DigestIsRawSha512) {
  uint8_t digest[64];
  uint8_t expected[64];
  ASSERT_EQ(_user_password2hash("Passw0rd", USER_PASSWORD_SHA512, digest, sizeof digest), 0);
  ASSERT_EQ(kt::sha512_hash("Passw0rd", 8, expected, sizeof expected), 0);
  EXPECT_EQ(std::memcmp(digest, expected, 64), 0);
  EXPECT_EQ(_user_password2hash("x", 1, digest, sizeof digest), -1);  // only type 3
  EXPECT_EQ(_user_password2hash("x", USER_PASSWORD_SHA512, digest, 63), -1);
}

TEST(UserPassword, CryptStringFormat) {
  char out[USER_NSS_PASSWORD_SIZE];
  ASSERT_EQ(_user_password2nsspassword("Passw0rd", out, sizeof out), 0);
  const std::string s(out);
  ASSERT_EQ(s.size(), 106u) << s;
  EXPECT_EQ(s.substr(0, 3), "$6$");
  EXPECT_EQ(s[19], '$');
  for (size_t i = 3; i < 19; ++i) EXPECT_TRUE(isalnum(static_cast<unsigned char>(s[i]))) << s;
  for (size_t i = 20; i < s.size(); ++i) {
    const char c = s[i];
    EXPECT_TRUE(isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '/') << s;
  }
  // The string verifies with crypt itself, and salts differ between calls.
  auto data = std::make_unique<crypt_data>();
  const char* verify = crypt_r("Passw0rd", out, data.get());
  ASSERT_NE(verify, nullptr);
  EXPECT_EQ(std::string(verify), s);
  char again[USER_NSS_PASSWORD_SIZE];
  ASSERT_EQ(_user_password2nsspassword("Passw0rd", again, sizeof again), 0);
  EXPECT_NE(std::string(again).substr(0, 20), s.substr(0, 20));
  // Too small a buffer is refused, never overrun.
  char small[50];
  EXPECT_EQ(_user_password2nsspassword("Passw0rd", small, sizeof small), -2);
}

// The crypt string is what crypt(3) gives for the password as a C string; crypt's length limit
// still holds.
TEST(UserPassword, CryptStringAsCryptSeesIt) {
  auto data = std::make_unique<crypt_data>();
  char out[USER_NSS_PASSWORD_SIZE];
  const std::string longest(USER_PASSWORD_MAX, 'p');
  ASSERT_EQ(_user_password2nsspassword(longest, out, sizeof out), 0);
  EXPECT_STREQ(crypt_r(longest.c_str(), out, data.get()), out);
  EXPECT_EQ(_user_password2nsspassword(longest + "p", out, sizeof out), -2);
  EXPECT_EQ(_user_password2nsspassword(std::string(4096, 'p'), out, sizeof out), -2);

  const std::string with_nul("Pass\0w0rd", 9);
  ASSERT_EQ(_user_password2nsspassword(with_nul, out, sizeof out), 0);
  EXPECT_STREQ(crypt_r("Pass", out, data.get()), out);
  ASSERT_EQ(_user_password2nsspassword("", out, sizeof out), 0);
  EXPECT_STREQ(crypt_r("", out, data.get()), out);
}

TEST(UserPassword, SetFormsAndCompare) {
  auto u = user_create();
  ASSERT_TRUE(u);
  const uint32_t before = static_cast<uint32_t>(time(nullptr));
  ASSERT_EQ(user_set_password_forms(*u, "Secret12"), 0);
  EXPECT_GE(u->pwd_changed, before);
  EXPECT_EQ(std::string(u->nss_password).size(), 106u);
  EXPECT_EQ(_user_password_compare(*u, "Secret12"), 0);
  EXPECT_NE(_user_password_compare(*u, "Secret13"), 0);
  EXPECT_NE(_user_password_compare(*u, ""), 0);
  EXPECT_NE(_user_password_compare(*u, "Secret12 "), 0);
}

TEST(UserPassword, ExpiryArithmetic) {
  auto d = kt::make_ref<domain>();
  d->password_expire_days = 180;
  auto u = user_create();
  const uint32_t now = 1700000000;
  u->pwd_changed = now - 179 * 86400 - 86399;  // 179 days and a bit
  EXPECT_EQ(_user_password_expire_check_at(*d, *u, now), 0);
  u->pwd_changed = now - 180 * 86400;  // exactly 180 days
  EXPECT_EQ(_user_password_expire_check_at(*d, *u, now), 1);
  // Flag 0x2 is not consulted here; the Administrator never expires.
  u->flags = USER_FLAG_PWD_NEVER_EXPIRES;
  EXPECT_EQ(_user_password_expire_check_at(*d, *u, now), 1);
  u->flags = USER_FLAG_SYSTEM;
  EXPECT_EQ(_user_password_expire_check_at(*d, *u, now), 0);
  // A change time ahead of the clock does not wrap around into "expired".
  u->flags = 0;
  u->pwd_changed = now + 3600;
  EXPECT_EQ(_user_password_expire_check_at(*d, *u, now), 0);
  // Zero expiry days: every password counts as expired.
  d->password_expire_days = 0;
  u->pwd_changed = now;
  EXPECT_EQ(_user_password_expire_check_at(*d, *u, now), 1);
}

TEST(UserRecord, PackAndUnpack) {
  auto u = user_create();
  u->id = 0x1122334455667788ull;
  u->flags = 0xE;
  u->created = 0x01020304;
  u->pwd_changed = 0x05060708;
  u->uname = "john@example.com";
  for (size_t i = 0; i < USER_DIGEST_SIZE; ++i) u->digest[i] = static_cast<uint8_t>(i * 3);
  std::strcpy(u->nss_password, "$6$abc$def");

  record rec(USER_RECORD_SIZE);
  user_to_record(*u, rec);
  // Layout: little-endian integers at fixed offsets.
  EXPECT_EQ(rec.data()[0], 0x88);
  EXPECT_EQ(rec.data()[7], 0x11);
  EXPECT_EQ(rec.get_u32(8), 0xEu);
  EXPECT_EQ(rec.get_u32(12), 0x01020304u);
  EXPECT_EQ(rec.get_u32(16), 0x05060708u);
  EXPECT_EQ(rec.get_u32(20), 0u);
  EXPECT_EQ(rec.get_str(24, 128), "john@example.com");
  EXPECT_EQ(rec.data()[152 + 1], 3);
  EXPECT_EQ(rec.get_str(216, 107), "$6$abc$def");

  auto v = user_create();
  user_from_record(rec, *v);
  EXPECT_EQ(v->id, u->id);
  EXPECT_EQ(v->flags, u->flags);
  EXPECT_EQ(v->created, u->created);
  EXPECT_EQ(v->pwd_changed, u->pwd_changed);
  EXPECT_EQ(v->uname, u->uname);
  EXPECT_EQ(std::memcmp(v->digest, u->digest, USER_DIGEST_SIZE), 0);
  EXPECT_STREQ(v->nss_password, u->nss_password);
}

TEST(UserRecord, UnterminatedFieldsStayBounded) {
  record rec(USER_RECORD_SIZE);
  std::memset(rec.data(), 'x', USER_RECORD_SIZE);
  auto u = user_create();
  user_from_record(rec, *u);
  EXPECT_EQ(u->uname.size(), 128u);
  EXPECT_EQ(std::strlen(u->nss_password), USER_NSS_PASSWORD_SIZE - 1);
}

// A domain with a directory on a temporary root.
class UserStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("ORVANE_ROOT", root_.path().c_str(), 1);
    ASSERT_EQ(config_load(nullptr), 0);
    d_ = kt::make_ref<domain>();
    d_->id = 77;
    ASSERT_EQ(kt::path_create(path_domain_dir(d_->id).c_str(), 0700), 0);
  }
  void TearDown() override {
    flush(d_);
    unsetenv("ORVANE_ROOT");
    config_load(nullptr);
  }
  static void flush(const kt::ref_ptr<domain>& d) {
    d->users_by_name.flush();
    d->users_by_id.flush();
  }
  kt::ref_ptr<user> new_user(const std::string& name) {
    auto u = user_create();
    u->uname = name;
    u->dom = d_;
    EXPECT_EQ(user_set_password_forms(*u, "Passw0rd"), 0);
    return u;
  }
  std::string users_path() { return path_domain_file(d_->id, "users"); }

  orvane_test::temp_dir root_;
  kt::ref_ptr<domain> d_;
};

TEST_F(UserStoreTest, AddCreatesOwnerOnlyFileAndRoundTrips) {
  auto u = new_user("alice");
  u->flags = USER_FLAG_LOCKED;
  const uint32_t before = static_cast<uint32_t>(time(nullptr));
  ASSERT_EQ(user_db_add(*d_, *u), 0);
  EXPECT_NE(u->id, 0u);
  EXPECT_GE(u->created, before);
  EXPECT_EQ(u->created, u->pwd_changed);

  struct stat st {};
  ASSERT_EQ(stat(users_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(st.st_size, USER_RECORD_SIZE);

  auto fresh = kt::make_ref<domain>();
  fresh->id = d_->id;
  ASSERT_EQ(users_load(*fresh), 0);
  kt::ref_ptr<user> v = fresh->users_by_name.get_rw("alice");
  ASSERT_TRUE(v);
  EXPECT_EQ(fresh->users_by_id.get_rw(u->id), v);
  EXPECT_EQ(v->id, u->id);
  EXPECT_EQ(v->flags, USER_FLAG_LOCKED);
  EXPECT_EQ(v->created, u->created);
  EXPECT_EQ(std::memcmp(v->digest, u->digest, USER_DIGEST_SIZE), 0);
  EXPECT_STREQ(v->nss_password, u->nss_password);
  EXPECT_EQ(v->dom, fresh);
  EXPECT_EQ(_user_password_compare(*v, "Passw0rd"), 0);
  flush(fresh);
}

TEST_F(UserStoreTest, EditAndRemove) {
  auto u = new_user("bob");
  ASSERT_EQ(user_db_add(*d_, *u), 0);
  auto other = new_user("carol");
  ASSERT_EQ(user_db_add(*d_, *other), 0);
  u->flags = USER_FLAG_PWD_MUST_CHANGE;
  u->uname = "bobby";
  ASSERT_EQ(user_db_edit(*d_, *u), 0);
  ASSERT_EQ(user_db_remove(*d_, *other), 0);
  EXPECT_EQ(user_db_remove(*d_, *other), E_GENERIC);  // gone already

  auto fresh = kt::make_ref<domain>();
  fresh->id = d_->id;
  ASSERT_EQ(users_load(*fresh), 0);
  EXPECT_EQ(fresh->users_by_id.count(), 1u);
  kt::ref_ptr<user> v = fresh->users_by_name.get_rw("bobby");
  ASSERT_TRUE(v);
  EXPECT_EQ(v->flags, USER_FLAG_PWD_MUST_CHANGE);
  flush(fresh);

  auto ghost = new_user("ghost");
  ghost->id = 12345;
  EXPECT_EQ(user_db_edit(*d_, *ghost), E_GENERIC);
}

TEST_F(UserStoreTest, RefusedAddLeavesUserUnchanged) {
  d_->id = 78;  // no directory: the store cannot create the file
  auto u = new_user("dave");
  EXPECT_NE(user_db_add(*d_, *u), 0);
  EXPECT_EQ(u->id, 0u);
  EXPECT_EQ(u->created, 0u);
}

TEST_F(UserStoreTest, LoadSurvivesDamagedFile) {
  auto a = new_user("a1");
  ASSERT_EQ(user_db_add(*d_, *a), 0);
  record dup(USER_RECORD_SIZE);
  user_to_record(*a, dup);
  dup.put_str(USER_REC_UNAME, USER_REC_UNAME_SIZE, "a1-copy");  // same id, other name
  record same_name(USER_RECORD_SIZE);
  user_to_record(*a, same_name);
  same_name.put_u64(USER_REC_ID, 999);  // other id, same name
  record no_id(USER_RECORD_SIZE);
  no_id.put_str(USER_REC_UNAME, USER_REC_UNAME_SIZE, "zero");
  record garbage(USER_RECORD_SIZE);
  std::memset(garbage.data(), 0xff, USER_RECORD_SIZE);

  std::string bytes;
  ASSERT_EQ(kt::read_file(users_path().c_str(), bytes), 0);
  for (const record* r : {&dup, &same_name, &no_id, &garbage}) {
    bytes.append(reinterpret_cast<const char*>(r->data()), r->size());
  }
  bytes.append("partial record");
  ASSERT_EQ(kt::write_file(users_path().c_str(), bytes, 0600), 0);

  auto fresh = kt::make_ref<domain>();
  fresh->id = d_->id;
  EXPECT_EQ(users_load(*fresh), 0);
  // a1 and the garbage record (a 128-byte name of 0xff bytes) load; the rest is skipped.
  EXPECT_EQ(fresh->users_by_id.count(), 2u);
  EXPECT_EQ(fresh->users_by_name.count(), 2u);
  EXPECT_TRUE(fresh->users_by_name.get_rw("a1"));
  EXPECT_FALSE(fresh->users_by_name.get_rw("a1-copy"));
  EXPECT_FALSE(fresh->users_by_id.get_rw(999));
  flush(fresh);
}

TEST_F(UserStoreTest, MissingFileLoadsNothing) {
  EXPECT_EQ(users_load(*d_), 0);
  EXPECT_EQ(d_->users_by_id.count(), 0u);
}

TEST(UserFromXml, ByIdFirstThenByName) {
  auto d = kt::make_ref<domain>();
  auto a = user_create();
  a->id = 10;
  a->uname = "a";
  auto b = user_create();
  b->id = 20;
  b->uname = "b";
  for (const auto& u : {a, b}) {
    d->users_by_id.insert_rw(u->id, u);
    d->users_by_name.insert_rw(u->uname, u);
  }
  kt::xmldoc doc;
  ASSERT_EQ(doc.parse("<x><u id='20' uname='a'/></x>"), 0);
  EXPECT_EQ(user_from_xml(*d, *doc.root()), b);                 // child u; id wins
  EXPECT_EQ(user_from_xml(*d, *doc.root()->first_child()), b);  // the u element itself
  kt::xmldoc by_name;
  ASSERT_EQ(by_name.parse("<x><u uname='a'/></x>"), 0);
  EXPECT_EQ(user_from_xml(*d, *by_name.root()), a);
  kt::xmldoc bad_id;
  ASSERT_EQ(bad_id.parse("<x><u id='abc' uname='a'/></x>"), 0);
  EXPECT_FALSE(user_from_xml(*d, *bad_id.root()));  // an id that names nobody: not found
  kt::xmldoc none;
  ASSERT_EQ(none.parse("<x><v uname='a'/></x>"), 0);
  EXPECT_FALSE(user_from_xml(*d, *none.root()));
  d->users_by_id.flush();
  d->users_by_name.flush();
}

}  // namespace
}  // namespace orvane
