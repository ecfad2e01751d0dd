#include "objects/permissions/permission.h"

#include "objects/attributes/attribute.h"
#include "objects/domains/domain.h"
#include "objects/groups/group.h"
#include "objects/permissions/permission.h"
#include "objects/resources/resource.h"
#include "objects/users/user.h"

namespace orvane {

permission::permission() = default;
permission::~permission() = default;

}  // namespace orvane
