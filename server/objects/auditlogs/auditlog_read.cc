// Reading the entries of a range of local dates.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <limits>
#include <new>

#include "objects/auditlogs/auditlog.h"
#include "objects/auditlogs/auditlog_io.h"
#include "utils/logger.h"
#include "utils/numbers.h"

namespace orvane {

using auditlog_io::err_text;
using auditlog_io::flock_retry;

namespace {

// YYYYMMDD of a valid calendar date, else 0.
uint32_t valid_day(uint32_t day) {
  const std::chrono::year_month_day ymd{std::chrono::year(static_cast<int>(day / 10000)),
                                        std::chrono::month(day / 100 % 100),
                                        std::chrono::day(day % 100)};
  return ymd.ok() && day / 10000 > 0 ? day : 0;
}

// The calendar date after day (time zones play no part in it).
uint32_t next_day(uint32_t day) {
  using namespace std::chrono;
  const year_month_day ymd{year(static_cast<int>(day / 10000)), month(day / 100 % 100),
                           std::chrono::day(day % 100)};
  if (!ymd.ok()) return 0;
  const year_month_day next{sys_days(ymd) + days(1)};
  const int y = static_cast<int>(next.year());
  if (y > 9999) return 0;
  return static_cast<uint32_t>(y) * 10000 + static_cast<unsigned>(next.month()) * 100 +
         static_cast<unsigned>(next.day());
}

// The earliest date after `after` and not after `last` that has a day file name in the data
// directory, or 0. Used to step over days without a file instead of probing each date.
uint32_t next_existing_day(const auditlog& log, uint32_t after, uint32_t last) {
  const std::string data = log.dir + "/data";
  DIR* dir = ::opendir(data.c_str());
  if (dir == nullptr) return 0;
  uint32_t best = 0;
  while (const struct dirent* de = ::readdir(dir)) {
    const char* name = de->d_name;
    const std::string_view text(name);
    uint64_t number = 0;
    if (text.size() != 8 || !kt::decimal_parse(text, 99999999, &number)) continue;
    const uint32_t day = static_cast<uint32_t>(number);
    if (valid_day(day) == 0) continue;
    if (day > after && day <= last && (best == 0 || day < best)) best = day;
  }
  ::closedir(dir);
  return best;
}

void close_day(auditlog& log) {
  if (log.day_fd < 0) return;
  ::close(log.day_fd);
  log.day_fd = -1;
}

// Ends the range: later calls return 0.
void exhaust(auditlog& log) {
  close_day(log);
  log.read_day = 0;
}

// Opens the day file of the first date from read_day on that has one. 1 opened, 0 range
// exhausted.
int _auditlog_open_datanext(auditlog& log) {
  while (log.read_day != 0 && log.read_day <= log.read_end_day) {
    const std::string path = auditlog_day_path(log, log.read_day);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
      log.day_fd = fd;
      return 1;
    }
    if (fd >= 0) {
      ::close(fd);
    } else if (errno != ENOENT) {
      KT_LOG_ERR("open(%s): %s", path.c_str(), err_text(errno).c_str());
    }
    log.read_day = next_existing_day(log, log.read_day, log.read_end_day);
  }
  log.read_day = 0;
  return 0;
}

// Reads one record of the open day file: 1 with *out set, 0 at the end of the file, -2 read
// error, -3 truncated or malformed record, -1 out of memory.
int read_record(auditlog& log, std::unique_ptr<auditlog_entry>* out) {
  uint8_t head[AUDITLOG_ENTRY_HEAD];
  const ssize_t n = auditlog_io::read_full(log.day_fd, head, sizeof head);
  if (n < 0) {
    KT_LOG_ERR("readv(): %s", err_text(errno).c_str());
    return -2;
  }
  // A partial head counts as the end of the file.
  if (static_cast<size_t>(n) < sizeof head) return 0;
  std::unique_ptr<auditlog_entry> e;
  try {
    e = std::make_unique<auditlog_entry>();
  } catch (const std::bad_alloc&) {
    KT_LOG_ERR("%s(): %s", "calloc", err_text(ENOMEM).c_str());
    return -1;
  }
  e->total_len = auditlog_io::get_u16(head);
  e->addr_len = head[2];
  e->api_len = head[3];
  e->user_len = head[4];
  e->info_len = auditlog_io::get_u16(head + 5);
  const size_t total = auditlog_io::record_length(head);
  if (total == 0) {
    KT_LOG_ERR("malformed record in %s", auditlog_day_path(log, log.read_day).c_str());
    return -3;
  }
  try {
    e->body.resize(total - AUDITLOG_ENTRY_HEAD);
  } catch (const std::bad_alloc&) {
    KT_LOG_ERR("%s(): %s", "malloc", err_text(ENOMEM).c_str());
    return -1;
  }
  const ssize_t got = auditlog_io::read_full(log.day_fd, e->body.data(), e->body.size());
  if (got < 0) KT_LOG_ERR("readv(): %s", err_text(errno).c_str());
  if (got != static_cast<ssize_t>(e->body.size()) || _auditlog_entry_fixptr(*e) != 0) return -3;
  *out = std::move(e);
  return 1;
}

int read_next(auditlog& log, std::unique_ptr<auditlog_entry>* out) {
  for (;;) {
    if (log.day_fd < 0 && _auditlog_open_datanext(log) == 0) return 0;
    // The day file is locked for one record at a time, after the lock file like the writer
    // does: holding it across records would deadlock with a writer that holds the lock file
    // and waits for the day file.
    if (flock_retry(log.day_fd, LOCK_SH) != 0) {
      KT_LOG_ERR("%s(): %s", "flock lock", err_text(errno).c_str());
      exhaust(log);
      return -1;
    }
    const int rc = read_record(log, out);
    flock_retry(log.day_fd, LOCK_UN);
    if (rc > 0) return rc;
    if (rc < 0) {
      exhaust(log);
      return rc;
    }
    close_day(log);
    log.read_day = next_day(log.read_day);
  }
}

}  // namespace

void auditlog_read_begin(auditlog& log, time_t from, time_t to) {
  close_day(log);
  log.read_from = from;
  log.read_to = to;
  // Entries carry 32-bit timestamps and day files are named by 32-bit write times.
  constexpr time_t kMax = std::numeric_limits<uint32_t>::max();
  const time_t f = from < 0 ? 0 : (from > kMax ? kMax : from);
  const time_t t = to < 0 ? 0 : (to > kMax ? kMax : to);
  log.read_day = from > to ? 0 : auditlog_day_of(f);
  log.read_end_day = auditlog_day_of(t);
}

int auditlog_read_entry(auditlog& log, std::unique_ptr<auditlog_entry>* entry) {
  if (entry == nullptr) return -1;
  auditlog_lock lock(log, auditlog_lock::read);
  if (!lock.held()) return -1;
  return read_next(log, entry);
}

}  // namespace orvane
