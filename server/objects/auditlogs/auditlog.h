// Audit log: one append-only log per domain. Request threads build entries and queue them; one
// writer thread per domain appends them to one file per local calendar day.
//
// Directory layout (mode 0700, files 0600):
//   <dir>/hdr             20-byte header: SIZE, ENTRIES, CREATED, MODIFIED, CHSUM (u32, LE)
//   <dir>/data/YYYYMMDD   day files: a sequence of entry records
//   <dir>/.lock           empty; only its flock lock is used
//
// Entry record (little-endian, unaligned):
//   u16 total length (19 + the four lengths), u8 address length (0 or 5), u8 API name length,
//   u8 user name length, u16 info length, u32 timestamp, u32 response code, u32 audit code,
//   then address (kind byte 0 + a.b.c.d), API name, user name and info, each zero-terminated
//   and absent when its length is 0.
//
// Every handler writes its entry through its command (objects/command.h):
//   cmd.audit(code, "user %s (%lu) added / %s", name, id, cmd.audit_text());
// The last "%s" of each text receives the request's audit text; the audit code comes from the
// same "audit" child.
//
// Locking: every append, clear and backup copy holds the lock file exclusively (and the
// handle's mutex), every single entry read holds it shared; a day file is locked exclusively
// while an entry is appended and shared while one record is read from it. Both sides take the
// lock file first.
#ifndef ORVANE_OBJECTS_AUDITLOGS_AUDITLOG_H_
#define ORVANE_OBJECTS_AUDITLOGS_AUDITLOG_H_

#include <sys/types.h>

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <ctime>
#include <functional>
#include <future>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "queue/queue.h"
#include "utils/ipv4.h"
#include "utils/pthread_utils.h"
#include "xmldoc/xmldoc.h"

namespace orvane {

class domain;

constexpr size_t AUDITLOG_HEADER_SIZE = 20;
constexpr size_t AUDITLOG_ENTRY_HEAD = 7;    // total length .. info length
constexpr size_t AUDITLOG_ENTRY_FIXED = 19;  // head + timestamp, response code, audit code
constexpr size_t AUDITLOG_ADDRESS_SIZE = 5;  // kind byte + IPv4 address
constexpr uint8_t AUDITLOG_ADDRESS_IPV4 = 0;
constexpr size_t AUDITLOG_NAME_MAX = 254;       // API and user name, without the zero byte
constexpr size_t AUDITLOG_RECORD_MAX = 65535;   // a whole record
constexpr size_t AUDITLOG_FMT_INFO_MAX = 1499;  // info text built by the _fmt variant
constexpr size_t AUDITLOG_DIR_MAX = 511;

struct auditlog_header {
  uint32_t size = AUDITLOG_HEADER_SIZE;  // 20 + every entry's total length
  uint32_t entries = 0;
  uint32_t created = 0;
  uint32_t modified = 0;
  uint32_t chsum = 0;  // counts entries like ENTRIES; not a checksum
};

// One entry: the head fields and the body (everything from the timestamp on, as on disk).
class auditlog_entry {
 public:
  auditlog_entry() = default;
  auditlog_entry(const auditlog_entry&) = delete;
  auditlog_entry& operator=(const auditlog_entry&) = delete;

  uint32_t timestamp() const;
  uint32_t response_code() const;
  uint32_t audit_code() const;
  bool has_address() const { return address_ != nullptr; }
  uint8_t address_kind() const { return address_ != nullptr ? address_[0] : 0; }
  uint32_t address_v4() const;  // host byte order; 0 without an address
  // Text fields, up to their first zero byte; empty when absent (see has_*).
  bool has_api() const { return api_len > 0; }
  bool has_username() const { return user_len > 0; }
  bool has_info() const { return info_len > 0; }
  std::string_view api() const { return field(api_, api_len); }
  std::string_view username() const { return field(user_, user_len); }
  std::string_view info() const { return field(info_, info_len); }

  uint16_t total_len = 0;
  uint8_t addr_len = 0;
  uint8_t api_len = 0;
  uint8_t user_len = 0;
  uint16_t info_len = 0;
  std::vector<uint8_t> body;  // total_len - 7 bytes

  // Clear generation of the writer handle when queued (not stored on disk).
  uint32_t generation = 0;
  // Set only on the marker auditlog_backup_flush queues; fulfilled when the writer reaches it.
  std::unique_ptr<std::promise<void>> barrier;

