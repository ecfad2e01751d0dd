// Process-wide logger: syslog, standard error and standard output, each switched by a flag.
//
// Every line is "<tag><file>:<function>: p:<pid>, t:<tid> : <message>". The flags are set once
// at start-up, before any thread runs; logging itself is safe from any thread.
#ifndef KT_UTILS_LOGGER_H_
#define KT_UTILS_LOGGER_H_

#include <cstdarg>
#include <string>

namespace kt {

// Syslog severities used by the programs.
enum log_level : int { LOG_LEVEL_ERR = 3, LOG_LEVEL_WARN = 4, LOG_LEVEL_INFO = 6 };

extern bool logger_to_stderr;           // default off
extern bool logger_to_stdout;           // default off
extern bool logger_to_syslog;           // default on
extern std::string logger_syslog_name;  // default "ktlib"
// Messages above this severity number are dropped (7 keeps everything).
extern int logger_max_level;

void logger_log(int level, const char* module, const char* function, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
void logger_valog(int level, const char* module, const char* function, const char* format,
                  va_list args) __attribute__((format(printf, 4, 0)));

}  // namespace kt

#define KT_LOG(level, ...) ::kt::logger_log((level), __FILE__, __func__, __VA_ARGS__)
#define KT_LOG_ERR(...) KT_LOG(::kt::LOG_LEVEL_ERR, __VA_ARGS__)
#define KT_LOG_WARN(...) KT_LOG(::kt::LOG_LEVEL_WARN, __VA_ARGS__)
#define KT_LOG_INFO(...) KT_LOG(::kt::LOG_LEVEL_INFO, __VA_ARGS__)

#endif  // KT_UTILS_LOGGER_H_
