// NSS profiles: views of some of a domain's users and groups as Unix passwd and group entries,
// served to the name-service lookups of client hosts.
#ifndef ORVANE_OBJECTS_PROFILES_NSS_PROFILE_H_
#define ORVANE_OBJECTS_PROFILES_NSS_PROFILE_H_

#include <cstdint>
#include <string>

#include "hashtable/hashtable.h"
#include "utils/refobj.h"

namespace orvane {

class domain;
class user;
class group;

// Record sizes of the profile files.
constexpr uint32_t NSS_PROFILE_RECORD_SIZE = 784;
constexpr uint32_t NSS_PROFILE_USER_RECORD_SIZE = 784;
constexpr uint32_t NSS_PROFILE_GROUP_RECORD_SIZE = 272;
constexpr uint32_t NSS_PROFILE_MEMBEROF_RECORD_SIZE = 8;

// Member user flag: the request's "su" / "r" attribute.
constexpr uint8_t NSS_PROFILE_USER_SU = 0x1;

class nss_profile_user : public kt::ref_object {
 public:
  nss_profile_user();
  ~nss_profile_user() override;

  kt::ref_ptr<user> usr;
  uint32_t uid = 0;
  std::string home;
  std::string shell;
  uint8_t flags = 0;
};

class nss_profile_group : public kt::ref_object {
 public:
  nss_profile_group();
  ~nss_profile_group() override;

  kt::ref_ptr<group> grp;
  uint32_t gid = 0;
};

class nss_profile : public kt::ref_object {
 public:
  nss_profile();
  ~nss_profile() override;

  uint64_t id = 0;
  kt::ref_ptr<domain> dom;
  std::string name;
  std::string descr;
  // Member indexes. The name keys are the account names of the last change of the member list
  // (a rename does not reach the profiles); the uid / gid tables give the order of the members.
  kt::hashtable<std::string, kt::ref_ptr<nss_profile_user>> users_by_name;
  kt::hashtable<uint32_t, kt::ref_ptr<nss_profile_user>> users_by_uid;
  kt::hashtable<std::string, kt::ref_ptr<nss_profile_group>> groups_by_name;
  kt::hashtable<uint32_t, kt::ref_ptr<nss_profile_group>> groups_by_gid;
  kt::hashtable<uint64_t, kt::ref_ptr<nss_profile>> includes;     // included profiles
  kt::hashtable<uint64_t, kt::ref_ptr<nss_profile>> included_by;  // profiles including this
};

}  // namespace orvane

#endif  // ORVANE_OBJECTS_PROFILES_NSS_PROFILE_H_
