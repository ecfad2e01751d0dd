#include "health.h"

#include <sys/statfs.h>
#include <sys/sysinfo.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <shared_mutex>
#include <sstream>
#include <vector>

#include "config.h"
#include "errors.h"
#include "globals.h"
#include "objects/domains/domain.h"
#include "objects/netclients/netclient.h"
#include "objects/permissions/permission.h"
#include "objects/permissions/permission_records.h"
#include "objects/tokens/token.h"
#include "objects/users/user.h"
#include "processor.h"
#include "utils/clock.h"
#include "utils/logger.h"
#include "utils/numbers.h"
#include "xmldoc/xmldoc.h"

namespace orvane {

namespace {

constexpr size_t kModelCapacity = 256;  // model text, terminator included

bool starts_with(const std::string& line, const char* prefix) {
  return line.compare(0, std::strlen(prefix), prefix) == 0;
}

// The CPU description, read once per process.
struct cpu_description {
  int result = -1;
  uint32_t count = 0;
  std::string model;
};

const cpu_description& cached_cpu_description() {
  static cpu_description desc;
  static std::once_flag once;
  std::call_once(once, [] {
    std::ifstream in("/proc/cpuinfo");
    if (!in) {
      KT_LOG_ERR("failed to open /proc/cpuinfo %s", std::strerror(errno));
      return;
    }
    std::ostringstream text;
    text << in.rdbuf();
    desc.count = _cpuinfo_parse(text.str(), &desc.model);
    desc.result = 0;
  });
  return desc;
}

std::string decimal(uint64_t v) {
  return std::to_string(v);
}

// The domains a caller sees: all of them from the root domain, else its own.
std::vector<kt::ref_ptr<domain>> domains_in_scope(globals& g, domain& d) {
  std::vector<kt::ref_ptr<domain>> out;
  if (d.parent_id != 0 || g.root_domain.get() != &d) {
    out.emplace_back(&d);
    return out;
  }
  std::shared_lock lock(g.domains_by_id.rwlock());
  g.domains_by_id.for_each(
      [&](const uint64_t&, const kt::ref_ptr<domain>& dom) { out.push_back(dom); });
  return out;
}

// Reads a request counter; a reset clears it in the same atomic step.
uint64_t take_counter(std::atomic<uint64_t>& counter, bool reset) {
  return reset ? counter.exchange(0) : counter.load();
}

std::unique_ptr<kt::xmldoc_node> netclients_element(const std::vector<kt::ref_ptr<domain>>& scope,
                                                    bool reset) {
  auto out = kt::xmldoc_node::create("netclients");
  for (const kt::ref_ptr<domain>& dom : scope) {
    const std::string domain_name = dom->name();
    std::vector<kt::ref_ptr<netclient>> clients;
    {
      std::shared_lock lock(dom->netclients_by_id.rwlock());
      dom->netclients_by_id.for_each(
          [&](const uint64_t&, const kt::ref_ptr<netclient>& nc) { clients.push_back(nc); });
    }
    for (const kt::ref_ptr<netclient>& nc : clients) {
      const uint64_t requests = take_counter(nc->requests, reset);
      kt::xmldoc_node* a = out->add_child(kt::xmldoc_node::create("a"));
      a->attr_addval("r", decimal(reset ? 0 : requests));
      a->attr_addval("d", domain_name);
      a->set_value(nc->get_name());
    }
  }
  return out;
}

std::unique_ptr<kt::xmldoc_node> cpu_element(const globals& g) {
  auto out = kt::xmldoc_node::create("cpu");
  uint32_t cores = 0;
  std::string model;
  if (getcpucount(&cores, &model) == 0) {
    out->attr_addval("cores", decimal(cores));
    out->attr_addval("model", model);
  }
  int slot = g.cpuidx.load();
  for (int k = 0; k < globals::cpuidx_max; ++k) {
    slot = slot == 0 ? globals::cpuidx_max - 1 : slot - 1;
    char busy[32];
    std::snprintf(busy, sizeof busy, "%.02f", static_cast<double>(g.cpu_busy[slot].load()));
    kt::xmldoc_node* i = out->add_child(kt::xmldoc_node::create("i"));
    i->attr_addval("n", decimal(static_cast<uint64_t>(slot)));
    i->set_value(busy);
  }
  return out;
}

}  // namespace

int getcpuinfo(globals& g) {
  const int idx = g.cpuidx.load();
  uint64_t* slot = g.cpu_counters[idx];
  FILE* f = std::fopen("/proc/stat", "r");
  if (f == nullptr) {
    KT_LOG_ERR("failed to open /proc/stat %s", std::strerror(errno));
    std::memset(slot, 0, sizeof g.cpu_counters[0]);
  } else {
    char line[1024] = {};
    unsigned long v[8] = {};
    if (std::fgets(line, sizeof line, f) != nullptr &&
        std::sscanf(line, "%*s %lu %lu %lu %lu %lu %lu %lu %lu", &v[0], &v[1], &v[2], &v[3], &v[4],
                    &v[5], &v[6], &v[7]) == 8) {
      for (int i = 0; i < 8; ++i) slot[i] = v[i];
    }
    std::fclose(f);
    const uint64_t* prev = g.cpu_counters[idx == 0 ? globals::cpuidx_max - 1 : idx - 1];
    uint64_t total = 0;
    uint64_t prev_total = 0;
    for (int i = 0; i < 8; ++i) {
      total += slot[i];
      prev_total += prev[i];
    }
    const uint64_t idle = slot[3] + slot[4];
    const uint64_t prev_idle = prev[3] + prev[4];
    const uint64_t dt = total - prev_total;
    if (dt != 0) {
      const float busy = static_cast<float>(dt - (idle - prev_idle)) / static_cast<float>(dt);
      g.cpu_busy[idx].store(busy * 1000.0f / 10.0f);
    }
  }
  g.cpuidx.store(static_cast<uint8_t>(idx + 1 >= globals::cpuidx_max ? 0 : idx + 1));
  return 0;
}

long getVmValue() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (!starts_with(line, "VmRSS:")) continue;
    const size_t digit = line.find_first_of("0123456789");
    if (digit == std::string::npos) return -1;
    return static_cast<long>(kt::decimal_prefix(std::string_view(line).substr(digit), LONG_MAX));
  }
  return -1;
}

