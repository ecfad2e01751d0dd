#include "health.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "globals.h"
#include "utils/logger.h"

namespace orvane {

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

}  // namespace orvane
