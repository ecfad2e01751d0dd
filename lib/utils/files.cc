#include "utils/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace kt {

int unique_fd::reset() {
  const int rc = fd_ >= 0 ? ::close(fd_) : 0;
  fd_ = -1;
  return rc;
}

namespace {

void report(const char* call, const std::string& path, int err) {
  std::fprintf(stderr, "%s(%s): %s\n", call, path.c_str(), std::strerror(err));
}

// Names in the directory at path except "." and "..". Returns 0 or -3 (reported).
int list_directory(const std::string& path, std::vector<std::string>& names) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  DIR* dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
  if (dir == nullptr) {
    const int err = errno;
    if (fd >= 0) ::close(fd);
    report("opendir", path, err);
    return -3;
  }
  int rc = 0;
  while (true) {
    errno = 0;
    const dirent* entry = ::readdir(dir);
    if (entry == nullptr) {
      if (errno != 0) {
        report("readdir", path, errno);
        rc = -3;
      }
      break;
    }
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    names.emplace_back(entry->d_name);
  }
  ::closedir(dir);
  return rc;
}

// Empties and removes the directory at path (already known to be one, not a link).
int remove_directory(const std::string& path) {
  std::vector<std::string> names;
  if (const int rc = list_directory(path, names); rc != 0) return rc;
  for (const std::string& name : names) {
    const std::string entry = path + "/" + name;
    if (entry.size() > kPathRemoveMax) {
      report("stat", entry, ENAMETOOLONG);
      return -4;
    }
    struct stat st;
    if (::lstat(entry.c_str(), &st) != 0) {
      report("stat", entry, errno);
      return -4;
    }
    if (S_ISDIR(st.st_mode)) {
      if (const int rc = remove_directory(entry); rc != 0) return rc;
    } else if (::unlink(entry.c_str()) != 0) {
      report("unlink", entry, errno);
      return -5;
    }
  }
  if (::rmdir(path.c_str()) != 0) {
    report("rmdir", path, errno);
    return -1;
  }
  return 0;
}

bool write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

int file_exists(const char* path) {
  struct stat st;
  return path != nullptr && ::stat(path, &st) == 0 ? 0 : -1;
}

int path_exists(const char* path) {
  if (path == nullptr) return 1;
  struct stat st;
  if (::stat(path, &st) == 0) return 0;
  return errno == ENOENT ? -1 : 1;
}

int path_create(const char* path, mode_t mode) {
  if (path == nullptr) return -1;
  const std::string_view full(path);
  if (full.empty() || full.size() > kPathCreateMax) return -1;
  size_t pos = 0;
  while (pos < full.size()) {
    size_t end = full.find('/', pos);
    if (end == std::string_view::npos) end = full.size();
    if (end > pos) {  // skips the leading '/' and repeated slashes
      const std::string dir(full.substr(0, end));
      struct stat st;
      if (::stat(dir.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) return -1;
      } else if (::mkdir(dir.c_str(), mode) == 0) {
        std::fprintf(stderr, "mkdir: %s\n", dir.c_str());
      } else if (errno != EEXIST || ::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return -1;  // EEXIST: made meanwhile by someone else, fine when it is a directory
      }
    }
    pos = end + 1;
  }
  return 0;
}

int path_remove(const char* path) {
  if (path == nullptr) return -1;
  std::string root(path);
  // A trailing slash would make lstat follow a symbolic link.
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  if (root.size() > kPathRemoveMax) {
    report("stat", root, ENAMETOOLONG);
    return -1;
  }
  struct stat st;
  if (::lstat(root.c_str(), &st) != 0) {
    report("stat", root, errno);
    return -1;
  }
  if (!S_ISDIR(st.st_mode)) {
    if (::unlink(root.c_str()) != 0) {
      report("unlink", root, errno);
      return -2;
    }
    return 0;
  }
  return remove_directory(root);
}

int read_file(const char* path, std::string& out, size_t max_size) {
  out.clear();
  if (path == nullptr) return -1;
  unique_fd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return -1;
  char chunk[8192];
  while (true) {
    const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      out.clear();
      return -1;
    }
    if (n == 0) return 0;
    if (out.size() + static_cast<size_t>(n) > max_size) {
      out.clear();
      return -2;
    }
    out.append(chunk, static_cast<size_t>(n));
  }
}

int write_file(const char* path, std::string_view data, mode_t mode, bool sync) {
  if (path == nullptr || *path == '\0') return -1;
  std::string tmp = std::string(path) + ".XXXXXX";
  unique_fd fd(::mkostemp(tmp.data(), O_CLOEXEC));
  if (fd.get() < 0) return -1;
  const bool ok = ::fchmod(fd.get(), mode) == 0 && write_all(fd.get(), data) &&
                  (!sync || ::fsync(fd.get()) == 0) && fd.reset() == 0 &&
                  ::rename(tmp.c_str(), path) == 0;
  if (!ok) {
    fd.reset();
    ::unlink(tmp.c_str());
    return -1;
  }
  if (sync) {
    std::string dir(path);
    const size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : dir.substr(0, slash));
    unique_fd dfd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dfd.get() >= 0) ::fsync(dfd.get());
  }
  return 0;
}

}  // namespace kt
