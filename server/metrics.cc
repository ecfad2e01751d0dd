#include "metrics.h"

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "client.h"
#include "globals.h"
#include "objects/auditlogs/auditlog.h"
#include "objects/backup/backup.h"
#include "objects/domains/domain.h"
#include "objects/users/throttle.h"
#include "processor.h"
#include "utils/files.h"

namespace orvane {

void server_metrics::command_done(size_t index, uint32_t code, uint64_t ns) {
  if (index >= kMaxCommands) return;
  command_counters& c = commands_[index];
  const uint64_t key = static_cast<uint64_t>(code) + 1;
  bool counted = false;
  for (code_slot& slot : c.codes) {
    uint64_t seen = slot.code_plus_one.load(std::memory_order_acquire);
    if (seen == 0 && slot.code_plus_one.compare_exchange_strong(seen, key)) seen = key;
    if (seen == key) {
      slot.count.fetch_add(1, std::memory_order_relaxed);
      counted = true;
      break;
    }
  }
  if (!counted) c.other_codes.fetch_add(1, std::memory_order_relaxed);
  const uint64_t us = ns / 1000;
  size_t bucket = 0;
  while (bucket < kBucketsUs.size() && us > kBucketsUs[bucket]) ++bucket;
  c.buckets[bucket].fetch_add(1, std::memory_order_relaxed);
  c.sum_ns.fetch_add(ns, std::memory_order_relaxed);
  c.count.fetch_add(1, std::memory_order_relaxed);
}

namespace {

// The text of one exposition: families with their HELP and TYPE (and UNIT in OpenMetrics).
class exposition {
 public:
  explicit exposition(bool openmetrics) : openmetrics_(openmetrics) {}

  // A family; name is without "_total" for counters.
  void family(const char* name, const char* type, const char* help, const char* unit = nullptr) {
    const bool counter = std::string_view(type) == "counter";
    // The Prometheus text format names a counter family after its samples.
    const std::string declared = std::string(name) + (counter && !openmetrics_ ? "_total" : "");
    text_ += "# TYPE " + declared + " " + type + "\n";
    if (openmetrics_ && unit != nullptr) text_ += "# UNIT " + declared + " " + unit + "\n";
    text_ += "# HELP " + declared + " " + help + "\n";
  }
  void sample(const std::string& name, const std::string& labels, double value) {
    char number[64];
    std::snprintf(number, sizeof number, "%.17g", value);
    sample_text(name, labels, number);
  }
  void sample(const std::string& name, const std::string& labels, uint64_t value) {
    sample_text(name, labels, std::to_string(value));
  }
  std::string finish() {
    if (openmetrics_) text_ += "# EOF\n";
    return std::move(text_);
  }

 private:
  void sample_text(const std::string& name, const std::string& labels, const std::string& value) {
    text_ += name;
    if (!labels.empty()) text_ += "{" + labels + "}";
    text_ += " " + value + "\n";
  }

