// Result codes. Every command handler returns one; every response carries the code of the last
// command with its message. The values read like decimal digits in hexadecimal (0x310 follows
// 0x309).
#ifndef ORVANE_ERRORS_H_
#define ORVANE_ERRORS_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace orvane {

enum result_code : uint32_t {
  E_OK = 0x000,
  E_INVALID_REQUEST = 0x010,
  E_INVALID_PATH = 0x011,
  E_INVALID_REGEX = 0x012,
  E_GENERIC = 0x013,
  E_NAME_TOO_LONG = 0x014,
  E_NAME_INVALID = 0x015,
  E_OBJECT_NOT_FOUND = 0x016,
  E_NO_MEMORY = 0x017,
  E_VALUE_INVALID = 0x018,

  E_TOKEN_NOT_FOUND = 0x101,
  E_ACCESS_VIOLATION = 0x102,
  E_DOMAIN_NOT_FOUND = 0x103,
  E_INVALID_CREDENTIALS = 0x104,
  E_NSS_PROFILE_NOT_FOUND = 0x105,
  E_IN_USE = 0x106,
  E_NETCLIENT_NOT_FOUND = 0x107,
  E_USER_NOT_FOUND = 0x108,
  E_CONNECTION_NOT_ALLOWED = 0x109,

  E_INVALID_OLD_PASSWORD = 0x201,
  E_REMOVE_OWN_ACCOUNT = 0x202,
  E_OWN_PASSWORD_WITHOUT_OLD = 0x203,
  E_PASSWORD_SAME_AS_OLD = 0x204,

  E_ROOT_DOMAIN_DELETE = 0x301,
  E_DOMAIN_HAS_SUBDOMAINS = 0x302,
  E_DOMAIN_PARENT_NOT_FOUND = 0x303,
  E_DOMAIN_EXISTS = 0x304,
  E_DOMAIN_CHILD_OF_CHILD = 0x305,
  E_DOMAIN_CHILD_OF_SELF = 0x306,
  E_DOMAIN_INIT_FAILED = 0x307,
  E_DOMAIN_DELETE_OWN = 0x308,
  E_DOMAIN_NAME_TOO_LONG = 0x309,
  E_DOMAIN_NAME_INVALID = 0x310,

  E_RESOURCE_NOT_FOUND = 0x401,
  E_RESOURCE_PARENT_NOT_FOUND = 0x402,
  E_RESOURCE_EXISTS = 0x403,
  E_RESOURCE_SYSTEM = 0x404,
  E_RESOURCE_CHILD_OF_CHILD = 0x405,
  E_RESOURCE_CHILD_OF_SELF = 0x406,
  E_RESOURCE_SYSTEM_PERMISSION = 0x407,
  E_RESOURCE_DUPLICATE_PERMISSION = 0x408,

  E_USER_EXISTS = 0x501,
  E_USERNAME_TOO_LONG = 0x502,
  E_USERNAME_INVALID = 0x503,
  E_PASSWORD_POLICY = 0x504,
  E_PASSWORD_REQUIRED = 0x505,
  E_PASSWORD_EXPIRED = 0x506,
  E_ADMIN_MUST_BE_ADMINISTRATOR = 0x507,
  E_ADMIN_REMOVE = 0x508,
  E_USER_INVALID_FLAGS = 0x509,
  E_USER_LOCKED = 0x510,
  E_PASSWORD_MUST_CHANGE = 0x511,

  E_GROUP_NOT_FOUND = 0x601,
  E_GROUP_EXISTS = 0x602,
  E_GROUP_LOOP = 0x603,
  E_GROUP_MEMBER_OF_SELF = 0x604,
  E_GROUP_MEMBER_NOT_FOUND = 0x605,
  E_GROUP_SYSTEM = 0x606,
  E_GROUP_ALLUSERS_MEMBER = 0x607,
  E_GROUP_ALLUSERS_MEMBERSHIP = 0x608,

  E_NSS_PROFILE_EXISTS = 0x701,
  E_NSS_PROFILE_LOOP = 0x702,

  E_ATTRIBUTE_NOT_FOUND = 0x801,
  E_ATTRIBUTE_EXISTS = 0x802,
  E_ATTRIBUTE_IMMUNE = 0x803,
  E_ATTRIBUTE_SYSTEM = 0x804,

  E_NETCLIENT_SYSTEM = 0x901,
  E_NETCLIENT_READ_ONLY = 0x902,
  E_NETCLIENT_EXISTS = 0x903,

  // The bare failure (-1) a few commands answer: outside the table, so its message is
  // "unknown error code:ffffffff".
  E_FAILED = 0xFFFFFFFF,
};

// One row of the result-code table, in table order.
struct error_entry {
  uint32_t code;
  const char* msg;  // nullptr closes the table
};

// The result-code table, closed by {0xFFFFFFFF, nullptr}.
extern const error_entry errors[];

// Writes the message of a code ("unknown error code:%08x" for a code not in the table) into a
// buffer of the given capacity, truncating to fit and always terminating it.
void error2str(uint32_t code, char* buffer, size_t capacity);
// The message of a code, as a string.
std::string error2str(uint32_t code);
// The table message of a code, or nullptr when the code is not in the table.
const char* error_message(uint32_t code);

}  // namespace orvane

#endif  // ORVANE_ERRORS_H_
