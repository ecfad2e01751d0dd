// Record-file loaders under arbitrary file contents. One executable per object kind, chosen at
// compile time by ORVANE_LOADER_KIND. Each input becomes the kind's record file (or, for kinds
// with several files, the parts of the input between kPartSeparator become the files in the
// order of kind_files(); missing parts mean missing files) inside a temporary database whose
// other files are a fixed valid domain. The domain is then loaded the way the server loads it at
// start-up, checked (loader_checks.h), read through its listings and unloaded; after the unload
// nothing may still hold the domain.
//
// The domains kind writes the input as the "domains" file of an empty database and runs
// domains_load() and the server's unload.
//
// The loaders log to standard output (run with -close_fd_mask=1; the domains kind also prints
// directory creations on standard error: -close_fd_mask=3). With ORVANE_FUZZ_SEEDS=<dir> set, the
// program writes the fixture's files for its kind to <dir>/seed and exits: a seed corpus.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "config.h"
#include "globals.h"
#include "loader_checks.h"
#include "loader_fixture.h"
#include "objects/domains/domain.h"
#include "objects/domains/domain_records.h"
#include "utils/files.h"
#include "utils/logger.h"

namespace orvane_fuzz {

namespace {

enum class kind {
  domains,
  users,
  groups,
  group_members,
  resources,
  permissions,
  attributes,
  netclients,
  profiles,
  profile_members,
};
constexpr kind kKind = kind::ORVANE_LOADER_KIND;

constexpr std::string_view kPartSeparator = "#~PART~#";

std::string named(const char* prefix, uint64_t id) {
  return prefix + std::to_string(id);
}

// The files of the domain directory the input stands for.
std::vector<std::string> kind_files() {
  switch (kKind) {
    case kind::domains:
      return {};
    case kind::users:
      return {"users"};
    case kind::groups:
      return {"groups"};
    case kind::group_members: {
      std::vector<std::string> files;
      for (uint64_t id : {kGroupAdmins, kGroupAll, kGroupStaff, kGroupDev}) {
        files.push_back(named("group_users_", id));
        files.push_back(named("group_groups_", id));
      }
      return files;
    }
    case kind::resources:
      return {"resources"};
    case kind::permissions:
      return {"permissions"};
    case kind::attributes:
      return {"attributes", named("attribute_", kAttrLongValue),
              named("attribute_", kAttrLongBinary)};
    case kind::netclients:
      return {"authorityclients"};
    case kind::profiles:
      return {"unixprofiles"};
    case kind::profile_members: {
      std::vector<std::string> files;
      for (uint64_t id : {kProfile1, kProfile2, kProfile3}) {
        files.push_back(named("unixprofilee_users_", id));
        files.push_back(named("unixprofilee_groups_", id));
        files.push_back(named("unixprofile_memberof_", id));
      }
      return files;
    }
  }
  return {};
}

// The input cut into the kind's files; a kind with one file takes the input whole.
std::vector<std::string_view> split_input(std::string_view input, size_t files) {
  std::vector<std::string_view> parts;
  while (parts.size() + 1 < files) {
    const size_t at = input.find(kPartSeparator);
    if (at == std::string_view::npos) break;
    parts.push_back(input.substr(0, at));
    input.remove_prefix(at + kPartSeparator.size());
  }
  parts.push_back(input);
  return parts;
}

void write_bytes(const std::string& path, std::string_view bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  check(fd >= 0, "can't create a database file");
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    check(n > 0, "can't write a database file");
    done += static_cast<size_t>(n);
  }
  ::close(fd);
}

// Removes every entry of dir whose name is not kept.
void remove_others(const std::string& dir, const std::unordered_set<std::string>& keep) {
  std::vector<std::string> extra;
  DIR* d = ::opendir(dir.c_str());
  check(d != nullptr, "can't read the domain directory");
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name != "." && name != ".." && keep.count(name) == 0) extra.push_back(name);
  }
  ::closedir(d);
  for (const std::string& name : extra) kt::path_remove((dir + "/" + name).c_str());
}

struct database {
  std::string root;
  std::string domain_dir;
  std::vector<fixture_file> base;        // fixture files the input leaves in place
  std::vector<std::string> input_files;  // files the input stands for
  std::unordered_set<std::string> names;
};

// The temporary root, removed at exit.
std::string g_root_to_remove;

