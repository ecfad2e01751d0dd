#include "objects/profiles/profiles.h"

#include <mutex>

#include "objects/domains/domain.h"
#include "objects/groups/group.h"
#include "objects/profiles/unix_profile.h"
#include "objects/users/user.h"

namespace orvane {

int unix_profiles_load(domain&) { return 0; }

void unix_profile_flush(unix_profile& p) {
  auto flush = [](auto& table) {
    std::unique_lock lock(table.rwlock());
    table.flush();
  };
  flush(p.users_by_name);
  flush(p.users_by_uid);
  flush(p.groups_by_name);
  flush(p.groups_by_gid);
  flush(p.includes);
  flush(p.included_by);
}

}  // namespace orvane
