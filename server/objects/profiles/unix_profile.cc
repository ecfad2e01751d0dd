#include "objects/profiles/unix_profile.h"

#include "objects/domains/domain.h"
#include "objects/groups/group.h"
#include "objects/users/user.h"

namespace orvane {

unix_profile_user::unix_profile_user() = default;
unix_profile_user::~unix_profile_user() = default;
unix_profile_group::unix_profile_group() = default;
unix_profile_group::~unix_profile_group() = default;
unix_profile::unix_profile()
    : users_by_name(20),
      users_by_uid(20),
      groups_by_name(20),
      groups_by_gid(20),
      includes(10),
      included_by(10) {}
unix_profile::~unix_profile() = default;

}  // namespace orvane
