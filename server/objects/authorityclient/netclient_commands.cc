#include "objects/authorityclient/netclient_commands.h"

#include <cstdio>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "errors.h"
#include "globals.h"
#include "objects/attributes/attributes.h"
#include "objects/authorityclient/authorityclient.h"
#include "objects/authorityclient/authorityclients.h"
#include "objects/change.h"
#include "objects/domains/domain.h"
#include "objects/permissions/permissions.h"
#include "objects/search.h"
#include "objects/tasks/tasks.h"
#include "objects/users/users.h"
#include "processor.h"
#include "sutils/openssl_ca.h"
#include "utils/base64.h"
#include "utils/files.h"
#include "utils/logger.h"

namespace orvane {

namespace {

constexpr const char* kKind = "netclient";
// A bundle is a few kilobytes; anything far larger is not one.
constexpr size_t kMaxBundleSize = 1u << 20;

// The address children of a "netc" element, in document order. Empty values carry no address
// and are skipped; a value too long for a record slot gives 0x18.
struct address_lists {
  std::vector<std::string> v4;
  std::vector<std::string> v6;
};

uint32_t read_addresses(const kt::xmldoc_node& netc, address_lists* out) {
  for (const auto& child : netc.children()) {
    const bool v4 = child->name() == "v4";
    if (!v4 && child->name() != "v6") continue;
    const std::string& text = child->value();
    if (text.empty()) continue;
    if (text.size() > NETCLIENT_ADDRESS_MAX) return E_VALUE_INVALID;
    (v4 ? out->v4 : out->v6).push_back(text);
  }
  return E_OK;
}

// The generic name rule, and short enough for the record's name field.
uint32_t check_name(const std::string& name) {
  if (const int rc = validate_generic_name(name); rc != 0) return static_cast<uint32_t>(rc);
  return name.size() >= AUTHORITYCLIENT_NAME_FIELD ? E_NAME_TOO_LONG : E_OK;
}

// The "netc" child and its "id": 0 or 0x10.
uint32_t read_target(const kt::xmldoc_node& cmd, const kt::xmldoc_node** netc, uint64_t* id) {
  *netc = cmd.get("netc");
  if (*netc == nullptr) return E_INVALID_REQUEST;
  return xml_attr_decimal(**netc, "id", UINT64_MAX, id);
}

uint32_t find_netclient(domain& d, uint64_t id, kt::ref_ptr<authorityclient>* out) {
  *out = authorityclient_get_by_id(d, id);
  return *out ? E_OK : E_NETCLIENT_NOT_FOUND;
}

std::string certificate_stem(uint64_t domain_id, uint64_t netclient_id) {
  char stem[48];
  std::snprintf(stem, sizeof stem, "%lu_%lu", static_cast<unsigned long>(domain_id),
                static_cast<unsigned long>(netclient_id));
  return stem;
}

std::unique_ptr<kt::xmldoc_node> search_element(const authorityclient& nc) {
  auto e = kt::xmldoc_node::create("netc");
  e->attr_addval("id", std::to_string(nc.id));
  e->attr_addval("name", nc.get_name());
  for (const std::string& a : nc.v4_addresses()) {
    e->add_child(kt::xmldoc_node::create("v4"))->set_value(a);
  }
  for (const std::string& a : nc.v6_addresses()) {
    e->add_child(kt::xmldoc_node::create("v6"))->set_value(a);
  }
  return e;
}

}  // namespace

uint32_t processor_netclient_insert(client& c, globals& g, domain* d, token* t,
                                    kt::xmldoc_node& cmd, processor_result& r) {
  if (d == nullptr) return E_DOMAIN_NOT_FOUND;
  if (const uint32_t rc = permission_check_system(*d, t, SYS_RES_NETCLIENTS, PERM_WRITE)) return rc;
  const kt::xmldoc_node* netc = cmd.get("netc");
  if (netc == nullptr) return E_INVALID_REQUEST;
  const kt::xmldoc_attr* name = netc->attr_get("name");
  if (name == nullptr || name->value.empty()) return E_INVALID_REQUEST;
  if (const uint32_t rc = check_name(name->value)) return rc;
  if (authorityclient_get_by_name(*d, name->value)) return E_NETCLIENT_EXISTS;
  address_lists lists;
  if (const uint32_t rc = read_addresses(*netc, &lists)) return rc;

  kt::ref_ptr<authorityclient> nc = authorityclient_create();
  if (!nc) return static_cast<uint32_t>(-1);
  nc->flags = 0;
  nc->set_name(name->value);
  nc->set_addresses(std::move(lists.v4), std::move(lists.v6));
  if (const int rc = authorityclient_db_add(*d, *nc); rc != 0) {
    KT_LOG_ERR("authorityclient_db_add(): failed (%d)", rc);
    audit_change(c, *d, t, cmd, static_cast<uint32_t>(rc), kKind, name->value, nc->id, "added");
    return static_cast<uint32_t>(rc);
  }
  nc->dom = kt::ref_ptr<domain>(d);
  if (g.ca) {
    // A failed issue leaves the net client without a certificate (logged); it still stands.
    if (const int rc = g.ca->new_client(d->name(), nc->id, d->id); rc != 0) {
      KT_LOG_ERR("openssl_ca_new(%lu_%lu): failed (%d)", static_cast<unsigned long>(d->id),
                 static_cast<unsigned long>(nc->id), rc);
    }
  }
  _authorityclient_addrlist_add(g, *d, *nc);
  d->netclients_by_name.insert_rw(name->value, nc);
  d->netclients_by_id.insert_rw(nc->id, nc);

  object_changed(c, g, *d, t, cmd, kKind, name->value, nc->id, CHANGE_INSERT);
  r.set_answer_inserted_id(nc->id);
  return E_OK;
}

uint32_t processor_netclient_edit(client& c, globals& g, domain* d, token* t, kt::xmldoc_node& cmd,
                                  processor_result&) {
  if (d == nullptr) return E_DOMAIN_NOT_FOUND;
  if (const uint32_t rc = permission_check_system(*d, t, SYS_RES_NETCLIENTS, PERM_WRITE)) return rc;
  const kt::xmldoc_node* netc = nullptr;
  uint64_t id = 0;
  if (const uint32_t rc = read_target(cmd, &netc, &id)) return rc;
  const kt::xmldoc_attr* name = netc->attr_get("name");
  if (name != nullptr) {
    if (const uint32_t rc = check_name(name->value)) return rc;
    kt::ref_ptr<authorityclient> other = authorityclient_get_by_name(*d, name->value);
    if (other && other->id != id) return E_NETCLIENT_EXISTS;
  }
  kt::ref_ptr<authorityclient> nc;
  if (const uint32_t rc = find_netclient(*d, id, &nc)) return rc;
  const std::string old_name = nc->get_name();
  uint32_t rc = (nc->flags & NETCLIENT_FLAG_READ_ONLY) != 0 ? E_NETCLIENT_READ_ONLY : E_OK;
  address_lists lists;
  if (rc == E_OK) rc = read_addresses(*netc, &lists);
  if (rc != E_OK) {
    audit_change(c, *d, t, cmd, rc, kKind, old_name, nc->id, "edited");
    return rc;
  }
  const std::string new_name = name != nullptr ? name->value : old_name;

  // The record is written first; memory and the indexes change only when the store took it.
  kt::ref_ptr<authorityclient> staged = authorityclient_create();
  if (!staged) return static_cast<uint32_t>(-1);
  staged->id = nc->id;
  staged->flags = nc->flags;
  staged->set_name(new_name);
  staged->set_addresses(lists.v4, lists.v6);
  if (const int db = authorityclient_db_edit(*d, *staged); db != 0) {
    KT_LOG_ERR("authorityclient_db_edit(): failed (%d)", db);
    audit_change(c, *d, t, cmd, static_cast<uint32_t>(db), kKind, old_name, nc->id, "edited");
    return static_cast<uint32_t>(db);
  }

  _authorityclient_addrlist_remove(g, *d, *nc);
  if (new_name != old_name) {
    std::unique_lock lock(d->netclients_by_name.rwlock());
    if (kt::ref_ptr<authorityclient>* cur = d->netclients_by_name.find_nl(old_name);
        cur != nullptr && cur->get() == nc.get()) {
      d->netclients_by_name.remove_l(old_name);
    }
    nc->set_name(new_name);
    d->netclients_by_name.insert_l(new_name, nc);
  }
  nc->set_addresses(std::move(lists.v4), std::move(lists.v6));
  _authorityclient_addrlist_add(g, *d, *nc);

  object_changed(c, g, *d, t, cmd, kKind, new_name, nc->id, CHANGE_EDIT);
  return E_OK;
}

uint32_t processor_netclient_remove(client& c, globals& g, domain* d, token* t,
                                    kt::xmldoc_node& cmd, processor_result&) {
  if (d == nullptr) return E_DOMAIN_NOT_FOUND;
  if (const uint32_t rc = permission_check_system(*d, t, SYS_RES_NETCLIENTS, PERM_WRITE)) return rc;
  const kt::xmldoc_node* netc = nullptr;
  uint64_t id = 0;
  if (const uint32_t rc = read_target(cmd, &netc, &id)) return rc;
  kt::ref_ptr<authorityclient> nc;
  if (const uint32_t rc = find_netclient(*d, id, &nc)) return rc;
  const std::string name = nc->get_name();
  uint32_t rc = (nc->flags & NETCLIENT_FLAG_SYSTEM) != 0 ? E_NETCLIENT_SYSTEM : E_OK;
  if (rc == E_OK) {
    if (const int db = authorityclient_db_del(*d, *nc); db != 0) {
      KT_LOG_ERR("authorityclient_db_del(): failed (%d)", db);
      rc = static_cast<uint32_t>(db);
    }
  }
  if (rc != E_OK) {
    audit_change(c, *d, t, cmd, rc, kKind, name, nc->id, "removed");
    return rc;
  }

  // The record is gone: what follows only logs its failures.
  if (g.ca) {
    const std::string stem = certificate_stem(d->id, nc->id);
    if (const int ca = g.ca->del(stem); ca != 0) {
      KT_LOG_ERR("openssl_ca_del(%s): failed (%d)", stem.c_str(), ca);
    }
  }
  if (const int attrs = attributes_db_del_list(*d, nc->attributes); attrs != 0) {
    KT_LOG_ERR("netclient %lu: attributes_db_del_list(): failed (%d)",
               static_cast<unsigned long>(nc->id), attrs);
  }
  authorityclient_flush(*nc);
  _authorityclient_addrlist_remove(g, *d, *nc);
  {
    std::unique_lock lock(d->netclients_by_name.rwlock());
    if (kt::ref_ptr<authorityclient>* cur = d->netclients_by_name.find_nl(name);
        cur != nullptr && cur->get() == nc.get()) {
      d->netclients_by_name.remove_l(name);
    }
  }
  d->netclients_by_id.remove_rw(nc->id);

  object_changed(c, g, *d, t, cmd, kKind, name, nc->id, CHANGE_REMOVE);
  return E_OK;
}

uint32_t processor_netclient_search(client&, globals&, domain* d, token* t, kt::xmldoc_node& cmd,
                                    processor_result& r) {
  if (d == nullptr) return E_DOMAIN_NOT_FOUND;
  if (const uint32_t rc = permission_check_system(*d, t, SYS_RES_NETCLIENTS, PERM_READ)) return rc;
  regex_holder re;
  if (const int rc = search_pattern_compile(cmd, re); rc != 0) return static_cast<uint32_t>(rc);

  std::vector<kt::ref_ptr<authorityclient>> all;
  {
    std::shared_lock lock(d->netclients_by_id.rwlock());
    d->netclients_by_id.for_each([&](uint64_t, kt::ref_ptr<authorityclient>& nc) {
      if (nc) all.push_back(nc);
    });
  }
  auto list = kt::xmldoc_node::create("netclients");
  for (const kt::ref_ptr<authorityclient>& nc : all) {
    if (re.match(nc->get_name().c_str())) list->add_child(search_element(*nc));
  }
  r.set_answer(std::move(list));
  return E_OK;
}

uint32_t processor_netclient_get_pfx(client& c, globals& g, domain* d, token* t,
                                     kt::xmldoc_node& cmd, processor_result& r) {
  if (d == nullptr) return E_DOMAIN_NOT_FOUND;
  if (const uint32_t rc = permission_check_system(*d, t, SYS_RES_NETCLIENTS, PERM_WRITE)) return rc;
  const kt::xmldoc_node* netc = nullptr;
  uint64_t id = 0;
  if (const uint32_t rc = read_target(cmd, &netc, &id)) return rc;
  kt::ref_ptr<authorityclient> nc;
  if (const uint32_t rc = find_netclient(*d, id, &nc)) return rc;
  if (!g.ca) return E_VALUE_INVALID;
  std::string bundle;
  const std::string path = g.ca->pfx_path(d->id, nc->id);
  if (kt::read_file(path.c_str(), bundle, kMaxBundleSize) != 0) {
    KT_LOG_ERR("%s: can not be read", path.c_str());
    return E_VALUE_INVALID;
  }

  const std::string name = nc->get_name();
  auto answer = kt::xmldoc_node::create("netc");
  answer->attr_addval("id", netc->attr_get_value("id"));
  answer->attr_addval("name", name);
  answer->add_child(kt::xmldoc_node::create("pfx"))->set_value(kt::base64encode_(bundle));
  r.set_answer(std::move(answer));
  audit_change(c, *d, t, cmd, E_OK, kKind, name, nc->id, "getPfx");
  return E_OK;
}

}  // namespace orvane
