#include "globals.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "config.h"
#include "network/net_thread_pool.h"
#include "objects/domains/domain.h"
#include "objects/domains/domain_records.h"
#include "objects/tokens/token.h"
#include "objects/users/throttle.h"
#include "scheduler/sched_singlethread.h"
#include "sutils/openssl_ca.h"
#include "threadpool/thread_pool.h"
#include "utils/clock.h"
#include "utils/crypto.h"
#include "utils/files.h"
#include "utils/logger.h"
#include "utils/uid.h"

namespace orvane {

namespace {

constexpr size_t kAesMaterial = 48;

}  // namespace

int init_aes_keys(const std::string& path, uint8_t iv[16], uint8_t key[32]) {
  kt::unique_fd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (fd.get() < 0) {
    KT_LOG_ERR("open(%s): %s\n", path.c_str(), std::strerror(errno));
    return -1;
  }
  // The whole file counts: a file longer than the material is as wrong as a shorter one.
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    KT_LOG_ERR("readv(%s): %s\n", path.c_str(), std::strerror(errno));
    return -3;
  }
  if (st.st_size != 0 && st.st_size != static_cast<off_t>(kAesMaterial)) {
    KT_LOG_ERR("readv(%s): %s\n", path.c_str(), "key file holds neither 0 nor 48 bytes");
    return -3;
  }
  uint8_t material[kAesMaterial];
  size_t have = 0;
  while (have < kAesMaterial) {
    const ssize_t n = ::read(fd.get(), material + have, kAesMaterial - have);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      KT_LOG_ERR("readv(%s): %s\n", path.c_str(), std::strerror(errno));
      return -3;
    }
    if (n == 0) break;
    have += static_cast<size_t>(n);
  }
  if (have == 0) {
    if (kt::uid_uread(material, kAesMaterial) != 0) {
      KT_LOG_ERR("write(%s): %s\n", path.c_str(), "no random source");
      return -2;
    }
    size_t done = 0;
    while (done < kAesMaterial) {
      const ssize_t n =
          ::pwrite(fd.get(), material + done, kAesMaterial - done, static_cast<off_t>(done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        KT_LOG_ERR("write(%s): %s\n", path.c_str(), std::strerror(errno));
        return -2;
      }
      done += static_cast<size_t>(n);
    }
    fsync(fd.get());
  } else if (have != kAesMaterial) {
    KT_LOG_ERR("readv(%s): %s\n", path.c_str(), "key file holds neither 0 nor 48 bytes");
    return -3;
  }
  std::memcpy(iv, material, 16);
  std::memcpy(key, material + 16, 32);
  explicit_bzero(material, sizeof material);
  return 0;
}

globals::globals()
    : domains_by_name(10),
      domains_by_id(10),
      tokens(100),
      netclients(100),
      throttle(std::make_unique<login_throttle>()) {}

int globals::open(std::unique_ptr<globals>* out, std::string* error, int ca_key_bits) {
  auto built = std::make_unique<globals>();
  globals& g = *built;
  auto fail = [&](int code, const std::string& message) {
    if (error != nullptr) *error = message;
    return code;
  };
  if (kt::path_create(path_current().c_str(), 0755) != 0) {
    return fail(-2, "cannot create " + path_current());
  }
  g.ca = kt::openssl_ca_create(path_ca_dir(), ca_key_bits);
  if (!g.ca) return fail(-1, "cannot open the certificate authority in " + path_ca_dir());

  g.start_time = kt::monotonic_raw_seconds();

  uint8_t iv[16];
  uint8_t key[32];
  if (init_aes_keys(path_aeskeys(), iv, key) != 0) {
    return fail(-4, "cannot read the AES key file " + path_aeskeys());
  }
  g.aes = kt::aes256_ctx_init(iv, key);
  explicit_bzero(iv, sizeof iv);
  explicit_bzero(key, sizeof key);
  if (!g.aes) return fail(-4, "cannot create the AES context");

  g.machine_id = kt::uid{};
  kt::uid_from_file(config_get().machine_id_file.c_str(), g.machine_id);
  g.machine_id_text = kt::uid2str(g.machine_id);

  g.running.store(GLOBALS_RUNNING);
  if (const int rc = domains_load(g); rc != 0) {
    return fail(-2, rc == DOMAINS_ROOT_NOT_LOADED
                        ? "failed to load domains: the root domain of the existing database "
                          "can not be loaded."
                        : "failed to load domains.");
  }
  g.scheduler = kt::sched_singlethread_create();
  if (!g.scheduler) return fail(-5, "cannot start the scheduler");
  *out = std::move(built);
  return 0;
}

globals::~globals() {
  globals& g = *this;
  g.running.store(0);
  g.scheduler.reset();
  g.aes.reset();

  std::vector<kt::ref_ptr<domain>> all;
  {
    std::shared_lock lock(g.domains_by_name.rwlock());
    g.domains_by_name.for_each(
        [&](const std::string&, kt::ref_ptr<domain>& d) { all.push_back(d); });
  }
  for (const auto& d : all) domain_flush(*d);
  {
    std::unique_lock lock(g.tokens.rwlock());
    g.tokens.flush();
  }
  for (const auto& d : all) d->parent.reset();
  all.clear();
  g.root_domain.reset();
  {
    std::unique_lock lock(g.domains_by_name.rwlock());
    g.domains_by_name.flush();
  }
  {
    std::unique_lock lock(g.domains_by_id.rwlock());
    g.domains_by_id.flush();
  }
  {
    std::unique_lock lock(g.netclients_lock);
    g.netclients.flush();
  }
  g.ca.reset();
}

}  // namespace orvane
