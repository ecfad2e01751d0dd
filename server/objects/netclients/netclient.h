// Net clients: the client machines a domain knows, each with a list of networks it may connect
// from and a client certificate issued by the server's certificate authority. A domain can
// restrict API classes to its net clients; the dispatcher asks this module whether a connection
// may use a class.
#ifndef ORVANE_OBJECTS_NETCLIENTS_NETCLIENT_H_
#define ORVANE_OBJECTS_NETCLIENTS_NETCLIENT_H_

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "hashtable/hashtable.h"
#include "utils/ipv4.h"
#include "utils/pthread_utils.h"
#include "utils/refobj.h"

namespace orvane {

class domain;
class attribute;
struct caller;

// Record of a domain's "netclients" file: 1417 bytes, keyed by the identifier.
constexpr uint32_t NETCLIENT_RECORD_SIZE = 1417;
constexpr size_t NETCLIENT_NAME_FIELD = 128;
constexpr size_t NETCLIENT_SLOTS = 10;        // address slots of a record
constexpr size_t NETCLIENT_SLOT_SIZE = 128;   // bytes per slot, terminator included
constexpr size_t NETCLIENT_MAX_V4_SLOTS = 5;  // IPv4 addresses stored at most

constexpr uint8_t NETCLIENT_FLAG_SYSTEM = 0x1;     // cannot be removed
constexpr uint8_t NETCLIENT_FLAG_READ_ONLY = 0x2;  // cannot be edited

class netclient : public kt::ref_object {
 public:
  netclient();
  ~netclient() override;

  // Name and address lists change under the domain's write lock but are read without it (the
  // dispatcher checks addresses before it locks the domain), so they are guarded by fields_lock.
  std::string get_name() const;
  void set_name(std::string name);
  // Replaces both address lists; IPv4 entries are parsed for matching.
  void set_addresses(std::vector<std::string> v4, std::vector<std::string> v6);
  std::vector<std::string> v4_addresses() const;
  std::vector<std::string> v6_addresses() const;
  // True when the address lies in one of the IPv4 networks, or when there is no address at all.
  bool address_allowed(const kt::ipv4_address& peer) const;

  uint64_t id = 0;
  uint8_t flags = 0;
  kt::ref_ptr<domain> dom;
  kt::hashtable<std::string, kt::ref_ptr<attribute>> attributes;
  // Commands accepted through this net client (read and reset by getHealth).
  std::atomic<uint64_t> requests{0};

 private:
  mutable kt::rwlock fields_lock_;
  std::string name_;
  std::vector<std::string> v4_;
  std::vector<std::string> v6_;
  std::vector<kt::ipv4_address> v4_parsed_;  // entries of v4_ that parse
};

// 0 when the connection may use commands of the API class in the domain, 1 when not.
int verify_netclient_access(const domain& d, const caller& from, uint16_t api_class);
// 0 when the connection's address lies in one of the net client's IPv4 networks, or when the net
// client has no address at all; 1 otherwise.
int netclient_verify_ip(const netclient& nc, const caller& from);

}  // namespace orvane

#endif  // ORVANE_OBJECTS_NETCLIENTS_NETCLIENT_H_
