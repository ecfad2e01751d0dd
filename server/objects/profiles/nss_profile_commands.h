// The NSS profile commands: nssProfileInsert, nssProfileEdit, nssProfileRemove, nssProfileUser,
// nssProfileGroup (WRITE on OrvaneNSSProfiles) and nssProfileSearch (READ), and the name-service
// lookups pamGetPWEntries, pamGetGREntries, pamGetPWUID, pamGetPWName, pamGetGRGID and
// pamGetGRName (no token; the connection must be allowed the NSS class).
#ifndef ORVANE_OBJECTS_PROFILES_NSS_PROFILE_COMMANDS_H_
#define ORVANE_OBJECTS_PROFILES_NSS_PROFILE_COMMANDS_H_

#include <cstdint>

#include "objects/profiles/nss_profile.h"
#include "utils/refobj.h"

namespace kt {
class xmldoc_node;
}  // namespace kt

namespace orvane {

class command;
class domain;

// Management commands (after the rights check). On success *out holds the profile.
// nssProfileInsert: 0x10, 0x14, 0x15, 0x18, 0x701, or a store failure.
uint32_t nss_profile_xml_add(domain& d, const kt::xmldoc_node& nssp, kt::ref_ptr<nss_profile>* out);
// nssProfileEdit: every check runs before anything changes: 0x10, 0x14, 0x15, 0x18, 0x105,
// 0x108, 0x601, 0x701, 0x702, or a store failure.
uint32_t nss_profile_xml_edit(domain& d, const kt::xmldoc_node& nssp,
                              kt::ref_ptr<nss_profile>* out);
// nssProfileRemove: 0x10, 0x105, or the store's result with nothing changed.
uint32_t nss_profile_xml_remove(domain& d, const kt::xmldoc_node& nssp,
                                kt::ref_ptr<nss_profile>* out);
// nssProfileUser / nssProfileGroup on the command element: 0x10, 0x18, 0x105, 0x108, 0x601, or
// 0x13 when a member file can't be written (memory unchanged).
uint32_t nss_profile_xml_user(domain& d, const kt::xmldoc_node& cmd);
uint32_t nss_profile_xml_group(domain& d, const kt::xmldoc_node& cmd);

uint32_t processor_nss_profile_insert(command& cmd);
uint32_t processor_nss_profile_edit(command& cmd);
uint32_t processor_nss_profile_remove(command& cmd);
uint32_t processor_nss_profile_user(command& cmd);
uint32_t processor_nss_profile_group(command& cmd);
uint32_t processor_nss_profile_search(command& cmd);

uint32_t processor_nss_profile_getpwentries(command& cmd);
uint32_t processor_nss_profile_getgrentries(command& cmd);
uint32_t processor_nss_profile_getpwuid(command& cmd);
uint32_t processor_nss_profile_getpwname(command& cmd);
uint32_t processor_nss_profile_getgrgid(command& cmd);
uint32_t processor_nss_profile_getgrname(command& cmd);

}  // namespace orvane

#endif  // ORVANE_OBJECTS_PROFILES_NSS_PROFILE_COMMANDS_H_
