// Run-time configuration: the fixed paths and ports of the server, each of which the environment
// may override. The environment is read once, by config_load() at start-up; every other module
// asks this one for its paths and ports and spells none of them itself.
//
//   ORVANE_ROOT             replaces the "/data/orvane" prefix of every path
//   ORVANE_MACHINE_ID_FILE  replaces "/etc/this"
//   ORVANE_HTTP_PORT        replaces 80
//   ORVANE_MONITOR_PORT     replaces 82
//   ORVANE_HTTPS_PORT       replaces 443
//   ORVANE_MONITOR_BIND     replaces 127.0.0.1, the monitoring port's address
//   ORVANE_MAX_CONNECTIONS  replaces 1024, the connections served at once per port
//   ORVANE_MAX_CHANNELS     replaces 16384, the WebSocket channels open at once
//   ORVANE_METRICS_PORT     replaces 9482, the metrics port (0: none)
//   ORVANE_METRICS_BIND     replaces 127.0.0.1, the metrics port's address
//   ORVANE_ADMIN_PASSWORD_FILE  a file whose first line replaces the Administrator password a
//                           new database starts with (a missing file: the built-in one)
#ifndef ORVANE_CONFIG_H_
#define ORVANE_CONFIG_H_

#include <cstdint>
#include <string>

namespace orvane {

struct config {
  std::string root = "/data/orvane";
  std::string machine_id_file = "/etc/this";
  uint16_t http_port = 80;
  uint16_t monitor_port = 82;
  uint16_t https_port = 443;
  std::string monitor_bind = "127.0.0.1";
  uint16_t metrics_port = 9482;  // 0: no metrics port
  std::string metrics_bind = "127.0.0.1";
  // Connections served at once on each port; more wait in the listen backlog.
  unsigned max_connections = 1024;
  // WebSocket channels open at once, apart from the connections above; more are answered 503.
  unsigned max_channels = 16384;
  // The first Administrator password of a new database; empty: the built-in one.
  std::string admin_password;
};

// Bounds of max_connections and max_channels.
constexpr unsigned kMaxConnectionsLimit = 65536;
constexpr unsigned kMaxChannelsLimit = 1048576;

// Reads the environment overrides. Returns 0, or -1 with a message in *error when a value is
// invalid (a port that is not a number from 1 to 65535, a connection cap that is not a number
// from 1 to kMaxConnectionsLimit (kMaxChannelsLimit for channels), an empty root or file name, an
// administrator password file that exists but cannot be read or whose first line is empty).
int config_load(std::string* error);

// The configuration in force (the defaults until config_load() succeeded).
const config& config_get();

// Paths derived from the root.
std::string path_current();                                          // <root>/current
std::string path_domains_file();                                     // <root>/current/domains
std::string path_domain_dir(uint64_t domain_id);                     // <root>/current/<id>
std::string path_domain_file(uint64_t domain_id, const char* name);  // <root>/current/<id>/<name>
std::string path_auditlog_dir(uint64_t domain_id);  // <root>/current/<id>/auditlogs
std::string path_aeskeys();                         // <root>/current/aeskeys
std::string path_ca_dir();                          // <root>/current/ca
std::string path_backup_dir();                      // <root>/current/backup
std::string path_backups_file();                    // <root>/current/backups
std::string path_certs_dir();                       // <root>/certs
std::string path_certs_key();                       // <root>/certs/orvane.key
std::string path_certs_ca();                        // <root>/certs/orvane-ca.pem
std::string path_certs_chain();                     // <root>/certs/orvane.pem
std::string path_web(const char* dir);              // <root><dir>, e.g. "/web/"
std::string path_db_version_dir();                  // <root>/1.0.0
std::string path_data_fs();                         // the file system reported by getHealth

}  // namespace orvane

#endif  // ORVANE_CONFIG_H_
