// Opening and closing a log, the writer thread, appending, the header file and clearing.
#include "objects/auditlogs/auditlog.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <exception>
#include <future>
#include <list>
#include <new>
#include <optional>
#include <span>
#include <system_error>
#include <thread>
#include <vector>

#include "objects/auditlogs/auditlog_io.h"
#include "utils/files.h"
#include "utils/logger.h"

namespace orvane {

using auditlog_io::err_text;
using auditlog_io::flock_retry;
using auditlog_io::get_u32;
using auditlog_io::put_u16;
using auditlog_io::put_u32;

namespace {

uint32_t now_u32(time_t now) {
  return now < 0 ? 0 : static_cast<uint32_t>(now);
}

void encode_header(const auditlog_header& h, uint8_t* out) {
  put_u32(out, h.size);
  put_u32(out + 4, h.entries);
  put_u32(out + 8, h.created);
  put_u32(out + 12, h.modified);
  put_u32(out + 16, h.chsum);
}

void decode_header(const uint8_t* in, auditlog_header& h) {
  h.size = get_u32(in);
  h.entries = get_u32(in + 4);
  h.created = get_u32(in + 8);
  h.modified = get_u32(in + 12);
  h.chsum = get_u32(in + 16);
}

// Opens the header file with flags, creating it when it does not exist.
int open_header(const auditlog& log, int flags) {
  int fd = ::open(log.hdr_path.c_str(), flags | O_CLOEXEC);
  if (fd < 0) fd = ::open(log.hdr_path.c_str(), flags | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) KT_LOG_ERR("open(%s): %s", log.hdr_path.c_str(), err_text(errno).c_str());
  return fd;
}

// Writes the entries in their order; the caller holds the write lock. Entries queued before the
// last clearing are dropped.
void write_queued_locked(auditlog& log, std::span<auditlog_entry* const> entries) {
  const uint32_t generation = log.generation.load();
  std::vector<const auditlog_entry*> current;
  current.reserve(entries.size());
  for (const auditlog_entry* e : entries) {
    if (e->generation == generation) current.push_back(e);
  }
  if (_auditlog_write_entries(log, current) != 0) KT_LOG_ERR("auditlog_write_entry failed");
}

// Entries written under one hold of the log's lock at most.
constexpr size_t kWriteBatch = AUDITLOG_WRITE_BATCH_MAX;

// Writes the entries taken from the queue, in their order, taking the log's lock once for all of
// them. A flush marker is passed once everything ahead of it is written.
void write_batch(auditlog& log, std::vector<std::unique_ptr<auditlog_entry>>& batch) {
  std::optional<auditlog_lock> lock;
  std::vector<auditlog_entry*> run;
  run.reserve(batch.size());
  auto write_run = [&] {
    if (run.empty()) return;
    if (!lock) lock.emplace(log, auditlog_lock::write);
    if (lock->held()) {
      write_queued_locked(log, run);
    } else {
      KT_LOG_ERR("auditlog_write_entry failed");
    }
    run.clear();
  };
  for (std::unique_ptr<auditlog_entry>& e : batch) {
    if (!e) continue;
    if (e->barrier) {
      write_run();
      e->barrier->set_value();
    } else {
      run.push_back(e.get());
    }
  }
  write_run();
  batch.clear();
}

// After a batch that did not fill, the writer pauses this long before it looks at the queue
// again: under load the entries of the pause go to disk in one write, and the threads that queue
// them find nobody to wake.
constexpr auto kGatherPause = std::chrono::milliseconds(2);

// Moves up to a batch's worth of queued entries behind those in batch, without waiting.
void take_queued(auditlog& log, std::vector<std::unique_ptr<auditlog_entry>>& batch) {
  while (batch.size() < kWriteBatch) {
    auto more = log.queue->dequeue();
    if (!more) break;
    batch.push_back(std::move(*more));
  }
}

// The writer thread: writes entries as they come, those queued meanwhile together; once the
// queue is told to exit, writes what is left without waiting and ends.
void auditlog_routine(auditlog* log) {
  std::vector<std::unique_ptr<auditlog_entry>> batch;
  batch.reserve(kWriteBatch);
  while (auto e = log->queue->dequeue_s()) {
    batch.push_back(std::move(*e));
    take_queued(*log, batch);
    const bool full = batch.size() == kWriteBatch;
    write_batch(*log, batch);
    if (!full && !log->queue->exiting()) std::this_thread::sleep_for(kGatherPause);
  }
  for (;;) {
    take_queued(*log, batch);
    if (batch.empty()) break;
    write_batch(*log, batch);
  }
}

}  // namespace

auditlog::auditlog() = default;

auditlog::~auditlog() {
  if (writer.joinable()) {
    queue->prepare_exit();
    writer.join();
  }
  if (day_fd >= 0) {
    flock_retry(day_fd, LOCK_UN);
    ::close(day_fd);
  }
  if (lock_fd >= 0) ::close(lock_fd);
}

uint32_t auditlog_day_of(time_t t) {
  struct tm tm;
  if (localtime_r(&t, &tm) == nullptr) return 0;
  const long year = tm.tm_year + 1900L;
  if (year < 1 || year > 9999) return 0;
  return static_cast<uint32_t>(year * 10000 + (tm.tm_mon + 1) * 100 + tm.tm_mday);
}

std::string auditlog_day_path(const auditlog& log, uint32_t day) {
  char name[16];
  std::snprintf(name, sizeof name, "/data/%08u", day);
  return log.dir + name;
}

std::unique_ptr<auditlog> auditlog_open(const std::string& dir, bool read_only) {
  if (dir.empty() || dir.size() > AUDITLOG_DIR_MAX) {
    KT_LOG_ERR("invalid directory (%zu bytes)", dir.size());
    return nullptr;
  }
  std::unique_ptr<auditlog> log;
  try {
    log = std::make_unique<auditlog>();
    log->dir = dir;
    log->hdr_path = dir + "/hdr";
  } catch (const std::bad_alloc&) {
    KT_LOG_ERR("%s(): %s", "calloc", err_text(ENOMEM).c_str());
    return nullptr;
  }
  log->read_only = read_only;
  const std::string data = dir + "/data";
  const std::string lock_path = dir + "/.lock";

  struct stat st;
  if (::stat(dir.c_str(), &st) != 0) {
    if (kt::path_create(dir.c_str(), 0700) != 0) {
      KT_LOG_ERR("path_create failed");
      return nullptr;
    }
    if (kt::path_create(data.c_str(), 0700) != 0) {
      KT_LOG_ERR("path_create %s/data failed", dir.c_str());
      return nullptr;
    }
    log->lock_fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (log->lock_fd < 0) {
      KT_LOG_ERR("open(%s): %s", lock_path.c_str(), err_text(errno).c_str());
      return nullptr;
    }
    log->header = auditlog_header{};
    log->header.created = now_u32(time(nullptr));
    auditlog_write_header(*log);
  } else {
    log->lock_fd = ::open(lock_path.c_str(), O_RDWR | O_CLOEXEC);
    // The lock file holds nothing: the writer brings back one that went missing, a reader
    // without it has nothing to exclude the writer with.
    if (log->lock_fd < 0 && errno == ENOENT && !read_only) {
      log->lock_fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
      if (log->lock_fd >= 0) KT_LOG_WARN("%s was missing: created again", lock_path.c_str());
    }
    if (log->lock_fd < 0) {
      if (!read_only) KT_LOG_ERR("open(%s): %s", lock_path.c_str(), err_text(errno).c_str());
      return nullptr;
    }
  }
  auditlog_read_header(*log, &log->header);

  if (!read_only) {
    // Day files are created in "data"; bring it back if it went missing.
    if (kt::path_exists(data.c_str()) != 0 && kt::path_create(data.c_str(), 0700) != 0) {
      KT_LOG_ERR("path_create %s/data failed", dir.c_str());
    }
    // A crash may have cut the last record of a day file short; appending behind it would make
    // every later entry of that day unreadable.
    {
      auditlog_lock lock(*log, auditlog_lock::write);
      if (lock.held()) _auditlog_cut_torn_tails(*log);
    }
    log->queue = kt::queue_create<std::unique_ptr<auditlog_entry>>();
    if (!log->queue) {
      KT_LOG_ERR("%s(): %s", "calloc", err_text(ENOMEM).c_str());
      return nullptr;
    }
    try {
      log->writer = std::thread(auditlog_routine, log.get());
    } catch (const std::system_error&) {
      KT_LOG_ERR("pthread_create failed");
      return nullptr;
    }
  }
  return log;
}

size_t auditlog_queue_depth(const auditlog& log) {
  return log.queue ? log.queue->size() : 0;
}

int auditlog_enqueue_entry(auditlog& log, std::unique_ptr<auditlog_entry> entry) {
  if (!entry || !log.queue) return -1;
  entry->generation = log.generation.load();
  return log.queue->enqueue(std::move(entry));
}

int _auditlog_lock_write(auditlog& log) {
  log.mu.lock();
  if (flock_retry(log.lock_fd, LOCK_EX) != 0) {
    KT_LOG_ERR("%s(): %s", "flock lock", err_text(errno).c_str());
    log.mu.unlock();
    return -1;
  }
  return 0;
}

int _auditlog_lock_read(auditlog& log) {
  log.mu.lock();
  if (flock_retry(log.lock_fd, LOCK_SH) != 0) {
    KT_LOG_ERR("%s(): %s", "flock lock", err_text(errno).c_str());
    log.mu.unlock();
    return -1;
  }
  return 0;
}

int _auditlog_lock_unlock(auditlog& log) {
  int rc = 0;
  if (flock_retry(log.lock_fd, LOCK_UN) != 0) {
    KT_LOG_ERR("%s(): %s", "flock unlock", err_text(errno).c_str());
    rc = -1;
  }
  log.mu.unlock();
  return rc;
}

int auditlog_read_header(auditlog& log, auditlog_header* header) {
  const int fd = open_header(log, O_RDONLY);
  if (fd < 0) return -1;
  int rc = 0;
  if (flock_retry(fd, LOCK_SH) != 0) {
    KT_LOG_ERR("%s(): %s", "flock lock", err_text(errno).c_str());
    ::close(fd);
    return -1;
  }
  // A short file leaves the fields it does not reach unchanged.
  uint8_t buf[AUDITLOG_HEADER_SIZE];
  encode_header(*header, buf);
  if (auditlog_io::read_full(fd, buf, sizeof buf) < 0) {
    KT_LOG_ERR("%s(): %s", "readv", err_text(errno).c_str());
    rc = -1;
  } else {
    decode_header(buf, *header);
  }
  if (flock_retry(fd, LOCK_UN) != 0) {
    KT_LOG_ERR("%s(): %s", "flock unlock", err_text(errno).c_str());
    rc = -1;
  }
  ::close(fd);
  return rc;
}

int auditlog_write_header(auditlog& log) {
  const int fd = open_header(log, O_WRONLY);
  if (fd < 0) return -1;
  if (flock_retry(fd, LOCK_EX) != 0) {
    KT_LOG_ERR("%s(): %s", "flock lock", err_text(errno).c_str());
    ::close(fd);
    return -1;
  }
  int rc = 0;
  log.header.modified = now_u32(time(nullptr));
  uint8_t buf[AUDITLOG_HEADER_SIZE];
  encode_header(log.header, buf);
  if (auditlog_io::pwrite_full(fd, buf, sizeof buf, 0) != 0) {
    KT_LOG_ERR("%s(): %s", "writev", err_text(errno).c_str());
    rc = -1;
  }
  if (flock_retry(fd, LOCK_UN) != 0) {
    KT_LOG_ERR("%s(): %s", "flock unlock", err_text(errno).c_str());
    rc = -1;
  }
  ::close(fd);
  return rc;
}

namespace {

// Only a consistent record goes to disk: a reader trusts the lengths.
bool entry_consistent(const auditlog_entry& entry) {
  const size_t total = AUDITLOG_ENTRY_FIXED + entry.addr_len + entry.api_len + entry.user_len +
                       size_t{entry.info_len};
  if (total != entry.total_len || entry.body.size() != total - AUDITLOG_ENTRY_HEAD ||
      (entry.addr_len != 0 && entry.addr_len != AUDITLOG_ADDRESS_SIZE)) {
    KT_LOG_ERR("inconsistent entry (total %u)", entry.total_len);
    return false;
  }
  return true;
}

// The day file of an entry: the day of its own timestamp, so that a range read finds it among
// the days of the range however late the writer got to it. A timestamp without a local date
// falls back to the day of writing. 0 when there is no date at all.
uint32_t entry_day(const auditlog_entry& entry) {
  uint32_t day = auditlog_day_of(static_cast<time_t>(entry.timestamp()));
  if (day == 0) day = auditlog_day_of(time(nullptr));
  if (day == 0) KT_LOG_ERR("no local date for %u", entry.timestamp());
  return day;
}

// Appends the records to the day file in one write. 0, or -1 with the file as it was.
int append_to_day(auditlog& log, uint32_t day, std::span<const auditlog_entry* const> run) {
  const std::string path = auditlog_day_path(log, day);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    KT_LOG_ERR("open(%s): %s", path.c_str(), err_text(errno).c_str());
    return -1;
  }
  if (flock_retry(fd, LOCK_EX) != 0) {
    KT_LOG_ERR("%s(): %s", "flock lock", err_text(errno).c_str());
    ::close(fd);
    return -1;
  }
  auto done = [&](const char* failed) {
    if (failed != nullptr) KT_LOG_ERR("%s(): %s", failed, err_text(errno).c_str());
    flock_retry(fd, LOCK_UN);
    ::close(fd);
    return failed != nullptr ? -1 : 0;
  };
  const off_t end = ::lseek(fd, 0, SEEK_END);
  if (end < 0) return done("lseek");

