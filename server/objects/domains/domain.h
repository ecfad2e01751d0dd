// Domains: the tenants. A domain owns every object that lives in it (users, groups, resources,
// permissions, attributes, NSS profiles, net clients) and its audit log; domains form a tree under
// one root domain. This module owns the domain record in memory and in the "domains" file, the
// storage layout of the database, the start-up load, and the initial contents of a new domain.
#ifndef ORVANE_OBJECTS_DOMAINS_DOMAIN_H_
#define ORVANE_OBJECTS_DOMAINS_DOMAIN_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "hashtable/hashtable.h"
#include "utils/ipv4.h"
#include "utils/pthread_utils.h"
#include "utils/refobj.h"

namespace orvane {

struct globals;
class user;
class group;
class resource;
class netclient;
class nss_profile;
class attribute;
class auditlog;

// Record of the "domains" file: 144 bytes, keyed by the identifier.
constexpr uint32_t DOMAIN_RECORD_SIZE = 144;
constexpr size_t DOMAIN_NAME_FIELD = 128;

// Domain flags.
constexpr uint32_t DOMAIN_FLAG_RESTORING = 0x1;  // objects not loaded: a restore is pending

// The six system resources, in the order of domain::sys_res.
enum sys_resource : int {
  SYS_RES_ORVANE = 0,
  SYS_RES_USERS = 1,
  SYS_RES_GROUPS = 2,
  SYS_RES_RESOURCES = 3,
  SYS_RES_NSS_PROFILES = 4,
  SYS_RES_NETCLIENTS = 5,
  SYS_RES_COUNT = 6,
};
extern const char* const sys_resource_names[SYS_RES_COUNT];

// Bits of domain::password_policy.
constexpr uint32_t PASSWORD_MUST_LETTER = 0x1;
constexpr uint32_t PASSWORD_MUST_CAPITAL = 0x2;
constexpr uint32_t PASSWORD_MUST_DIGIT = 0x4;
constexpr uint32_t PASSWORD_MUST_SPEC_SYMBOL = 0x8;

// API classes (bit values); a set bit of domain::nc_only restricts the class to net clients.
constexpr uint16_t API_MANAGEMENT = 1;
constexpr uint16_t API_AUTHENTICATION = 2;
constexpr uint16_t API_AUTHORIZATION = 4;
constexpr uint16_t API_NSS_PROFILES = 8;

class domain : public kt::ref_object {
 public:
  domain();
  ~domain() override;  // domain_free

  // The name may be changed by a command running in another domain; read it through name().
  std::string name() const;
  void set_name(std::string name);

  uint64_t id = 0;
  uint64_t parent_id = 0;
  kt::ref_ptr<domain> parent;  // empty for the root
  globals* g = nullptr;

  // Object tables: each holds one reference per object.
  kt::hashtable<std::string, kt::ref_ptr<user>> users_by_name;
  kt::hashtable<uint64_t, kt::ref_ptr<user>> users_by_id;
  kt::hashtable<std::string, kt::ref_ptr<group>> groups_by_name;
  kt::hashtable<uint64_t, kt::ref_ptr<group>> groups_by_id;
  kt::hashtable<std::string, kt::ref_ptr<resource>> resources_by_name;
  kt::hashtable<uint64_t, kt::ref_ptr<resource>> resources_by_id;
  kt::hashtable<std::string, kt::ref_ptr<netclient>> netclients_by_name;
  kt::hashtable<uint64_t, kt::ref_ptr<netclient>> netclients_by_id;
  kt::hashtable<std::string, kt::ref_ptr<nss_profile>> profiles_by_name;
  kt::hashtable<uint64_t, kt::ref_ptr<nss_profile>> profiles_by_id;
  // The domain's net-client address index: network key (address << 8 | prefix) -> network.
  kt::hashtable<uint64_t, kt::ipv4_address> netclient_index;

  // The domain lock: taken by the dispatcher for every command on the domain.
  kt::rwlock lock;
  // Guards netclient_index.
  kt::rwlock netclients_lock;

  std::unique_ptr<auditlog> log;
  std::atomic<uint32_t> flags{0};

  // The domain's own attributes (its settings among them).
  kt::hashtable<std::string, kt::ref_ptr<attribute>> attributes;

  // Identifiers of the system resources, in sys_resource order.
  uint64_t sys_res[SYS_RES_COUNT] = {};

  // Settings taken from the domain attributes. They are read without the domain lock (by the
  // dispatcher and the connection workers), hence atomic.
  std::atomic<uint32_t> password_expire_days{0};
  std::atomic<uint32_t> password_min_length{0};
  std::atomic<uint32_t> password_policy{0};  // PASSWORD_MUST_* bits
  std::atomic<uint32_t> expire_token_sec{0};
  std::atomic<uint32_t> max_attr_value_len_mb{0};
  std::atomic<uint16_t> nc_only{0};  // API classes restricted to net clients

  kt::ref_ptr<group> administrators;
  kt::ref_ptr<group> all_users;

  // Commands accepted for this domain (read and reset by getHealth).
  std::atomic<uint64_t> requests{0};

 private:
  mutable kt::mutex name_lock_;
  std::string name_;
};

}  // namespace orvane

#endif  // ORVANE_OBJECTS_DOMAINS_DOMAIN_H_
