#include "objects/resources/resource.h"

#include "objects/attributes/attribute.h"
#include "objects/domains/domain.h"
#include "objects/groups/group.h"
#include "objects/permissions/permission.h"
#include "objects/resources/resource.h"
#include "objects/users/user.h"

namespace orvane {

resource::resource() : attributes(10), permissions(10), children(10) {}
resource::~resource() = default;

}  // namespace orvane