  std::vector<uint8_t> heads(run.size() * AUDITLOG_ENTRY_HEAD);
  std::vector<struct iovec> iov;
  iov.reserve(run.size() * 2);
  for (size_t i = 0; i < run.size(); ++i) {
    const auditlog_entry& e = *run[i];
    uint8_t* head = heads.data() + i * AUDITLOG_ENTRY_HEAD;
    put_u16(head, e.total_len);
    head[2] = e.addr_len;
    head[3] = e.api_len;
    head[4] = e.user_len;
    put_u16(head + 5, e.info_len);
    iov.push_back({head, AUDITLOG_ENTRY_HEAD});
    iov.push_back({const_cast<uint8_t*>(e.body.data()), e.body.size()});
  }
  if (auditlog_io::writev_full(fd, iov.data(), static_cast<int>(iov.size())) != 0) {
    // A partial record would end every later read of the day: cut it off again.
    const int err = errno;
    if (::ftruncate(fd, end) != 0) KT_LOG_ERR("%s(): %s", "ftruncate", err_text(errno).c_str());
    errno = err;
    return done("writev");
  }
  return done(nullptr);
}

}  // namespace

int _auditlog_write_entries(auditlog& log, std::span<const auditlog_entry* const> entries) {
  if (entries.size() > AUDITLOG_WRITE_BATCH_MAX) {
    int failed = 0;
    for (size_t i = 0; i < entries.size(); i += AUDITLOG_WRITE_BATCH_MAX) {
      failed += _auditlog_write_entries(
          log, entries.subspan(i, std::min(AUDITLOG_WRITE_BATCH_MAX, entries.size() - i)));
    }
    return failed;
  }
  std::array<const auditlog_entry*, AUDITLOG_WRITE_BATCH_MAX> valid;
  std::array<uint32_t, AUDITLOG_WRITE_BATCH_MAX> days;
  size_t n = 0;
  int failed = 0;
  for (const auditlog_entry* e : entries) {
    const uint32_t day = e != nullptr && entry_consistent(*e) ? entry_day(*e) : 0;
    if (day == 0) {
      ++failed;
      continue;
    }
    valid[n] = e;
    days[n++] = day;
  }
  const auditlog_header saved = log.header;
  uint32_t written = 0;
  for (size_t i = 0; i < n;) {
    size_t j = i + 1;
    while (j < n && days[j] == days[i]) ++j;
    if (append_to_day(log, days[i], std::span(valid).subspan(i, j - i)) != 0) {
      failed += static_cast<int>(j - i);
    } else {
      for (size_t k = i; k < j; ++k) log.header.size += valid[k]->total_len;
      written += static_cast<uint32_t>(j - i);
    }
    i = j;
  }
  if (written == 0) return failed;
  log.header.entries += written;
  log.header.chsum += written;
  if (auditlog_write_header(log) != 0) {
    log.header = saved;
    KT_LOG_ERR("%s(): %s", "auditlog_write_header", "failed");
    failed += static_cast<int>(written);
  }
  return failed;
}

