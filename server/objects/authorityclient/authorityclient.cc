#include "objects/authorityclient/authorityclient.h"

#include <mutex>
#include <shared_mutex>

#include "client.h"
#include "objects/attributes/attribute.h"
#include "objects/domains/domain.h"

namespace orvane {

authorityclient::authorityclient() : attributes(10) {}
authorityclient::~authorityclient() = default;

std::string authorityclient::get_name() const {
  std::shared_lock lock(fields_lock_);
  return name_;
}

void authorityclient::set_name(std::string name) {
  std::unique_lock lock(fields_lock_);
  name_ = std::move(name);
}

void authorityclient::set_addresses(std::vector<std::string> v4, std::vector<std::string> v6) {
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

std::vector<std::string> authorityclient::v4_addresses() const {
  std::shared_lock lock(fields_lock_);
  return v4_;
}

std::vector<std::string> authorityclient::v6_addresses() const {
  std::shared_lock lock(fields_lock_);
  return v6_;
}

bool authorityclient::address_allowed(const kt::ipv4_address& peer) const {
  std::shared_lock lock(fields_lock_);
  if (v4_.empty() && v6_.empty()) return true;
  for (const auto& net : v4_parsed_) {
    if (kt::ipv4_address_in_network(peer.address, net.address, net.prefix)) return true;
  }
  return false;
}

int verify_netclient_access(const domain& d, const client& c, uint16_t api_class) {
  const uint16_t restricted = d.nc_only.load(std::memory_order_relaxed);
  if ((restricted & api_class) != api_class) return 0;
  const bool has_domain = c.cert_domain_id != 0;
  const bool has_netclient = c.cert_netclient_id != 0;
  if (has_domain && has_netclient) return 0;  // the dispatcher checks both identifiers
  if (has_domain || has_netclient) return 1;
  const kt::ipv4_address loopback{0x7f000001u, 32};
  return (c.peer.address == loopback.address && c.peer.prefix == loopback.prefix) ? 0 : 1;
}

int netclient_verify_ip(const authorityclient& nc, const client& c) {
  return nc.address_allowed(c.peer) ? 0 : 1;
}

}  // namespace orvane
