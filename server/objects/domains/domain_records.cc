#include "objects/domains/domain_records.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <unordered_set>
#include <vector>

#include "config.h"
#include "errors.h"
#include "globals.h"
#include "objects/attributes/attribute.h"
#include "objects/attributes/attribute_records.h"
#include "objects/auditlogs/auditlog.h"
#include "objects/backup/backup.h"
#include "objects/groups/group.h"
#include "objects/groups/group_records.h"
#include "objects/netclients/netclient.h"
#include "objects/netclients/netclient_records.h"
#include "objects/permissions/permission.h"
#include "objects/permissions/permission_records.h"
#include "objects/profiles/nss_profile.h"
#include "objects/profiles/nss_profile_records.h"
#include "objects/record.h"
#include "objects/record_repair.h"
#include "objects/resources/resource.h"
#include "objects/resources/resource_records.h"
#include "objects/users/user.h"
#include "objects/users/user_records.h"
#include "utils/files.h"
#include "utils/logger.h"
#include "utils/uid.h"

namespace orvane {

namespace {

kt::filedb_fixed domains_file() {
  return record_file(path_domains_file(), DOMAIN_RECORD_SIZE);
}

// Inserts an object into a pair of domain tables (by name and by identifier).
template <class T>
void insert_pair(kt::hashtable<std::string, kt::ref_ptr<T>>& by_name,
                 kt::hashtable<uint64_t, kt::ref_ptr<T>>& by_id, const std::string& name,
                 uint64_t id, const kt::ref_ptr<T>& object) {
  by_name.insert_rw(name, object);
  by_id.insert_rw(id, object);
}

// Empties a pair of tables after letting every object drop what it holds.
template <class T, class Flush>
void flush_pair(kt::hashtable<std::string, kt::ref_ptr<T>>& by_name,
                kt::hashtable<uint64_t, kt::ref_ptr<T>>& by_id, Flush flush_object) {
  std::vector<kt::ref_ptr<T>> objects;
  {
    std::shared_lock lock(by_id.rwlock());
    by_id.for_each([&](uint64_t, kt::ref_ptr<T>& object) { objects.push_back(object); });
  }
  {
    std::shared_lock lock(by_name.rwlock());
    by_name.for_each(
        [&](const std::string&, kt::ref_ptr<T>& object) { objects.push_back(object); });
  }
  for (auto& object : objects) flush_object(*object);
  {
    std::unique_lock lock(by_name.rwlock());
    by_name.flush();
  }
  {
    std::unique_lock lock(by_id.rwlock());
    by_id.flush();
  }
}

// True when the chain of parents above d comes back to d.
bool parent_chain_loops(const domain& d) {
  std::unordered_set<const domain*> seen;
  for (const domain* p = d.parent.get(); p != nullptr; p = p->parent.get()) {
    if (p == &d) return true;
    if (!seen.insert(p).second) return false;  // a loop above d, cut when its turn comes
  }
  return false;
}

struct setting_attribute {
  const char* name;
  uint32_t type;
  const char* value;  // booleans: "1" or "0"
};

// The settings every domain is created with.
const setting_attribute kDomainSettings[] = {
    {"ssoWebPortal", ATTR_TYPE_STRING, "/sso/"},
    {"expireTokenSec", ATTR_TYPE_NUMBER, "1800"},
    {"maxAttrValueLenMB", ATTR_TYPE_NUMBER, "4"},
    {"managementApiNcOnly", ATTR_TYPE_BOOLEAN, "0"},
    {"authenticationApiNcOnly", ATTR_TYPE_BOOLEAN, "0"},
    {"authorizationApiNcOnly", ATTR_TYPE_BOOLEAN, "0"},
    {"nssProfilesApiNcOnly", ATTR_TYPE_BOOLEAN, "1"},
    {"passwordMinLength", ATTR_TYPE_NUMBER, "6"},
    {"passwordExpireDays", ATTR_TYPE_NUMBER, "180"},
    {"passwordMustCapital", ATTR_TYPE_BOOLEAN, "1"},
    {"passwordMustDigit", ATTR_TYPE_BOOLEAN, "1"},
    {"passwordMustLetter", ATTR_TYPE_BOOLEAN, "1"},
    {"passwordMustSpecSymbol", ATTR_TYPE_BOOLEAN, "0"},
};

uint32_t init_administrator(domain& d, std::string_view password, kt::ref_ptr<user>* out) {
  kt::ref_ptr<user> u = user_create();
  if (!u) return E_NO_MEMORY;
  u->uname = "Administrator";
  u->flags = USER_FLAG_SYSTEM;
  u->dom = kt::ref_ptr<domain>(&d);
  if (const uint32_t rc = user_set_password_forms(*u, password); rc != 0) return rc;
  if (const uint32_t rc = user_db_add(d, *u); rc != 0) return rc;
  insert_pair(d.users_by_name, d.users_by_id, u->uname, u->id, u);
  *out = u;
  return E_OK;
}

uint32_t init_group(domain& d, const char* name, uint8_t flags, kt::ref_ptr<group>* out) {
  kt::ref_ptr<group> gr = group_create();
  if (!gr) return E_NO_MEMORY;
  gr->name = name;
  gr->flags = flags;
  gr->dom = kt::ref_ptr<domain>(&d);
  if (const uint32_t rc = group_db_add(d, *gr); rc != 0) return rc;
  insert_pair(d.groups_by_name, d.groups_by_id, gr->name, gr->id, gr);
  *out = gr;
  return E_OK;
}

uint32_t init_settings(domain& d) {
  for (const setting_attribute& s : kDomainSettings) {
    kt::ref_ptr<attribute> a = attribute_create();
    if (!a) return E_NO_MEMORY;
    a->name = s.name;
    a->flags = ATTR_FLAG_SYSTEM | ATTR_FLAG_IMMUNE;
    a->dom = &d;
    a->ttype = ATTR_TARGET_DOMAIN;
    a->target_id = d.id;
    a->type = s.type;
    if (s.type == ATTR_TYPE_BOOLEAN) {
      a->value.assign(1, s.value[0] == '1' ? '\1' : '\0');
    } else {
      a->value = s.value;
    }
    _attribute_value_set(*a);
    if (const uint32_t rc = attributes_db_add(d, *a); rc != 0) return rc;
    d.attributes.insert_rw(a->name, a);
  }
  return E_OK;
}

uint32_t init_localhost(domain& d) {
  kt::ref_ptr<netclient> nc = netclient_create();
  if (!nc) return E_NO_MEMORY;
  nc->set_name("localhost");
  nc->flags = NETCLIENT_FLAG_SYSTEM | NETCLIENT_FLAG_READ_ONLY;
  nc->dom = kt::ref_ptr<domain>(&d);
  nc->set_addresses({"127.0.0.1"}, {});
  if (const uint32_t rc = netclient_db_add(d, *nc); rc != 0) return rc;
  insert_pair(d.netclients_by_name, d.netclients_by_id, std::string("localhost"), nc->id, nc);
  return E_OK;
}

uint32_t init_resources(domain& d, const kt::ref_ptr<group>& administrators) {
  kt::ref_ptr<resource> top;
  for (int i = 0; i < SYS_RES_COUNT; ++i) {
    kt::ref_ptr<resource> r = resource_create();
    if (!r) return E_NO_MEMORY;
    r->name = sys_resource_names[i];
    r->flags = RESOURCE_FLAG_NO_REMOVE | RESOURCE_FLAG_SYSTEM | RESOURCE_FLAG_FIXED;
    r->dom = kt::ref_ptr<domain>(&d);
    if (top) {
      r->parent = top;
      r->parent_id = top->id;
    }
    if (const uint32_t rc = resource_db_add(d, *r); rc != 0) return rc;
    if (top) top->children.insert_rw(r->id, r);
    insert_pair(d.resources_by_name, d.resources_by_id, r->name, r->id, r);
    d.sys_res[i] = r->id;

    kt::ref_ptr<permission> p = permission_create();
    if (!p) return E_NO_MEMORY;
    p->target_type = PERMISSION_TARGET_RESOURCE;
    p->target_id = r->id;
    p->member_type = MEMBER_GROUP;
    p->member_id = administrators->id;
    p->flags = PERM_READ | PERM_WRITE | PERM_EXEC;
    if (const uint32_t rc = permission_db_add(d, *p); rc != 0) return rc;
    permission_attach(*r, p);
    _permission_fix_member_add(d, *p);
    if (i == SYS_RES_ORVANE) top = r;
  }
  return E_OK;
}

}  // namespace

kt::ref_ptr<domain> domain_create() {
  return kt::make_ref<domain>();
}

void domain_ptr_to_file(const domain& d, record& r) {
  r.put_u64(0, d.id);
  r.put_u64(8, d.parent_id);
  r.put_str(16, DOMAIN_NAME_FIELD, d.name());
}

void domain_file_to_ptr(domain& d, const record& r) {
  d.id = r.get_u64(0);
  d.parent_id = r.get_u64(8);
  d.set_name(r.get_str(16, DOMAIN_NAME_FIELD));
}

uint32_t domain_db_add(domain& d) {
  const kt::filedb_fixed db = domains_file();
  const uint64_t id = kt::uid_time_seq();
  domain staged;
  staged.id = id;
  staged.parent_id = d.parent_id;
  staged.set_name(d.name());
  record r(DOMAIN_RECORD_SIZE);
  domain_ptr_to_file(staged, r);
  if (const uint32_t rc = record_result(db.insert(0, &id, r.data()), db.path().c_str());
      rc != E_OK) {
    return rc;
  }
  const std::string dir = path_domain_dir(id);
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    KT_LOG_ERR("mkdir(%s): %s", dir.c_str(), std::strerror(errno));
    db.remove(0, &id);
    return E_GENERIC;
  }
  d.id = id;
  return E_OK;
}

