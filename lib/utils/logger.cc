#include "utils/logger.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

namespace kt {

bool logger_to_stderr = false;
bool logger_to_stdout = false;
bool logger_to_syslog = true;
std::string logger_syslog_name = "ktlib";
int logger_max_level = 7;

namespace {

constexpr size_t kMaxText = 1500;  // message and header are each cut to 1,499 bytes
std::once_flag syslog_once;

const char* level_tag(int level) {
  switch (level) {
    case LOG_LEVEL_ERR:
      return "ERR:";
    case LOG_LEVEL_WARN:
      return "WARN:";
    case LOG_LEVEL_INFO:
      return "INFO:";
    default:
      return "";
  }
}

// Without a system logger listening, every syslog() call tries to connect again, which costs
// more than the rest of a message. Whether the socket exists is checked at most once a second.
constexpr const char* kSyslogSocket = "/dev/log";
std::atomic<int64_t> syslog_checked_at{-1};  // seconds, monotonic clock
std::atomic<bool> syslog_present{false};

bool syslog_available() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  const int64_t second = now.tv_sec;
  int64_t checked = syslog_checked_at.load(std::memory_order_relaxed);
  if (checked != second &&
      syslog_checked_at.compare_exchange_strong(checked, second, std::memory_order_relaxed)) {
    syslog_present.store(::access(kSyslogSocket, W_OK) == 0, std::memory_order_relaxed);
  }
  return syslog_present.load(std::memory_order_relaxed);
}

// The process id, asked of the kernel once per process: a forked child asks again.
std::atomic<int> cached_pid{0};

int process_id() {
  int pid = cached_pid.load(std::memory_order_relaxed);
  if (pid == 0) {
    static std::once_flag at_fork;
    std::call_once(at_fork, [] {
      pthread_atfork(nullptr, nullptr, [] { cached_pid.store(0, std::memory_order_relaxed); });
    });
    pid = static_cast<int>(getpid());
    cached_pid.store(pid, std::memory_order_relaxed);
  }
  return pid;
}

int thread_id() {
  thread_local const int tid = static_cast<int>(syscall(SYS_gettid));
  return tid;
}

const char* base_name(const char* path) {
  if (path == nullptr) return "";
  const char* slash = std::strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

}  // namespace

void logger_valog(int level, const char* module, const char* function, const char* format,
                  va_list args) {
  if (level > logger_max_level) return;
  if (!logger_to_syslog && !logger_to_stderr && !logger_to_stdout) return;

  char message[kMaxText];
  std::vsnprintf(message, sizeof message, format, args);
  char header[kMaxText];
  std::snprintf(header, sizeof header, "%s%s:%s:", level_tag(level), base_name(module),
                function != nullptr ? function : "");
  const int pid = process_id();
  const int tid = thread_id();

  if (logger_to_syslog && syslog_available()) {
    std::call_once(syslog_once, [] { openlog(logger_syslog_name.c_str(), 0, LOG_DAEMON); });
    syslog(level, "%s p:%d, t:%d : %s\n", header, pid, tid, message);
  }
  if (logger_to_stderr) std::fprintf(stderr, "%s p:%d, t:%d : %s\n", header, pid, tid, message);
  if (logger_to_stdout) std::fprintf(stdout, "%s p:%d, t:%d : %s\n", header, pid, tid, message);
}

void logger_log(int level, const char* module, const char* function, const char* format, ...) {
  va_list args;
  va_start(args, format);
  logger_valog(level, module, function, format, args);
  va_end(args);
}

}  // namespace kt
