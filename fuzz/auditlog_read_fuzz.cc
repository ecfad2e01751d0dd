// Feeds arbitrary bytes to the audit log reader as a day file and checks that every entry it
// hands out is consistent: lengths adding up, views inside the body, then the read ends.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>

#include "objects/auditlogs/auditlog.h"
#include "utils/files.h"

namespace {

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "auditlog_read_fuzz: %s\n", what);
    std::abort();
  }
}

// The temporary directory, removed at exit.
std::string g_temp_dir;

void remove_temp_dir() {
  if (!g_temp_dir.empty()) kt::path_remove(g_temp_dir.c_str());
}

const std::string& log_dir() {
  static const std::string dir = [] {
    char pattern[] = "/tmp/auditlog-fuzz-XXXXXX";
    check(mkdtemp(pattern) != nullptr, "mkdtemp failed");
    g_temp_dir = pattern;
    std::atexit(remove_temp_dir);
    std::string d = std::string(pattern) + "/auditlogs";
    check(orvane::auditlog_open(d, true) != nullptr, "open failed");
    return d;
  }();
  return dir;
}

bool inside(std::string_view view, const orvane::auditlog_entry& e) {
  if (view.empty()) return true;
  const auto* begin = reinterpret_cast<const char*>(e.body.data());
  return view.data() >= begin && view.data() + view.size() <= begin + e.body.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& dir = log_dir();
  const time_t when = 1704110400;  // the day file of this time holds the input
  const std::string path = dir + "/data/" + std::to_string(orvane::auditlog_day_of(when));
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  check(fd >= 0, "open day file failed");
  check(::write(fd, data, size) == static_cast<ssize_t>(size), "write failed");
  ::close(fd);

  auto log = orvane::auditlog_open(dir, true);
  check(log != nullptr, "reopen failed");
  orvane::auditlog_read_begin(*log, when - 86400, when + 86400);
  size_t consumed = 0;
  for (;;) {
    std::unique_ptr<orvane::auditlog_entry> e;
    const int rc = orvane::auditlog_read_entry(*log, &e);
    if (rc <= 0) {
      check(orvane::auditlog_read_entry(*log, &e) == 0, "read continued after its end");
      break;
    }
    check(e != nullptr, "no entry");
    check(size_t{e->total_len} == 19u + e->addr_len + e->api_len + e->user_len + e->info_len,
          "lengths do not add up");
    check(e->body.size() + 7 == e->total_len, "body size");
    check(inside(e->api(), *e) && inside(e->username(), *e) && inside(e->info(), *e),
          "view outside the body");
    consumed += e->total_len;
    check(consumed <= size, "read beyond the input");
  }
  return 0;
}
