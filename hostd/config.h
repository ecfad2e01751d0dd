// orvane-hostd's configuration: one "key = value" file (default /etc/orvane/hostd.conf), then
// the environment, then the command line, each replacing what the one before set.
//
// Keys: server, port, domain, profile, bundle (the net client's PKCS#12 bundle), ca (the file of
// certificate authorities that signed the server's certificate; empty: the system's), user and
// password_file (the service account for the notification channel; the file must be owner-only),
// socket, cache, nss_cache, stale_after, offline_max_age, refresh_interval, timeout (seconds).
#ifndef ORVANE_HOSTD_CONFIG_H_
#define ORVANE_HOSTD_CONFIG_H_

#include <cstdint>
#include <string>

namespace orvane_hostd {

inline constexpr char kDefaultConfig[] = "/etc/orvane/hostd.conf";
inline constexpr char kDefaultCache[] = "/var/lib/orvane/hostd.cache";

struct config {
  std::string server;
  uint16_t port = 443;
  std::string domain;
  std::string profile;
  std::string bundle;
  std::string ca;
  std::string user;
  std::string password_file;
  std::string password;  // read from password_file
  std::string socket;
  std::string cache;            // the daemon's own cache (owner-only, with password hashes)
  std::string nss_cache;        // the published cache the name-service module maps
  uint32_t stale_after = 3600;  // answers say "stale" past this age of the data
  uint32_t offline_max_age = 7 * 86400;  // no offline password check on older data
  uint32_t refresh_interval = 300;
  uint32_t timeout = 10;  // one exchange with the server
};

// What the command line sets; empty fields leave the value alone.
struct overrides {
  std::string config;
  std::string socket;
  std::string cache;
  std::string nss_cache;
};

// The configuration file's path: the option, else $ORVANE_HOSTD_CONF, else the default.
std::string config_path(const overrides& o);

// Reads and checks the configuration (the password file included). 0, or -1 with a one-line
// reason in *error.
int config_load(const overrides& o, config* out, std::string* error);

}  // namespace orvane_hostd

#endif  // ORVANE_HOSTD_CONFIG_H_