void remove_root() {
  if (!g_root_to_remove.empty()) kt::path_remove(g_root_to_remove.c_str());
}

std::string temp_base() {
  struct stat st;
  if (::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && ::access("/dev/shm", W_OK) == 0) {
    return "/dev/shm";
  }
  const char* tmp = std::getenv("TMPDIR");
  return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

void write_seeds(const char* dir, const database& db) {
  std::string seed;
  if (kKind == kind::domains) {
    seed = fixture_domains_file();
  } else {
    const std::vector<fixture_file> all = fixture_files();
    for (size_t i = 0; i < db.input_files.size(); ++i) {
      if (i > 0) seed += kPartSeparator;
      for (const fixture_file& f : all) {
        if (f.name == db.input_files[i]) seed += f.bytes;
      }
    }
  }
  write_bytes(std::string(dir) + "/seed", seed);
  remove_root();
  std::_Exit(0);  // not exit(): a fuzzer treats that as a failure of the target
}

const database& setup() {
  static const database db = [] {
    kt::logger_to_syslog = false;
    kt::logger_to_stdout = true;
    database out;
    std::string pattern = temp_base() + "/orvane-loader-fuzz-XXXXXX";
    check(::mkdtemp(pattern.data()) != nullptr, "mkdtemp failed");
    out.root = pattern;
    g_root_to_remove = out.root;
    std::atexit(remove_root);
    check(::setenv("ORVANE_ROOT", out.root.c_str(), 1) == 0, "setenv failed");
    std::string error;
    check(orvane::config_load(&error) == 0, "config_load failed");
    check(::mkdir(orvane::path_current().c_str(), 0755) == 0, "can't create current");
    out.domain_dir = orvane::path_domain_dir(kDomainId);
    check(::mkdir(out.domain_dir.c_str(), 0755) == 0, "can't create the domain directory");

    out.input_files = kind_files();
    const std::unordered_set<std::string> replaced(out.input_files.begin(), out.input_files.end());
    for (fixture_file& f : fixture_files()) {
      if (replaced.count(f.name) == 0) out.base.push_back(std::move(f));
    }
    for (const fixture_file& f : out.base) out.names.insert(f.name);
    if (const char* seeds = std::getenv("ORVANE_FUZZ_SEEDS")) write_seeds(seeds, out);
    return out;
  }();
  return db;
}

// Loads the fixture domain with the input in place of the kind's files.
void run_objects(const database& db, std::string_view input) {
  for (const fixture_file& f : db.base) write_bytes(db.domain_dir + "/" + f.name, f.bytes);
  const std::vector<std::string_view> parts = split_input(input, db.input_files.size());
  for (size_t i = 0; i < parts.size(); ++i) {
    write_bytes(db.domain_dir + "/" + db.input_files[i], parts[i]);
  }
  std::unordered_set<std::string> keep = db.names;
  for (size_t i = 0; i < parts.size(); ++i) keep.insert(db.input_files[i]);
  remove_others(db.domain_dir, keep);  // files of a longer input before, or made by a loader

  orvane::globals g;
  kt::ref_ptr<orvane::domain> d = orvane::domain_create();
  d->id = kDomainId;
  d->set_name("ORVANE");
  d->g = &g;
  orvane::_domain_load_objects(*d);
  check_domain_objects(*d, g);
  exercise_domain(*d);
  orvane::domain_flush(*d);
  check(d->ref_count() == 1, "objects still hold the domain after its flush");
}

// Loads the domain tree from the input as the "domains" file of an empty database.
void run_domains_file(std::string_view input) {
  const std::string current = orvane::path_current();
  kt::path_remove(current.c_str());
  check(::mkdir(current.c_str(), 0755) == 0, "can't create current");
  write_bytes(orvane::path_domains_file(), input);

  orvane::globals g;
  const int rc = orvane::domains_load(g);
  // Records without a loadable root are refused, never covered by a new database.
  if (rc == orvane::DOMAINS_ROOT_NOT_LOADED) {
    check(!g.root_domain, "a root domain was made over existing records");
    return;
  }
  check(rc == 0, "domains_load failed");
  check_domain_tree(g);
}

}  // namespace

}  // namespace orvane_fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvane_fuzz;
  const database& db = setup();
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  if (kKind == kind::domains) {
    run_domains_file(input);
  } else {
    run_objects(db, input);
  }
  return 0;
}