 private:
  friend int _auditlog_entry_fixptr(auditlog_entry& e);
  static std::string_view field(const uint8_t* p, size_t len);

  const uint8_t* address_ = nullptr;
  const uint8_t* api_ = nullptr;
  const uint8_t* user_ = nullptr;
  const uint8_t* info_ = nullptr;
};

using auditlog_entry_queue = kt::queue<std::unique_ptr<auditlog_entry>>;

// The handle of one opened log. Writer-mode handles own the queue and the writer thread.
class auditlog {
 public:
  auditlog();
  ~auditlog();  // auditlog_close: writes every queued entry, then stops the writer
  auditlog(const auditlog&) = delete;
  auditlog& operator=(const auditlog&) = delete;

  std::string dir;
  std::string hdr_path;  // <dir>/hdr
  int lock_fd = -1;      // <dir>/.lock
  bool read_only = true;

  // Guarded by the handle lock (_auditlog_lock_write/_read); the writer thread changes it.
  auditlog_header header;

  // Read cursor: local dates as YYYYMMDD, and the open day file.
  time_t read_from = 0;
  time_t read_to = 0;
  uint32_t read_day = 0;
  uint32_t read_end_day = 0;
  int day_fd = -1;

  // Writer mode only.
  std::unique_ptr<auditlog_entry_queue> queue;
  std::thread writer;
  // Bumped by auditlog_clear: entries queued before a clear are dropped, not written.
  std::atomic<uint32_t> generation{0};

  // Serialises the threads of this process that use the handle; flock only excludes other
  // handles (open file descriptions).
  kt::mutex mu;
};

// Opens the log in dir, creating it when the directory does not exist. read_only = false starts
// the writer thread, creates the lock file again when it is missing and cuts torn record tails
// off the day files. nullptr on failure (logged in writer mode).
std::unique_ptr<auditlog> auditlog_open(const std::string& dir, bool read_only);
inline void auditlog_close(std::unique_ptr<auditlog>& log) {
  log.reset();
}

// The optional "audit" child of a command element.
struct auditlog_info {
  bool present = false;
  uint32_t code = 0;
  std::string text;
};
// 0 with info filled, or 1 when the command has no "audit" child with a value (info not present).
int auditlog_info_from_xml(const kt::xmldoc_node& cmd, auditlog_info& info);

// Builds an entry. remote (host byte order) and the strings may be null. Names longer than 254
// bytes are cut to 254; the info text is cut so that the record stays within 65,535 bytes.
// nullptr when out of memory.
std::unique_ptr<auditlog_entry> auditlog_create_entry_v4(uint32_t timestamp, uint32_t response_code,
                                                         const kt::ipv4_address* remote,
                                                         const char* api, const char* username,
                                                         uint32_t audit_code, const char* info);
// Like auditlog_create_entry_v4 with the info text formatted printf-style (cut to 1,499 bytes).
std::unique_ptr<auditlog_entry> auditlog_create_entry_v4_fmt(
    uint32_t timestamp, uint32_t response_code, const kt::ipv4_address* remote, const char* api,
    const char* username, uint32_t audit_code, const char* format, ...)
    __attribute__((format(printf, 7, 8)));
std::unique_ptr<auditlog_entry> auditlog_create_entry_v4_vfmt(
    uint32_t timestamp, uint32_t response_code, const kt::ipv4_address* remote, const char* api,
    const char* username, uint32_t audit_code, const char* format, va_list args)
    __attribute__((format(printf, 7, 0)));

// Sets the entry's views from its lengths; -1 when the lengths do not add up to the total
// length (19 + the four lengths, address length 0 or 5) or the body has another size.
int _auditlog_entry_fixptr(auditlog_entry& e);

// Hands the entry to the writer thread. Never blocks on disk. -1 (entry dropped) on a
// read-only handle or when out of memory.
int auditlog_enqueue_entry(auditlog& log, std::unique_ptr<auditlog_entry> entry);
// Entries queued and not yet taken by the writer (0 for a log without writer).
size_t auditlog_queue_depth(const auditlog& log);

// Appends one entry under the handle lock. 0 or -1.
int auditlog_write_entry(auditlog& log, const auditlog_entry& entry);
// Most entries _auditlog_write_entries writes to a day file in one write.
constexpr size_t AUDITLOG_WRITE_BATCH_MAX = 64;
// Appends the entries in their order; the caller holds _auditlog_lock_write. Entries of one day
// in a row go to the day file in one write, and the header is written once for all of them.
// Returns how many entries could not be written (0 when all were).
int _auditlog_write_entries(auditlog& log, std::span<const auditlog_entry* const> entries);
// Appends one entry; the caller holds _auditlog_lock_write. The day file is the local date of
// the entry's timestamp (of the time of writing when the timestamp has none).
int _auditlog_write_entry(auditlog& log, const auditlog_entry& entry);

// Cuts off the torn tail a crash can leave at the end of a day file: a head shorter than 7
// bytes, a record that runs past the end of the file, or a malformed head followed by nothing
// but zero bytes. Damage with other bytes behind it is logged and left for the reader to
// report. The caller holds _auditlog_lock_write. Returns the number of files cut.
int _auditlog_cut_torn_tails(auditlog& log);

// Handle lock: the handle's mutex plus flock on the lock file (exclusive or shared). 0 or -1.
int _auditlog_lock_write(auditlog& log) KT_TRY_ACQUIRE(false, log.mu);
int _auditlog_lock_read(auditlog& log) KT_TRY_ACQUIRE(false, log.mu);
int _auditlog_lock_unlock(auditlog& log) KT_RELEASE(log.mu);

// Holds the handle lock for its scope: held() tells whether taking it succeeded.
class auditlog_lock {
 public:
  enum mode { read, write };
  auditlog_lock(auditlog& log, mode m)
      : log_(log),
        held_((m == write ? _auditlog_lock_write(log) : _auditlog_lock_read(log)) == 0) {}
  ~auditlog_lock() {
    if (held_) _auditlog_lock_unlock(log_);
  }
  auditlog_lock(const auditlog_lock&) = delete;
  auditlog_lock& operator=(const auditlog_lock&) = delete;
  bool held() const { return held_; }