uint32_t domain_db_edit(const domain& d) {
  record r(DOMAIN_RECORD_SIZE);
  domain_ptr_to_file(d, r);
  const kt::filedb_fixed db = domains_file();
  return record_result(db.edit(0, &d.id, r.data()), db.path().c_str());
}

uint32_t domain_db_remove(const domain& d) {
  const kt::filedb_fixed db = domains_file();
  return record_result(db.remove(0, &d.id), db.path().c_str());
}

void domain_flush(domain& d) {
  flush_pair(d.users_by_name, d.users_by_id, [](user& u) { user_flush(u); });
  flush_pair(d.groups_by_name, d.groups_by_id, [](group& gr) { group_flush(gr); });
  flush_pair(d.resources_by_name, d.resources_by_id, [](resource& r) { resource_flush(r); });
  flush_pair(d.netclients_by_name, d.netclients_by_id, [](netclient& nc) { netclient_flush(nc); });
  flush_pair(d.profiles_by_name, d.profiles_by_id, [](nss_profile& p) { nss_profile_flush(p); });
  {
    std::unique_lock lock(d.attributes.rwlock());
    d.attributes.flush();
  }
  {
    std::unique_lock lock(d.netclients_lock);
    d.netclient_index.flush();
  }
  d.administrators.reset();
  d.all_users.reset();
}

