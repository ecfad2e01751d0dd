#include "objects/domains/domain.h"

#include <mutex>

#include "objects/attributes/attribute.h"
#include "objects/auditlogs/auditlog.h"
#include "objects/groups/group.h"
#include "objects/netclients/netclient.h"
#include "objects/profiles/nss_profile.h"
#include "objects/resources/resource.h"
#include "objects/users/user.h"

namespace orvane {

const char* const sys_resource_names[SYS_RES_COUNT] = {
    "ORVANE",          "OrvaneUsers",       "OrvaneGroups",
    "OrvaneResources", "OrvaneNSSProfiles", "OrvaneNetClients"};

domain::domain()
    : users_by_name(100),
      users_by_id(100),
      groups_by_name(100),
      groups_by_id(100),
      resources_by_name(100),
      resources_by_id(100),
      netclients_by_name(100),
      netclients_by_id(100),
      profiles_by_name(20),
      profiles_by_id(20),
      netclient_index(100),
      attributes(30) {
  // Users, groups and resources may number in the hundreds of thousands: let their tables grow.
  users_by_name.set_auto_grow(true);
  users_by_id.set_auto_grow(true);
  groups_by_name.set_auto_grow(true);
  groups_by_id.set_auto_grow(true);
  resources_by_name.set_auto_grow(true);
  resources_by_id.set_auto_grow(true);
}
domain::~domain() = default;

std::string domain::name() const {
  std::lock_guard lock(name_lock_);
  return name_;
}

void domain::set_name(std::string name) {
  std::lock_guard lock(name_lock_);
  name_ = std::move(name);
}

}  // namespace orvane
