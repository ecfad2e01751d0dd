#include "objects/domains/domain_commands.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "config.h"
#include "errors.h"
#include "globals.h"
#include "objects/auditlogs/auditlog.h"
#include "objects/backup/backup.h"
#include "objects/command.h"
#include "objects/domains/domain.h"
#include "objects/domains/domain_records.h"
#include "objects/fields.h"
#include "objects/names.h"
#include "objects/netclients/netclient.h"
#include "objects/netclients/netclient_records.h"
#include "objects/permissions/permission.h"
#include "objects/permissions/permission_records.h"
#include "objects/search.h"
#include "objects/tasks/tasks.h"
#include "objects/tokens/token.h"
#include "objects/tokens/tokens.h"
#include "objects/users/user_records.h"
#include "sutils/openssl_ca.h"
#include "utils/files.h"
#include "utils/logger.h"
#include "xmldoc/xmldoc.h"

namespace orvane {

namespace {

using tree_lock = std::unique_lock<kt::rwlock>;

constexpr const char* kKind = "domain";

// May u manage D: WRITE on D's ORVANE resource, asked up the tree. Runs under g.global_lock.
bool may_manage(const user& u, domain& target) {
  return permission_check_hieracy(u, PERMISSION_TARGET_RESOURCE, target,
                                  sys_resource_names[SYS_RES_ORVANE],
                                  target.sys_res[SYS_RES_ORVANE], PERM_WRITE) == 0;
}

// Takes g.global_lock for writing and the lock of the domain find() names, unless that is the
// current domain (the dispatcher holds its lock already). The domain lock is only tried: a
// command running in that domain may itself be waiting for g.global_lock, so on failure both
// are released and the lookup is repeated. Returns the domain (empty when find() finds none;
// only g.global_lock is held then).
template <class Find>
kt::ref_ptr<domain> lock_tree_and_domain(globals& g, const domain& current, Find find,
                                         tree_lock* global, tree_lock* target) {
  auto pause = std::chrono::microseconds(200);
  for (;;) {
    *global = tree_lock(g.global_lock);
    kt::ref_ptr<domain> found = find();
    if (!found || found.get() == &current) return found;
    tree_lock l(found->lock, std::try_to_lock);
    if (l.owns_lock()) {
      *target = std::move(l);
      return found;
    }
    global->unlock();
    std::this_thread::sleep_for(pause);
    if (pause < std::chrono::milliseconds(10)) pause *= 2;
  }
}

// Withdraws every net-client address of the domain from the server's index.
void withdraw_addresses(globals& g, domain& target) {
  std::vector<kt::ref_ptr<netclient>> clients;
  {
    std::shared_lock lock(target.netclients_by_id.rwlock());
    target.netclients_by_id.for_each(
        [&](uint64_t, kt::ref_ptr<netclient>& nc) { clients.push_back(nc); });
  }
  for (const auto& nc : clients) _netclient_addrlist_remove(g, target, *nc);
}

// Deletes the domain's directory with everything in it.
void remove_directory(const domain& target) {
  const std::string dir = path_domain_dir(target.id);
  if (kt::path_remove(dir.c_str()) != 0) {
    KT_LOG_ERR("path_remove(%s): %s", dir.c_str(), std::strerror(errno));
  }
}

// Undoes a domain added by domain_xml_add that is not yet in the server's tables: memory,
// audit log, record and directory.
void discard_new_domain(domain& nd) {
  domain_flush(nd);
  nd.log.reset();
  if (const int rc = domain_db_remove(nd); rc != 0) {
    KT_LOG_ERR("domain %lu: record not removed (%d)", static_cast<unsigned long>(nd.id), rc);
  }
  remove_directory(nd);
  nd.parent.reset();
}

// Is any domain a child of the domain?
bool has_children(globals& g, const domain& target) {
  bool found = false;
  std::shared_lock lock(g.domains_by_id.rwlock());
  g.domains_by_id.for_each([&](uint64_t, kt::ref_ptr<domain>& other) {
    if (other && other->parent_id == target.id && other.get() != &target) found = true;
    return !found;
  });
  return found;
}

// Does the tree above start (start included) reach target? The walk is bounded by the number
// of domains, so a damaged tree can't hold it.
bool inside_subtree(globals& g, const kt::ref_ptr<domain>& start, const domain& target) {
  uint64_t steps = g.domains_by_id.count() + 1;
  for (kt::ref_ptr<domain> p = start; p && steps > 0; p = p->parent, --steps) {
    if (p.get() == &target) return true;
  }
  return false;
}

// Domain-name validation, also refusing names that do not fit the record's name field (0x309):
// the stored name must be the name in use.
uint32_t domain_name_check(std::string_view name) {
  return check_domain_name(name, DOMAIN_NAME_FIELD - 1);
}

// The work of the commands on the tree, for the caller's user u in the current domain d. Each
// hands back the domain it added, changed or removed (with a reference) in *out on success.
// Return 0 or the command's result code.
uint32_t domain_xml_add(globals& g, domain&, const user& u, const kt::xmldoc_node& cmd,
                        kt::ref_ptr<domain>* out) {
  const kt::xmldoc_node* dn = cmd.get("d");
  const kt::xmldoc_node* pn = cmd.get("p");
  if (dn == nullptr || pn == nullptr || pn->value().empty()) return E_INVALID_REQUEST;
  const kt::xmldoc_attr* name = dn->attr_get("name");
  uint64_t parent_id = 0;
  if (name == nullptr || xml_attr_decimal(*dn, "parentId", UINT64_MAX, &parent_id) != 0) {
    return E_INVALID_REQUEST;
  }
  if (const uint32_t rc = domain_name_check(name->value); rc != 0) return rc;

  tree_lock global(g.global_lock);
  if (g.domains_by_name.get_rw(name->value)) return E_DOMAIN_EXISTS;
  kt::ref_ptr<domain> parent = g.domains_by_id.get_rw(parent_id);
  if (!parent) return E_DOMAIN_NOT_FOUND;
  if (!may_manage(u, *parent)) return E_ACCESS_VIOLATION;

  kt::ref_ptr<domain> nd = domain_create();
  nd->parent_id = parent_id;
  nd->set_name(name->value);
  nd->parent = parent;
  nd->g = &g;
  if (const uint32_t rc = domain_db_add(*nd); rc != 0) {
    KT_LOG_ERR("%s: domain_db_add() failed.", name->value.c_str());
    nd->parent.reset();
    return rc;
  }
  if (_domain_init(*nd, pn->value()) != 0) {
    KT_LOG_ERR("%s: _domain_init() failed.", name->value.c_str());
    discard_new_domain(*nd);
    return E_DOMAIN_INIT_FAILED;
  }
  if (domain_open_auditlog(*nd) != 0) {
    const int err = errno;
    const std::string what = "auditlog_open(" + name->value + ":" + std::to_string(nd->id) + ")";
    KT_LOG_ERR("%s(): %s", what.c_str(), std::strerror(err));
    discard_new_domain(*nd);
    return E_DOMAIN_INIT_FAILED;
  }

  // Read the new domain back like one loaded at start-up; this also enters its net-client
  // addresses into the server's index.
  domain_flush(*nd);
  _domain_load_objects(*nd);
  if (g.domains_by_id.insert_rw(nd->id, nd) != 0 ||
      g.domains_by_name.insert_rw(name->value, nd) != 0) {
    g.domains_by_id.remove_rw(nd->id);
    withdraw_addresses(g, *nd);
    discard_new_domain(*nd);
    return E_NO_MEMORY;
  }
  *out = nd;
  return E_OK;
}

uint32_t domain_xml_edit(globals& g, domain& d, const user& u, const kt::xmldoc_node& cmd,
                         kt::ref_ptr<domain>* out) {
  const kt::xmldoc_node* dn = cmd.get("d");
  if (dn == nullptr) return E_INVALID_REQUEST;
  uint64_t id = 0;
  uint64_t parent_id = 0;
  const kt::xmldoc_attr* name = dn->attr_get("name");
  if (name == nullptr || xml_attr_decimal(*dn, "id", UINT64_MAX, &id) != 0 ||
      xml_attr_decimal(*dn, "parentId", UINT64_MAX, &parent_id) != 0) {
    return E_INVALID_REQUEST;
  }

  tree_lock global;
  tree_lock target_lock;
  kt::ref_ptr<domain> target = lock_tree_and_domain(
      g, d, [&] { return g.domains_by_id.get_rw(id); }, &global, &target_lock);
  if (!target) return E_DOMAIN_NOT_FOUND;
  if (target.get() != &d && !may_manage(u, *target)) return E_ACCESS_VIOLATION;

  const std::string& new_name = name->value;
  if (const uint32_t rc = domain_name_check(new_name); rc != 0) return rc;
  if (kt::ref_ptr<domain> other = g.domains_by_name.get_rw(new_name); other && other != target) {
    return E_DOMAIN_EXISTS;
  }

  kt::ref_ptr<domain> new_parent = target->parent;
  if (parent_id != target->parent_id) {
    if (parent_id == target->id) return E_DOMAIN_CHILD_OF_SELF;
    new_parent = g.domains_by_id.get_rw(parent_id);
    if (!new_parent) return E_DOMAIN_PARENT_NOT_FOUND;
    if (inside_subtree(g, new_parent, *target)) return E_DOMAIN_CHILD_OF_CHILD;
    if (!may_manage(u, *new_parent)) return E_ACCESS_VIOLATION;
  }

  const std::string old_name = target->name();
  const uint64_t old_parent_id = target->parent_id;
  kt::ref_ptr<domain> old_parent = target->parent;
  auto rename = [&](const std::string& from, const std::string& to) {
    if (from == to) return;
    target->set_name(to);
    std::unique_lock lock(g.domains_by_name.rwlock());
    g.domains_by_name.remove_l(from);
    g.domains_by_name.insert_l(to, target);
  };

  target->parent_id = parent_id;
  target->parent = new_parent;
  rename(old_name, new_name);
  if (const uint32_t rc = domain_db_edit(*target); rc != 0) {
    // The record still holds the old state: so must memory.
    KT_LOG_ERR("%s: domain_db_edit() failed.", new_name.c_str());
    rename(new_name, old_name);
    target->parent_id = old_parent_id;
    target->parent = old_parent;
    return rc;
  }
  *out = target;
  return E_OK;
}

uint32_t domain_xml_remove(globals& g, domain& d, const user& u, const kt::xmldoc_node& cmd,
                           kt::ref_ptr<domain>* out) {
  const kt::xmldoc_node* dn = cmd.get("d");
  if (dn == nullptr) return E_INVALID_REQUEST;
  const kt::xmldoc_attr* id_attr = dn->attr_get("id");
  const kt::xmldoc_attr* name = dn->attr_get("name");
  if (id_attr == nullptr && name == nullptr) return E_INVALID_REQUEST;
  uint64_t id = 0;
  if (id_attr != nullptr && xml_attr_decimal(*dn, "id", UINT64_MAX, &id) != 0) id = 0;

  tree_lock global;
  tree_lock target_lock;
  kt::ref_ptr<domain> target = lock_tree_and_domain(
      g, d,
      [&] {
        kt::ref_ptr<domain> found;
        if (id != 0) found = g.domains_by_id.get_rw(id);
        if (!found && name != nullptr) found = g.domains_by_name.get_rw(name->value);
        return found;
      },
      &global, &target_lock);
  if (!target) return E_DOMAIN_NOT_FOUND;
  if (target->parent_id == 0 || target == g.root_domain) return E_ROOT_DOMAIN_DELETE;
  if (target.get() == &d) return E_DOMAIN_DELETE_OWN;
  if (!may_manage(u, *target)) return E_ACCESS_VIOLATION;
  if (has_children(g, *target)) return E_DOMAIN_HAS_SUBDOMAINS;

  if (const uint32_t rc = domain_db_remove(*target); rc != 0) {
    KT_LOG_ERR("%s: domain_db_remove() failed.", target->name().c_str());
    return rc;
  }
  g.domains_by_id.remove_rw(target->id);
  {
    std::unique_lock lock(g.domains_by_name.rwlock());
    if (const kt::ref_ptr<domain>* entry = g.domains_by_name.find_nl(target->name());
        entry != nullptr && *entry == target) {
      g.domains_by_name.remove_l(target->name());
    }
  }
  withdraw_addresses(g, *target);
  token_remove_by_domain(g, *target);
  domain_flush(*target);
  // Stops the audit writer before its directory goes; a command that still holds the domain
  // finds no log and no objects.
  target->log.reset();
  remove_directory(*target);
  // Nothing of the domain stays on disk where no command reaches it: its backups (password
  // digests included) and its net clients' keys and bundles.
  backups_remove_domain(target->id);
  if (g.ca && g.ca->remove_domain(target->id) != 0) {
    KT_LOG_ERR("domain %lu: net client keys not all removed",
               static_cast<unsigned long>(target->id));
  }
  target->parent.reset();
  *out = target;
  return E_OK;
}

}  // namespace

uint32_t processor_domain_insert(command& cmd) {
  if (const uint32_t rc = cmd.require(SYS_RES_ORVANE, PERM_WRITE); rc != 0) return rc;
  return cmd.change(kKind, CHANGE_INSERT, [&](change_report& report) -> uint32_t {
    kt::ref_ptr<domain> added;
    const uint32_t rc = domain_xml_add(cmd.g, cmd.dom(), *cmd.who(), cmd.element, &added);
    if (rc == E_OK) report = {added->name(), added->id, true};
    return rc;
  });
}

uint32_t processor_domain_edit(command& cmd) {
  if (const uint32_t rc = cmd.require(SYS_RES_ORVANE, PERM_WRITE); rc != 0) return rc;
  return cmd.change(kKind, CHANGE_EDIT, [&](change_report& report) -> uint32_t {
    kt::ref_ptr<domain> edited;
    const uint32_t rc = domain_xml_edit(cmd.g, cmd.dom(), *cmd.who(), cmd.element, &edited);
    if (rc == E_OK) report = {edited->name(), edited->id, true};
    return rc;
  });
}

uint32_t processor_domain_remove(command& cmd) {
  // Relies on the domain-tree walk alone.
  if (cmd.who() == nullptr) return E_ACCESS_VIOLATION;
  return cmd.change(kKind, CHANGE_REMOVE, [&](change_report& report) -> uint32_t {
    kt::ref_ptr<domain> removed;
    const uint32_t rc = domain_xml_remove(cmd.g, cmd.dom(), *cmd.who(), cmd.element, &removed);
    if (rc == E_OK) report = {removed->name(), removed->id, true};
    return rc;
  });
}

uint32_t processor_domain_search(command& cmd) {
  if (const uint32_t rc = cmd.require(SYS_RES_ORVANE, PERM_READ); rc != 0) return rc;
  globals& g = cmd.g;
  domain* d = &cmd.dom();
  regex_holder re;
  if (const uint32_t rc = search_pattern_compile(cmd.element, re); rc != 0) return rc;

  auto domains = kt::xmldoc_node::create("domains");
  std::shared_lock global(g.global_lock);  // parent identifiers
  std::shared_lock lock(g.domains_by_name.rwlock());
  // A caller sees its own domain and the domains below it, never its siblings or ancestors.
  g.domains_by_name.for_each([&](const std::string&, kt::ref_ptr<domain>& found) {
    if (!found || !inside_subtree(g, found, *d)) return;
    const std::string name = found->name();
    if (!re.match(name.c_str())) return;
    auto element = kt::xmldoc_node::create("d");
    element->attr_addval("id", std::to_string(found->id));
    element->attr_addval("parentId", std::to_string(found->parent_id));
    element->attr_addval("name", name);
    domains->add_child(std::move(element));
  });
  cmd.answer(std::move(domains));
  return E_OK;
}

}  // namespace orvane
