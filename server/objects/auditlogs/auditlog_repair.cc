// Cutting off the partial record a crash leaves at the end of a day file.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

#include "objects/auditlogs/auditlog.h"
#include "objects/auditlogs/auditlog_io.h"
#include "utils/logger.h"

namespace orvane {

using auditlog_io::err_text;
using auditlog_io::flock_retry;

namespace {

constexpr size_t kChunk = 64 * 1024;

// Reads a window of the file at `at`; false on a read error (logged).
bool read_window(int fd, off_t at, std::vector<uint8_t>& buf, size_t* len) {
  const ssize_t n = ::pread(fd, buf.data(), buf.size(), at);
  if (n < 0) {
    KT_LOG_ERR("%s(): %s", "pread", err_text(errno).c_str());
    return false;
  }
  *len = static_cast<size_t>(n);
  return true;
}

// True when every byte from `at` to the end of the file is zero.
bool zero_from(int fd, off_t at, off_t size, std::vector<uint8_t>& buf) {
  while (at < size) {
    size_t len = 0;
    if (!read_window(fd, at, buf, &len) || len == 0) return false;
    const size_t use = std::min(len, static_cast<size_t>(size - at));
    if (std::any_of(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(use),
                    [](uint8_t b) { return b != 0; })) {
      return false;
    }
    at += static_cast<off_t>(use);
  }
  return true;
}

// Where the torn tail of the file begins: the offset of its first partial record, or size when
// it ends on a record boundary or its damage lies elsewhere (then *damaged is set). -1 on a read
// error.
off_t torn_tail(int fd, off_t size, bool* damaged) {
  std::vector<uint8_t> buf(kChunk);
  off_t win_at = 0;
  size_t win_len = 0;
  off_t pos = 0;
  while (pos < size) {
    if (size - pos < static_cast<off_t>(AUDITLOG_ENTRY_HEAD)) return pos;
    if (pos < win_at ||
        pos + static_cast<off_t>(AUDITLOG_ENTRY_HEAD) > win_at + static_cast<off_t>(win_len)) {
      win_at = pos;
      if (!read_window(fd, pos, buf, &win_len)) return -1;
      if (win_len < AUDITLOG_ENTRY_HEAD) return pos;  // the file shrank meanwhile
    }
    const size_t total = auditlog_io::record_length(buf.data() + (pos - win_at));
    if (total == 0) {
      if (zero_from(fd, pos, size, buf)) return pos;
      *damaged = true;
      return size;
    }
    if (pos + static_cast<off_t>(total) > size) return pos;
    pos += static_cast<off_t>(total);
  }
  return size;
}

// 1 when the file was cut, else 0.
int cut_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    if (errno != EISDIR) KT_LOG_ERR("open(%s): %s", path.c_str(), err_text(errno).c_str());
    return 0;
  }
  int cut = 0;
  struct stat st;
  if (flock_retry(fd, LOCK_EX) != 0) {
    KT_LOG_ERR("%s(): %s", "flock lock", err_text(errno).c_str());
  } else if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    bool damaged = false;
    const off_t end = torn_tail(fd, st.st_size, &damaged);
    if (damaged)
      KT_LOG_ERR("%s: damaged record inside the file; its entries end there", path.c_str());
    if (end >= 0 && end < st.st_size) {
      if (::ftruncate(fd, end) != 0) {
        KT_LOG_ERR("%s(): %s", "ftruncate", err_text(errno).c_str());
      } else {
        KT_LOG_WARN("%s: partial record of %lld bytes at the end cut off", path.c_str(),
                    static_cast<long long>(st.st_size - end));
        cut = 1;
      }
    }
    flock_retry(fd, LOCK_UN);
  }
  ::close(fd);
  return cut;
}

}  // namespace

int _auditlog_cut_torn_tails(auditlog& log) {
  const std::string data = log.dir + "/data";
  DIR* dir = ::opendir(data.c_str());
  if (dir == nullptr) return 0;
  std::vector<std::string> names;
  while (const struct dirent* de = ::readdir(dir)) {
    const std::string_view name(de->d_name);
    if (name.size() == 8 && name.find_first_not_of("0123456789") == std::string_view::npos) {
      names.emplace_back(name);
    }
  }
  ::closedir(dir);
  int cut = 0;
  for (const std::string& name : names) cut += cut_file(data + "/" + name);
  return cut;
}

}  // namespace orvane
