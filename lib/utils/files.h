// File and directory helpers.
#ifndef KT_UTILS_FILES_H_
#define KT_UTILS_FILES_H_

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace kt {

// Owns a file descriptor: closes it when it goes.
class unique_fd {
 public:
  explicit unique_fd(int fd = -1) : fd_(fd) {}
  ~unique_fd() { reset(); }
  unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
  unique_fd& operator=(unique_fd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = other.release();
    }
    return *this;
  }
  int get() const { return fd_; }
  // Hands the descriptor over without closing it.
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the descriptor; the close result, or 0 when there was none.
  int reset();

 private:
  int fd_;
};

// Longest path path_create accepts, and longest path path_remove builds (bytes, no terminator).
constexpr size_t kPathCreateMax = 1499;
constexpr size_t kPathRemoveMax = 1023;

// 0 when the path can be examined (exists), -1 otherwise.
int file_exists(const char* path);

// 0 when the path exists, -1 when there is no such entry, 1 when it can't be examined for
// another reason.
int path_exists(const char* path);

// Creates every missing directory along path with the given mode, printing "mkdir: <dir>" to
// standard error for each one it creates. Returns 0 (also when everything exists), or -1 when
// a directory can't be made, a component exists but is not a directory, or the path is empty or
// longer than kPathCreateMax.
int path_create(const char* path, mode_t mode = 0775);

// Removes a file, a symbolic link (never what it points to), or a directory with everything
// below it, depth first. Messages go to standard error. Results:
//   0 done; -1 path can't be examined ("stat(...)") or the emptied directory can't be removed
//   ("rmdir(...)"); -2 a plain file can't be unlinked; -3 a directory can't be opened or read;
//   -4 an entry can't be examined (a path longer than kPathRemoveMax included); -5 an entry
//   can't be unlinked.
// A failure stops the walk where it happened. A path argument longer than kPathRemoveMax gives
// -1 without touching anything.
int path_remove(const char* path);

// Reads the whole file into out. Returns 0, -1 when it can't be opened or read, -2 when it is
// larger than max_size.
int read_file(const char* path, std::string& out, size_t max_size = 64u << 20);

// Replaces the file with data atomically: writes a temporary file beside it, sets mode, and
// renames it over path (with sync, the file and its directory are flushed to disk first).
// Returns 0 or -1; on failure the old file is untouched.
int write_file(const char* path, std::string_view data, mode_t mode = 0644, bool sync = false);

}  // namespace kt

#endif  // KT_UTILS_FILES_H_
