#include "objects/tokens/token.h"

#include "objects/domains/domain.h"
#include "objects/users/user.h"
#include "utils/logger.h"

namespace orvane {

token::token() = default;

token::~token() {
  // The key is a credential: only the identifier is logged.
  KT_LOG_INFO("%s id:%lu", "token_free", static_cast<unsigned long>(id));
}

}  // namespace orvane
