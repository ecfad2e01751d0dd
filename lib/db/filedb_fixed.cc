#include "db/filedb_fixed.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string_view>

#include "db/filedb_index.h"
#include "utils/logger.h"

namespace kt {

namespace {

// Read-ahead block of the walks.
constexpr size_t kBlockBytes = 64 * 1024;

// Reads up to len bytes at off, across short reads and EINTR. Returns the bytes read (less
// than len only at the end of the file) or -1.
ssize_t read_full(int fd, void* buf, size_t len, uint64_t off) {
  size_t done = 0;
  while (done < len) {
    ssize_t r =
        ::pread(fd, static_cast<uint8_t*>(buf) + done, len - done, static_cast<off_t>(off + done));
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (r == 0) break;
    done += static_cast<size_t>(r);
  }
  return static_cast<ssize_t>(done);
}

// Writes len bytes at off, across short writes and EINTR. Returns true when all were written.
bool write_full(int fd, const void* buf, size_t len, uint64_t off) {
  size_t done = 0;
  while (done < len) {
    ssize_t r = ::pwrite(fd, static_cast<const uint8_t*>(buf) + done, len - done,
                         static_cast<off_t>(off + done));
    if (r < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (r == 0) return false;
    done += static_cast<size_t>(r);
  }
  return true;
}

template <class T>
std::unique_ptr<T[]> alloc_bytes(size_t n) {
  try {
    return std::make_unique_for_overwrite<T[]>(n);
  } catch (const std::bad_alloc&) {
    KT_LOG_WARN("%s(): %s", "malloc", std::strerror(ENOMEM));
    return nullptr;
  }
}

// The file for one operation: either opened and flocked here (released and closed on
// destruction) or the caller's fd, used as it is.
class file_session {
 public:
  file_session() = default;
  file_session(const file_session&) = delete;
  file_session& operator=(const file_session&) = delete;
  ~file_session() {
    if (own_) {
      if (locked_) ::flock(fd_, LOCK_UN);
      ::close(fd_);
    }
  }

  // lock_op is LOCK_EX or LOCK_SH. Returns 0 or the operation's result code.
  int begin(const filedb_fixed& db, int fd, int lock_op) {
    if (fd > 0) {
      if (::lseek(fd, 0, SEEK_CUR) < 0) return -3;
      fd_ = fd;
      return 0;
    }
    fd_ = db.fdopen();
    if (fd_ < 0) return -1;
    own_ = true;
    int r;
    do {
      r = ::flock(fd_, lock_op);
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
      KT_LOG_WARN("%s(): %s", "flock", std::strerror(errno));
      return -2;
    }
    locked_ = true;
    return 0;
  }

  int fd() const { return fd_; }

 private:
  int fd_ = -1;
  bool own_ = false;
  bool locked_ = false;
};

}  // namespace

// The file's offset index for one operation: taken, locked and brought up to date with the open
// file when the descriptor is indexed and the file is large enough; otherwise absent, and the
// operation scans. Taken after the file lock, so the file does not change under it.
class filedb_fixed::index_use {
 public:
  index_use(const filedb_fixed& db, int fd) : db_(db), fd_(fd) {
    if (!db.indexed_) return;
    struct stat st;
    if (::fstat(fd, &st) < 0) return;
    if (static_cast<uint64_t>(st.st_size) < filedb_index::kMinBytes) {
      // Small files are scanned; an index kept from a larger state must not outlive it.
      if (ref_ptr<filedb_index> old = filedb_index::existing(db.path_)) {
        std::lock_guard<kt::mutex> lock(old->mutex);
        old->invalidate();
      }
      return;
    }
    ix_ = filedb_index::of(db.path_);
    lock_ = std::unique_lock<kt::mutex>(ix_->mutex);
    usable_ = ix_->matches(st) || rebuild(st);
  }
  index_use(const index_use&) = delete;
  index_use& operator=(const index_use&) = delete;

