// orvane-dbupdate: migrates the on-disk database between server versions. This version has no
// format step: it names the live database and the version directory and exits.
#include <cstdio>
#include <string>

#include "config.h"

int main() {
  std::string error;
  if (orvane::config_load(&error) != 0) {
    std::fprintf(stderr, "orvane-dbupdate: %s\n", error.c_str());
    return 2;
  }
  std::printf("update database from:%s to:%s\n", orvane::path_current().c_str(),
              orvane::path_db_version_dir().c_str());
  return 0;
}
