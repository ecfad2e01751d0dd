#include "objects/backup/backup_archive.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "utils/logger.h"

extern char** environ;

namespace orvane {

namespace {

// Deep enough for any domain directory; a deeper tree is refused rather than followed.
constexpr int kMaxDepth = 16;

class fd_holder {
 public:
  explicit fd_holder(int fd = -1) : fd_(fd) {}
  ~fd_holder() { reset(); }
  fd_holder(const fd_holder&) = delete;
  fd_holder& operator=(const fd_holder&) = delete;
  int get() const { return fd_; }
  // Closes the descriptor; -1 when close reports an error.
  int reset() {
    int rc = 0;
    if (fd_ >= 0) rc = ::close(fd_);
    fd_ = -1;
    return rc;
  }

 private:
  int fd_;
};

struct dir_closer {
  void operator()(DIR* d) const { ::closedir(d); }
};

class spawn_setup {
 public:
  spawn_setup() {
    ok_ = posix_spawn_file_actions_init(&actions_) == 0;
    if (ok_ && posix_spawnattr_init(&attr_) != 0) {
      posix_spawn_file_actions_destroy(&actions_);
      ok_ = false;
    }
  }
  ~spawn_setup() {
    if (ok_) {
      posix_spawnattr_destroy(&attr_);
      posix_spawn_file_actions_destroy(&actions_);
    }
  }
  spawn_setup(const spawn_setup&) = delete;
  spawn_setup& operator=(const spawn_setup&) = delete;

  bool ok() const { return ok_; }
  posix_spawn_file_actions_t* actions() { return &actions_; }
  posix_spawnattr_t* attr() { return &attr_; }

