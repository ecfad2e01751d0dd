// Users module: the user records of a domain in memory and in the domain's "users" file, the
// two stored forms of a password, the domain's password policy, the account expiry test, the
// name validators shared by every object module, and the five user management commands.
//
// Locking: functions that change a user or the domain's user tables run under the domain lock
// held for writing (the dispatcher takes it for every modifying command); lookups in the tables
// use the tables' own read-write locks.
#ifndef ORVANE_OBJECTS_USERS_USERS_H_
#define ORVANE_OBJECTS_USERS_USERS_H_

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

struct globals;
struct client;
struct processor_result;
class domain;
class token;
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
// the store's result.
int users_load(domain& d);

// Writes a new record with a fresh id (uid_time_seq); created = pwd_changed = now. On success
// the id and times are stored in u; on failure u is unchanged and the store's result (or -1
// when the file cannot be set up) is returned.
int user_db_add(domain& d, user& u);
// The same under an identifier drawn beforehand, so that the records naming a new user (its
// member records) can be written before its own: a crash in between leaves only records whose
// owner is missing, which the next load drops. -2 when the identifier is in the file.
int _user_db_add_id(domain& d, user& u, uint64_t id);
// Rewrites the user's record from its fields. Returns the store's result (1: no such record).
int user_db_edit(domain& d, const user& u);
// Removes the user's record. Returns the store's result (1: no such record).
int user_db_remove(domain& d, const user& u);

// Packs the user into a zero-filled record / fills the stored fields of u from a record.
void user_to_record(const user& u, record& rec);
void user_from_record(const record& rec, user& u);

// Empties the attributes, groups and permissions tables (breaks reference cycles at unload).
void user_flush(user& u);

// Sets the digest and the NSS password of the password; pwd_changed = now. Returns 0, or the
// negative result of _user_password2hash / _user_password2nsspassword (u unchanged).
int user_set_password_forms(user& u, std::string_view password);

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

// Account check shared by both ways of authentication (defined with them, objects/users/auth.cc):
// 0x510 locked, 0x506 expired (unless flag 0x2), 0x511 must change, else 0.
uint32_t _user_account_verify(const domain& d, const user& u);

// The user named by a request node (the node itself when it is a "u" element, else its "u"
// child): by "id" when present, else by "uname". A reference is taken; none when not found.
kt::ref_ptr<user> user_from_xml(domain& d, const kt::xmldoc_node& node);

// Takes a user out of the domain: its record, attributes, memberships, permissions, NSS
// profile entries and table entries. Returns 0, or the store's result with nothing changed.
int user_remove(domain& d, user& u);

// Name validators: 0 when valid; otherwise the too-long code (more than 255 bytes) or the
// not-valid code (empty, or a byte outside the allowed set).
//   user names:   [-._@a-zA-Z0-9]{1,255}  0x502 / 0x503
//   domain names: [-._a-zA-Z0-9]{1,255}   0x309 / 0x310
//   other names:  [-._a-zA-Z0-9]{1,255}   0x14 / 0x15
int validate_user_username(std::string_view name);
int validate_domain_name(std::string_view name);
int validate_generic_name(std::string_view name);

// Command handlers: userInsert, userEdit, userRemove, userChangePwd, userSearch.
uint32_t processor_user_insert(client& c, globals& g, domain* d, token* t, kt::xmldoc_node& cmd,
                               processor_result& r);
uint32_t processor_user_edit(client& c, globals& g, domain* d, token* t, kt::xmldoc_node& cmd,
                             processor_result& r);
uint32_t processor_user_remove(client& c, globals& g, domain* d, token* t, kt::xmldoc_node& cmd,
                               processor_result& r);
uint32_t processor_user_password(client& c, globals& g, domain* d, token* t, kt::xmldoc_node& cmd,
                                 processor_result& r);
uint32_t processor_user_search(client& c, globals& g, domain* d, token* t, kt::xmldoc_node& cmd,
                               processor_result& r);

}  // namespace orvane

#endif  // ORVANE_OBJECTS_USERS_USERS_H_
