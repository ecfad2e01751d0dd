#include "config.h"
#include "utils/numbers.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace orvane {

namespace {

config g_config;

// Parses a decimal number from 1 to max: digits only.
bool parse_number(std::string_view text, uint32_t max, uint32_t* number) {
  uint64_t value = 0;
  if (!kt::decimal_parse(text, max, &value) || value < 1) return false;
  *number = static_cast<uint32_t>(value);
  return true;
}

// Parses a TCP port: decimal digits only, 1 to 65535.
bool parse_port(std::string_view text, uint16_t* port) {
  uint32_t value = 0;
  if (text.size() > 5 || !parse_number(text, 65535, &value)) return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

// zero_off: "0" is accepted and turns the port off.
int load_port(const char* name, uint16_t* port, std::string* error, bool zero_off = false) {
  const char* value = std::getenv(name);
  if (value == nullptr) return 0;
  if (zero_off && std::string_view(value) == "0") {
    *port = 0;
    return 0;
  }
  if (!parse_port(value, port)) {
    *error = std::string(name) + ": \"" + value + "\" is not a port number from " +
             (zero_off ? "0" : "1") + " to 65535";
    return -1;
  }
  return 0;
}

int load_count(const char* name, uint32_t max, unsigned* count, std::string* error) {
  const char* value = std::getenv(name);
  if (value == nullptr) return 0;
  uint32_t number = 0;
  if (!parse_number(value, max, &number)) {
    *error =
        std::string(name) + ": \"" + value + "\" is not a number from 1 to " + std::to_string(max);
    return -1;
  }
  *count = number;
  return 0;
}

int load_text(const char* name, std::string* field, std::string* error) {
  const char* value = std::getenv(name);
  if (value == nullptr) return 0;
  if (*value == '\0') {
    *error = std::string(name) + " is set but empty";
    return -1;
  }
  *field = value;
  return 0;
}

// Reads the first line of the file named by the variable (without its line end) into *text. A
// file that does not exist gives no text: it is made before the first start and may be deleted
// once the password was changed.
int load_first_line(const char* name, std::string* text, std::string* error) {
  const char* path = std::getenv(name);
  if (path == nullptr) return 0;
  std::FILE* f = *path != '\0' ? std::fopen(path, "re") : nullptr;
  if (f == nullptr && *path != '\0' && errno == ENOENT) return 0;
  if (f == nullptr) {
    *error = std::string(name) + ": \"" + path + "\" cannot be read";
    return -1;
  }
  char line[512] = "";
  const bool read = std::fgets(line, sizeof line, f) != nullptr;
  std::fclose(f);
  std::string value = read ? line : "";
  while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) value.pop_back();
  if (value.empty()) {
    *error = std::string(name) + ": \"" + path + "\" holds no password";
    return -1;
  }
  *text = value;
  return 0;
}

}  // namespace

int config_load(std::string* error) {
  config c;
  std::string message;
  if (load_text("ORVANE_ROOT", &c.root, &message) != 0 ||
      load_text("ORVANE_MACHINE_ID_FILE", &c.machine_id_file, &message) != 0 ||
      load_text("ORVANE_MONITOR_BIND", &c.monitor_bind, &message) != 0 ||
      load_text("ORVANE_METRICS_BIND", &c.metrics_bind, &message) != 0 ||
      load_port("ORVANE_METRICS_PORT", &c.metrics_port, &message, true) != 0 ||
      load_port("ORVANE_HTTP_PORT", &c.http_port, &message) != 0 ||
      load_port("ORVANE_MONITOR_PORT", &c.monitor_port, &message) != 0 ||
      load_port("ORVANE_HTTPS_PORT", &c.https_port, &message) != 0 ||
      load_count("ORVANE_MAX_CONNECTIONS", kMaxConnectionsLimit, &c.max_connections, &message) !=
          0 ||
      load_count("ORVANE_MAX_CHANNELS", kMaxChannelsLimit, &c.max_channels, &message) != 0 ||
      load_first_line("ORVANE_ADMIN_PASSWORD_FILE", &c.admin_password, &message) != 0) {
    if (error != nullptr) *error = message;
    return -1;
  }
  // A trailing slash would double the separators of every derived path.
  while (c.root.size() > 1 && c.root.back() == '/') c.root.pop_back();
  g_config = c;
  return 0;
}

const config& config_get() {
  return g_config;
}

std::string path_current() {
  return g_config.root + "/current";
}
std::string path_domains_file() {
  return path_current() + "/domains";
}
std::string path_domain_dir(uint64_t domain_id) {
  return path_current() + "/" + std::to_string(domain_id);
}
std::string path_domain_file(uint64_t domain_id, const char* name) {
  return path_domain_dir(domain_id) + "/" + name;
}
std::string path_auditlog_dir(uint64_t domain_id) {
  return path_domain_file(domain_id, "auditlogs");
}
std::string path_aeskeys() {
  return path_current() + "/aeskeys";
}
std::string path_ca_dir() {
  return path_current() + "/ca";
}
std::string path_backup_dir() {
  return path_current() + "/backup";
}
std::string path_backups_file() {
  return path_current() + "/backups";
}
std::string path_certs_dir() {
  return g_config.root + "/certs";
}
std::string path_certs_key() {
  return path_certs_dir() + "/orvane.key";
}
std::string path_certs_ca() {
  return path_certs_dir() + "/orvane-ca.pem";
}
std::string path_certs_chain() {
  return path_certs_dir() + "/orvane.pem";
}
std::string path_web(const char* dir) {
  return g_config.root + dir;
}
std::string path_db_version_dir() {
  return g_config.root + "/1.0.0";
}
std::string path_data_fs() {
  // The default layout keeps the database on the /data file system.
  return g_config.root == "/data/orvane" ? std::string("/data") : g_config.root;
}

}  // namespace orvane
