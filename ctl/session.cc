#include "session.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace ctl {

namespace {

constexpr size_t kMaxSessionFile = 64 * 1024;

std::string session_path() {
  return config_dir() + "/session";
}

struct field {
  const char* name;
  std::string session::*member;
};

constexpr field kFields[] = {
    {"server", &session::server}, {"domain", &session::domain}, {"ca", &session::ca},
    {"cert", &session::cert},     {"key", &session::key},       {"user", &session::user},
    {"token", &session::token},   {"expire", &session::expire}, {"identity", &session::identity},
};

// Creates each missing folder of path, the last one owner-only.
bool make_dirs(const std::string& path, std::string* error) {
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    const std::string part = path.substr(0, pos);
    if (::mkdir(part.c_str(), pos == path.size() ? 0700 : 0755) != 0 && errno != EEXIST) {
      *error = part + ": " + std::strerror(errno);
      return false;
    }
  }
  ::chmod(path.c_str(), 0700);
  return true;
}

}  // namespace

std::string config_dir() {
  if (const char* dir = std::getenv("ORVANE_CONFIG_DIR"); dir != nullptr && *dir != '\0') {
    return dir;
  }
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && *xdg == '/') {
    return std::string(xdg) + "/orvane";
  }
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr && *home != '\0' ? home : ".") + "/.config/orvane";
}

bool session_load(session* s, std::string* error) {
  const std::string path = session_path();
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return true;
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  if ((st.st_mode & 077) != 0) ::chmod(path.c_str(), 0600);
  if (st.st_size > static_cast<off_t>(kMaxSessionFile)) {
    *error = path + ": too large to be a session file";
    return false;
  }
  std::ifstream in(path);
  if (!in) {
    *error = path + ": cannot be read";
    return false;
  }
  std::string line;
  while (std::getline(in, line)) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string name = line.substr(0, eq);
    for (const field& f : kFields) {
      if (name == f.name) s->*f.member = line.substr(eq + 1);
    }
  }
  return true;
}

bool session_save(const session& s, std::string* error) {
  const std::string dir = config_dir();
  if (!make_dirs(dir, error)) return false;
  const std::string path = session_path();
  const std::string temp = path + ".tmp";
  std::ostringstream text;
  for (const field& f : kFields) {
    const std::string& value = s.*f.member;
    // Values are single lines; a line break would forge another field.
    if (value.find_first_of("\r\n") != std::string::npos) {
      *error = std::string("session field ") + f.name + " holds a line break";
      return false;
    }
    if (!value.empty()) text << f.name << '=' << value << '\n';
  }
  const std::string bytes = text.str();
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    *error = temp + ": " + std::strerror(errno);
    return false;
  }
  ::fchmod(fd, 0600);
  const bool written =
      ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  const bool closed = ::close(fd) == 0;
  if (!written || !closed || ::rename(temp.c_str(), path.c_str()) != 0) {
    *error = path + ": " + std::strerror(errno);
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

bool session_remove(std::string* error) {
  const std::string path = session_path();
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace ctl