 private:
  auditlog& log_;
  const bool held_;
};

// Read the header file into *header / write log.header (MODIFIED = now). 0 or -1.
int auditlog_read_header(auditlog& log, auditlog_header* header);
int auditlog_write_header(auditlog& log);

// Reading a range: every local date from date(from) to date(to) is visited in order; entries
// are not filtered by timestamp here. auditlog_read_entry: 1 with *entry set, 0 at the end of
// the range, negative on failure (-3: a truncated or malformed record ends the read).
void auditlog_read_begin(auditlog& log, time_t from, time_t to);
int auditlog_read_entry(auditlog& log, std::unique_ptr<auditlog_entry>* entry);

// Empties the log: removes every day file, CREATED = now, SIZE 20, ENTRIES and CHSUM 0. Entries
// still queued are dropped. 0 or -1.
int auditlog_clear(auditlog& log);

// For backups: waits until the writer thread has passed every entry queued so far, then under
// the write lock writes whatever is still queued, runs copy() and releases the lock. Returns
// copy()'s result, or -1 when the lock fails.
int auditlog_backup_flush(auditlog& log, const std::function<int()>& copy);

// The local date of t as YYYYMMDD, 0 when it can't be represented.
uint32_t auditlog_day_of(time_t t);
// "<dir>/data/YYYYMMDD".
std::string auditlog_day_path(const auditlog& log, uint32_t day);

// The request's audit text: the value of the command's "audit" child, or "". The pointer lives
// as long as cmd.
const char* audit_text(const kt::xmldoc_node& cmd);

// The longest free text (an audit note, a user name tried) that a request without a token may
// put into an audit entry, and the text cut to it.
constexpr size_t kAuditUntrustedMax = 256;
std::string audit_untrusted(std::string_view text);

// Queues a command's audit entry on d.log: timestamp now, response code `code`, the caller's
// address, API cmd.name(), the user name (may be null), the audit code of the "audit" child and
// the info formatted from format (cut to 1,499 bytes). Does nothing when the domain has no log.
void audit_vcommand(domain& d, const kt::ipv4_address& peer, const kt::xmldoc_node& cmd,
                    const char* username, uint32_t code, const char* format, va_list args)
    __attribute__((format(printf, 6, 0)));

}  // namespace orvane

#endif  // ORVANE_OBJECTS_AUDITLOGS_AUDITLOG_H_
