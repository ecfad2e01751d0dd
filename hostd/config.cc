#include "hostd/config.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string_view>

#include "hostproto/protocol.h"
#include "utils/files.h"
#include "utils/numbers.h"

namespace orvane_hostd {

namespace {

constexpr size_t kMaxConfigSize = 64 * 1024;
constexpr size_t kMaxPasswordFileSize = 4096;

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

bool number(std::string_view text, uint64_t max, uint64_t* out) {
  return kt::decimal_parse(text, max, out);
}

// Sets one key; false with *error for an unknown key or a bad value.
bool set_key(config* c, std::string_view key, std::string_view value, std::string* error) {
  struct text_key {
    const char* name;
    std::string config::*field;
  };
  static const text_key texts[] = {
      {"server", &config::server},
      {"domain", &config::domain},
      {"profile", &config::profile},
      {"bundle", &config::bundle},
      {"ca", &config::ca},
      {"user", &config::user},
      {"password_file", &config::password_file},
      {"socket", &config::socket},
      {"cache", &config::cache},
      {"nss_cache", &config::nss_cache},
  };
  for (const text_key& t : texts) {
    if (key == t.name) {
      c->*t.field = std::string(value);
      return true;
    }
  }
  struct number_key {
    const char* name;
    uint32_t config::*field;
    uint64_t min;
  };
  static const number_key numbers[] = {
      {"stale_after", &config::stale_after, 1},
      {"offline_max_age", &config::offline_max_age, 0},
      {"refresh_interval", &config::refresh_interval, 10},
      {"timeout", &config::timeout, 1},
  };
  uint64_t v = 0;
  for (const number_key& n : numbers) {
    if (key == n.name) {
      if (!number(value, UINT32_MAX, &v) || v < n.min) {
        *error = "'" + std::string(key) + "' needs a number of seconds (at least " +
                 std::to_string(n.min) + ")";
        return false;
      }
      c->*n.field = static_cast<uint32_t>(v);
      return true;
    }
  }
  if (key == "port") {
    if (!number(value, 65535, &v) || v == 0) {
      *error = "'port' needs a port number";
      return false;
    }
    c->port = static_cast<uint16_t>(v);
    return true;
  }
  *error = "unknown key '" + std::string(key) + "'";
  return false;
}

int parse(const std::string& path, const std::string& text, config* c, std::string* error) {
  size_t line_no = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string_view line = trim(std::string_view(text).substr(pos, end - pos));
    pos = end + 1;
    ++line_no;
    if (line.empty() || line.front() == '#') continue;
    const size_t eq = line.find('=');
    const std::string where = path + ":" + std::to_string(line_no) + ": ";
    if (eq == std::string_view::npos) {
      *error = where + "expected 'key = value'";
      return -1;
    }
    const std::string_view key = trim(line.substr(0, eq));
    const std::string_view value = trim(line.substr(eq + 1));
    std::string why;
    if (!set_key(c, key, value, &why)) {
      *error = where + why;
      return -1;
    }
  }
  return 0;
}

// The service account's password: the first line of an owner-only file of this user.
int read_password(config* c, std::string* error) {
  struct stat st {};
  if (::stat(c->password_file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = "password file " + c->password_file + " can't be read";
    return -1;
  }
  if ((st.st_mode & 077) != 0 || st.st_uid != ::geteuid()) {
    *error = "password file " + c->password_file + " must be owner-only (mode 0600) and ours";
    return -1;
  }
  std::string text;
  if (kt::read_file(c->password_file.c_str(), text, kMaxPasswordFileSize) != 0) {
    *error = "password file " + c->password_file + " can't be read";
    return -1;
  }
  const size_t nl = text.find_first_of("\r\n");
  if (nl != std::string::npos) text.resize(nl);
  if (text.empty()) {
    *error = "password file " + c->password_file + " is empty";
    return -1;
  }
  c->password = std::move(text);
  return 0;
}

const char* env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr && v[0] != '\0' ? v : nullptr;
}

}  // namespace

std::string config_path(const overrides& o) {
  if (!o.config.empty()) return o.config;
  if (const char* v = env("ORVANE_HOSTD_CONF")) return v;
  return kDefaultConfig;
}

int config_load(const overrides& o, config* out, std::string* error) {
  config c;
  const std::string path = config_path(o);
  std::string text;
  const int rc = kt::read_file(path.c_str(), text, kMaxConfigSize);
  if (rc != 0) {
    *error = rc == -2 ? path + ": too large" : path + ": can't be read";
    return -1;
  }
  if (parse(path, text, &c, error) != 0) return -1;

  // Paths: the environment, then the command line, over the file.
  const struct {
    const char* env_name;
    const std::string* option;
    std::string* field;
    const char* fallback;
  } paths[] = {
      {orvane_host::kSocketEnv, &o.socket, &c.socket, orvane_host::kDefaultSocket},
      {"ORVANE_HOSTD_CACHE", &o.cache, &c.cache, kDefaultCache},
      {orvane_host::kNssCacheEnv, &o.nss_cache, &c.nss_cache, orvane_host::kDefaultNssCache},
  };
  for (const auto& p : paths) {
    if (const char* v = env(p.env_name)) *p.field = v;
    if (!p.option->empty()) *p.field = *p.option;
    if (p.field->empty()) *p.field = p.fallback;
  }

  const struct {
    const char* key;
    const std::string& value;
  } required[] = {{"server", c.server}, {"domain", c.domain}, {"profile", c.profile},
                  {"bundle", c.bundle}, {"user", c.user},     {"password_file", c.password_file}};
  for (const auto& r : required) {
    if (r.value.empty()) {
      *error = path + ": '" + r.key + "' is not set";
      return -1;
    }
  }
  if (read_password(&c, error) != 0) return -1;
  *out = std::move(c);
  return 0;
}

}  // namespace orvane_hostd
