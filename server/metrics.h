// Metrics: counters of the server's work and a text endpoint for a monitoring system on a port of
// its own (plain HTTP, GET /metrics; 127.0.0.1 by default). The endpoint speaks OpenMetrics to a
// scraper that asks for it and the Prometheus text format to any other.
//
// Counting is lock-free: a command's requests by result code live in a few slots claimed on first
// use, its latencies in a histogram of fixed buckets. The gauges (connections, channels, tokens,
// objects, audit queues, backups, process figures) are read when a scrape comes.
#ifndef ORVANE_METRICS_H_
#define ORVANE_METRICS_H_

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace orvane {

struct globals;

class server_metrics {
 public:
  // Commands of the command table counted; a command beyond is not.
  static constexpr size_t kMaxCommands = 96;
  // Distinct result codes counted per command; more share one "other" slot.
  static constexpr size_t kCodeSlots = 15;
  // Upper bounds of the latency buckets, in microseconds (the last bucket is +Inf).
  static constexpr std::array<uint64_t, 12> kBucketsUs = {
      500, 1000, 2500, 5000, 10000, 25000, 50000, 100000, 250000, 500000, 1000000, 2500000};

  server_metrics() = default;
  server_metrics(const server_metrics&) = delete;
  server_metrics& operator=(const server_metrics&) = delete;

  // One command of the table (its index) answered code after ns nanoseconds.
  void command_done(size_t index, uint32_t code, uint64_t ns);

  std::atomic<uint64_t> tls_handshakes{0};          // completed
  std::atomic<uint64_t> tls_handshake_failures{0};  // failed or cut off
  std::atomic<uint64_t> tls_resumed{0};             // completed handshakes that resumed a session
  std::atomic<uint64_t> answered_on_loop{0};        // requests a network loop answered itself
  std::atomic<uint64_t> scrapes{0};

  // The exposition text: OpenMetrics (with "# EOF") or the Prometheus text format.
  std::string render(globals& g, bool openmetrics) const;

 private:
  struct code_slot {
    std::atomic<uint64_t> code_plus_one{0};  // 0: free
    std::atomic<uint64_t> count{0};
  };
  struct command_counters {
    std::array<code_slot, kCodeSlots> codes;
    std::atomic<uint64_t> other_codes{0};
    std::array<std::atomic<uint64_t>, kBucketsUs.size() + 1> buckets{};
    std::atomic<uint64_t> sum_ns{0};
    std::atomic<uint64_t> count{0};
  };
  std::array<command_counters, kMaxCommands> commands_;
};

// Serves one scrape on an accepted socket of the metrics port and closes it. Returns 0.
int metrics_accept(globals& g, int fd);

}  // namespace orvane

#endif  // ORVANE_METRICS_H_
