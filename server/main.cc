// orvaned: the Orvane server daemon.
#include <cstdio>
#include <string>

#include "config.h"
#include "utils/logger.h"

int main() {
  kt::logger_to_stderr = true;
  kt::logger_to_syslog = true;
  kt::logger_syslog_name = "orvane";

  std::string error;
  if (orvane::config_load(&error) != 0) {
    KT_LOG_ERR("%s", error.c_str());
    return 1;
  }
  KT_LOG_ERR("orvaned is not complete yet.");
  return 1;
}
