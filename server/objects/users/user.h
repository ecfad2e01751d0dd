// Users: the accounts of a domain, their password forms (a SHA-512 digest for every check inside
// the server, a SHA-512 crypt string for NSS clients), account flags and the name validators that
// every object module uses.
#ifndef ORVANE_OBJECTS_USERS_USER_H_
#define ORVANE_OBJECTS_USERS_USER_H_

#include <cstdint>
#include <deque>
#include <string>

#include "hashtable/hashtable.h"
#include "utils/pthread_utils.h"
#include "utils/refobj.h"

namespace orvane {

class domain;
class group;
class permission;
class attribute;

// Record of a domain's "users" file: 323 bytes, keyed by the identifier.
constexpr uint32_t USER_RECORD_SIZE = 323;
constexpr size_t USER_DIGEST_SIZE = 64;
constexpr size_t USER_NSS_PASSWORD_SIZE = 107;

// User flags.
constexpr uint32_t USER_FLAG_SYSTEM = 0x1;  // the domain's Administrator
constexpr uint32_t USER_FLAG_PWD_NEVER_EXPIRES = 0x2;
constexpr uint32_t USER_FLAG_PWD_MUST_CHANGE = 0x4;
constexpr uint32_t USER_FLAG_LOCKED = 0x8;

class user : public kt::ref_object {
 public:
  user();
  ~user() override;  // user_free

  uint64_t id = 0;
  kt::ref_ptr<domain> dom;
  uint32_t created = 0;
  uint32_t reserved = 0;
  uint32_t pwd_changed = 0;
  std::string uname;
  uint8_t digest[USER_DIGEST_SIZE] = {};
  char nss_password[USER_NSS_PASSWORD_SIZE] = {};
  uint32_t flags = 0;

  kt::hashtable<std::string, kt::ref_ptr<attribute>> attributes;
  kt::hashtable<uint64_t, kt::ref_ptr<group>> groups;  // direct groups, by group id
  // Permissions whose member is this user, by target resource id.
  kt::hashtable<uint64_t, kt::ref_ptr<permission>> permissions;

  // Keys of the user's tokens in the token table, oldest first, under tokens_lock (taken before
  // the table's lock). The token module keeps at most TOKENS_PER_USER of them.
  kt::mutex tokens_lock;
  std::deque<std::string> token_keys;
};

}  // namespace orvane

#endif  // ORVANE_OBJECTS_USERS_USER_H_