int getdiskstat(const std::string& path, uint64_t* total, uint64_t* free) {
  *total = 0;
  *free = 0;
  struct statfs st {};
  if (::statfs(path.c_str(), &st) != 0) return -1;
  *total = static_cast<uint64_t>(st.f_bsize) * static_cast<uint64_t>(st.f_blocks);
  *free = static_cast<uint64_t>(st.f_bsize) * static_cast<uint64_t>(st.f_bfree);
  return 0;
}

uint32_t _cpuinfo_parse(const std::string& text, std::string* model) {
  uint32_t count = 0;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (starts_with(line, "processor")) ++count;
    if (!starts_with(line, "model name")) continue;
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    size_t from = colon + 1;
    if (from < line.size() && line[from] == ' ') ++from;
    std::string value = line.substr(from, kModelCapacity - 1);
    if (const size_t cr = value.rfind('\r'); cr != std::string::npos) value.resize(cr);
    for (char& ch : value) {
      if (ch == '"') ch = ' ';
    }
    *model = std::move(value);
  }
  return count;
}

int getcpucount(uint32_t* count, std::string* model) {
  const cpu_description& desc = cached_cpu_description();
  if (desc.result != 0) return -1;
  *count = desc.count;
  *model = desc.model;
  return 0;
}

uint32_t processor_get_health(command& cmd) {
  globals& g = cmd.g;
  const bool reset = cmd.element.attr_get("reset") != nullptr;
  if (const uint32_t rc = cmd.require(SYS_RES_ORVANE, PERM_READ); rc != 0) return rc;
  // Clearing the counters takes WRITE on the root domain's ORVANE.
  if (reset && (!g.root_domain || !cmd.who() ||
                permission_check(*cmd.who(), PERMISSION_TARGET_RESOURCE,
                                 g.root_domain->sys_res[SYS_RES_ORVANE], PERM_WRITE) != 0)) {
    return E_ACCESS_VIOLATION;
  }

  const std::vector<kt::ref_ptr<domain>> scope = domains_in_scope(g, cmd.dom());
  auto health = kt::xmldoc_node::create("health");
  health->add_child(netclients_element(scope, reset));

  kt::xmldoc_node* domains = health->add_child(kt::xmldoc_node::create("domains"));
  uint64_t requests = 0;
  for (const kt::ref_ptr<domain>& dom : scope) {
    const uint64_t n = take_counter(dom->requests, reset);
    requests += n;
    kt::xmldoc_node* e = domains->add_child(kt::xmldoc_node::create("d"));
    e->attr_addval("r", decimal(reset ? 0 : n));
    e->set_value(dom->name());
  }

  const uint64_t now = kt::monotonic_raw_seconds();
  health->add_child(kt::xmldoc_node::create("uptime"))
      ->set_value(decimal(now >= g.start_time ? now - g.start_time : 0));
  health->add_child(kt::xmldoc_node::create("requests"))->set_value(decimal(reset ? 0 : requests));

  kt::xmldoc_node* memory = health->add_child(kt::xmldoc_node::create("memory"));
  struct sysinfo info {};
  if (::sysinfo(&info) == 0) {
    const uint64_t unit = info.mem_unit;
    memory->attr_addval("total",
                        decimal((static_cast<uint64_t>(info.totalram) + info.totalswap) * unit));
    memory->attr_addval("free",
                        decimal((static_cast<uint64_t>(info.freeram) + info.freeswap) * unit));
  } else {
    memory->attr_addval("total", "0");
    memory->attr_addval("free", "0");
  }
  // An unreadable resident size is reported as 0 rather than as -1 KiB in unsigned form.
  const long rss = getVmValue();
  memory->attr_addval("process", decimal(rss > 0 ? static_cast<uint64_t>(rss) * 1024 : 0));

  uint64_t disk_total = 0;
  uint64_t disk_free = 0;
  getdiskstat(path_data_fs(), &disk_total, &disk_free);
  kt::xmldoc_node* disk = health->add_child(kt::xmldoc_node::create("disk"));
  disk->attr_addval("total", decimal(disk_total));
  disk->attr_addval("free", decimal(disk_free));

  health->add_child(cpu_element(g));
  cmd.answer(std::move(health));
  return E_OK;
}

uint32_t processor_get_error_codes(command& cmd) {
  auto out = kt::xmldoc_node::create("errors");
  for (const error_entry* e = errors; e->msg != nullptr; ++e) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08x", e->code);
    kt::xmldoc_node* node = out->add_child(kt::xmldoc_node::create("e"));
    node->attr_addval("c", code);
    node->set_value(e->msg);
  }
  cmd.answer(std::move(out));
  return E_OK;
}

uint32_t processor_get_audit_api(command& cmd) {
  auto out = kt::xmldoc_node::create("auditapi");
  for (const processor_function* f = processor_functions; f->name != nullptr; ++f) {
    if ((f->flags & PROCESSOR_AUDIT) == 0) continue;
    out->add_child(kt::xmldoc_node::create("a"))->set_value(f->name);
  }
  cmd.answer(std::move(out));
  return E_OK;
}

}  // namespace orvane
