// NSS profiles module: the "unixprofiles" file and the per-profile member files
// "unixprofilee_users_<id>", "unixprofilee_groups_<id>" and "unixprofile_memberof_<id>", the
// start-up loader, the hooks the users and groups modules call when an account goes, the six
// name-service lookups and the management commands.
//
// Member files are rewritten whole whenever the members change, each through a temporary file
// renamed over the old one, so a crash leaves either the old or the new member list.
//
// Locking: changes run under the domain lock held for writing, lookups under it held for
// reading; the tables are still read and changed through their own read-write locks, one table
// at a time (snapshots are taken before walking into other objects).
#ifndef ORVANE_OBJECTS_PROFILES_NSS_PROFILE_RECORDS_H_
#define ORVANE_OBJECTS_PROFILES_NSS_PROFILE_RECORDS_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "objects/profiles/nss_profile.h"
#include "utils/refobj.h"

namespace kt {
class xmldoc_node;
}  // namespace kt

namespace orvane {

class domain;
class user;
class group;

// Field widths of the records; the longest texts the commands accept are one byte less.
constexpr size_t NSS_PROFILE_NAME_FIELD = 256;
constexpr size_t NSS_PROFILE_DESCR_FIELD = 512;
constexpr size_t NSS_PROFILE_HOME_FIELD = 512;
constexpr size_t NSS_PROFILE_SHELL_FIELD = 256;

// The "pv" value of a user whose password never expires.
constexpr uint32_t NSS_PROFILE_PWD_NEVER_EXPIRES_DAYS = 99998;

using profile_user_list = std::vector<kt::ref_ptr<nss_profile_user>>;
using profile_group_list = std::vector<kt::ref_ptr<nss_profile_group>>;
using profile_list = std::vector<kt::ref_ptr<nss_profile>>;

// A new empty profile (reference held by the result).
kt::ref_ptr<nss_profile> nss_profile_create();

// Loads the domain's profiles, then their member users and groups and their included profiles.
// Damaged or duplicate records, members whose account is gone and inclusions that would close a
// loop are logged and skipped. Call after users and groups are loaded. Returns 0, or the store's
// result when the profiles file can't be read (nothing is loaded then).
int nss_profiles_load(domain& d);
// Empties the profile's member and inclusion tables: breaks the reference cycles between
// profiles that include each other (domain unload, profile removal).
void nss_profile_flush(nss_profile& p);

// Writes a new record under a fresh identifier, stored in p on success. On failure p is
// unchanged and the result is 0x13.
uint32_t nss_profile_db_add(domain& d, nss_profile& p);
// Rewrites the record of p.id (name, description): 0 or 0x13.
uint32_t nss_profile_db_edit(domain& d, const nss_profile& p);
// Removes the record and, once it is gone, the three member files: 0 or 0x13.
uint32_t nss_profile_db_remove(domain& d, const nss_profile& p);
// Rewrites all three member files from the profile's tables. 0, or the first failure.
uint32_t nss_profile_save_members(domain& d, nss_profile& p);

// The members and included profiles, in the order they were added (snapshots with references).
profile_user_list nss_profile_users(nss_profile& p);
profile_group_list nss_profile_groups(nss_profile& p);
profile_list nss_profile_includes(nss_profile& p);

// True when from is target or includes it, directly or through other profiles. Terminates on
// any inclusion graph.
bool nss_profile_reaches(nss_profile& from, const nss_profile& target);

// Member lookups in one profile (no included profiles). By name they go by the account's
// current name, so a renamed user or group is found under its new name.
kt::ref_ptr<nss_profile_user> nss_profile_find_user(nss_profile& p, uint64_t user_id);
kt::ref_ptr<nss_profile_user> nss_profile_find_user_name(nss_profile& p, std::string_view n);
kt::ref_ptr<nss_profile_group> nss_profile_find_group(nss_profile& p, uint64_t group_id);
kt::ref_ptr<nss_profile_group> nss_profile_find_group_name(nss_profile& p, std::string_view n);

// Lookups in the domain's tables (read lock held only for the lookup).
kt::ref_ptr<nss_profile> nss_profile_get_by_id(domain& d, uint64_t id);
kt::ref_ptr<nss_profile> nss_profile_get_by_name(domain& d, std::string_view name);

// Hooks of the users and groups modules: take a removed account out of every profile of the
// domain and rewrite the member files of the profiles it was in.
void nss_profile_user_account_deleted(domain& d, user& u);
void nss_profile_group_account_deleted(domain& d, group& gr);

// The domain's profiles for the domain listings: "unixprofiles" with one "up" per profile
// (id, ref, name, descr; "u" children with uid, "g" children with gid).
std::unique_ptr<kt::xmldoc_node> nss_profiles_to_xml(domain& d);

}  // namespace orvane

#endif  // ORVANE_OBJECTS_PROFILES_NSS_PROFILE_RECORDS_H_
