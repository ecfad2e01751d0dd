#include "objects/profiles/nss_profile.h"

#include "objects/domains/domain.h"
#include "objects/groups/group.h"
#include "objects/users/user.h"

namespace orvane {

nss_profile_user::nss_profile_user() = default;
nss_profile_user::~nss_profile_user() = default;
nss_profile_group::nss_profile_group() = default;
nss_profile_group::~nss_profile_group() = default;
nss_profile::nss_profile()
    : users_by_name(20),
      users_by_uid(20),
      groups_by_name(20),
      groups_by_gid(20),
      includes(10),
      included_by(10) {}
nss_profile::~nss_profile() = default;

}  // namespace orvane
