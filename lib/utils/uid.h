// Identifiers: object identifiers (time and sequence), random bytes and the machine identifier.
//
// uid_time_seq() is safe from any thread; the rest work on the caller's data only.
#ifndef KT_UTILS_UID_H_
#define KT_UTILS_UID_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace kt {

// A new object identifier: the current time in seconds (low 32 bits) in the upper half and the
// next value of a process-wide counter in the lower half. The counter starts at 1, so the first
// identifier of a process has lower half 2.
//
// Identifiers never repeat: each one is greater than every identifier made before in this
// process and every identifier passed to uid_observe() (a process restarted within the same
// second would otherwise hand out the identifiers of the objects it has just loaded).
uint64_t uid_time_seq();

// Records an identifier that is already in use (read from disk). Identifiers within 2^32 of
// the top of the range are ignored: none is ever made, and noting one would exhaust the range.
void uid_observe(uint64_t id);

// Fills buf with len bytes from /dev/urandom, or /dev/random when the first can't be opened.
// Returns 0, -1 when neither device opens, -2 when a read fails.
int uid_uread(void* buf, size_t len);

// Machine identifier; text form "%016lx-%08x-%08x-%04x-%08x".
struct uid {
  uint64_t a = 0;
  uint32_t b = 0;
  uint32_t c = 0;
  uint16_t d = 0;
  uint32_t e = 0;

  friend bool operator==(const uid&, const uid&) = default;
};

// Reads the first line (at most 1,023 bytes) of the file at path and parses its text form into
// out. Each field must be hexadecimal that fits its width. Returns 0, -1 when the file can't be
// opened or read, -3 when the line doesn't hold exactly five valid fields (an empty file
// included, and a first line longer than 1,023 bytes). out is only written on success.
int uid_from_file(const char* path, uid& out);

// Writes the text form into buf (truncated to size) and returns buf.
char* uid2str_t(const uid& id, char* buf, size_t size);
std::string uid2str(const uid& id);

}  // namespace kt

#endif  // KT_UTILS_UID_H_
