// User records: the users of a domain in memory and in the domain's "users" file, the two stored
// forms of a password, the domain's password policy and the account expiry test.
//
// Locking: functions that change a user or the domain's user tables run under the domain lock
// held for writing (the dispatcher takes it for every modifying command); lookups in the tables
// use the tables' own read-write locks.
#ifndef ORVANE_OBJECTS_USERS_USER_RECORDS_H_
#define ORVANE_OBJECTS_USERS_USER_RECORDS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "objects/users/user.h"
#include "utils/refobj.h"

namespace kt {
class xmldoc_node;
}  // namespace kt

namespace orvane {

class domain;
class record;

// The only digest type of _user_password2hash: SHA-512.
constexpr int USER_PASSWORD_SHA512 = 3;

// The longest password accepted (crypt refuses longer phrases).
constexpr size_t USER_PASSWORD_MAX = 511;

// Field offsets of the 323-byte user record.
constexpr size_t USER_REC_ID = 0;
constexpr size_t USER_REC_FLAGS = 8;
constexpr size_t USER_REC_CREATED = 12;
constexpr size_t USER_REC_PWD_CHANGED = 16;
constexpr size_t USER_REC_RESERVED = 20;
constexpr size_t USER_REC_UNAME = 24;
constexpr size_t USER_REC_UNAME_SIZE = 128;
constexpr size_t USER_REC_DIGEST = 152;
constexpr size_t USER_REC_NSS_PASSWORD = 216;

// A new user: no name, empty tables, reference count 1 (held by the result).
kt::ref_ptr<user> user_create();

// Reads the domain's users file into both user tables; repeated records and a partial record
// at the end, left by a crash, are dropped from the file (record_load_repair). Returns 0, or
// the store's result (logged).
int users_load(domain& d);

// Writes a new record with a fresh id (uid_time_seq); created = pwd_changed = now. On success
// the id and times are stored in u; on failure u is unchanged and the result is 0x13.
uint32_t user_db_add(domain& d, user& u);
// Rewrites the user's record from its fields: 0, or 0x13 when the store refuses (also when the
// record is missing).
uint32_t user_db_edit(domain& d, const user& u);
// Removes the user's record: 0, or 0x13.
uint32_t user_db_remove(domain& d, const user& u);

// Packs the user into a zero-filled record / fills the stored fields of u from a record.
void user_to_record(const user& u, record& rec);
void user_from_record(const record& rec, user& u);

// Empties the attributes, groups and permissions tables (breaks reference cycles at unload).
void user_flush(user& u);

// Sets the digest and the NSS password of the password; pwd_changed = now. 0, or 0x13 when they
// can't be computed (u unchanged).
uint32_t user_set_password_forms(user& u, std::string_view password);

// Writes the 64-byte SHA-512 digest of the password (type USER_PASSWORD_SHA512 only).
// Returns 0, or -1 for another type, a buffer under 64 bytes or a hashing failure.
int _user_password2hash(std::string_view password, int type, uint8_t* out, size_t size);
// Writes the crypt string "$6$<16 salt chars>$<86 chars>" of the password, NUL-terminated.
// Bytes from a NUL on are left out, as a C string's are. Returns 0, -1 when the random source
// fails, -2 when the string can't be computed (a password over USER_PASSWORD_MAX) or the
// buffer is too small.
int _user_password2nsspassword(std::string_view password, char* out, size_t size);
// 0 when the password's digest equals the stored one (constant time); 1 when it differs; -1
// when hashing fails.
int _user_password_compare(const user& u, std::string_view password);
// 1 when the password has expired, else 0. The Administrator (flag 0x1) never expires.
int _user_password_expire_check(const domain& d, const user& u);
int _user_password_expire_check_at(const domain& d, const user& u, uint32_t now);
// 0, or E_PASSWORD_POLICY (0x504) when the password is missing, longer than USER_PASSWORD_MAX
// or breaks the domain's policy.
uint32_t _user_check_password_policy(const domain& d, const std::string* password);
uint32_t _user_check_password_policy(const domain& d, std::string_view password);

// Account check shared by both ways of authentication (defined with them, objects/users/auth.cc)
// and the NSS lookups: 0x510 locked, 0x506 expired (unless flag 0x2), 0x511 must change, else 0.
uint32_t _user_account_verify(const domain& d, const user& u);

// The user named by a request node (the node itself when it is a "u" element, else its "u"
// child): by "id" when present, else by "uname". A reference is taken; none when not found.
kt::ref_ptr<user> user_from_xml(domain& d, const kt::xmldoc_node& node);

// Takes a user out of the domain: its record, attributes, memberships, permissions, NSS
// profile entries and table entries. 0, or 0x13 when the store refuses its record (nothing
// changed then).
uint32_t user_remove(domain& d, user& u);

}  // namespace orvane

#endif  // ORVANE_OBJECTS_USERS_USER_RECORDS_H_
