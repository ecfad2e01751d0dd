// NSS profile storage: loading a domain's profiles with their members and included profiles.
#ifndef ORVANE_OBJECTS_PROFILES_PROFILES_H_
#define ORVANE_OBJECTS_PROFILES_PROFILES_H_

namespace orvane {

class domain;
class unix_profile;

// Loads the domain's profiles, their member users and groups and their included profiles.
int unix_profiles_load(domain& d);
// Empties the profile's member and inclusion tables (domain unload).
void unix_profile_flush(unix_profile& p);

}  // namespace orvane

#endif  // ORVANE_OBJECTS_PROFILES_PROFILES_H_