  const bool openmetrics_;
  std::string text_;
};

// A label value: backslash, quote and newline escaped.
std::string label(const char* name, std::string_view value) {
  std::string out = std::string(name) + "=\"";
  for (const char ch : value) {
    if (ch == '\\' || ch == '"') {
      out += '\\';
      out += ch;
    } else if (ch == '\n') {
      out += "\\n";
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

std::string bound_text(uint64_t us) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", static_cast<double>(us) / 1e6);
  return text;
}

// Figures of the process itself.
struct process_figures {
  double cpu_seconds = 0;
  uint64_t resident_bytes = 0;
  uint64_t open_fds = 0;
  uint64_t max_fds = 0;
};

process_figures read_process() {
  process_figures p;
  rusage ru{};
  if (getrusage(RUSAGE_SELF, &ru) == 0) {
    p.cpu_seconds = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                    static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
  }
  std::ifstream statm("/proc/self/statm");
  uint64_t size = 0;
  uint64_t resident = 0;
  if (statm >> size >> resident) {
    p.resident_bytes = resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  }
  std::error_code ec;
  for (std::filesystem::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end;
       it.increment(ec)) {
    ++p.open_fds;
  }
  rlimit rl{};
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY) p.max_fds = rl.rlim_cur;
  return p;
}

// Objects of every domain, by kind, with the entries waiting in their audit queues and their
// backups.
struct directory_figures {
  uint64_t domains = 0, users = 0, groups = 0, resources = 0, netclients = 0, profiles = 0;
  uint64_t audit_queued = 0;
  uint64_t backups = 0;
};

directory_figures read_directory(globals& g) {
  directory_figures f;
  std::vector<kt::ref_ptr<domain>> all;
  {
    std::shared_lock lock(g.domains_by_id.rwlock());
    g.domains_by_id.for_each(
        [&](const uint64_t&, const kt::ref_ptr<domain>& d) { all.push_back(d); });
  }
  std::vector<backup> backups;
  for (const kt::ref_ptr<domain>& d : all) {
    if (!d) continue;
    ++f.domains;
    f.users += d->users_by_id.count();
    f.groups += d->groups_by_id.count();
    f.resources += d->resources_by_id.count();
    f.netclients += d->netclients_by_id.count();
    f.profiles += d->profiles_by_id.count();
    {
      std::shared_lock lock(d->lock);  // the log is replaced only under the domain's lock
      if (d->log) f.audit_queued += auditlog_queue_depth(*d->log);
    }
    backups.clear();
    if (backups_of_domain(d->id, &backups) == 0) f.backups += backups.size();
  }
  return f;
}

}  // namespace

std::string server_metrics::render(globals& g, bool openmetrics) const {
  exposition x(openmetrics);
  x.family("orvane_requests", "counter", "Commands answered, by command and result code.");
  for (size_t i = 0; i < kMaxCommands && processor_functions[i].name != nullptr; ++i) {
    const command_counters& c = commands_[i];
    const std::string command = label("command", processor_functions[i].name);
    for (const code_slot& slot : c.codes) {
      const uint64_t key = slot.code_plus_one.load(std::memory_order_acquire);
      if (key == 0) break;
      x.sample("orvane_requests_total", command + "," + label("code", std::to_string(key - 1)),
               slot.count.load(std::memory_order_relaxed));
    }
    if (const uint64_t other = c.other_codes.load(std::memory_order_relaxed); other != 0) {
      x.sample("orvane_requests_total", command + "," + label("code", "other"), other);
    }
  }
  x.family("orvane_request_duration_seconds", "histogram",
           "Time from a command's checks to its answer, by command.", "seconds");
  for (size_t i = 0; i < kMaxCommands && processor_functions[i].name != nullptr; ++i) {
    const command_counters& c = commands_[i];
    // Read the count first: the buckets then hold at least as many, as they are added to first.
    const uint64_t count = c.count.load(std::memory_order_relaxed);
    if (count == 0) continue;
    const std::string command = label("command", processor_functions[i].name);
    uint64_t cumulative = 0;
    for (size_t b = 0; b <= kBucketsUs.size(); ++b) {
      cumulative += c.buckets[b].load(std::memory_order_relaxed);
      const std::string le = b < kBucketsUs.size() ? bound_text(kBucketsUs[b]) : "+Inf";
      x.sample("orvane_request_duration_seconds_bucket", command + "," + label("le", le),
               b < kBucketsUs.size() ? cumulative : std::max(cumulative, count));
    }
    x.sample("orvane_request_duration_seconds_sum", command,
             static_cast<double>(c.sum_ns.load(std::memory_order_relaxed)) / 1e9);
    x.sample("orvane_request_duration_seconds_count", command, std::max(cumulative, count));
  }

  x.family("orvane_tls_handshakes", "counter", "TLS handshakes completed.");
  x.sample("orvane_tls_handshakes_total", "", tls_handshakes.load());
  x.family("orvane_tls_handshake_failures", "counter",
           "TLS handshakes that failed or were cut off.");
  x.sample("orvane_tls_handshake_failures_total", "", tls_handshake_failures.load());
  x.family("orvane_tls_sessions_resumed", "counter",
           "TLS handshakes that resumed a session (by ticket or from the cache).");
  x.sample("orvane_tls_sessions_resumed_total", "", tls_resumed.load());
  x.family(
      "orvane_requests_answered_on_loop", "counter",
      "Requests of one command that never waits, answered by the network loop that read them.");
  x.sample("orvane_requests_answered_on_loop_total", "", answered_on_loop.load());
  x.family("orvane_logins_throttled", "counter",
           "Password checks refused without a look at the password during a back-off period.");
  x.sample("orvane_logins_throttled_total", "", g.throttle ? g.throttle->refused_total() : 0);
  x.family("orvane_metrics_scrapes", "counter", "Scrapes of this endpoint.");
  x.sample("orvane_metrics_scrapes_total", "", scrapes.load());

  uint64_t bound = 0;
  g.clients.for_each([&](client& c) {
    if ((c.flags.load() & CLIENT_WS_BOUND) != 0) ++bound;
  });
  x.family("orvane_open_connections", "gauge",
           "Connections open on the client and monitoring ports, channels included.");
  x.sample("orvane_open_connections", "", static_cast<uint64_t>(g.open_connections.load()));
  x.family("orvane_bound_channels", "gauge", "WebSocket channels bound to a token.");
  x.sample("orvane_bound_channels", "", bound);
  x.family("orvane_live_tokens", "gauge", "Tokens issued and not ended.");
  x.sample("orvane_live_tokens", "", g.tokens.count());

  const directory_figures d = read_directory(g);
  x.family("orvane_objects", "gauge", "Objects of every domain, by kind.");
  const std::pair<const char*, uint64_t> kinds[] = {
      {"domain", d.domains},     {"user", d.users},           {"group", d.groups},
      {"resource", d.resources}, {"netclient", d.netclients}, {"nssprofile", d.profiles}};
  for (const auto& [kind, n] : kinds) x.sample("orvane_objects", label("kind", kind), n);
  x.family("orvane_audit_queue_depth", "gauge",
           "Audit entries queued and not yet written, over every domain.");
  x.sample("orvane_audit_queue_depth", "", d.audit_queued);
  x.family("orvane_backups", "gauge", "Backups kept, over every domain.");
  x.sample("orvane_backups", "", d.backups);

  const process_figures p = read_process();
  x.family("process_cpu_seconds", "counter", "User and system CPU time of the server.", "seconds");
  x.sample("process_cpu_seconds_total", "", p.cpu_seconds);
  x.family("process_resident_memory_bytes", "gauge", "Resident memory of the server.", "bytes");
  x.sample("process_resident_memory_bytes", "", p.resident_bytes);
  x.family("process_open_fds", "gauge", "Open file descriptors.");
  x.sample("process_open_fds", "", p.open_fds);
  x.family("process_max_fds", "gauge", "The limit of open file descriptors.");
  x.sample("process_max_fds", "", p.max_fds);
  return x.finish();
}

namespace {

constexpr size_t kMaxRequestHead = 8192;
constexpr int kScrapeTimeoutSeconds = 5;

bool send_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

void answer(int fd, const char* status, const char* type, const std::string& body) {
  std::string head =
      std::string("HTTP/1.0 ") + status + "\r\nServer: orvaned\r\nContent-Type: " + type +
      "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
  if (send_all(fd, head)) send_all(fd, body);
}

}  // namespace

int metrics_accept(globals& g, int fd) {
  const kt::unique_fd owner(fd);
  timeval tv{kScrapeTimeoutSeconds, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  std::string head;
  char chunk[2048];
  while (head.find("\r\n\r\n") == std::string::npos) {
    if (head.size() > kMaxRequestHead) {
      answer(fd, "431 Request Header Fields Too Large", "text/plain", "");
      return 0;
    }
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return 0;
    head.append(chunk, static_cast<size_t>(n));
  }
  const std::string line = head.substr(0, head.find("\r\n"));
  const bool scrape = line.rfind("GET /metrics ", 0) == 0 || line.rfind("GET /metrics?", 0) == 0;
  if (!scrape) {
    answer(fd, "404 Not Found", "text/plain", "");
    return 0;
  }
  std::string lower = head;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
  const bool openmetrics = lower.find("application/openmetrics-text") != std::string::npos;
  g.metrics.scrapes.fetch_add(1, std::memory_order_relaxed);
  answer(fd, "200 OK",
         openmetrics ? "application/openmetrics-text; version=1.0.0; charset=utf-8"
                     : "text/plain; version=0.0.4; charset=utf-8",
         g.metrics.render(g, openmetrics));
  ::shutdown(fd, SHUT_WR);
  return 0;
}

}  // namespace orvane
