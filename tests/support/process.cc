#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string_view>

extern char** environ;

namespace orvane_test {

namespace {

void drain(int fd_out, int fd_err, std::string* out, std::string* err) {
  pollfd fds[2] = {{fd_out, POLLIN, 0}, {fd_err, POLLIN, 0}};
  int open_count = 2;
  char chunk[4096];
  while (open_count > 0) {
    if (poll(fds, 2, -1) < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
      if (n <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
        continue;
      }
      (i == 0 ? out : err)->append(chunk, static_cast<size_t>(n));
    }
  }
}

}  // namespace

run_result run_program(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
  run_result result;
  int out_pipe[2];
  int err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) return result;

  // The given entries replace inherited ones of the same name.
  const auto given = [&](std::string_view entry) {
    const std::string_view name = entry.substr(0, entry.find('='));
    for (const auto& e : env) {
      if (e.size() > name.size() && e.compare(0, name.size(), name) == 0 && e[name.size()] == '=')
        return true;
    }
    return false;
  };
  std::vector<std::string> env_strings;
  for (char** e = environ; *e != nullptr; ++e) {
    if (!given(*e)) env_strings.emplace_back(*e);
  }
  for (const auto& e : env) env_strings.push_back(e);
  std::vector<char*> envp;
  for (auto& e : env_strings) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (auto& a : args) argp.push_back(a.data());
  argp.push_back(nullptr);

  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    close(out_pipe[0]);
    close(err_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    execve(argp[0], argp.data(), envp.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  drain(out_pipe[0], err_pipe[0], &result.out, &result.err);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::string build_path(const std::string& name) {
#ifdef ORVANE_BINARY_DIR
  return std::string(ORVANE_BINARY_DIR) + "/" + name;
#else
  return name;
#endif
}

temp_dir::temp_dir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "orvane-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

temp_dir::~temp_dir() {
  if (path_.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

}  // namespace orvane_test