domain_tables_read_lock::domain_tables_read_lock(domain& d) : d_(d) {
  d_.users_by_name.rwlock().lock_shared();
  d_.users_by_id.rwlock().lock_shared();
  d_.groups_by_name.rwlock().lock_shared();
  d_.groups_by_id.rwlock().lock_shared();
  d_.resources_by_name.rwlock().lock_shared();
  d_.resources_by_id.rwlock().lock_shared();
  d_.netclients_by_name.rwlock().lock_shared();
  d_.netclients_by_id.rwlock().lock_shared();
  d_.profiles_by_name.rwlock().lock_shared();
  d_.profiles_by_id.rwlock().lock_shared();
}

domain_tables_read_lock::~domain_tables_read_lock() {
  d_.profiles_by_id.rwlock().unlock_shared();
  d_.profiles_by_name.rwlock().unlock_shared();
  d_.netclients_by_id.rwlock().unlock_shared();
  d_.netclients_by_name.rwlock().unlock_shared();
  d_.resources_by_id.rwlock().unlock_shared();
  d_.resources_by_name.rwlock().unlock_shared();
  d_.groups_by_id.rwlock().unlock_shared();
  d_.groups_by_name.rwlock().unlock_shared();
  d_.users_by_id.rwlock().unlock_shared();
  d_.users_by_name.rwlock().unlock_shared();
}

