// Internal helpers of the audit log: little-endian fields, I/O loops and error texts.
#ifndef ORVANE_OBJECTS_AUDITLOGS_AUDITLOG_IO_H_
#define ORVANE_OBJECTS_AUDITLOGS_AUDITLOG_IO_H_

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace orvane::auditlog_io {

inline void put_u16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put_u32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint16_t get_u16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t get_u32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// The total length of the record that begins with this 7-byte head, or 0 when the head's
// lengths do not add up (19 + the four lengths, address length 0 or 5).
inline size_t record_length(const uint8_t* head) {
  const size_t total = get_u16(head);
  const size_t addr = head[2];
  const size_t sum = 19 + addr + head[3] + head[4] + get_u16(head + 5);
  return sum == total && (addr == 0 || addr == 5) ? total : 0;
}

// strerror text of an errno value.
std::string err_text(int err);

// Reads up to n bytes, retrying on EINTR and short reads; returns the count read (less than n
// only at end of file) or -1.
ssize_t read_full(int fd, void* buf, size_t n);
// Writes every byte of the vectors, retrying on EINTR and short writes; 0 or -1. iov is
// consumed.
int writev_full(int fd, struct iovec* iov, int count);
// Writes n bytes at offset; 0 or -1.
int pwrite_full(int fd, const void* buf, size_t n, off_t offset);
// flock retried on EINTR; 0 or -1.
int flock_retry(int fd, int operation);

// Backs len off so that text[0..len) does not end inside a UTF-8 sequence; text[len] must be
// readable.
size_t utf8_cut(const char* text, size_t len);

}  // namespace orvane::auditlog_io

#endif  // ORVANE_OBJECTS_AUDITLOGS_AUDITLOG_IO_H_
