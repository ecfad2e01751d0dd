#include "objects/netclients/netclient_commands.h"

#include <cstdio>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "errors.h"
#include "globals.h"
#include "objects/attributes/attribute_records.h"
#include "objects/command.h"
#include "objects/domains/domain.h"
#include "objects/fields.h"
#include "objects/names.h"
#include "objects/netclients/netclient.h"
#include "objects/netclients/netclient_records.h"
#include "objects/permissions/permission.h"
#include "objects/search.h"
#include "objects/tasks/tasks.h"
#include "objects/users/user_records.h"
#include "sutils/openssl_ca.h"
#include "utils/base64.h"
#include "utils/files.h"
#include "utils/logger.h"

namespace orvane {

namespace {

constexpr const char* kKind = "netclient";
// The longest address text a record slot keeps whole.
constexpr size_t kMaxAddress = NETCLIENT_SLOT_SIZE - 1;
// A bundle is a few kilobytes; anything far larger is not one.
constexpr size_t kMaxBundleSize = 1u << 20;

// The address children of a "netc" element, in document order. Empty values carry no address
// and are skipped. A value too long for a record slot, or more addresses than the record keeps
// (NETCLIENT_MAX_V4_SLOTS IPv4, NETCLIENT_SLOTS in all), gives 0x18: the store would cut them.
struct address_lists {
  bool given = false;  // the element has at least one v4 or v6 child, empty or not
  std::vector<std::string> v4;
  std::vector<std::string> v6;
};

uint32_t read_addresses(const kt::xmldoc_node& netc, address_lists* out) {
  for (const auto& child : netc.children()) {
    const bool v4 = child->name() == "v4";
    if (!v4 && child->name() != "v6") continue;
    out->given = true;
    const std::string& text = child->value();
    if (text.empty()) continue;
    if (text.size() > kMaxAddress) return E_VALUE_INVALID;
    (v4 ? out->v4 : out->v6).push_back(text);
  }
  if (out->v4.size() > NETCLIENT_MAX_V4_SLOTS ||
      out->v4.size() + out->v6.size() > NETCLIENT_SLOTS) {
    return E_VALUE_INVALID;
  }
  return E_OK;
}

// The generic name rule, and short enough for the record's name field.
uint32_t check_name(const std::string& name) {
  return check_generic_name(name, NETCLIENT_NAME_FIELD - 1);
}

// The "netc" child and its "id": 0 or 0x10.
uint32_t read_target(const kt::xmldoc_node& cmd, const kt::xmldoc_node** netc, uint64_t* id) {
  *netc = cmd.get("netc");
  if (*netc == nullptr) return E_INVALID_REQUEST;
  return xml_attr_decimal(**netc, "id", UINT64_MAX, id);
}

uint32_t find_netclient(domain& d, uint64_t id, kt::ref_ptr<netclient>* out) {
  *out = netclient_get_by_id(d, id);
  return *out ? E_OK : E_NETCLIENT_NOT_FOUND;
}

std::string certificate_stem(uint64_t domain_id, uint64_t netclient_id) {
  char stem[48];
  std::snprintf(stem, sizeof stem, "%lu_%lu", static_cast<unsigned long>(domain_id),
                static_cast<unsigned long>(netclient_id));
  return stem;
}

std::unique_ptr<kt::xmldoc_node> search_element(const netclient& nc) {
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

uint32_t processor_netclient_insert(command& cmd) {
  if (const uint32_t rc = cmd.require(SYS_RES_NETCLIENTS, PERM_WRITE); rc != 0) return rc;
  globals& g = cmd.g;
  domain& d = cmd.dom();
  return cmd.change(kKind, CHANGE_INSERT, [&](change_report& report) -> uint32_t {
    const kt::xmldoc_node* netc = cmd.element.get("netc");
    if (netc == nullptr) return E_INVALID_REQUEST;
    const kt::xmldoc_attr* name = netc->attr_get("name");
    if (name == nullptr || name->value.empty()) return E_INVALID_REQUEST;
    if (const uint32_t rc = check_name(name->value)) return rc;
    if (netclient_get_by_name(d, name->value)) return E_NETCLIENT_EXISTS;
    address_lists lists;
    if (const uint32_t rc = read_addresses(*netc, &lists)) return rc;

    kt::ref_ptr<netclient> nc = netclient_create();
    if (!nc) return E_NO_MEMORY;
    nc->flags = 0;
    nc->set_name(name->value);
    nc->set_addresses(std::move(lists.v4), std::move(lists.v6));
    if (const uint32_t rc = netclient_db_add(d, *nc); rc != 0) {
      KT_LOG_ERR("netclient_db_add(): failed");
      report = {name->value, nc->id, false, true};
      return rc;
    }
    nc->dom = kt::ref_ptr<domain>(&d);
    if (g.ca) {
      // A failed issue leaves the net client without a certificate (logged); it still stands.
      if (const int rc = g.ca->new_client(d.name(), nc->id, d.id); rc != 0) {
        KT_LOG_ERR("openssl_ca_new(%lu_%lu): failed (%d)", static_cast<unsigned long>(d.id),
                   static_cast<unsigned long>(nc->id), rc);
      }
    }
    _netclient_addrlist_add(g, d, *nc);
    d.netclients_by_name.insert_rw(name->value, nc);
    d.netclients_by_id.insert_rw(nc->id, nc);
    report = {name->value, nc->id, true};
    return E_OK;
  });
}

uint32_t processor_netclient_edit(command& cmd) {
  if (const uint32_t rc = cmd.require(SYS_RES_NETCLIENTS, PERM_WRITE); rc != 0) return rc;
  globals& g = cmd.g;
  domain& d = cmd.dom();
  return cmd.change(kKind, CHANGE_EDIT, [&](change_report& report) -> uint32_t {
    const kt::xmldoc_node* netc = nullptr;
    uint64_t id = 0;
    if (const uint32_t rc = read_target(cmd.element, &netc, &id)) return rc;
    const kt::xmldoc_attr* name = netc->attr_get("name");
    if (name != nullptr) {
      if (const uint32_t rc = check_name(name->value)) return rc;
      kt::ref_ptr<netclient> other = netclient_get_by_name(d, name->value);
      if (other && other->id != id) return E_NETCLIENT_EXISTS;
    }
    kt::ref_ptr<netclient> nc;
    if (const uint32_t rc = find_netclient(d, id, &nc)) return rc;
    const std::string old_name = nc->get_name();
    // From here a refusal is audited with the net client's name.
    report = {old_name, nc->id, false, true};
    if ((nc->flags & NETCLIENT_FLAG_READ_ONLY) != 0) return E_NETCLIENT_READ_ONLY;
    address_lists lists;
    if (const uint32_t rc = read_addresses(*netc, &lists); rc != E_OK) return rc;
    // Without any address child the lists stay as they are (a rename keeps them); an empty
    // child clears them.
    if (!lists.given) {
      lists.v4 = nc->v4_addresses();
      lists.v6 = nc->v6_addresses();
    }
    const std::string new_name = name != nullptr ? name->value : old_name;

    // The record is written first; memory and the indexes change only when the store took it.
    kt::ref_ptr<netclient> staged = netclient_create();
    if (!staged) return E_NO_MEMORY;
    staged->id = nc->id;
    staged->flags = nc->flags;
    staged->set_name(new_name);
    staged->set_addresses(lists.v4, lists.v6);
    if (const uint32_t rc = netclient_db_edit(d, *staged); rc != 0) {
      KT_LOG_ERR("authorityclient_db_edit(): failed");
      return rc;
    }

    _netclient_addrlist_remove(g, d, *nc);
    if (new_name != old_name) {
      std::unique_lock lock(d.netclients_by_name.rwlock());
      if (kt::ref_ptr<netclient>* cur = d.netclients_by_name.find_nl(old_name);
          cur != nullptr && cur->get() == nc.get()) {
        d.netclients_by_name.remove_l(old_name);
      }
      nc->set_name(new_name);
      d.netclients_by_name.insert_l(new_name, nc);
    }
    nc->set_addresses(std::move(lists.v4), std::move(lists.v6));
    _netclient_addrlist_add(g, d, *nc);
    report = {new_name, nc->id, true};
    return E_OK;
  });
}

uint32_t processor_netclient_remove(command& cmd) {
  if (const uint32_t rc = cmd.require(SYS_RES_NETCLIENTS, PERM_WRITE); rc != 0) return rc;
  globals& g = cmd.g;
  domain& d = cmd.dom();
  return cmd.change(kKind, CHANGE_REMOVE, [&](change_report& report) -> uint32_t {
    const kt::xmldoc_node* netc = nullptr;
    uint64_t id = 0;
    if (const uint32_t rc = read_target(cmd.element, &netc, &id)) return rc;
    kt::ref_ptr<netclient> nc;
    if (const uint32_t rc = find_netclient(d, id, &nc)) return rc;
    const std::string name = nc->get_name();
    report = {name, nc->id, false, true};
    if ((nc->flags & NETCLIENT_FLAG_SYSTEM) != 0) return E_NETCLIENT_SYSTEM;
    if (const uint32_t rc = netclient_db_remove(d, *nc); rc != 0) {
      KT_LOG_ERR("netclient_db_remove(): failed");
      return rc;
    }

    // The record is gone: what follows only logs its failures.
    if (g.ca) {
      const std::string stem = certificate_stem(d.id, nc->id);
      if (const int ca = g.ca->remove(stem); ca != 0) {
        KT_LOG_ERR("openssl_ca_remove(%s): failed (%d)", stem.c_str(), ca);
      }
    }
    if (attributes_db_remove_list(d, nc->attributes) != 0) {
      KT_LOG_ERR("netclient %lu: attributes_db_remove_list(): failed",
                 static_cast<unsigned long>(nc->id));
    }
    netclient_flush(*nc);
    _netclient_addrlist_remove(g, d, *nc);
    {
      std::unique_lock lock(d.netclients_by_name.rwlock());
      if (kt::ref_ptr<netclient>* cur = d.netclients_by_name.find_nl(name);
          cur != nullptr && cur->get() == nc.get()) {
        d.netclients_by_name.remove_l(name);
      }
    }
    d.netclients_by_id.remove_rw(nc->id);
    report.changed = true;
    return E_OK;
  });
}

uint32_t processor_netclient_search(command& cmd) {
  if (const uint32_t rc = cmd.require(SYS_RES_NETCLIENTS, PERM_READ)) return rc;
  domain& d = cmd.dom();
  regex_holder re;
  if (const uint32_t rc = search_pattern_compile(cmd.element, re); rc != 0) return rc;

  std::vector<kt::ref_ptr<netclient>> all;
  {
    std::shared_lock lock(d.netclients_by_id.rwlock());
    d.netclients_by_id.for_each([&](uint64_t, kt::ref_ptr<netclient>& nc) {
      if (nc) all.push_back(nc);
    });
  }
  auto list = kt::xmldoc_node::create("netclients");
  for (const kt::ref_ptr<netclient>& nc : all) {
    if (re.match(nc->get_name().c_str())) list->add_child(search_element(*nc));
  }
  cmd.answer(std::move(list));
  return E_OK;
}

uint32_t processor_netclient_get_pfx(command& cmd) {
  if (const uint32_t rc = cmd.require(SYS_RES_NETCLIENTS, PERM_WRITE)) return rc;
  globals& g = cmd.g;
  domain& d = cmd.dom();
  const kt::xmldoc_node* netc = nullptr;
  uint64_t id = 0;
  if (const uint32_t rc = read_target(cmd.element, &netc, &id)) return rc;
  kt::ref_ptr<netclient> nc;
  if (const uint32_t rc = find_netclient(d, id, &nc)) return rc;
  if (!g.ca) return E_VALUE_INVALID;
  std::string bundle;
  const std::string path = g.ca->pfx_path(d.id, nc->id);
  if (kt::read_file(path.c_str(), bundle, kMaxBundleSize) != 0) {
    KT_LOG_ERR("%s: can not be read", path.c_str());
    return E_VALUE_INVALID;
  }

  const std::string name = nc->get_name();
  auto answer = kt::xmldoc_node::create("netc");
  answer->attr_addval("id", netc->attr_get_value("id"));
  answer->attr_addval("name", name);
  answer->add_child(kt::xmldoc_node::create("pfx"))->set_value(kt::base64encode_(bundle));
  cmd.answer(std::move(answer));
  cmd.audit_change(E_OK, kKind, name, nc->id, "getPfx");
  return E_OK;
}

}  // namespace orvane
