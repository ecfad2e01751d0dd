#include "objects/groups/group.h"

#include "objects/attributes/attribute.h"
#include "objects/domains/domain.h"
#include "objects/groups/group.h"
#include "objects/permissions/permission.h"
#include "objects/resources/resource.h"
#include "objects/users/user.h"

namespace orvane {

group::group()
    : member_users(100), member_groups(100), member_of(50), permissions(10), attributes(10) {}
group::~group() = default;

}  // namespace orvane