 private:
  bool ok_ = false;
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attr_;
};

int write_all(int fd, const char* p, size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return 0;
}

int copy_file(const std::string& src, const std::string& dst, const struct stat& st,
              bool lock_file) {
  fd_holder in(::open(src.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (in.get() < 0) {
    KT_LOG_ERR("open(%s): %s", src.c_str(), std::strerror(errno));
    return -1;
  }
  if (lock_file) {
    while (::flock(in.get(), LOCK_SH) != 0) {
      if (errno == EINTR) continue;
      KT_LOG_ERR("flock(%s): %s", src.c_str(), std::strerror(errno));
      return -1;
    }
  }
  fd_holder out(::open(dst.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (out.get() < 0) {
    KT_LOG_ERR("open(%s): %s", dst.c_str(), std::strerror(errno));
    return -1;
  }
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(in.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      KT_LOG_ERR("read(%s): %s", src.c_str(), std::strerror(errno));
      return -1;
    }
    if (n == 0) break;
    if (write_all(out.get(), buf, static_cast<size_t>(n)) != 0) {
      KT_LOG_ERR("write(%s): %s", dst.c_str(), std::strerror(errno));
      return -1;
    }
  }
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  if (::fchmod(out.get(), st.st_mode & 07777) != 0 || ::futimens(out.get(), times) != 0) {
    KT_LOG_ERR("attributes of %s: %s", dst.c_str(), std::strerror(errno));
    return -1;
  }
  if (out.reset() != 0) {
    KT_LOG_ERR("close(%s): %s", dst.c_str(), std::strerror(errno));
    return -1;
  }
  return 0;
}

int copy_dir(const std::string& src, const std::string& dst, const struct stat& st, bool lock_files,
             const std::set<std::string>* skip, int depth) {
  if (depth > kMaxDepth) {
    KT_LOG_ERR("%s: directory tree too deep", src.c_str());
    return -1;
  }
  if (::mkdir(dst.c_str(), 0700) != 0) {
    KT_LOG_ERR("mkdir(%s): %s", dst.c_str(), std::strerror(errno));
    return -1;
  }
  std::unique_ptr<DIR, dir_closer> dir(::opendir(src.c_str()));
  if (!dir) {
    KT_LOG_ERR("opendir(%s): %s", src.c_str(), std::strerror(errno));
    return -1;
  }
  for (;;) {
    errno = 0;
    const struct dirent* e = ::readdir(dir.get());
    if (e == nullptr) {
      if (errno != 0) {
        KT_LOG_ERR("readdir(%s): %s", src.c_str(), std::strerror(errno));
        return -1;
      }
      break;
    }
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    if (skip != nullptr && skip->count(name) != 0) continue;
    const std::string from = src + "/" + name;
    const std::string to = dst + "/" + name;
    struct stat est {};
    if (::lstat(from.c_str(), &est) != 0) {
      KT_LOG_ERR("lstat(%s): %s", from.c_str(), std::strerror(errno));
      return -1;
    }
    int rc = 0;
    if (S_ISDIR(est.st_mode)) {
      rc = copy_dir(from, to, est, lock_files, nullptr, depth + 1);
    } else if (S_ISREG(est.st_mode)) {
      rc = copy_file(from, to, est, lock_files);
    }
    if (rc != 0) return rc;
  }
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  if (::chmod(dst.c_str(), st.st_mode & 07777) != 0 ||
      ::utimensat(AT_FDCWD, dst.c_str(), times, 0) != 0) {
    KT_LOG_ERR("attributes of %s: %s", dst.c_str(), std::strerror(errno));
    return -1;
  }
  return 0;
}

}  // namespace

int backup_run_tar(const std::vector<std::string>& args, int out_fd) {
  std::vector<char*> argv;
  argv.reserve(args.size() + 2);
  argv.push_back(const_cast<char*>("tar"));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  spawn_setup setup;
  if (!setup.ok()) {
    KT_LOG_ERR("posix_spawn setup failed");
    return -1;
  }
  sigset_t empty;
  sigset_t defaults;
  sigemptyset(&empty);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  int rc = posix_spawn_file_actions_addopen(setup.actions(), 0, "/dev/null", O_RDONLY, 0);
  if (rc == 0) {
    rc = out_fd >= 0
             ? posix_spawn_file_actions_adddup2(setup.actions(), out_fd, 1)
             : posix_spawn_file_actions_addopen(setup.actions(), 1, "/dev/null", O_WRONLY, 0);
  }
  if (rc == 0) rc = posix_spawnattr_setsigmask(setup.attr(), &empty);
  if (rc == 0) rc = posix_spawnattr_setsigdefault(setup.attr(), &defaults);
  if (rc == 0) {
    rc = posix_spawnattr_setflags(setup.attr(), POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  }
  pid_t pid = -1;
  if (rc == 0) rc = posix_spawnp(&pid, "tar", setup.actions(), setup.attr(), argv.data(), environ);
  if (rc != 0) {
    KT_LOG_ERR("tar: %s", std::strerror(rc));
    return -1;
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno == EINTR) continue;
    KT_LOG_ERR("waitpid(tar): %s", std::strerror(errno));
    return -1;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    KT_LOG_ERR("tar %s failed (status 0x%x)", args.empty() ? "" : args[0].c_str(), status);
    return -1;
  }
  return 0;
}

int backup_archive_create(const std::string& archive, const std::string& dir,
                          const std::string& base) {
  fd_holder out(::open(archive.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (out.get() < 0) {
    KT_LOG_ERR("open(%s): %s", archive.c_str(), std::strerror(errno));
    return -1;
  }
  // The member name is taken literally: no unquoting of backslash sequences, no wildcards.
  int rc = backup_run_tar({"--create", "--gzip", "--file=-", "--directory=" + dir, "--no-unquote",
                           "--no-wildcards", "--", base},
                          out.get());
  if (rc == 0 && ::fsync(out.get()) != 0) {
    KT_LOG_ERR("fsync(%s): %s", archive.c_str(), std::strerror(errno));
    rc = -1;
  }
  if (out.reset() != 0) rc = -1;
  if (rc != 0) ::unlink(archive.c_str());
  return rc;
}

int backup_archive_extract(const std::string& archive, const std::string& into) {
  // --force-local: a ':' in the file name must not make tar look for a remote host.
  return backup_run_tar(
      {"--extract", "--gzip", "--force-local", "--file=" + archive, "--directory=" + into});
}

int backup_copy_tree(const std::string& src, const std::string& dst, bool lock_files,
                     const std::set<std::string>& skip) {
  struct stat st {};
  if (::stat(src.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    KT_LOG_ERR("%s: no directory", src.c_str());
    return -1;
  }
  return copy_dir(src, dst, st, lock_files, &skip, 0);
}

}  // namespace orvane
