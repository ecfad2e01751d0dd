#include "objects/netclients/netclient.h"

#include <mutex>
#include <shared_mutex>

#include "objects/attributes/attribute.h"
#include "objects/command.h"
#include "objects/domains/domain.h"

namespace orvane {

netclient::netclient() : attributes(10) {}
netclient::~netclient() = default;

std::string netclient::get_name() const {
  std::shared_lock lock(fields_lock_);
  return name_;
}

void netclient::set_name(std::string name) {
  std::unique_lock lock(fields_lock_);
  name_ = std::move(name);
}

void netclient::set_addresses(std::vector<std::string> v4, std::vector<std::string> v6) {
  std::vector<kt::ipv4_address> parsed;
  for (const auto& text : v4) {
    kt::ipv4_address a{};
    if (kt::ipv4_parse_addr(text, a) == 0) parsed.push_back(a);
  }
  std::unique_lock lock(fields_lock_);
  v4_ = std::move(v4);
  v6_ = std::move(v6);
  v4_parsed_ = std::move(parsed);
}

std::vector<std::string> netclient::v4_addresses() const {
  std::shared_lock lock(fields_lock_);
  return v4_;
}

std::vector<std::string> netclient::v6_addresses() const {
  std::shared_lock lock(fields_lock_);
  return v6_;
}

bool netclient::address_allowed(const kt::ipv4_address& peer) const {
  std::shared_lock lock(fields_lock_);
  if (v4_.empty() && v6_.empty()) return true;
  for (const auto& net : v4_parsed_) {
    if (kt::ipv4_address_in_network(peer.address, net.address, net.prefix)) return true;
  }
  return false;
}

int verify_netclient_access(const domain& d, const caller& from, uint16_t api_class) {
  const uint16_t restricted = d.nc_only.load(std::memory_order_relaxed);
  if ((restricted & api_class) != api_class) return 0;
  const bool has_domain = from.cert_domain_id != 0;
  const bool has_netclient = from.cert_netclient_id != 0;
  if (has_domain && has_netclient) return 0;  // the dispatcher checks both identifiers
  if (has_domain || has_netclient) return 1;
  const kt::ipv4_address loopback{0x7f000001u, 32};
  return (from.peer.address == loopback.address && from.peer.prefix == loopback.prefix) ? 0 : 1;
}

int netclient_verify_ip(const netclient& nc, const caller& from) {
  return nc.address_allowed(from.peer) ? 0 : 1;
}

}  // namespace orvane