int domain_open_auditlog(domain& d) {
  d.log = auditlog_open(path_auditlog_dir(d.id), false);
  return d.log ? 0 : -1;
}

int _domain_init(domain& d, std::string_view admin_password) {
  kt::ref_ptr<user> admin;
  kt::ref_ptr<group> administrators;
  kt::ref_ptr<group> all_users;
  if (init_administrator(d, admin_password, &admin) != 0) return -1;
  if (init_group(d, "Administrators", GROUP_FLAG_SYSTEM | GROUP_FLAG_ADMINISTRATORS,
                 &administrators) != 0) {
    return -1;
  }
  if (group_member_db_add(d, *administrators, MEMBER_USER, admin->id) != 0) return -1;
  group_link_user(*administrators, *admin);
  if (init_group(d, "AllUsers", GROUP_FLAG_SYSTEM | GROUP_FLAG_ALL_USERS, &all_users) != 0) {
    return -1;
  }
  if (init_settings(d) != 0) return -1;
  if (init_localhost(d) != 0) return -1;
  if (init_resources(d, administrators) != 0) return -1;
  d.administrators = administrators;
  d.all_users = all_users;
  domain_settings_load(d);
  return 0;
}

int _domain_load_objects(domain& d) {
  // Each loader logs what it skipped; a file it could not read at all is reported here, and the
  // domain loads what the others hold.
  int failed = 0;
  const auto loaded = [&](const char* kind, int rc) {
    if (rc != 0) {
      KT_LOG_ERR("domain %lu: %s failed to load (%d)", static_cast<unsigned long>(d.id), kind, rc);
      ++failed;
    }
    return rc == 0;
  };
  const bool users = loaded("users", users_load(d));
  const bool groups = loaded("groups", groups_load(d));
  const bool resources = loaded("resources", resources_load(d));
  const bool permissions = loaded("permissions", permissions_load(d));
  // Member and permission records whose owner is gone were left by a change that a crash cut
  // short; they are dropped only when every owner file was read, so that an unreadable file
  // never costs the records that name its objects.
  if (users && groups && resources && permissions) {
    loaded("group members", groups_drop_dangling(d));
    loaded("permissions", permissions_drop_dangling(d));
  }
  loaded("net clients", netclients_load(d));
  if (attributes_load(d) != 0) {
    KT_LOG_ERR("failed to load attributes");
    ++failed;
  }
  loaded("NSS profiles", nss_profiles_load(d));
  domain_settings_load(d);
  d.administrators = d.groups_by_name.get_rw("Administrators");
  d.all_users = d.groups_by_name.get_rw("AllUsers");
  return failed == 0 ? 0 : -1;
}

