#include "objects/netclients/netclient_records.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <string>
#include <vector>

#include "errors.h"
#include "globals.h"
#include "objects/attributes/attribute.h"
#include "objects/attributes/attribute_records.h"
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
static_assert(kRecSlots + NETCLIENT_SLOTS * NETCLIENT_SLOT_SIZE == NETCLIENT_RECORD_SIZE);

kt::filedb_fixed netclients_file(const domain& d) {
  return domain_record_file(d.id, "authorityclients", NETCLIENT_RECORD_SIZE);
}

void netclient_to_record(const netclient& nc, uint64_t id, record& rec) {
  rec.put_u64(kRecId, id);
  rec.put_str(kRecName, NETCLIENT_NAME_FIELD, nc.get_name());
  rec.put_u8(kRecFlags, nc.flags);
  size_t slot = 0;
  const auto put = [&](const std::string& text) {
    rec.put_str(kRecSlots + slot * NETCLIENT_SLOT_SIZE, NETCLIENT_SLOT_SIZE, text);
    ++slot;
  };
  for (const std::string& a : nc.v4_addresses()) {
    if (slot == NETCLIENT_MAX_V4_SLOTS) break;
    if (!a.empty()) put(a);
  }
  for (const std::string& a : nc.v6_addresses()) {
    if (slot == NETCLIENT_SLOTS) break;
    if (!a.empty()) put(a);
  }
}

// Applies f to every IPv4 entry of nc that parses.
template <class F>
void for_each_network(const netclient& nc, F&& f) {
  for (const std::string& text : nc.v4_addresses()) {
    kt::ipv4_address a{};
    if (kt::ipv4_parse_addr(text, a) == 0) f(text, a);
  }
}

}  // namespace

kt::ref_ptr<netclient> netclient_create() {
  try {
    return kt::make_ref<netclient>();
  } catch (const std::bad_alloc&) {
    KT_LOG_ERR("%s(): %s", "calloc", std::strerror(ENOMEM));
    return {};
  }
}

int netclients_load(domain& d) {
  kt::ref_ptr<domain> dref(&d);
  const kt::filedb_fixed db = netclients_file(d);
  const int rc = record_list(db, [&](const uint8_t* bytes, uint32_t size) {
    const record rec(bytes, size);
    const uint64_t id = rec.get_u64(kRecId);
    std::string name = rec.get_str(kRecName, NETCLIENT_NAME_FIELD);
    if (id == 0 || name.empty() || name.size() >= NETCLIENT_NAME_FIELD) {
      KT_LOG_ERR("damaged net client record (id %lu) skipped", id);
      return 0;
    }
    if (d.netclients_by_id.get_rw(id) || d.netclients_by_name.get_rw(name)) {
      KT_LOG_ERR("duplicate net client record id:%lu, name:%s skipped", id, name.c_str());
      return 0;
    }
    std::vector<std::string> v4;
    std::vector<std::string> v6;
    for (size_t i = 0; i < NETCLIENT_SLOTS; ++i) {
      std::string a = rec.get_str(kRecSlots + i * NETCLIENT_SLOT_SIZE, NETCLIENT_SLOT_SIZE);
      if (a.empty()) continue;
      (a.find(':') != std::string::npos ? v6 : v4).push_back(std::move(a));
    }
    kt::ref_ptr<netclient> nc = netclient_create();
    nc->id = id;
    nc->flags = rec.get_u8(kRecFlags);
    nc->set_name(name);
    nc->set_addresses(std::move(v4), std::move(v6));
    nc->dom = dref;
    d.netclients_by_name.insert_rw(name, nc);
    d.netclients_by_id.insert_rw(id, nc);
    if (d.g != nullptr) _netclient_addrlist_add(*d.g, d, *nc);
    KT_LOG_INFO("AUTHORITYCLIENT: id:%lu, name:%s", id, name.c_str());
    return 0;
  });
  return record_load_result(db, rc);
}

uint32_t netclient_db_add(domain& d, netclient& nc) {
  const kt::filedb_fixed db = netclients_file(d);
  return record_result(
      record_db_insert(
          db, NETCLIENT_RECORD_SIZE,
          [&](uint64_t id, record& rec) { netclient_to_record(nc, id, rec); }, &nc.id),
      db.path().c_str());
}

uint32_t netclient_db_edit(domain& d, const netclient& nc) {
  const kt::filedb_fixed db = netclients_file(d);
  return record_result(
      record_db_rewrite(db, NETCLIENT_RECORD_SIZE, nc.id,
                        [&](uint64_t id, record& rec) { netclient_to_record(nc, id, rec); }),
      db.path().c_str());
}

uint32_t netclient_db_remove(domain& d, const netclient& nc) {
  const kt::filedb_fixed db = netclients_file(d);
  return record_result(record_db_remove(db, nc.id), db.path().c_str());
}

void netclient_flush(netclient& nc) {
  std::unique_lock lock(nc.attributes.rwlock());
  nc.attributes.flush();
}

void _netclient_addrlist_add(globals& g, domain& d, const netclient& nc) {
  std::vector<kt::ipv4_address> nets;
  for_each_network(nc, [&](const std::string&, const kt::ipv4_address& a) { nets.push_back(a); });
  {
    std::unique_lock lock(g.netclients_lock);
    for (const auto& a : nets) g.netclients.insert_l(netclient_addr_key(a), a);
  }
  std::unique_lock lock(d.netclients_lock);
  for (const auto& a : nets) d.netclient_index.insert_l(netclient_addr_key(a), a);
}

void _netclient_addrlist_remove(globals& g, domain& d, const netclient& nc) {
  std::vector<std::pair<std::string, kt::ipv4_address>> nets;
  for_each_network(
      nc, [&](const std::string& text, const kt::ipv4_address& a) { nets.emplace_back(text, a); });
  {
    std::unique_lock lock(g.netclients_lock);
    for (const auto& [text, a] : nets) {
      const uint64_t key = netclient_addr_key(a);
      if (g.netclients.find_nl(key) == nullptr) {
        KT_LOG_WARN("no global netclient found for address %s", text.c_str());
      } else {
        g.netclients.remove_l(key);
      }
    }
  }
  std::unique_lock lock(d.netclients_lock);
  for (const auto& [text, a] : nets) {
    const uint64_t key = netclient_addr_key(a);
    if (d.netclient_index.find_nl(key) == nullptr) {
      KT_LOG_WARN("no domain netclient found for address %s", text.c_str());
    } else {
      d.netclient_index.remove_l(key);
    }
  }
}

void netclients_to_xml(domain& d, bool detailed, kt::xmldoc_node& element) {
  std::vector<kt::ref_ptr<netclient>> all;
  {
    std::shared_lock lock(d.netclients_by_id.rwlock());
    d.netclients_by_id.for_each([&](uint64_t, kt::ref_ptr<netclient>& nc) {
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

std::unique_ptr<kt::xmldoc_node> netclients_to_xml(domain& d, bool detailed) {
  std::unique_ptr<kt::xmldoc_node> element = kt::xmldoc_node::create("authorityclients");
  netclients_to_xml(d, detailed, *element);
  return element;
}

kt::ref_ptr<netclient> netclient_get_by_id(domain& d, uint64_t id) {
  return d.netclients_by_id.get_rw(id);
}

kt::ref_ptr<netclient> netclient_get_by_name(domain& d, std::string_view name) {
  return d.netclients_by_name.get_rw(name);
}

}  // namespace orvane
