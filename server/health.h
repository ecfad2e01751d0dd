// Health and diagnostics: the CPU sampler run every 5 seconds, and the queries that report the
// server's own state (getHealth, getErrorCodes, getAuditApi).
#ifndef ORVANE_HEALTH_H_
#define ORVANE_HEALTH_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace orvane {

struct globals;
class command;

// Samples the first line of /proc/stat into the current slot of the CPU ring and computes the
// slot's busy percentage against the previous slot. Returns 0.
int getcpuinfo(globals& g);

// Resident set size of the process in kilobytes (the VmRSS line of /proc/self/status), or -1.
long getVmValue();

// Total and free bytes of the file system holding the path; both 0 when it cannot be asked.
// Returns 0 or -1.
int getdiskstat(const std::string& path, uint64_t* total, uint64_t* free);

// The number of "processor" lines of /proc/cpuinfo and the text of its last "model name" line
// (double quotes replaced by blanks). Read once per process and cached; returns 0, or -1 when
// /proc/cpuinfo could not be read.
int getcpucount(uint32_t* count, std::string* model);

// Parses a cpuinfo text (exposed for tests). Returns the processor count.
uint32_t _cpuinfo_parse(const std::string& text, std::string* model);

// getHealth: request counters (reset when the command carries "reset"), uptime, memory, disk
// and the CPU history, newest sample first.
uint32_t processor_get_health(command& cmd);
// getErrorCodes: the result-code table.
uint32_t processor_get_error_codes(command& cmd);
// getAuditApi: the names of the audited commands, in table order.
uint32_t processor_get_audit_api(command& cmd);

}  // namespace orvane

#endif  // ORVANE_HEALTH_H_
