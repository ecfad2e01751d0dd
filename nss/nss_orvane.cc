// libnss_orvane.so.2: passwd and group entries of an Orvane NSS profile for the C library's
// name-service switch.
//
// Entries come from the cache file orvane-hostd publishes (mapped read-only and checked for a
// replacement at most once a second); only when that file is missing or unusable is the daemon
// asked over its socket. Both absent: UNAVAIL. The module starts no threads and links only the
// C library: one mutex guards the mapping and the enumeration positions.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <nss.h>
#include <pthread.h>
#include <pwd.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "hostproto/cache_view.h"
#include "hostproto/protocol.h"
#include "hostproto/sock_client.h"

#define NSS_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using orvane_host::cache_group;
using orvane_host::cache_user;
using orvane_host::cache_view;
using orvane_host::hostd_answer;

constexpr long long kRecheckMs = 1000;
constexpr int kSocketTimeoutMs = 5000;

// The mapped cache file and what identifies it on disk.
struct mapping {
  void* addr = nullptr;
  size_t size = 0;
  dev_t dev = 0;
  ino_t ino = 0;
  timespec mtime{};
  cache_view view;
  long long checked_ms = -kRecheckMs;
};

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
mapping g_map;
uint32_t g_pw_next = 0;  // enumeration positions
uint32_t g_gr_next = 0;

struct lock_guard {
  lock_guard() { pthread_mutex_lock(&g_lock); }
  ~lock_guard() { pthread_mutex_unlock(&g_lock); }
};

long long now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

const char* cache_path() {
  const char* p = secure_getenv(orvane_host::kNssCacheEnv);
  return p != nullptr && p[0] != '\0' ? p : orvane_host::kDefaultNssCache;
}

void unmap() {
  if (g_map.addr != nullptr) munmap(g_map.addr, g_map.size);
  g_map = mapping{};
}

bool same_file(const struct stat& st) {
  return g_map.addr != nullptr && st.st_dev == g_map.dev && st.st_ino == g_map.ino &&
         static_cast<size_t>(st.st_size) == g_map.size && st.st_mtim.tv_sec == g_map.mtime.tv_sec &&
         st.st_mtim.tv_nsec == g_map.mtime.tv_nsec;
}

