#include "objects/record_repair.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "utils/logger.h"
#include "utils/uid.h"

namespace orvane {

namespace {

// Bytes read or written at a time by a rewrite (rounded down to whole records).
constexpr size_t kBlockBytes = 64 * 1024;

class file_fd {
 public:
  explicit file_fd(int fd) : fd_(fd) {}
  ~file_fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  file_fd(const file_fd&) = delete;
  file_fd& operator=(const file_fd&) = delete;
  int get() const { return fd_; }
  // Closes now; false when close reports an error.
  bool close() {
    const int fd = fd_;
    fd_ = -1;
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int fd_;
};

int open_retry(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

bool read_full(int fd, uint8_t* buf, size_t n, uint64_t off) {
  while (n > 0) {
    const ssize_t r = ::pread(fd, buf, n, static_cast<off_t>(off));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    buf += r;
    n -= static_cast<size_t>(r);
    off += static_cast<uint64_t>(r);
  }
  return true;
}

bool write_full(int fd, const uint8_t* buf, size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, buf, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    buf += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// Syncs the directory holding path, so that a rename in it is on disk.
void sync_dir_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  file_fd fd(open_retry(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() >= 0) ::fsync(fd.get());
}

// Copies the kept records of in (length bytes) to out.
bool copy_kept(const kt::filedb_fixed& db, int in, int out, uint64_t length,
               const std::unordered_set<uint64_t>& dropped) {
  const uint32_t size = db.record_size();
  const uint64_t whole = length - length % size;
  const size_t per_block = size >= kBlockBytes ? 1 : kBlockBytes / size;
  std::vector<uint8_t> block(per_block * size);
  std::vector<uint8_t> kept;
  kept.reserve(block.size());
  for (uint64_t off = 0; off < whole;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(block.size(), whole - off));
    if (!read_full(in, block.data(), n, off)) return false;
    kept.clear();
    for (size_t i = 0; i < n; i += size) {
      if (dropped.count(off + i) == 0) kept.insert(kept.end(), &block[i], &block[i] + size);
    }
    if (!write_full(out, kept.data(), kept.size())) return false;
    off += n;
  }
  return true;
}

}  // namespace

int record_file_rewrite(const kt::filedb_fixed& db, const std::vector<uint64_t>& drop) {
  const std::string& path = db.path();
  if (db.record_size() == 0) return -1;
  file_fd in(open_retry(path.c_str(), O_RDWR | O_CLOEXEC));
  if (in.get() < 0) {
    KT_LOG_ERR("%s: open(): %s", path.c_str(), std::strerror(errno));
    return -1;
  }
  int r;
  do {
    r = ::flock(in.get(), LOCK_EX);
  } while (r < 0 && errno == EINTR);
  struct stat st;
  if (r < 0 || ::fstat(in.get(), &st) != 0) {
    KT_LOG_ERR("%s: can not be locked or examined: %s", path.c_str(), std::strerror(errno));
    return -1;
  }
  const mode_t mode = st.st_mode & 07777;
  const std::string tmp = path + ".repair";
  file_fd out(open_retry(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
  if (out.get() < 0) {
    KT_LOG_ERR("%s: open(): %s", tmp.c_str(), std::strerror(errno));
    return -1;
  }
  const std::unordered_set<uint64_t> dropped(drop.begin(), drop.end());
  const bool done =
      ::fchmod(out.get(), mode) == 0 &&
      copy_kept(db, in.get(), out.get(), static_cast<uint64_t>(st.st_size), dropped) &&
      ::fsync(out.get()) == 0 && out.close() && ::rename(tmp.c_str(), path.c_str()) == 0;
  if (!done) {
    KT_LOG_ERR("%s: rewrite failed: %s", path.c_str(), std::strerror(errno));
    ::unlink(tmp.c_str());
    return -1;
  }
  sync_dir_of(path);
  return 0;
}

int record_load_repair(const kt::filedb_fixed& db, const record_keep_fn& keep) {
  struct stat st;
  if (::stat(db.path().c_str(), &st) != 0) {
    if (errno == ENOENT) return 0;
    KT_LOG_ERR("%s: stat(): %s", db.path().c_str(), std::strerror(errno));
    return -1;
  }
  const size_t key_size = db.key_size();
  std::unordered_set<std::string> seen;
  std::vector<uint64_t> drop;
  size_t copies = 0;
  const int rc = db.list_offset(0, [&](int, uint64_t offset, const uint8_t* bytes, uint32_t size) {
    if (size >= 8) {
      uint64_t id = 0;
      for (int i = 7; i >= 0; --i) id = id << 8 | bytes[i];
      kt::uid_observe(id);
    }
    if (!seen.emplace(reinterpret_cast<const char*>(bytes), key_size).second) {
      ++copies;  // lookups never reach it: it goes
      drop.push_back(offset);
      return 0;
    }
    if (!keep(record(bytes, size))) drop.push_back(offset);
    return 0;
  });
  if (rc != 0 && rc != -4) {
    KT_LOG_ERR("%s: can not be read (%d)", db.path().c_str(), rc);
    return rc;
  }
  if (drop.empty() && rc == 0) return 0;
  KT_LOG_WARN("%s: repaired: %zu repeated record(s), %zu other record(s) dropped%s",
              db.path().c_str(), copies, drop.size() - copies,
              rc == -4 ? ", partial record at the end cut off" : "");
  if (record_file_rewrite(db, drop) != 0) {
    KT_LOG_ERR("%s: left as it was", db.path().c_str());
  }
  return 0;
}

}  // namespace orvane
