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
#ifndef ORVANE_OBJECTS_PROFILES_PROFILES_H_
#define ORVANE_OBJECTS_PROFILES_PROFILES_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "objects/profiles/unix_profile.h"
#include "utils/refobj.h"

namespace kt {
class xmldoc_node;
}  // namespace kt

namespace orvane {

struct client;
struct globals;
struct processor_result;
class domain;
class token;
class user;
class group;

// Field widths of the records; the longest texts the commands accept are one byte less.
constexpr size_t UNIX_PROFILE_NAME_FIELD = 256;
constexpr size_t UNIX_PROFILE_DESCR_FIELD = 512;
constexpr size_t UNIX_PROFILE_HOME_FIELD = 512;
constexpr size_t UNIX_PROFILE_SHELL_FIELD = 256;

// The "pv" value of a user whose password never expires.
constexpr uint32_t UNIX_PROFILE_PWD_NEVER_EXPIRES_DAYS = 99998;

using profile_user_list = std::vector<kt::ref_ptr<unix_profile_user>>;
using profile_group_list = std::vector<kt::ref_ptr<unix_profile_group>>;
using profile_list = std::vector<kt::ref_ptr<unix_profile>>;

// A new empty profile (reference held by the result).
kt::ref_ptr<unix_profile> unix_profile_create();

// Loads the domain's profiles, then their member users and groups and their included profiles.
// Damaged or duplicate records, members whose account is gone and inclusions that would close a
// loop are logged and skipped. Call after users and groups are loaded. Returns 0, or the store's
// result when the profiles file can't be read (nothing is loaded then).
int unix_profiles_load(domain& d);
// Empties the profile's member and inclusion tables: breaks the reference cycles between
// profiles that include each other (domain unload, profile removal).
void unix_profile_flush(unix_profile& p);

// Writes a new record under a fresh identifier, stored in p on success. On failure p is
// unchanged and the store's result is returned.
int unix_profile_db_add(domain& d, unix_profile& p);
// Rewrites the record of p.id (name, description).
int unix_profile_db_edit(domain& d, const unix_profile& p);
// Removes the record and, once it is gone, the three member files.
int unix_profile_db_del(domain& d, const unix_profile& p);
// Deletes the three member files of a profile (missing files are no error).
void _unix_profile_member_files_unlink(const domain& d, uint64_t profile_id);

// Replace one member file with the given list (an empty list deletes the file). 0, or -1 when
// the file can't be written (the old one stays).
int _unix_profile_write_users(const domain& d, uint64_t profile_id, const profile_user_list& l);
int _unix_profile_write_groups(const domain& d, uint64_t profile_id, const profile_group_list& l);
int _unix_profile_write_includes(const domain& d, uint64_t profile_id, const profile_list& l);
// Rewrites all three member files from the profile's tables. 0, or the first failure.
int unix_profile_save_members(domain& d, unix_profile& p);

// The members and included profiles, in the order they were added (snapshots with references).
profile_user_list unix_profile_users(unix_profile& p);
profile_group_list unix_profile_groups(unix_profile& p);
profile_list unix_profile_includes(unix_profile& p);

// Replace the profile's members / included profiles in memory (both indexes; for inclusions
// the included_by links of the old and new targets too). The lists must hold no duplicate
// user, uid, group or gid.
void _unix_profile_set_users(unix_profile& p, const profile_user_list& l);
void _unix_profile_set_groups(unix_profile& p, const profile_group_list& l);
void _unix_profile_set_includes(unix_profile& p, const profile_list& l);

// True when from is target or includes it, directly or through other profiles. Terminates on
// any inclusion graph.
bool unix_profile_reaches(unix_profile& from, const unix_profile& target);

// Member lookups in one profile (no included profiles). By name they go by the account's
// current name, so a renamed user or group is found under its new name.
kt::ref_ptr<unix_profile_user> unix_profile_find_user(unix_profile& p, uint64_t user_id);
kt::ref_ptr<unix_profile_user> unix_profile_find_user_name(unix_profile& p, std::string_view n);
kt::ref_ptr<unix_profile_group> unix_profile_find_group(unix_profile& p, uint64_t group_id);
kt::ref_ptr<unix_profile_group> unix_profile_find_group_name(unix_profile& p, std::string_view n);

// Lookups in the domain's tables (read lock held only for the lookup).
kt::ref_ptr<unix_profile> unix_profile_get_by_id(domain& d, uint64_t id);
kt::ref_ptr<unix_profile> unix_profile_get_by_name(domain& d, std::string_view name);

// Hooks of the users and groups modules: take a removed account out of every profile of the
// domain and rewrite the member files of the profiles it was in.
void unix_profile_user_account_deleted(domain& d, user& u);
void unix_profile_group_account_deleted(domain& d, group& gr);

// The domain's profiles for the domain listings: "unixprofiles" with one "up" per profile
// (id, ref, name, descr; "u" children with uid, "g" children with gid).
std::unique_ptr<kt::xmldoc_node> unix_profiles_to_xml(domain& d);

// Management commands (after the rights check). On success *out holds the profile.
// nssProfileInsert: 0x10, 0x14, 0x15, 0x18, 0x701, or a store failure.
int unix_profile_xml_add(domain& d, const kt::xmldoc_node& nssp, kt::ref_ptr<unix_profile>* out);
// nssProfileEdit: every check runs before anything changes: 0x10, 0x14, 0x15, 0x18, 0x105,
// 0x108, 0x601, 0x701, 0x702, or a store failure.
int unix_profile_xml_edit(domain& d, const kt::xmldoc_node& nssp, kt::ref_ptr<unix_profile>* out);
// nssProfileRemove: 0x10, 0x105, or the store's result with nothing changed.
int unix_profile_xml_del(domain& d, const kt::xmldoc_node& nssp, kt::ref_ptr<unix_profile>* out);
// nssProfileUser / nssProfileGroup on the command element: 0x10, 0x18, 0x105, 0x108, 0x601, or
// -1 when a member file can't be written (memory unchanged).
int unix_profile_xml_user(domain& d, const kt::xmldoc_node& cmd);
int unix_profile_xml_group(domain& d, const kt::xmldoc_node& cmd);

// Management handlers: nssProfileInsert, nssProfileEdit, nssProfileRemove, nssProfileUser,
// nssProfileGroup (WRITE on OrvaneNSSProfiles), nssProfileSearch (READ).
uint32_t processor_pam_profile_insert(client& c, globals& g, domain* d, token* t,
                                      kt::xmldoc_node& cmd, processor_result& r);
uint32_t processor_pam_profile_edit(client& c, globals& g, domain* d, token* t,
                                    kt::xmldoc_node& cmd, processor_result& r);
uint32_t processor_pam_profile_remove(client& c, globals& g, domain* d, token* t,
                                      kt::xmldoc_node& cmd, processor_result& r);
uint32_t processor_pam_profile_user(client& c, globals& g, domain* d, token* t,
                                    kt::xmldoc_node& cmd, processor_result& r);
uint32_t processor_pam_profile_group(client& c, globals& g, domain* d, token* t,
                                     kt::xmldoc_node& cmd, processor_result& r);
uint32_t processor_pam_profile_search(client& c, globals& g, domain* d, token* t,
                                      kt::xmldoc_node& cmd, processor_result& r);

// Lookup handlers (no token; the connection must be allowed the NSS class): pamGetPWEntries,
// pamGetGREntries, pamGetPWUID, pamGetPWName, pamGetGRGID, pamGetGRName.
uint32_t processor_pam_profile_getpwentries(client& c, globals& g, domain* d, token* t,
                                            kt::xmldoc_node& cmd, processor_result& r);
uint32_t processor_pam_profile_getgrentries(client& c, globals& g, domain* d, token* t,
                                            kt::xmldoc_node& cmd, processor_result& r);
uint32_t processor_pam_profile_getpwuid(client& c, globals& g, domain* d, token* t,
                                        kt::xmldoc_node& cmd, processor_result& r);
uint32_t processor_pam_profile_getpwname(client& c, globals& g, domain* d, token* t,
                                         kt::xmldoc_node& cmd, processor_result& r);
uint32_t processor_pam_profile_getgrgid(client& c, globals& g, domain* d, token* t,
                                        kt::xmldoc_node& cmd, processor_result& r);
uint32_t processor_pam_profile_getgrname(client& c, globals& g, domain* d, token* t,
                                         kt::xmldoc_node& cmd, processor_result& r);

}  // namespace orvane

#endif  // ORVANE_OBJECTS_PROFILES_PROFILES_H_
