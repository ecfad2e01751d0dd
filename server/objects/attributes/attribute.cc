#include "objects/attributes/attribute.h"

#include "objects/attributes/attribute.h"
#include "objects/domains/domain.h"
#include "objects/groups/group.h"
#include "objects/permissions/permission.h"
#include "objects/resources/resource.h"
#include "objects/users/user.h"

namespace orvane {

attribute::attribute() = default;
attribute::~attribute() = default;

}  // namespace orvane
