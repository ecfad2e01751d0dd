#include "utils/uid.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>

#include "utils/files.h"

namespace kt {

namespace {

std::atomic<uint32_t> uid_counter{1};
// The greatest identifier made or observed.
std::atomic<uint64_t> uid_last{0};

int open_retry(const char* path, int flags) {
  int fd;
  do {
    fd = ::open(path, flags);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Parses a whole field of hexadecimal digits into an unsigned integer of type T.
template <class T>
bool parse_hex(std::string_view field, T& value) {
  if (field.empty()) return false;
  const char* end = field.data() + field.size();
  auto [ptr, ec] = std::from_chars(field.data(), end, value, 16);
  return ec == std::errc() && ptr == end;
}

}  // namespace

// The largest identifier uid_observe() notes: 2^32 identifiers stay free above it.
constexpr uint64_t kObserveMax = UINT64_MAX - UINT32_MAX;

uint64_t uid_time_seq() {
  const uint32_t seq = uid_counter.fetch_add(1, std::memory_order_relaxed) + 1;
  const uint32_t now = static_cast<uint32_t>(std::time(nullptr));
  uint64_t id = (static_cast<uint64_t>(now) << 32) | seq;
  uint64_t last = uid_last.load(std::memory_order_relaxed);
  for (;;) {
    const uint64_t next = id > last ? id : last + 1;
    if (uid_last.compare_exchange_weak(last, next, std::memory_order_relaxed)) return next;
  }
}

void uid_observe(uint64_t id) {
  // An identifier this close to the top, which only a damaged record holds, would leave no room
  // for new ones: the next would wrap around to 0.
  if (id > kObserveMax) return;
  uint64_t last = uid_last.load(std::memory_order_relaxed);
  while (id > last && !uid_last.compare_exchange_weak(last, id, std::memory_order_relaxed)) {
  }
}

int uid_uread(void* buf, size_t len) {
  if (buf == nullptr && len > 0) return -2;
  int raw = open_retry("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (raw < 0) raw = open_retry("/dev/random", O_RDONLY | O_CLOEXEC);
  if (raw < 0) return -1;
  unique_fd fd(raw);
  auto* out = static_cast<unsigned char*>(buf);
  size_t done = 0;
  while (done < len) {
    const ssize_t n = ::read(fd.get(), out + done, len - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -2;
    done += static_cast<size_t>(n);
  }
  return 0;
}

int uid_from_file(const char* path, uid& out) {
  std::FILE* f = path != nullptr ? std::fopen(path, "re") : nullptr;
  if (f == nullptr) return -1;
  char line[1024] = "";
  const bool failed = std::fgets(line, sizeof line, f) == nullptr && std::ferror(f) != 0;
  // A line that doesn't fit would be parsed cut short: refuse it instead.
  const size_t len = std::strlen(line);
  const int next = len == sizeof line - 1 && line[len - 1] != '\n' ? std::fgetc(f) : EOF;
  const bool too_long = next != EOF && next != '\n' && next != '\r';
  std::fclose(f);
  if (failed) return -1;
  if (too_long) return -3;

  std::string_view text(line);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' ||
                           text.back() == '\t')) {
    text.remove_suffix(1);
  }

  std::string_view fields[5];
  size_t count = 0;
  while (true) {
    const size_t dash = text.find('-');
    if (count == 5) return -3;
    fields[count++] = text.substr(0, dash);
    if (dash == std::string_view::npos) break;
    text.remove_prefix(dash + 1);
  }
  if (count != 5) return -3;

  uid id;
  if (!parse_hex(fields[0], id.a) || !parse_hex(fields[1], id.b) || !parse_hex(fields[2], id.c) ||
      !parse_hex(fields[3], id.d) || !parse_hex(fields[4], id.e)) {
    return -3;
  }
  out = id;
  return 0;
}

char* uid2str_t(const uid& id, char* buf, size_t size) {
  if (buf == nullptr || size == 0) return buf;
  std::snprintf(buf, size, "%016" PRIx64 "-%08x-%08x-%04x-%08x", id.a, id.b, id.c,
                static_cast<unsigned>(id.d), id.e);
  return buf;
}

std::string uid2str(const uid& id) {
  char buf[64];
  return uid2str_t(id, buf, sizeof buf);
}

}  // namespace kt
