// Net-client records: the "netclients" file (name, flags and ten address slots), the
// loader, the process-wide and per-domain address indexes, and the XML listing.
#ifndef ORVANE_OBJECTS_NETCLIENTS_NETCLIENT_RECORDS_H_
#define ORVANE_OBJECTS_NETCLIENTS_NETCLIENT_RECORDS_H_

#include <cstdint>
#include <memory>
#include <string_view>

#include "objects/netclients/netclient.h"
#include "utils/refobj.h"
#include "xmldoc/xmldoc.h"

namespace orvane {

struct globals;
class domain;

// A new empty net client.
kt::ref_ptr<netclient> netclient_create();

// Reads the domain's net clients into d.netclients_by_name/by_id and adds their IPv4 networks
// to the address indexes (of d.g when set). A slot holding ':' is an IPv6 address, any other
// non-empty slot IPv4. Duplicate identifiers or names are skipped. Returns 0, or the store's
// result when the file can't be read.
int netclients_load(domain& d);

// Writes a new record under a fresh identifier, stored in nc on success; on failure nc is
// unchanged and the result is 0x13. Address slots: at most
// NETCLIENT_MAX_V4_SLOTS IPv4 addresses, then IPv6, NETCLIENT_SLOTS in all, each
// cut to 127 bytes.
uint32_t netclient_db_add(domain& d, netclient& nc);
uint32_t netclient_db_edit(domain& d, const netclient& nc);
uint32_t netclient_db_remove(domain& d, const netclient& nc);

// Empties the net client's attribute table.
void netclient_flush(netclient& nc);

// Adds (removes) every parseable IPv4 entry of nc to (from) the process-wide index under
// g.netclients_lock, then to (from) d.netclient_index under d.netclients_lock. Key:
// address << 8 | prefix.
void _netclient_addrlist_add(globals& g, domain& d, const netclient& nc);
void _netclient_addrlist_remove(globals& g, domain& d, const netclient& nc);
constexpr uint64_t netclient_addr_key(const kt::ipv4_address& a) {
  return (static_cast<uint64_t>(a.address) << 8) | a.prefix;
}

// Appends one "netclient" element per net client of d (attributes id, "ref" when
// detailed, name; the name as value; child "addrlist" with an "a" per IPv4 address; with
// detailed also "attributes").
void netclients_to_xml(domain& d, bool detailed, kt::xmldoc_node& element);
// The same into a new "netclients" element.
std::unique_ptr<kt::xmldoc_node> netclients_to_xml(domain& d, bool detailed);

// Lookups in the domain's tables (read lock held only for the lookup).
kt::ref_ptr<netclient> netclient_get_by_id(domain& d, uint64_t id);
kt::ref_ptr<netclient> netclient_get_by_name(domain& d, std::string_view name);

}  // namespace orvane

#endif  // ORVANE_OBJECTS_NETCLIENTS_NETCLIENT_RECORDS_H_