  bool usable() const { return usable_; }
  filedb_index& index() { return *ix_; }

  static std::string_view key_of(const void* record, uint32_t key_size) {
    return std::string_view(static_cast<const char*>(record), key_size);
  }

  // Finds the first record with the key through the index: 0 found (record and offset
  // stored when asked), 1 not present, 2 the index was stale (dropped; the caller scans).
  int locate(const void* key, void* record_out, uint64_t* offset_out) {
    auto it = ix_->first.find(std::string(key_of(key, db_.key_size_)));
    if (it == ix_->first.end()) return 1;
    std::unique_ptr<uint8_t[]> rec = alloc_bytes<uint8_t>(db_.record_size_);
    if (rec &&
        read_full(fd_, rec.get(), db_.record_size_, it->second) ==
            static_cast<ssize_t>(db_.record_size_) &&
        std::memcmp(rec.get(), key, db_.key_size_) == 0) {
      if (record_out != nullptr) std::memcpy(record_out, rec.get(), db_.record_size_);
      if (offset_out != nullptr) *offset_out = it->second;
      return 0;
    }
    drop();
    return 2;
  }

  // Records the file state after this operation's write.
  void written() {
    if (!usable_) return;
    struct stat st;
    if (::fstat(fd_, &st) < 0) {
      drop();
      return;
    }
    ix_->state = st;
  }

  // Records a record overwritten in place: the offsets hold while its key is unchanged.
  void overwritten(const void* old_key, const void* record) {
    if (std::memcmp(old_key, record, db_.key_size_) == 0) {
      written();
    } else {
      drop();
    }
  }

  void drop() {
    if (!usable_) return;
    ix_->invalidate();
    usable_ = false;
  }

 private:
  bool rebuild(const struct stat& st) {
    ix_->invalidate();
    uint64_t end = 0;
    const int r = db_.scan(
        fd_,
        [&](uint64_t offset, const uint8_t* rec) {
          ix_->add(key_of(rec, db_.key_size_), offset);
          return 0;
        },
        &end);
    if (r != 0 || end != static_cast<uint64_t>(st.st_size)) {
      ix_->invalidate();
      return false;
    }
    ix_->state = st;
    ix_->valid = true;
    return true;
  }

