// The process-wide server context handed to every command handler.
#ifndef ORVANE_GLOBALS_H_
#define ORVANE_GLOBALS_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "connection_registry.h"
#include "hashtable/hashtable.h"
#include "metrics.h"
#include "network/socket_listener.h"
#include "tls_tickets.h"
#include "utils/byte_budget.h"
#include "utils/ipv4.h"
#include "utils/pthread_utils.h"
#include "utils/refobj.h"
#include "utils/uid.h"

namespace kt {
class aes256_ctx;
class net_thread_pool;
class openssl_ca;
class thread_pool;
class sched_singlethread;
}  // namespace kt

namespace orvane {

class domain;
class login_throttle;
class token;
class client;
struct monitor_client;

// Reads the 48 bytes of AES key material (16-byte vector, 32-byte key) from the key file, or
// creates the file (mode 0600) with fresh random bytes when it is new or empty. Returns 0; -1 when
// the file cannot be opened, -2 when writing fresh keys fails, -3 when it holds neither 0 nor 48
// bytes.
int init_aes_keys(const std::string& path, uint8_t iv[16], uint8_t key[32]);

// Bit 0 of globals::running: set while the server runs.
constexpr uint16_t GLOBALS_RUNNING = 0x1;

struct globals {
  // Builds the server context up to the loaded domains: certificate authority (made with a key of
  // ca_key_bits when it has to be created), AES context, machine identity, domains, scheduler.
  // Returns 0 with the context in *out, or a negative code with a message in *error: -1 CA,
  // -2 domains ("failed to load domains."), -4 AES keys, -5 scheduler.
  static int open(std::unique_ptr<globals>* out, std::string* error, int ca_key_bits = 4096);

  // An empty context (no authority, keys, domains or scheduler); open() builds a full one.
  globals();
  // Stops the scheduler, empties every domain's tables, and frees the token and domain tables
  // and the certificate authority. The network loops and workers must have stopped before.
  ~globals();
  globals(const globals&) = delete;
  globals& operator=(const globals&) = delete;

  // Domains by name and by identifier; each table holds one reference per domain.
  kt::hashtable<std::string, kt::ref_ptr<domain>> domains_by_name;
  kt::hashtable<uint64_t, kt::ref_ptr<domain>> domains_by_id;
  // The root domain, set once when the domains load.
  kt::ref_ptr<domain> root_domain;
  // Live tokens by key; one reference per token.
  kt::hashtable<std::string, kt::ref_ptr<token>> tokens;
  // Process-wide net-client address index: network key (address << 8 | prefix) -> network.
  kt::hashtable<uint64_t, kt::ipv4_address> netclients;

  // Bytes of request bodies being parsed and run at once: a parsed request takes a multiple of
  // its size in memory, so the others wait their turn beyond this.
  static constexpr uint64_t kRequestBudget = uint64_t{8} << 20;
  kt::byte_budget request_budget{kRequestBudget};

  // Failed password checks by user and by peer address, and their back-off periods.
  std::unique_ptr<login_throttle> throttle;

  // Serialises the commands that change the domain tree (insert, edit, remove, restore).
  kt::rwlock global_lock;
  // Guards the process-wide net-client address index.
  kt::rwlock netclients_lock;

  uint64_t start_time = 0;  // CLOCK_MONOTONIC_RAW seconds at start
  kt::uid machine_id{};
  std::string machine_id_text;  // "%016lx-%08x-%08x-%04x-%08x"

  std::unique_ptr<kt::aes256_ctx> aes;
  std::unique_ptr<kt::openssl_ca> ca;
  std::unique_ptr<kt::sched_singlethread> scheduler;

  // Connections on the client ports (the clients_lock is the registry's own lock).
  connection_registry<client> clients;
  // Client and monitoring connections still open (shutdown waits for them).
  std::atomic<uint32_t> open_connections{0};
  // The workers that answer client requests, and the network loops that take client connections
  // through their TLS handshake and request and then hand them to the workers (set by main
  // before the ports open; the loops go first).
  std::unique_ptr<kt::thread_pool> workers;
  std::unique_ptr<kt::net_thread_pool> net_loops;
  // The WebSocket channels' own cap (config max_channels), apart from each port's connections.
  kt::ref_ptr<kt::connection_slots> channel_slots;
  // Counters read by the metrics port.
  server_metrics metrics;
  // The keys that seal TLS session tickets.
  ticket_keys tickets;

  // Subscribers on the monitoring port (the monitoring_lock is the registry's own lock).
  connection_registry<monitor_client> monitoring;
  // Those of them that subscribed to a type: while none did, exchanges are not mirrored at all.
  std::atomic<uint32_t> monitor_subscribers{0};

  // CPU samples of /proc/stat, one every 5 seconds, read by getHealth.
  static constexpr int cpuidx_max = 60;
  uint64_t cpu_counters[cpuidx_max][8] = {};  // written by the scheduler thread only
  std::atomic<float> cpu_busy[cpuidx_max] = {};
  std::atomic<uint8_t> cpuidx{0};

  std::atomic<uint16_t> running{0};
};

}  // namespace orvane

#endif  // ORVANE_GLOBALS_H_
