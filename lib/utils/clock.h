// Readings of the monotonic clocks, for deadlines and uptimes.
#ifndef KT_UTILS_CLOCK_H_
#define KT_UTILS_CLOCK_H_

#include <time.h>

#include <cstdint>

namespace kt {

// Milliseconds on CLOCK_MONOTONIC.
inline int64_t monotonic_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Nanoseconds on CLOCK_MONOTONIC.
inline int64_t monotonic_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Seconds on CLOCK_MONOTONIC_RAW (not slewed by time adjustments).
inline uint64_t monotonic_raw_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC_RAW, &ts);
  return static_cast<uint64_t>(ts.tv_sec);
}

}  // namespace kt

#endif  // KT_UTILS_CLOCK_H_
