// Authentication: by user name and password or by an identity blob issued earlier, the identity
// blobs themselves, and the commands authenticate/getToken/getIdentity, getTokenInfo and
// releaseToken. Tokens themselves live in objects/tokens/tokens.h.
#ifndef ORVANE_OBJECTS_USERS_AUTH_H_
#define ORVANE_OBJECTS_USERS_AUTH_H_

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
class command;
class domain;

// Looks the name up and checks the password and the account. Returns 0 with the user in *out,
// E_INVALID_CREDENTIALS for an unknown name or a wrong password, or the account check's code.
uint32_t user_auth(domain& d, std::string_view uname, std::string_view password,
                   kt::ref_ptr<user>* out);

// Authenticates with an identity blob. Returns 0 with the user in *out; E_INVALID_CREDENTIALS
// when the blob does not decrypt or its digest no longer matches; the account check's code;
// or -1 (not Base64), -3 (plain text not Base64), -4/-5 (not three fields), -6 (another domain),
// -7 (no such user).
int user_id_auth(globals& g, domain& d, std::string_view identity, kt::ref_ptr<user>* out);

// Builds the identity blob of a user. Returns 0, -1/-2/-4 when a Base64 step fails, -3 when
// the encryption fails (or the server has no certificate authority).
int user_get_identity(globals& g, const user& u, std::string* out);

// authenticate, getToken and getIdentity (told apart by the command element's name). Password
// and identity checks go through the login throttle: while a back-off period runs for the user
// or the peer address, the answer is 0x104 without any check.

uint32_t processor_user_login(command& cmd);
// Writes one audit entry for every back-off period of the login throttle that is over, with the
// number of attempts it refused (the user's domain's log; the root domain's for an address).
// Run by the scheduler every few seconds. Returns 0.
int login_throttle_sweep_sched(globals& g);

// Milliseconds on the monotonic clock, the login throttle's time.
int64_t login_throttle_now();

// getTokenInfo.
uint32_t processor_token_get_info(command& cmd);
// releaseToken.
uint32_t processor_user_logout(command& cmd);

}  // namespace orvane

#endif  // ORVANE_OBJECTS_USERS_AUTH_H_
