#include "password.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>

namespace ctl {

namespace {

void strip_line_end(std::string* text) {
  while (!text->empty() && (text->back() == '\n' || text->back() == '\r')) text->pop_back();
}

// The terminal, opened for the prompt and restored (echo back on) when it goes.
class tty {
 public:
  tty() : fd_(::open("/dev/tty", O_RDWR | O_CLOEXEC)) {}
  ~tty() {
    if (fd_ >= 0) ::close(fd_);
  }
  tty(const tty&) = delete;
  tty& operator=(const tty&) = delete;
  bool open() const { return fd_ >= 0; }

  bool prompt(const std::string& text, std::string* out) {
    termios saved{};
    if (::tcgetattr(fd_, &saved) != 0) return false;
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    if (::write(fd_, text.data(), text.size()) < 0 || ::tcsetattr(fd_, TCSAFLUSH, &quiet) != 0) {
      return false;
    }
    std::string line;
    char c = 0;
    bool ok = true;
    while (true) {
      const ssize_t n = ::read(fd_, &c, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        ok = !line.empty();
        break;
      }
      if (c == '\n') break;
      if (line.size() < 4096) line += c;
    }
    ::tcsetattr(fd_, TCSAFLUSH, &saved);
    strip_line_end(&line);
    *out = line;
    return ok;
  }

 private:
  int fd_;
};

}  // namespace

bool read_password(const parsed_args& args, const char* option, const std::string& prompt,
                   bool confirm, std::string* out, std::string* error) {
  if (args.has(option)) {
    const std::string path = args.get(option);
    std::string line;
    if (path == "-") {
      std::getline(std::cin, line);
    } else {
      std::ifstream in(path);
      if (!in) {
        *error = path + ": " + std::strerror(errno);
        return false;
      }
      std::getline(in, line);
    }
    strip_line_end(&line);
    if (line.empty()) {
      *error = (path == "-" ? std::string("standard input") : path) + " holds no password";
      return false;
    }
    *out = line;
    return true;
  }
  tty t;
  if (!t.open()) {
    *error = std::string("no terminal to ask for the password: use --") + option;
    return false;
  }
  std::string first;
  if (!t.prompt(prompt, &first) || first.empty()) {
    *error = "no password given";
    return false;
  }
  if (confirm) {
    std::string second;
    if (!t.prompt("Again: ", &second) || second != first) {
      *error = "the passwords differ";
      return false;
    }
  }
  *out = first;
  return true;
}

}  // namespace ctl
