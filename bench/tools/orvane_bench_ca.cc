// orvane-bench-ca: creates the server's certificate authority in a directory with a smaller key
// than the server would (2048 bits by default), so that a benchmark root starts without the
// server generating a 4096-bit key first. An authority already in the directory is kept.
//
// usage: orvane-bench-ca <directory> [bits]
#include <cstdio>
#include <cstdlib>
#include <string>

#include "sutils/openssl_ca.h"

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: orvane-bench-ca <directory> [bits]\n");
    return 2;
  }
  int bits = 2048;
  if (argc == 3) {
    char* end = nullptr;
    const long v = std::strtol(argv[2], &end, 10);
    if (end == argv[2] || *end != '\0' || v < 1024 || v > 16384) {
      std::fprintf(stderr, "orvane-bench-ca: bits must be a number from 1024 to 16384\n");
      return 2;
    }
    bits = static_cast<int>(v);
  }
  if (!kt::openssl_ca_create(argv[1], bits)) {
    std::fprintf(stderr, "orvane-bench-ca: cannot create the authority in %s\n", argv[1]);
    return 1;
  }
  return 0;
}