int domains_load(globals& g) {
  if (kt::path_create(path_current().c_str()) != 0) return -1;
  const kt::filedb_fixed db = domains_file();

  // A partial record at the end or a repeated one (left by a crash) is cut off first: the file
  // refuses new records behind a partial one, and a new root may have to be written.
  std::vector<kt::ref_ptr<domain>> records;
  const int rc = record_load_repair(db, [&](const record& r) {
    kt::ref_ptr<domain> d = domain_create();
    domain_file_to_ptr(*d, r);
    records.push_back(std::move(d));
    return true;
  });
  if (rc != 0) return -1;
  const size_t stored = records.size();
  backup_recover_stages();  // before a domain's audit log makes its directory again
  std::string root_error;

  // The root (the first usable record without parent) goes first, so that no other record can
  // take its name. Records without identifier or name, or repeating one, are skipped: every
  // domain is found both by identifier and by name.
  const auto root = std::find_if(records.begin(), records.end(), [](const auto& d) {
    return d->id != 0 && d->parent_id == 0 && !d->name().empty();
  });
  if (root != records.end()) std::rotate(records.begin(), root, root + 1);
  for (const auto& d : records) {
    const std::string name = d->name();
    if (d->id == 0 || name.empty() || g.domains_by_id.get_rw(d->id) ||
        g.domains_by_name.get_rw(name)) {
      KT_LOG_ERR("damaged or duplicate domain record skipped. domain %lu, name %s",
                 static_cast<unsigned long>(d->id), name.c_str());
      continue;
    }
    d->g = &g;
    if (domain_open_auditlog(*d) != 0) {
      const std::string what = "auditlog_open(" + std::to_string(d->id) + ")";
      KT_LOG_ERR("%s(): %s", what.c_str(), std::strerror(errno));
      if (d->parent_id == 0 && !g.root_domain) root_error = what + " failed";
      continue;
    }
    if (d->parent_id == 0 && !g.root_domain) g.root_domain = d;
    g.domains_by_name.insert_rw(name, d);
    g.domains_by_id.insert_rw(d->id, d);
  }
  records.clear();

  // A new database only where there is none: a root written over existing records would come
  // with the initial Administrator password and cut every tenant off from its parent.
  if (!g.root_domain && stored > 0) {
    KT_LOG_ERR(
        "%s holds %zu domain records but the root domain can not be loaded (%s); no new "
        "database is created over it",
        db.path().c_str(), stored,
        root_error.empty() ? "no usable record without a parent" : root_error.c_str());
    return DOMAINS_ROOT_NOT_LOADED;
  }
  if (!g.root_domain) {
    KT_LOG_INFO("-- initialize database --");
    kt::ref_ptr<domain> d = domain_create();
    d->set_name(ROOT_DOMAIN_NAME);
    d->g = &g;
    if (domain_db_add(*d) != 0) return -2;
    const std::string& password = config_get().admin_password;
    if (_domain_init(*d, password.empty() ? ROOT_ADMIN_PASSWORD : password) != 0) return -1;
    if (domain_open_auditlog(*d) != 0) return -3;
    g.domains_by_name.insert_rw(d->name(), d);
    g.domains_by_id.insert_rw(d->id, d);
    g.root_domain = d;
    domain_flush(*d);  // read back below like every other domain
  }

  if (backup_restoring_domains(g) != 0) KT_LOG_ERR("failed to restore domains.");

  std::vector<kt::ref_ptr<domain>> all;
  {
    std::shared_lock lock(g.domains_by_name.rwlock());
    g.domains_by_name.for_each(
        [&](const std::string&, kt::ref_ptr<domain>& d) { all.push_back(d); });
  }
  for (const auto& d : all) {
    d->g = &g;
    if (d->parent_id != 0) d->parent = g.domains_by_id.get_rw(d->parent_id);
  }
  for (const auto& d : all) {
    if (d->parent_id != 0 && !d->parent) {
      KT_LOG_ERR("%s: can not find parent domain. domain %lu, id_parent %lu", d->name().c_str(),
                 static_cast<unsigned long>(d->id), static_cast<unsigned long>(d->parent_id));
      continue;
    }
    // A damaged file may link domains in a loop, which every walk up the tree would follow
    // forever: the domain found on a loop is cut off like one whose parent is missing.
    if (parent_chain_loops(*d)) {
      KT_LOG_ERR("%s: parent domain %lu closes a loop. domain %lu", d->name().c_str(),
                 static_cast<unsigned long>(d->parent_id), static_cast<unsigned long>(d->id));
      d->parent.reset();
      continue;
    }
    if ((d->flags.load() & DOMAIN_FLAG_RESTORING) == 0) _domain_load_objects(*d);
  }
  return 0;
}

}  // namespace orvane
