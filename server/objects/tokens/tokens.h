// Token table functions: creating tokens, ending them one by one, by user or by domain, and the
// expiry sweep. The table itself is globals::tokens (key -> token, one reference per token).
#ifndef ORVANE_OBJECTS_TOKENS_TOKENS_H_
#define ORVANE_OBJECTS_TOKENS_TOKENS_H_

#include <cstdint>
#include <string_view>

#include "objects/tokens/token.h"
#include "utils/refobj.h"

namespace orvane {

struct globals;
class domain;
class user;

// The most tokens one user holds at once; a new one beyond ends the oldest.
constexpr size_t TOKENS_PER_USER = 64;

// Creates a token for the user in the domain (expire = now + the domain's expireTokenSec, 0
// when that is 0), inserts it in the table and returns it; the user's oldest token ends when it
// would hold more than TOKENS_PER_USER. None when the key cannot be made (no AES context,
// encryption failure) or memory runs out.
kt::ref_ptr<token> token_create(globals& g, domain& d, kt::ref_ptr<user> u);

// Removes the token with that key, if any.
void token_destroy(globals& g, std::string_view key);

// Removes every token of the user (same domain id and user id).
void token_remove_by_user(globals& g, const user& u);

// Removes every token of the domain.
void token_remove_by_domain(globals& g, const domain& d);

// Every removal ends the WebSocket channels bound to the removed tokens.

// The expiry sweep: removes every token whose expire is non-zero and earlier than now.
// Returns the number removed.
int tokens_cleaner_cbk_sched(globals& g);
int tokens_sweep(globals& g, uint32_t now);

}  // namespace orvane

#endif  // ORVANE_OBJECTS_TOKENS_TOKENS_H_
