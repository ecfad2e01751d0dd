// Net-client records: the "authorityclients" file (name, flags and ten address slots), the
// loader, the process-wide and per-domain address indexes, and the XML listing.
#ifndef ORVANE_OBJECTS_AUTHORITYCLIENT_AUTHORITYCLIENTS_H_
#define ORVANE_OBJECTS_AUTHORITYCLIENT_AUTHORITYCLIENTS_H_

#include <cstdint>
#include <memory>
#include <string_view>

#include "objects/authorityclient/authorityclient.h"
#include "utils/refobj.h"
#include "xmldoc/xmldoc.h"

namespace orvane {

struct globals;
class domain;

// A new empty net client.
kt::ref_ptr<authorityclient> authorityclient_create();

// Reads the domain's net clients into d.netclients_by_name/by_id and adds their IPv4 networks
// to the address indexes (of d.g when set). A slot holding ':' is an IPv6 address, any other
// non-empty slot IPv4. Duplicate identifiers or names are skipped. Returns 0, or the store's
// result when the file can't be read.
int authorityclients_load(domain& d);

// Writes a new record under a fresh identifier, stored in nc on success; on failure nc is
// unchanged and the store's result is returned. Address slots: at most
// AUTHORITYCLIENT_MAX_V4_SLOTS IPv4 addresses, then IPv6, AUTHORITYCLIENT_SLOTS in all, each
// cut to 127 bytes.
int authorityclient_db_add(domain& d, authorityclient& nc);
int authorityclient_db_edit(domain& d, const authorityclient& nc);
int authorityclient_db_del(domain& d, const authorityclient& nc);

// Empties the net client's attribute table.
void authorityclient_flush(authorityclient& nc);

// Adds (removes) every parseable IPv4 entry of nc to (from) the process-wide index under
// g.netclients_lock, then to (from) d.netclient_index under d.netclients_lock. Key:
// address << 8 | prefix.
void _authorityclient_addrlist_add(globals& g, domain& d, const authorityclient& nc);
void _authorityclient_addrlist_remove(globals& g, domain& d, const authorityclient& nc);
constexpr uint64_t authorityclient_addr_key(const kt::ipv4_address& a) {
  return (static_cast<uint64_t>(a.address) << 8) | a.prefix;
}

// Appends one "authorityclient" element per net client of d (attributes id, "ref" when
// detailed, name; the name as value; child "addrlist" with an "a" per IPv4 address; with
// detailed also "attributes").
void authorityclients_to_xml(domain& d, bool detailed, kt::xmldoc_node& element);
// The same into a new "authorityclients" element.
std::unique_ptr<kt::xmldoc_node> authorityclients_to_xml(domain& d, bool detailed);

// Lookups in the domain's tables (read lock held only for the lookup).
kt::ref_ptr<authorityclient> authorityclient_get_by_id(domain& d, uint64_t id);
kt::ref_ptr<authorityclient> authorityclient_get_by_name(domain& d, std::string_view name);

}  // namespace orvane

#endif  // ORVANE_OBJECTS_AUTHORITYCLIENT_AUTHORITYCLIENTS_H_
