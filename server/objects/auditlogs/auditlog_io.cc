#include "objects/auditlogs/auditlog_io.h"

#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace orvane::auditlog_io {

std::string err_text(int err) {
  char buf[128];
  return std::string(strerror_r(err, buf, sizeof buf));
}

ssize_t read_full(int fd, void* buf, size_t n) {
  auto* p = static_cast<uint8_t*>(buf);
  size_t done = 0;
  while (done < n) {
    const ssize_t r = ::read(fd, p + done, n - done);
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (r == 0) break;
    done += static_cast<size_t>(r);
  }
  return static_cast<ssize_t>(done);
}

int writev_full(int fd, struct iovec* iov, int count) {
  while (count > 0) {
    if (iov->iov_len == 0) {
      ++iov;
      --count;
      continue;
    }
    ssize_t w = ::writev(fd, iov, count);
    if (w < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (w == 0) {
      errno = EIO;
      return -1;
    }
    while (w > 0 && count > 0) {
      const size_t step =
          static_cast<size_t>(w) < iov->iov_len ? static_cast<size_t>(w) : iov->iov_len;
      iov->iov_base = static_cast<uint8_t*>(iov->iov_base) + step;
      iov->iov_len -= step;
      w -= static_cast<ssize_t>(step);
      if (iov->iov_len == 0) {
        ++iov;
        --count;
      }
    }
  }
  return 0;
}

int pwrite_full(int fd, const void* buf, size_t n, off_t offset) {
  const auto* p = static_cast<const uint8_t*>(buf);
  size_t done = 0;
  while (done < n) {
    const ssize_t w = ::pwrite(fd, p + done, n - done, offset + static_cast<off_t>(done));
    if (w < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (w == 0) {
      errno = EIO;
      return -1;
    }
    done += static_cast<size_t>(w);
  }
  return 0;
}

int flock_retry(int fd, int operation) {
  for (;;) {
    if (::flock(fd, operation) == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

size_t utf8_cut(const char* text, size_t len) {
  // text[len] is the first byte cut off. When it continues a sequence, the sequence is dropped
  // whole.
  size_t end = len;
  while (end > 0 && (static_cast<uint8_t>(text[end]) & 0xC0) == 0x80 && len - end < 4) --end;
  if ((static_cast<uint8_t>(text[end]) & 0xC0) == 0x80) return len;  // not UTF-8
  return end;
}

}  // namespace orvane::auditlog_io
