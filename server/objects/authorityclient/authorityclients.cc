#include "objects/authorityclient/authorityclients.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <string>
#include <vector>

#include "globals.h"
#include "objects/attributes/attribute.h"
#include "objects/attributes/attributes.h"
#include "objects/domains/domain.h"
#include "objects/record.h"
#include "utils/logger.h"
#include "utils/uid.h"

namespace orvane {

namespace {

constexpr size_t kRecId = 0;
constexpr size_t kRecName = 8;
constexpr size_t kRecFlags = 136;
constexpr size_t kRecSlots = 137;
static_assert(kRecSlots + AUTHORITYCLIENT_SLOTS * AUTHORITYCLIENT_SLOT_SIZE ==
              AUTHORITYCLIENT_RECORD_SIZE);

kt::filedb_fixed authorityclients_file(const domain& d) {
  return domain_record_file(d.id, "authorityclients", AUTHORITYCLIENT_RECORD_SIZE);
}

void authorityclient_to_record(const authorityclient& nc, uint64_t id, record& rec) {
  rec.put_u64(kRecId, id);
  rec.put_str(kRecName, AUTHORITYCLIENT_NAME_FIELD, nc.get_name());
  rec.put_u8(kRecFlags, nc.flags);
  size_t slot = 0;
  const auto put = [&](const std::string& text) {
    rec.put_str(kRecSlots + slot * AUTHORITYCLIENT_SLOT_SIZE, AUTHORITYCLIENT_SLOT_SIZE, text);
    ++slot;
  };
  for (const std::string& a : nc.v4_addresses()) {
    if (slot == AUTHORITYCLIENT_MAX_V4_SLOTS) break;
    if (!a.empty()) put(a);
  }
  for (const std::string& a : nc.v6_addresses()) {
    if (slot == AUTHORITYCLIENT_SLOTS) break;
    if (!a.empty()) put(a);
  }
}

// Applies f to every IPv4 entry of nc that parses.
template <class F>
void for_each_network(const authorityclient& nc, F&& f) {
  for (const std::string& text : nc.v4_addresses()) {
    kt::ipv4_address a{};
    if (kt::ipv4_parse_addr(text, a) == 0) f(text, a);
  }
}

}  // namespace

kt::ref_ptr<authorityclient> authorityclient_create() {
  try {
    return kt::make_ref<authorityclient>();
  } catch (const std::bad_alloc&) {
    KT_LOG_ERR("%s(): %s", "calloc", std::strerror(ENOMEM));
    return {};
  }
}

int authorityclients_load(domain& d) {
  kt::ref_ptr<domain> dref(&d);
  const kt::filedb_fixed db = authorityclients_file(d);
  const int rc = record_list(db, [&](const uint8_t* bytes, uint32_t size) {
    const record rec(bytes, size);
    const uint64_t id = rec.get_u64(kRecId);
    std::string name = rec.get_str(kRecName, AUTHORITYCLIENT_NAME_FIELD);
    if (id == 0 || name.empty() || name.size() >= AUTHORITYCLIENT_NAME_FIELD) {
      KT_LOG_ERR("damaged authorityclient record (id %lu) skipped", id);
      return 0;
    }
    if (d.netclients_by_id.get_rw(id) || d.netclients_by_name.get_rw(name)) {
      KT_LOG_ERR("duplicate authorityclient record id:%lu, name:%s skipped", id, name.c_str());
      return 0;
    }
    std::vector<std::string> v4;
    std::vector<std::string> v6;
    for (size_t i = 0; i < AUTHORITYCLIENT_SLOTS; ++i) {
      std::string a =
          rec.get_str(kRecSlots + i * AUTHORITYCLIENT_SLOT_SIZE, AUTHORITYCLIENT_SLOT_SIZE);
      if (a.empty()) continue;
      (a.find(':') != std::string::npos ? v6 : v4).push_back(std::move(a));
    }
    kt::ref_ptr<authorityclient> nc = authorityclient_create();
    nc->id = id;
    nc->flags = rec.get_u8(kRecFlags);
    nc->set_name(name);
    nc->set_addresses(std::move(v4), std::move(v6));
    nc->dom = dref;
    d.netclients_by_name.insert_rw(name, nc);
    d.netclients_by_id.insert_rw(id, nc);
    if (d.g != nullptr) _authorityclient_addrlist_add(*d.g, d, *nc);
    KT_LOG_INFO("AUTHORITYCLIENT: id:%lu, name:%s", id, name.c_str());
    return 0;
  });
  return record_load_result(db, rc);
}

int authorityclient_db_add(domain& d, authorityclient& nc) {
  return record_db_insert(
      authorityclients_file(d), AUTHORITYCLIENT_RECORD_SIZE,
      [&](uint64_t id, record& rec) { authorityclient_to_record(nc, id, rec); }, &nc.id);
}

int authorityclient_db_edit(domain& d, const authorityclient& nc) {
  return record_db_rewrite(
      authorityclients_file(d), AUTHORITYCLIENT_RECORD_SIZE, nc.id,
      [&](uint64_t id, record& rec) { authorityclient_to_record(nc, id, rec); });
}

int authorityclient_db_del(domain& d, const authorityclient& nc) {
  return record_db_remove(authorityclients_file(d), nc.id);
}

void authorityclient_flush(authorityclient& nc) {
  std::unique_lock lock(nc.attributes.rwlock());
  nc.attributes.flush();
}

void _authorityclient_addrlist_add(globals& g, domain& d, const authorityclient& nc) {
  std::vector<kt::ipv4_address> nets;
  for_each_network(nc, [&](const std::string&, const kt::ipv4_address& a) { nets.push_back(a); });
  {
    std::unique_lock lock(g.netclients_lock);
    for (const auto& a : nets) g.netclients.insert_l(authorityclient_addr_key(a), a);
  }
  std::unique_lock lock(d.netclients_lock);
  for (const auto& a : nets) d.netclient_index.insert_l(authorityclient_addr_key(a), a);
}

void _authorityclient_addrlist_remove(globals& g, domain& d, const authorityclient& nc) {
  std::vector<std::pair<std::string, kt::ipv4_address>> nets;
  for_each_network(
      nc, [&](const std::string& text, const kt::ipv4_address& a) { nets.emplace_back(text, a); });
  {
    std::unique_lock lock(g.netclients_lock);
    for (const auto& [text, a] : nets) {
      const uint64_t key = authorityclient_addr_key(a);
      if (g.netclients.find_nl(key) == nullptr) {
        KT_LOG_WARN("no global netclient found for address %s", text.c_str());
      } else {
        g.netclients.remove_l(key);
      }
    }
  }
  std::unique_lock lock(d.netclients_lock);
  for (const auto& [text, a] : nets) {
    const uint64_t key = authorityclient_addr_key(a);
    if (d.netclient_index.find_nl(key) == nullptr) {
      KT_LOG_WARN("no domain netclient found for address %s", text.c_str());
    } else {
      d.netclient_index.remove_l(key);
    }
  }
}

void authorityclients_to_xml(domain& d, bool detailed, kt::xmldoc_node& element) {
  std::vector<kt::ref_ptr<authorityclient>> all;
  {
    std::shared_lock lock(d.netclients_by_id.rwlock());
    d.netclients_by_id.for_each([&](uint64_t, kt::ref_ptr<authorityclient>& nc) {
      if (nc) all.push_back(nc);
    });
  }
  for (const auto& nc : all) {
    const std::string name = nc->get_name();
    kt::xmldoc_node* n = element.add_child(kt::xmldoc_node::create("authorityclient"));
    n->attr_addval("id", std::to_string(nc->id));
    // The count less the reference this listing holds.
    if (detailed) n->attr_addval("ref", std::to_string(nc->ref_count() - 1));
    n->attr_addval("name", name);
    n->set_value(name);
    kt::xmldoc_node* list = n->add_child(kt::xmldoc_node::create("addrlist"));
    for (const std::string& a : nc->v4_addresses()) {
      list->add_child(kt::xmldoc_node::create("a"))->set_value(a);
    }
    if (detailed) n->add_child(attributes_to_xml(nc->attributes));
  }
}

std::unique_ptr<kt::xmldoc_node> authorityclients_to_xml(domain& d, bool detailed) {
  std::unique_ptr<kt::xmldoc_node> element = kt::xmldoc_node::create("authorityclients");
  authorityclients_to_xml(d, detailed, *element);
  return element;
}

kt::ref_ptr<authorityclient> authorityclient_get_by_id(domain& d, uint64_t id) {
  return d.netclients_by_id.get_rw(id);
}

kt::ref_ptr<authorityclient> authorityclient_get_by_name(domain& d, std::string_view name) {
  return d.netclients_by_name.get_rw(name);
}

}  // namespace orvane
