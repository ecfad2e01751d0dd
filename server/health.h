// Health and diagnostics: the CPU sampler run every 5 seconds, and the queries that report the
// server's own state.
#ifndef ORVANE_HEALTH_H_
#define ORVANE_HEALTH_H_

namespace orvane {

struct globals;

// Samples the first line of /proc/stat into the current slot of the CPU ring and computes the
// slot's busy percentage against the previous slot. Returns 0.
int getcpuinfo(globals& g);

}  // namespace orvane

#endif  // ORVANE_HEALTH_H_
