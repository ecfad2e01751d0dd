// The process-wide server context handed to every command handler.
#ifndef ORVANE_GLOBALS_H_
#define ORVANE_GLOBALS_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "hashtable/hashtable.h"
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
struct client;
struct monitor_client;

// Bit 0 of globals::running: set while the server runs.
constexpr uint16_t GLOBALS_RUNNING = 0x1;

struct globals {
  globals();
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

  // Connected clients (doubly linked through the records) and their lock.
  client* clients_head = nullptr;
  client* clients_tail = nullptr;
  kt::rwlock clients_lock;
  // Client and monitoring connections still open (shutdown waits for them).
  std::atomic<uint32_t> open_connections{0};
  // The workers that answer client requests, and the network loops that take client connections
  // through their TLS handshake and request and then hand them to the workers (set by main
  // before the ports open; the loops go first).
  std::unique_ptr<kt::thread_pool> workers;
  std::unique_ptr<kt::net_thread_pool> net_loops;

  // Subscribed monitoring connections and their lock.
  monitor_client* monitoring_head = nullptr;
  monitor_client* monitoring_tail = nullptr;
  kt::rwlock monitoring_lock;

  // CPU samples of /proc/stat, one every 5 seconds, read by getHealth.
  static constexpr int cpuidx_max = 60;
  uint64_t cpu_counters[cpuidx_max][8] = {};  // written by the scheduler thread only
  std::atomic<float> cpu_busy[cpuidx_max] = {};
  std::atomic<uint8_t> cpuidx{0};

  std::atomic<uint16_t> running{0};
};

}  // namespace orvane

#endif  // ORVANE_GLOBALS_H_
