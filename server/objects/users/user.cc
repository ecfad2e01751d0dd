#include "objects/users/user.h"

#include "objects/attributes/attribute.h"
#include "objects/domains/domain.h"
#include "objects/groups/group.h"
#include "objects/permissions/permission.h"
#include "objects/resources/resource.h"
#include "utils/logger.h"

namespace orvane {

user::user() : attributes(100), groups(10), permissions(10) {}

user::~user() {
  KT_LOG_INFO("%s id:%lu.", "user_free", static_cast<unsigned long>(id));
}

}  // namespace orvane
