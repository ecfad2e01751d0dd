// The fixed, valid database the loader fuzz targets start from: one domain with a few users,
// groups, memberships, resources, permissions, attributes, net clients and NSS profiles, every
// record built with fixed identifiers so that corpus files stay meaningful between runs.
#ifndef ORVANE_FUZZ_LOADER_FIXTURE_H_
#define ORVANE_FUZZ_LOADER_FIXTURE_H_

#include <cstdint>
#include <string>
#include <vector>

namespace orvane_fuzz {

// The domain every object kind is loaded into.
constexpr uint64_t kDomainId = 7;

// Identifiers of the fixture objects.
constexpr uint64_t kUserAdmin = 0x1001, kUserAlice = 0x1002, kUserBob = 0x1003;
constexpr uint64_t kGroupAdmins = 0x2001, kGroupAll = 0x2002, kGroupStaff = 0x2003,
                   kGroupDev = 0x2004;
constexpr uint64_t kResourceTop = 0x3001, kResourceApp = 0x3007, kResourceDoc = 0x3008;
constexpr uint64_t kAttrLongValue = 0x5102, kAttrLongBinary = 0x5103;
constexpr uint64_t kProfile1 = 0x7001, kProfile2 = 0x7002, kProfile3 = 0x7003;

// One file of the domain directory: its name and its bytes.
struct fixture_file {
  std::string name;
  std::string bytes;
};

// Every file of the fixture domain directory.
std::vector<fixture_file> fixture_files();

// The records of a "domains" file: a root domain and two levels below it.
std::string fixture_domains_file();

}  // namespace orvane_fuzz

#endif  // ORVANE_FUZZ_LOADER_FIXTURE_H_
