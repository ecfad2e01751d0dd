#include "objects/tokens/token.h"

#include "objects/domains/domain.h"
#include "objects/users/user.h"
#include "utils/logger.h"

namespace orvane {

token::token() = default;

token::~token() {
  KT_LOG_INFO("%s key:%s", "token_free", key.c_str());
}

}  // namespace orvane
