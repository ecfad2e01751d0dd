#include "loader_fixture.h"

#include <string_view>

#include "objects/attributes/attribute.h"
#include "objects/domains/domain.h"
#include "objects/groups/group.h"
#include "objects/netclients/netclient.h"
#include "objects/permissions/permission.h"
#include "objects/profiles/nss_profile_records.h"
#include "objects/record.h"
#include "objects/resources/resource.h"
#include "objects/users/user_records.h"

namespace orvane_fuzz {

namespace {

using orvane::record;

// Record layouts the object modules keep to themselves (they are the file formats).
constexpr size_t kGroupFlags = 8, kGroupName = 9;
constexpr size_t kMemberType = 8;
constexpr size_t kResType = 8, kResParent = 11, kResFlags = 19, kResName = 21;
constexpr size_t kPermTargetType = 8, kPermTarget = 12, kPermMemberType = 20, kPermMember = 24,
                 kPermFlags = 32;
constexpr size_t kAttrTargetType = 8, kAttrTarget = 9, kAttrType = 17, kAttrFlags = 21,
                 kAttrName = 22, kAttrValueLen = 150, kAttrValue = 154;
constexpr size_t kNcName = 8, kNcFlags = 136, kNcSlots = 137;
constexpr size_t kProfDomain = 8, kProfName = 16, kProfDescr = 272;
constexpr size_t kProfUserUid = 8, kProfUserHome = 12, kProfUserShell = 524, kProfUserFlags = 780;
constexpr size_t kProfGroupGid = 8;
constexpr size_t kNameField = 128;

void append(std::string& file, const record& rec) {
  file.append(reinterpret_cast<const char*>(rec.data()), rec.size());
}

record user_rec(uint64_t id, uint32_t flags, std::string_view name) {
  record r(orvane::USER_RECORD_SIZE);
  r.put_u64(orvane::USER_REC_ID, id);
  r.put_u32(orvane::USER_REC_FLAGS, flags);
  r.put_u32(orvane::USER_REC_CREATED, 1700000000);
  r.put_u32(orvane::USER_REC_PWD_CHANGED, 1700000000);
  r.put_str(orvane::USER_REC_UNAME, orvane::USER_REC_UNAME_SIZE, name);
  for (size_t i = 0; i < orvane::USER_DIGEST_SIZE; ++i) {
    r.put_u8(orvane::USER_REC_DIGEST + i, static_cast<uint8_t>(id + i));
  }
  r.put_str(orvane::USER_REC_NSS_PASSWORD, orvane::USER_NSS_PASSWORD_SIZE, "$6$saltsaltsaltsalt$x");
  return r;
}

record group_rec(uint64_t id, uint8_t flags, std::string_view name) {
  record r(orvane::GROUP_RECORD_SIZE);
  r.put_u64(0, id);
  r.put_u8(kGroupFlags, flags);
  r.put_str(kGroupName, kNameField, name);
  return r;
}

record member_rec(uint64_t id, uint32_t type) {
  record r(orvane::GROUP_MEMBER_RECORD_SIZE);
  r.put_u64(0, id);
  r.put_u32(kMemberType, type);
  return r;
}

record resource_rec(uint64_t id, uint64_t parent, uint16_t flags, std::string_view name) {
  record r(orvane::RESOURCE_RECORD_SIZE);
  r.put_u64(0, id);
  r.put_u16(kResType, 0);
  r.put_u64(kResParent, parent);
  r.put_u16(kResFlags, flags);
  r.put_str(kResName, kNameField, name);
  return r;
}

record permission_rec(uint64_t id, uint64_t target, uint32_t member_type, uint64_t member,
                      uint16_t flags) {
  record r(orvane::PERMISSION_RECORD_SIZE);
  r.put_u64(0, id);
  r.put_u32(kPermTargetType, orvane::PERMISSION_TARGET_RESOURCE);
  r.put_u64(kPermTarget, target);
  r.put_u32(kPermMemberType, member_type);
  r.put_u64(kPermMember, member);
  r.put_u16(kPermFlags, flags);
  return r;
}

record attribute_rec(uint64_t id, uint8_t ttype, uint64_t target, uint32_t type, uint8_t flags,
                     std::string_view name, std::string_view value) {
  record r(orvane::ATTRIBUTE_RECORD_SIZE);
  r.put_u64(0, id);
  r.put_u8(kAttrTargetType, ttype);
  r.put_u64(kAttrTarget, target);
  r.put_u32(kAttrType, type);
  r.put_u8(kAttrFlags, flags);
  r.put_str(kAttrName, kNameField, name);
  r.put_u32(kAttrValueLen, static_cast<uint32_t>(value.size()));
  if (value.size() <= orvane::ATTRIBUTE_INLINE_VALUE) {
    r.put_bytes(kAttrValue, value.data(), value.size());
  }
  return r;
}

record netclient_rec(uint64_t id, uint8_t flags, std::string_view name,
                     std::initializer_list<std::string_view> slots) {
  record r(orvane::NETCLIENT_RECORD_SIZE);
  r.put_u64(0, id);
  r.put_str(kNcName, orvane::NETCLIENT_NAME_FIELD, name);
  r.put_u8(kNcFlags, flags);
  size_t i = 0;
  for (std::string_view s : slots) {
    r.put_str(kNcSlots + i++ * orvane::NETCLIENT_SLOT_SIZE, orvane::NETCLIENT_SLOT_SIZE, s);
  }
  return r;
}

record profile_rec(uint64_t id, std::string_view name, std::string_view descr) {
  record r(orvane::NSS_PROFILE_RECORD_SIZE);
  r.put_u64(0, id);
  r.put_u64(kProfDomain, kDomainId);
  r.put_str(kProfName, orvane::NSS_PROFILE_NAME_FIELD, name);
  r.put_str(kProfDescr, orvane::NSS_PROFILE_DESCR_FIELD, descr);
  return r;
}

record profile_user_rec(uint64_t user, uint32_t uid, std::string_view home) {
  record r(orvane::NSS_PROFILE_USER_RECORD_SIZE);
  r.put_u64(0, user);
  r.put_u32(kProfUserUid, uid);
  r.put_str(kProfUserHome, orvane::NSS_PROFILE_HOME_FIELD, home);
  r.put_str(kProfUserShell, orvane::NSS_PROFILE_SHELL_FIELD, "/bin/sh");
  r.put_u8(kProfUserFlags, 0);
  return r;
}

record profile_group_rec(uint64_t group, uint32_t gid) {
  record r(orvane::NSS_PROFILE_GROUP_RECORD_SIZE);
  r.put_u64(0, group);
  r.put_u32(kProfGroupGid, gid);
  return r;
}

record include_rec(uint64_t profile) {
  record r(orvane::NSS_PROFILE_MEMBEROF_RECORD_SIZE);
  r.put_u64(0, profile);
  return r;
}

template <class... Records>
std::string file_of(const Records&... recs) {
  std::string file;
  (append(file, recs), ...);
  return file;
}

std::string named(const char* prefix, uint64_t id) {
  return prefix + std::to_string(id);
}

}  // namespace

std::vector<fixture_file> fixture_files() {
  using namespace orvane;
  std::vector<fixture_file> files;
  files.push_back({"users", file_of(user_rec(kUserAdmin, USER_FLAG_SYSTEM, "Administrator"),
                                    user_rec(kUserAlice, 0, "alice"),
                                    user_rec(kUserBob, USER_FLAG_LOCKED, "bob@example"))});
  files.push_back(
      {"groups", file_of(group_rec(kGroupAdmins, GROUP_FLAG_SYSTEM | GROUP_FLAG_ADMINISTRATORS,
                                   "Administrators"),
                         group_rec(kGroupAll, GROUP_FLAG_SYSTEM | GROUP_FLAG_ALL_USERS, "AllUsers"),
                         group_rec(kGroupStaff, 0, "staff"), group_rec(kGroupDev, 0, "dev"))});
  files.push_back({named("group_users_", kGroupAdmins), file_of(member_rec(kUserAdmin, 0))});
  files.push_back({named("group_users_", kGroupStaff), file_of(member_rec(kUserAlice, MEMBER_USER),
                                                               member_rec(kUserBob, MEMBER_USER))});
  files.push_back(
      {named("group_groups_", kGroupStaff), file_of(member_rec(kGroupDev, MEMBER_GROUP))});
  files.push_back({named("group_users_", kGroupDev), file_of(member_rec(kUserBob, MEMBER_USER))});

  const uint16_t sys = RESOURCE_FLAG_NO_REMOVE | RESOURCE_FLAG_SYSTEM | RESOURCE_FLAG_FIXED;
  std::string resources;
  std::string permissions;
  for (int i = 0; i < SYS_RES_COUNT; ++i) {
    const uint64_t id = kResourceTop + static_cast<uint64_t>(i);
    append(resources, resource_rec(id, i == 0 ? 0 : kResourceTop, sys, sys_resource_names[i]));
    append(permissions, permission_rec(0x4001 + static_cast<uint64_t>(i), id, MEMBER_GROUP,
                                       kGroupAdmins, PERM_READ | PERM_WRITE | PERM_EXEC));
  }
  append(resources, resource_rec(kResourceApp, kResourceTop, 0, "app"));
  append(resources, resource_rec(kResourceDoc, kResourceApp, 0, "doc"));
  append(permissions, permission_rec(0x4007, kResourceApp, MEMBER_USER, kUserAlice, PERM_READ));
  append(permissions,
         permission_rec(0x4008, kResourceDoc, MEMBER_GROUP, kGroupStaff, PERM_READ | PERM_WRITE));
  append(permissions, permission_rec(0x4009, kResourceDoc, MEMBER_USER, kUserBob, 0));
  files.push_back({"resources", resources});
  files.push_back({"permissions", permissions});

  const std::string long_value(200, 'v');
  const std::string long_binary = std::string(150, '\0') + "\x01\xff";
  std::string attributes = file_of(
      attribute_rec(0x5001, ATTR_TARGET_DOMAIN, kDomainId, ATTR_TYPE_NUMBER,
                    ATTR_FLAG_SYSTEM | ATTR_FLAG_IMMUNE, "passwordMinLength", "6"),
      attribute_rec(0x5002, ATTR_TARGET_DOMAIN, kDomainId, ATTR_TYPE_BOOLEAN,
                    ATTR_FLAG_SYSTEM | ATTR_FLAG_IMMUNE, "passwordMustDigit", "\x01"),
      attribute_rec(0x5003, ATTR_TARGET_DOMAIN, kDomainId, ATTR_TYPE_NUMBER,
                    ATTR_FLAG_SYSTEM | ATTR_FLAG_IMMUNE, "expireTokenSec", "1800"),
      attribute_rec(0x5004, ATTR_TARGET_DOMAIN, kDomainId, ATTR_TYPE_BOOLEAN,
                    ATTR_FLAG_SYSTEM | ATTR_FLAG_IMMUNE, "nssProfilesApiNcOnly", "\x01"),
      attribute_rec(0x5005, ATTR_TARGET_DOMAIN, kDomainId, ATTR_TYPE_STRING,
                    ATTR_FLAG_SYSTEM | ATTR_FLAG_IMMUNE, "ssoWebPortal", "/sso/"),
      attribute_rec(0x5101, ATTR_TARGET_USER, kUserAlice, ATTR_TYPE_STRING, 0, "mail",
                    "alice@example.org"),
      attribute_rec(kAttrLongValue, ATTR_TARGET_RESOURCE, kResourceApp, ATTR_TYPE_STRING, 0, "note",
                    long_value),
      attribute_rec(kAttrLongBinary, ATTR_TARGET_NETCLIENT, 0x6002, ATTR_TYPE_BINARY, 0, "blob",
                    long_binary),
      attribute_rec(0x5104, ATTR_TARGET_GROUP, kGroupStaff, ATTR_TYPE_DECIMAL, 0, "quota", "12.5"));
  files.push_back({"attributes", attributes});
  files.push_back({named("attribute_", kAttrLongValue), long_value});
  files.push_back({named("attribute_", kAttrLongBinary), long_binary});

  files.push_back(
      {"authorityclients",
       file_of(netclient_rec(0x6001, NETCLIENT_FLAG_SYSTEM | NETCLIENT_FLAG_READ_ONLY, "localhost",
                             {"127.0.0.1"}),
               netclient_rec(0x6002, 0, "build", {"10.0.0.0/8", "192.168.1.7", "fe80::1"}))});

  files.push_back({"unixprofiles", file_of(profile_rec(kProfile1, "prof1", "first profile"),
                                           profile_rec(kProfile2, "prof2", ""),
                                           profile_rec(kProfile3, "prof3", "third"))});
  files.push_back({named("unixprofilee_users_", kProfile1),
                   file_of(profile_user_rec(kUserAlice, 1000, "/home/alice"),
                           profile_user_rec(kUserBob, 1001, "/home/bob"))});
  files.push_back(
      {named("unixprofilee_groups_", kProfile1), file_of(profile_group_rec(kGroupStaff, 100))});
  files.push_back({named("unixprofile_memberof_", kProfile2), file_of(include_rec(kProfile1))});
  files.push_back({named("unixprofile_memberof_", kProfile3), file_of(include_rec(kProfile2))});
  return files;
}

std::string fixture_domains_file() {
  const auto domain_rec = [](uint64_t id, uint64_t parent, std::string_view name) {
    record r(orvane::DOMAIN_RECORD_SIZE);
    r.put_u64(0, id);
    r.put_u64(8, parent);
    r.put_str(16, orvane::DOMAIN_NAME_FIELD, name);
    return r;
  };
  return file_of(domain_rec(kDomainId, 0, "ORVANE"), domain_rec(8, kDomainId, "tenant"),
                 domain_rec(9, 8, "sub.tenant"));
}

}  // namespace orvane_fuzz