int _auditlog_write_entry(auditlog& log, const auditlog_entry& entry) {
  const auditlog_entry* one = &entry;
  return _auditlog_write_entries(log, std::span(&one, 1)) == 0 ? 0 : -1;
}

int auditlog_write_entry(auditlog& log, const auditlog_entry& entry) {
  auditlog_lock lock(log, auditlog_lock::write);
  if (!lock.held()) return -1;
  return _auditlog_write_entry(log, entry);
}

int auditlog_clear(auditlog& log) {
  auditlog_lock lock(log, auditlog_lock::write);
  if (!lock.held()) return -1;
  // Entries queued until now describe what is being cleared.
  log.generation.fetch_add(1);
  int rc = 0;
  log.header.created = now_u32(time(nullptr));
  log.header.entries = 0;
  log.header.chsum = 0;
  log.header.size = AUDITLOG_HEADER_SIZE;
  const std::string data = log.dir + "/data";
  if (kt::path_exists(data.c_str()) == 0 && kt::path_remove(data.c_str()) != 0) {
    KT_LOG_ERR("path_remove %s failed", data.c_str());
    rc = -1;
  }
  if (kt::path_create(data.c_str(), 0700) != 0) {
    KT_LOG_ERR("path_create %s/data failed", log.dir.c_str());
    rc = -1;
  }
  if (auditlog_write_header(log) != 0) rc = -1;
  return rc;
}

int auditlog_backup_flush(auditlog& log, const std::function<int()>& copy) {
  // The writer thread may hold an entry it took from the queue but has not written yet; a
  // marker queued behind it tells when it is through.
  if (log.queue && log.writer.joinable()) {
    try {
      auto marker = std::make_unique<auditlog_entry>();
      marker->barrier = std::make_unique<std::promise<void>>();
      std::future<void> reached = marker->barrier->get_future();
      if (log.queue->enqueue(std::move(marker)) == 0) reached.wait();
    } catch (const std::exception& e) {
      KT_LOG_ERR("flush marker: %s", e.what());
    }
  }
  auditlog_lock lock(log, auditlog_lock::write);
  if (!lock.held()) return -1;
  if (log.queue) {
    std::vector<auditlog_entry*> rest;
    std::list<std::unique_ptr<auditlog_entry>> queued = log.queue->drain();
    for (std::unique_ptr<auditlog_entry>& e : queued) {
      if (!e) continue;
      if (e->barrier) {
        e->barrier->set_value();  // another flush: it waits for this lock next
      } else {
        rest.push_back(e.get());
      }
    }
    write_queued_locked(log, rest);
  }
  return copy ? copy() : 0;
}

}  // namespace orvane