// Maps the cache file again when it was replaced (lock held). True when a usable mapping is
// there afterwards.
bool refresh() {
  const long long now = now_ms();
  if (now - g_map.checked_ms < kRecheckMs) return g_map.addr != nullptr;
  struct stat st;
  if (stat(cache_path(), &st) != 0) {
    unmap();
    g_map.checked_ms = now;
    return false;
  }
  if (same_file(st)) {
    g_map.checked_ms = now;
    return true;
  }
  unmap();
  g_map.checked_ms = now;
  const int fd = open(cache_path(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
  void* addr = MAP_FAILED;
  if (ok) addr = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
  close(fd);
  if (addr == MAP_FAILED) return false;
  g_map.addr = addr;
  g_map.size = static_cast<size_t>(st.st_size);
  if (orvane_host::cache_view_open(&g_map.view, addr, g_map.size) != 0) {
    // A damaged file counts as missing; the daemon is asked instead.
    unmap();
    g_map.checked_ms = now;
    return false;
  }
  g_map.dev = st.st_dev;
  g_map.ino = st.st_ino;
  g_map.mtime = st.st_mtim;
  g_map.checked_ms = now;
  return true;
}

// Hands out pieces of the caller's buffer.
struct arena {
  char* p;
  size_t left;

  char* copy(const char* s) {
    const size_t n = strlen(s) + 1;
    if (n > left) return nullptr;
    char* out = static_cast<char*>(memcpy(p, s, n));
    p += n;
    left -= n;
    return out;
  }
  char** pointers(size_t count) {
    const size_t pad =
        (alignof(char*) - reinterpret_cast<uintptr_t>(p) % alignof(char*)) % alignof(char*);
    if (pad > left || count > (left - pad) / sizeof(char*)) return nullptr;
    char** out = reinterpret_cast<char**>(p + pad);
    p += pad + count * sizeof(char*);
    left -= pad + count * sizeof(char*);
    return out;
  }
};

nss_status too_small(int* errnop) {
  *errnop = ERANGE;
  return NSS_STATUS_TRYAGAIN;
}

nss_status not_found(int* errnop) {
  *errnop = ENOENT;
  return NSS_STATUS_NOTFOUND;
}

nss_status unavailable(int* errnop) {
  *errnop = ENOENT;
  return NSS_STATUS_UNAVAIL;
}

nss_status fill_passwd(uint32_t uid, uint32_t gid, const char* name, const char* home,
                       const char* shell, passwd* pw, char* buffer, size_t buflen, int* errnop) {
  arena a{buffer, buflen};
  pw->pw_name = a.copy(name);
  pw->pw_passwd = a.copy("x");
  pw->pw_gecos = a.copy("");
  pw->pw_dir = a.copy(home);
  pw->pw_shell = a.copy(shell);
  if (pw->pw_name == nullptr || pw->pw_passwd == nullptr || pw->pw_gecos == nullptr ||
      pw->pw_dir == nullptr || pw->pw_shell == nullptr) {
    return too_small(errnop);
  }
  pw->pw_uid = uid;
  pw->pw_gid = gid;
  return NSS_STATUS_SUCCESS;
}

nss_status fill_passwd(const cache_user& u, passwd* pw, char* buffer, size_t buflen, int* errnop) {
  return fill_passwd(u.uid, u.gid, u.name, u.home, u.shell, pw, buffer, buflen, errnop);
}

nss_status fill_group(const cache_view& v, const cache_group& g, group* gr, char* buffer,
                      size_t buflen, int* errnop) {
  arena a{buffer, buflen};
  gr->gr_mem = a.pointers(static_cast<size_t>(g.member_count) + 1);
  if (gr->gr_mem == nullptr) return too_small(errnop);
  gr->gr_name = a.copy(g.name);
  gr->gr_passwd = a.copy("x");
  if (gr->gr_name == nullptr || gr->gr_passwd == nullptr) return too_small(errnop);
  uint32_t n = 0;
  for (uint32_t j = 0; j < g.member_count; ++j) {
    const char* m = orvane_host::cache_group_member(v, g, j);
    if (m == nullptr) continue;
    gr->gr_mem[n] = a.copy(m);
    if (gr->gr_mem[n] == nullptr) return too_small(errnop);
    ++n;
  }
  gr->gr_mem[n] = nullptr;
  gr->gr_gid = g.gid;
  return NSS_STATUS_SUCCESS;
}

// --- the daemon's socket, when there is no usable cache file ---------------------------------

// Asks "<op> <arg>"; NOTFOUND/UNAVAIL are returned through status when there is no entry.
bool ask(const char* op, const char* arg, hostd_answer* answer, nss_status* status, int* errnop) {
  char request[orvane_host::kMaxName + 32];
  const int n = snprintf(request, sizeof request, "%s %s", op, arg);
  if (n < 0 || static_cast<size_t>(n) >= sizeof request) {
    *status = not_found(errnop);
    return false;
  }
  const int rc = orvane_host::hostd_ask(orvane_host::hostd_socket_path(), request,
                                        static_cast<size_t>(n), answer, kSocketTimeoutMs);
  if (rc != 0 || answer->code == orvane_host::HOSTD_UNAVAILABLE) {
    *status = unavailable(errnop);
    return false;
  }
  if (answer->code != orvane_host::HOSTD_OK) {
    *status = not_found(errnop);
    return false;
  }
  return true;
}

// Splits a line at ':' into exactly count fields (in place).
bool split(char* line, char** fields, int count) {
  for (int i = 0; i < count; ++i) {
    fields[i] = line;
    char* colon = strchr(line, ':');
    if (i == count - 1) return colon == nullptr;
    if (colon == nullptr) return false;
    *colon = '\0';
    line = colon + 1;
  }
  return true;
}

bool number(const char* text, uint32_t* out) {
  if (text[0] < '0' || text[0] > '9') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long v = strtoul(text, &end, 10);
  if (errno != 0 || *end != '\0' || v > UINT32_MAX) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

nss_status socket_passwd(const char* op, const char* arg, passwd* pw, char* buffer, size_t buflen,
                         int* errnop) {
  hostd_answer answer;
  nss_status status;
  if (!ask(op, arg, &answer, &status, errnop)) return status;
  char* cursor = const_cast<char*>(answer.body);
  char* line = orvane_host::hostd_next_line(&cursor);
  char* f[5];
  uint32_t uid = 0;
  uint32_t gid = 0;
  if (line == nullptr || !split(line, f, 5) || !number(f[1], &uid) || !number(f[2], &gid)) {
    return unavailable(errnop);
  }
  return fill_passwd(uid, gid, f[0], f[3], f[4], pw, buffer, buflen, errnop);
}

nss_status socket_group(const char* op, const char* arg, group* gr, char* buffer, size_t buflen,
                        int* errnop) {
  hostd_answer answer;
  nss_status status;
  if (!ask(op, arg, &answer, &status, errnop)) return status;
  char* cursor = const_cast<char*>(answer.body);
  char* line = orvane_host::hostd_next_line(&cursor);
  char* f[3];
  uint32_t gid = 0;
  if (line == nullptr || !split(line, f, 3) || !number(f[1], &gid)) return unavailable(errnop);
  size_t count = f[2][0] != '\0' ? 1 : 0;
  for (const char* c = f[2]; *c != '\0'; ++c) count += *c == ',' ? 1 : 0;
  arena a{buffer, buflen};
  gr->gr_mem = a.pointers(count + 1);
  if (gr->gr_mem == nullptr) return too_small(errnop);
  gr->gr_name = a.copy(f[0]);
  gr->gr_passwd = a.copy("x");
  if (gr->gr_name == nullptr || gr->gr_passwd == nullptr) return too_small(errnop);
  size_t n = 0;
  for (char* m = f[2]; count > 0 && n < count;) {
    char* comma = strchr(m, ',');
    if (comma != nullptr) *comma = '\0';
    gr->gr_mem[n] = a.copy(m);
    if (gr->gr_mem[n++] == nullptr) return too_small(errnop);
    if (comma == nullptr) break;
    m = comma + 1;
  }
  gr->gr_mem[n] = nullptr;
  gr->gr_gid = gid;
  return NSS_STATUS_SUCCESS;
}

void number_text(uint32_t v, char* out, size_t size) {
  snprintf(out, size, "%u", v);
}

// Appends gid to the caller's list (grown with realloc, as the C library expects).
bool add_group(gid_t gid, gid_t skip, long* start, long* size, gid_t** groupsp, long limit) {
  if (gid == skip) return true;
  for (long i = 0; i < *start; ++i) {
    if ((*groupsp)[i] == gid) return true;
  }
  if (limit > 0 && *start >= limit) return false;
  if (*start == *size) {
    long grown = *size > 0 ? *size * 2 : 16;
    if (limit > 0 && grown > limit) grown = limit;
    void* p = realloc(*groupsp, static_cast<size_t>(grown) * sizeof(gid_t));
    if (p == nullptr) return false;
    *groupsp = static_cast<gid_t*>(p);
    *size = grown;
  }
  (*groupsp)[(*start)++] = gid;
  return true;
}

}  // namespace

NSS_EXPORT nss_status _nss_orvane_getpwnam_r(const char* name, passwd* pw, char* buffer,
                                             size_t buflen, int* errnop) {
  if (name == nullptr || strlen(name) > orvane_host::kMaxName) return not_found(errnop);
  {
    lock_guard lock;
    if (refresh()) {
      cache_user u;
      if (!orvane_host::cache_find_user_name(g_map.view, name, &u)) return not_found(errnop);
      return fill_passwd(u, pw, buffer, buflen, errnop);
    }
  }
  return socket_passwd("pwnam", name, pw, buffer, buflen, errnop);
}

NSS_EXPORT nss_status _nss_orvane_getpwuid_r(uid_t uid, passwd* pw, char* buffer, size_t buflen,
                                             int* errnop) {
  {
    lock_guard lock;
    if (refresh()) {
      cache_user u;
      if (!orvane_host::cache_find_user_uid(g_map.view, uid, &u)) return not_found(errnop);
      return fill_passwd(u, pw, buffer, buflen, errnop);
    }
  }
  char text[16];
  number_text(uid, text, sizeof text);
  return socket_passwd("pwuid", text, pw, buffer, buflen, errnop);
}

NSS_EXPORT nss_status _nss_orvane_setpwent(int) {
  lock_guard lock;
  g_pw_next = 0;
  return NSS_STATUS_SUCCESS;
}

NSS_EXPORT nss_status _nss_orvane_endpwent(void) {
  lock_guard lock;
  g_pw_next = 0;
  return NSS_STATUS_SUCCESS;
}

NSS_EXPORT nss_status _nss_orvane_getpwent_r(passwd* pw, char* buffer, size_t buflen, int* errnop) {
  uint32_t position;
  {
    lock_guard lock;
    if (refresh()) {
      cache_user u;
      while (g_pw_next < g_map.view.h.user_count) {
        if (!orvane_host::cache_user_at(g_map.view, g_pw_next, &u)) {
          ++g_pw_next;  // a damaged record is skipped
          continue;
        }
        const nss_status s = fill_passwd(u, pw, buffer, buflen, errnop);
        if (s == NSS_STATUS_SUCCESS) ++g_pw_next;  // ERANGE: the same entry again
        return s;
      }
      return not_found(errnop);
    }
    position = g_pw_next;
  }
  char text[16];
  number_text(position, text, sizeof text);
  const nss_status s = socket_passwd("pwent", text, pw, buffer, buflen, errnop);
  if (s == NSS_STATUS_SUCCESS) {
    lock_guard lock;
    ++g_pw_next;
  }
  return s;
}

NSS_EXPORT nss_status _nss_orvane_getgrnam_r(const char* name, group* gr, char* buffer,
                                             size_t buflen, int* errnop) {
  if (name == nullptr || strlen(name) > orvane_host::kMaxName) return not_found(errnop);
  {
    lock_guard lock;
    if (refresh()) {
      cache_group g;
      if (!orvane_host::cache_find_group_name(g_map.view, name, &g)) return not_found(errnop);
      return fill_group(g_map.view, g, gr, buffer, buflen, errnop);
    }
  }
  return socket_group("grnam", name, gr, buffer, buflen, errnop);
}

NSS_EXPORT nss_status _nss_orvane_getgrgid_r(gid_t gid, group* gr, char* buffer, size_t buflen,
                                             int* errnop) {
  {
    lock_guard lock;
    if (refresh()) {
      cache_group g;
      if (!orvane_host::cache_find_group_gid(g_map.view, gid, &g)) return not_found(errnop);
      return fill_group(g_map.view, g, gr, buffer, buflen, errnop);
    }
  }
  char text[16];
  number_text(gid, text, sizeof text);
  return socket_group("grgid", text, gr, buffer, buflen, errnop);
}

NSS_EXPORT nss_status _nss_orvane_setgrent(int) {
  lock_guard lock;
  g_gr_next = 0;
  return NSS_STATUS_SUCCESS;
}

NSS_EXPORT nss_status _nss_orvane_endgrent(void) {
  lock_guard lock;
  g_gr_next = 0;
  return NSS_STATUS_SUCCESS;
}

NSS_EXPORT nss_status _nss_orvane_getgrent_r(group* gr, char* buffer, size_t buflen, int* errnop) {
  uint32_t position;
  {
    lock_guard lock;
    if (refresh()) {
      cache_group g;
      while (g_gr_next < g_map.view.h.group_count) {
        if (!orvane_host::cache_group_at(g_map.view, g_gr_next, &g)) {
          ++g_gr_next;
          continue;
        }
        const nss_status s = fill_group(g_map.view, g, gr, buffer, buflen, errnop);
        if (s == NSS_STATUS_SUCCESS) ++g_gr_next;
        return s;
      }
      return not_found(errnop);
    }
    position = g_gr_next;
  }
  char text[16];
  number_text(position, text, sizeof text);
  const nss_status s = socket_group("grent", text, gr, buffer, buflen, errnop);
  if (s == NSS_STATUS_SUCCESS) {
    lock_guard lock;
    ++g_gr_next;
  }
  return s;
}

NSS_EXPORT nss_status _nss_orvane_initgroups_dyn(const char* user, gid_t skip, long* start,
                                                 long* size, gid_t** groupsp, long limit,
                                                 int* errnop) {
  if (user == nullptr || strlen(user) > orvane_host::kMaxName) return not_found(errnop);
  bool any = false;
  {
    lock_guard lock;
    if (refresh()) {
      const cache_view& v = g_map.view;
      cache_group g;
      for (uint32_t i = 0; i < v.h.group_count; ++i) {
        if (!orvane_host::cache_group_at(v, i, &g)) continue;
        for (uint32_t j = 0; j < g.member_count; ++j) {
          const char* m = orvane_host::cache_group_member(v, g, j);
          if (m == nullptr || strcmp(m, user) != 0) continue;
          any = true;
          if (!add_group(g.gid, skip, start, size, groupsp, limit)) return NSS_STATUS_SUCCESS;
          break;
        }
      }
      return any ? NSS_STATUS_SUCCESS : not_found(errnop);
    }
  }
  hostd_answer answer;
  nss_status status;
  if (!ask("initgroups", user, &answer, &status, errnop)) return status;
  char* cursor = const_cast<char*>(answer.body);
  for (char* line = orvane_host::hostd_next_line(&cursor); line != nullptr;
       line = orvane_host::hostd_next_line(&cursor)) {
    for (char* tok = line; *tok != '\0';) {
      char* space = strchr(tok, ' ');
      if (space != nullptr) *space = '\0';
      uint32_t gid = 0;
      if (number(tok, &gid)) {
        any = true;
        if (!add_group(gid, skip, start, size, groupsp, limit)) return NSS_STATUS_SUCCESS;
      }
      if (space == nullptr) break;
      tok = space + 1;
    }
  }
  return any ? NSS_STATUS_SUCCESS : not_found(errnop);
}
