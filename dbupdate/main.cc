// orvane-dbupdate: migrates the on-disk database between server versions. This version has no
// format step: it names the live database and the version directory and exits. --help and
// --version alone print and exit; other arguments are ignored.
#include <cstdio>
#include <string>

#include "config.h"

namespace {

constexpr const char kUsage[] =
    "usage: orvane-dbupdate [--help | --version]\n"
    "Migrates the database under ORVANE_ROOT (default /data/orvane) to this version's format.\n"
    "Run it with the server stopped. See orvane-dbupdate(8).\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 2 && std::string(argv[1]) == "--version") {
    std::printf("orvane-dbupdate %s\n", ORVANE_VERSION);
    return 0;
  }
  std::string error;
  if (orvane::config_load(&error) != 0) {
    std::fprintf(stderr, "orvane-dbupdate: %s\n", error.c_str());
    return 2;
  }
  std::printf("update database from:%s to:%s\n", orvane::path_current().c_str(),
              orvane::path_db_version_dir().c_str());
  return 0;
}