  const filedb_fixed& db_;
  const int fd_;
  ref_ptr<filedb_index> ix_;
  std::unique_lock<kt::mutex> lock_;  // released before ix_
  bool usable_ = false;
};

int filedb_fixed::init(std::string path, uint32_t record_size, uint32_t key_type, uint32_t key_size,
                       mode_t create_mode) {
  uint32_t size;
  switch (key_type) {
    case 1:
    case 2:
      size = 1;
      break;
    case 3:
    case 4:
      size = 2;
      break;
    case 5:
    case 6:
      size = 4;
      break;
    case 7:
    case 8:
      size = 8;
      break;
    case 9:
    case 18:
      size = key_size;
      break;
    default:
      KT_LOG_WARN("invalid key_type: %d", static_cast<int>(key_type));
      return -1;
  }
  if (path.empty() || path.size() > kMaxPath) {
    KT_LOG_WARN("invalid path length: %zu", path.size());
    return -1;
  }
  if (record_size == 0 || size == 0 || size > record_size) {
    KT_LOG_WARN("invalid sizes: record %u key %u", record_size, size);
    return -1;
  }
  path_ = std::move(path);
  record_size_ = record_size;
  key_type_ = key_type;
  key_size_ = size;
  create_mode_ = create_mode;
  return 0;
}

int filedb_fixed::fdopen() const {
  int fd;
  do {
    fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, create_mode_);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    KT_LOG_WARN("%s(): %s", "open", std::strerror(errno));
    return -1;
  }
  return fd;
}

void filedb_fixed::fdclose(int fd) const {
  if (fd > 0) ::close(fd);
}

// Walks the records from offset 0 in blocks and calls fn(offset, record) for each; a non-zero
// result of fn stops the walk and is returned. At the clean end *end_out (when given) holds the
// file length and 0 is returned; a partial tail gives -4, a read error -1.
int filedb_fixed::scan(int fd, const scan_fn& fn, uint64_t* end_out) const {
  if (record_size_ == 0) return -1;  // not initialised
  const size_t per_block = record_size_ >= kBlockBytes ? 1 : kBlockBytes / record_size_;
  const size_t block_bytes = per_block * record_size_;
  std::unique_ptr<uint8_t[]> block = alloc_bytes<uint8_t>(block_bytes);
  if (!block) return -1;
  // Records inside a block are aligned only when the record size is a multiple of the
  // strictest alignment; otherwise each is copied to an aligned buffer before fn sees it.
  const bool aligned = record_size_ % alignof(std::max_align_t) == 0;
  std::unique_ptr<std::max_align_t[]> copy;
  if (!aligned) {
    copy = alloc_bytes<std::max_align_t>((record_size_ + sizeof(std::max_align_t) - 1) /
                                         sizeof(std::max_align_t));
    if (!copy) return -1;
  }

  uint64_t off = 0;
  for (;;) {
    ssize_t n = read_full(fd, block.get(), block_bytes, off);
    if (n < 0) {
      KT_LOG_WARN("%s read %d", path_.c_str(), static_cast<int>(n));
      return -1;
    }
    const size_t got = static_cast<size_t>(n);
    const size_t whole = got / record_size_;
    for (size_t i = 0; i < whole; ++i) {
      const uint8_t* rec = block.get() + i * record_size_;
      if (!aligned) {
        std::memcpy(copy.get(), rec, record_size_);
        rec = reinterpret_cast<const uint8_t*>(copy.get());
      }
      if (int r = fn(off + i * record_size_, rec); r != 0) return r;
    }
    off += whole * record_size_;
    if (got < block_bytes) {
      if (size_t partial = got % record_size_; partial != 0) {
        KT_LOG_WARN("%s read %d bytes struct size %d possible file corrupt", path_.c_str(),
                    static_cast<int>(partial), static_cast<int>(record_size_));
        return -4;
      }
      if (end_out != nullptr) *end_out = off;
      return 0;
    }
  }
}

// Finds the first record with the key. 0 found (offset and record stored), 1 not found (file
// length stored in *end_out), or a negative scan result.
int filedb_fixed::locate(int fd, const void* key, void* record_out, uint64_t* offset_out,
                         uint64_t* end_out) const {
  int r = scan(
      fd,
      [&](uint64_t offset, const uint8_t* rec) {
        if (std::memcmp(rec, key, key_size_) != 0) return 0;
        if (record_out != nullptr) std::memcpy(record_out, rec, record_size_);
        if (offset_out != nullptr) *offset_out = offset;
        return 1;
      },
      end_out);
  if (r == 1) return 0;
  if (r == 0) return 1;
  return r;
}

// Length of the file, which must hold whole records only: 0, -3 when it can't be examined,
// -4 when it is damaged.
int filedb_fixed::whole_length(int fd, uint64_t* length_out) const {
  struct stat st;
  if (::fstat(fd, &st) < 0) {
    KT_LOG_WARN("%s(): %s", "fstat", std::strerror(errno));
    return -3;
  }
  const uint64_t length = static_cast<uint64_t>(st.st_size);
  if (size_t partial = length % record_size_; partial != 0) {
    KT_LOG_WARN("%s read %d bytes struct size %d possible file corrupt", path_.c_str(),
                static_cast<int>(partial), static_cast<int>(record_size_));
    return -4;
  }
  *length_out = length;
  return 0;
}

// Writes one record at end. A short write is cut back off so no partial record remains.
int filedb_fixed::append_at(int fd, uint64_t end, const void* record) const {
  if (write_full(fd, record, record_size_, end)) return 0;
  KT_LOG_WARN("%s write failed", path_.c_str());
  int r;
  do {
    r = ::ftruncate(fd, static_cast<off_t>(end));
  } while (r < 0 && errno == EINTR);
  return -4;
}

int filedb_fixed::find(int fd, const void* key, void* record_out) const {
  file_session s;
  if (int r = s.begin(*this, fd, LOCK_SH); r != 0) return r;
  index_use ix(*this, s.fd());
  if (ix.usable()) {
    if (int r = ix.locate(key, record_out, nullptr); r != 2) return r;
  }
  return locate(s.fd(), key, record_out, nullptr, nullptr);
}

int filedb_fixed::insert(int fd, const void* key, const void* record) const {
  file_session s;
  if (int r = s.begin(*this, fd, LOCK_EX); r != 0) return r;
  index_use ix(*this, s.fd());
  uint64_t end = 0;
  int r = ix.usable() ? ix.locate(key, nullptr, nullptr) : 2;
  if (r == 1) {
    r = whole_length(s.fd(), &end);
    if (r == 0) r = 1;
  } else if (r == 2) {
    r = locate(s.fd(), key, nullptr, nullptr, &end);
  }
  if (r == 0) return -2;
  if (r != 1) return r;  // damaged or unreadable: write nothing
  if (r = append_at(s.fd(), end, record); r != 0) {
    ix.drop();
    return r;
  }
  if (ix.usable()) {
    ix.index().add(index_use::key_of(record, key_size_), end);
    ix.written();
  }
  return 0;
}

int filedb_fixed::append_offset(int fd, uint64_t* offset_out, const void* key,
                                const void* record) const {
  (void)key;
  file_session s;
  if (int r = s.begin(*this, fd, LOCK_EX); r != 0) return r;
  index_use ix(*this, s.fd());
  uint64_t end = 0;
  if (int r = whole_length(s.fd(), &end); r != 0) return r;
  if (int r = append_at(s.fd(), end, record); r != 0) {
    ix.drop();
    return r;
  }
  if (ix.usable()) {
    ix.index().add(index_use::key_of(record, key_size_), end);
    ix.written();
  }
  if (offset_out != nullptr) *offset_out = end;
  return 0;
}

int filedb_fixed::edit(int fd, const void* key, const void* record, void* scratch) const {
  (void)scratch;
  file_session s;
  if (int r = s.begin(*this, fd, LOCK_EX); r != 0) return r;
  index_use ix(*this, s.fd());
  uint64_t offset = 0;
  int r = ix.usable() ? ix.locate(key, nullptr, &offset) : 2;
  if (r == 2) r = locate(s.fd(), key, nullptr, &offset, nullptr);
  if (r != 0) return r;
  if (!write_full(s.fd(), record, record_size_, offset)) {
    KT_LOG_WARN("%s write failed", path_.c_str());
    ix.drop();
    return -1;
  }
  ix.overwritten(key, record);
  return 0;
}

int filedb_fixed::edit_offset(int fd, uint64_t offset, const void* key, const void* record,
                              void* scratch) const {
  file_session s;
  if (int r = s.begin(*this, fd, LOCK_EX); r != 0) return r;
  struct stat st;
  if (::fstat(s.fd(), &st) < 0) {
    KT_LOG_WARN("%s(): %s", "fstat", std::strerror(errno));
    return -3;
  }
  const uint64_t length = static_cast<uint64_t>(st.st_size);
  if (offset % record_size_ != 0 || offset > length || length - offset < record_size_) {
    KT_LOG_WARN("%s offset %lu out of range", path_.c_str(), static_cast<unsigned long>(offset));
    return -4;
  }
  index_use ix(*this, s.fd());
  // The old record is needed to check the key, to hand it back, or to keep the index.
  std::unique_ptr<uint8_t[]> own;
  uint8_t* old = static_cast<uint8_t*>(scratch);
  if (key != nullptr || old != nullptr || ix.usable()) {
    if (old == nullptr) {
      own = alloc_bytes<uint8_t>(record_size_);
      if (!own) return -1;
      old = own.get();
    }
    ssize_t n = read_full(s.fd(), old, record_size_, offset);
    if (n != static_cast<ssize_t>(record_size_)) {
      KT_LOG_WARN("%s read %d", path_.c_str(), static_cast<int>(n));
      return -1;
    }
    if (key != nullptr && std::memcmp(old, key, key_size_) != 0) return 1;
  }
  if (!write_full(s.fd(), record, record_size_, offset)) {
    KT_LOG_WARN("%s write failed", path_.c_str());
    ix.drop();
    return -1;
  }
  if (ix.usable()) ix.overwritten(old, record);
  return 0;
}

int filedb_fixed::remove(int fd, const void* key) const {
  file_session s;
  if (int r = s.begin(*this, fd, LOCK_EX); r != 0) return r;
  uint64_t end = 0;
  if (int r = whole_length(s.fd(), &end); r != 0) return r;
  std::unique_ptr<uint8_t[]> found = alloc_bytes<uint8_t>(record_size_);
  std::unique_ptr<uint8_t[]> rec = alloc_bytes<uint8_t>(record_size_);
  if (!found || !rec) return -1;
  index_use ix(*this, s.fd());
  uint64_t offset = 0;
  int r = ix.usable() ? ix.locate(key, found.get(), &offset) : 2;
  if (r == 2) r = locate(s.fd(), key, found.get(), &offset, nullptr);
  if (r != 0) return r;
  uint64_t last = end - record_size_;
  // A copy of the found record at the end is what an interrupted removal leaves behind:
  // it goes with the record.
  while (offset < last) {
    ssize_t n = read_full(s.fd(), rec.get(), record_size_, last);
    if (n != static_cast<ssize_t>(record_size_)) {
      KT_LOG_WARN("%s read %d", path_.c_str(), static_cast<int>(n));
      ix.drop();
      return -1;
    }
    if (std::memcmp(rec.get(), found.get(), record_size_) != 0) break;
    last -= record_size_;
  }
  const bool moves = offset < last;
  if (moves && !write_full(s.fd(), rec.get(), record_size_, offset)) {
    KT_LOG_WARN("%s write failed", path_.c_str());
    ix.drop();
    return -1;
  }
  do {
    r = ::ftruncate(s.fd(), static_cast<off_t>(last));
  } while (r < 0 && errno == EINTR);
  if (r < 0) {
    KT_LOG_WARN("%s(): %s", "ftruncate", std::strerror(errno));
    ix.drop();
    return -1;
  }
  if (ix.usable()) {
    // Keys stored more than once would need a scan to find their next record.
    filedb_index& index = ix.index();
    const std::string gone(index_use::key_of(found.get(), key_size_));
    const std::string moved(index_use::key_of(rec.get(), key_size_));
    if (index.repeated.contains(gone) || (moves && index.repeated.contains(moved))) {
      ix.drop();
    } else {
      index.first.erase(gone);
      if (moves) index.first[moved] = offset;
      ix.written();
    }
  }
  return 0;
}

int filedb_fixed::list(int fd, const list_fn& cb) const {
  file_session s;
  if (int r = s.begin(*this, fd, LOCK_SH); r != 0) return r;
  return scan(
      s.fd(), [&](uint64_t, const uint8_t* rec) { return cb(rec, record_size_); }, nullptr);
}

int filedb_fixed::list_offset(int fd, const list_offset_fn& cb) const {
  file_session s;
  if (int r = s.begin(*this, fd, LOCK_SH); r != 0) return r;
  const int used = s.fd();
  return scan(
      used,
      [&](uint64_t offset, const uint8_t* rec) { return cb(used, offset, rec, record_size_); },
      nullptr);
}

}  // namespace kt
