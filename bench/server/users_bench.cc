// One domain at scale: the start-up load of a domain holding many users, and the latency of the
// user commands dispatched in-process against it (userInsert, userEdit, authenticate,
// userSearch of one exact name).
//
// The users file is written directly, one record per user and the same password for all, before
// the server context loads it, so that filling 100,000 users takes seconds rather than the hours
// that 100,000 userInsert commands would. Each request is timed on its own with a steady clock;
// the median, p90, p99 and maximum go out as counters in milliseconds.
//
// Program flags, given before the benchmark library's own:
//   --users=N   users written into the domain (default 100000)
//
// Besides the users, the domain holds users / 10 groups of ten users each (their member files
// included) and as many resources, in 100 subtrees under the domain's root resource.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "buffers/buffer.h"
#include "client.h"
#include "config.h"
#include "globals.h"
#include "objects/domains/domain.h"
#include "objects/domains/domain_records.h"
#include "objects/groups/group.h"
#include "objects/groups/group_records.h"
#include "objects/record.h"
#include "objects/resources/resource.h"
#include "objects/resources/resource_records.h"
#include "objects/users/user.h"
#include "objects/users/user_records.h"
#include "processor.h"
#include "sutils/openssl_ca.h"
#include "utils/ipv4.h"
#include "utils/logger.h"
#include "utils/uid.h"
#include "xmldoc/xmldoc.h"

namespace {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

constexpr const char* kPassword = "Bench-passw0rd";
constexpr int kCaKeyBits = 2048;
constexpr uint32_t kNoResult = 0xFFFFFFFF;

// Requests per latency benchmark.
constexpr int kInsertRequests = 40;
constexpr int kEditRequests = 100;
constexpr int kAuthRequests = 2000;
constexpr int kSearchRequests = 40;

// A temporary server root, removed with everything in it.
class bench_root {
 public:
  bench_root() {
    std::string tmpl = (fs::temp_directory_path() / "users_bench.XXXXXX").string();
    if (::mkdtemp(tmpl.data()) != nullptr) path_ = tmpl;
  }
  ~bench_root() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  bench_root(const bench_root&) = delete;
  bench_root& operator=(const bench_root&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Sends standard error to /dev/null for its lifetime.
class stderr_silenced {
 public:
  stderr_silenced() {
    std::fflush(stderr);
    saved_ = ::dup(STDERR_FILENO);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved_ >= 0 && null >= 0) ::dup2(null, STDERR_FILENO);
    if (null >= 0) ::close(null);
  }
  ~stderr_silenced() {
    std::fflush(stderr);
    if (saved_ >= 0) {
      ::dup2(saved_, STDERR_FILENO);
      ::close(saved_);
    }
  }
  stderr_silenced(const stderr_silenced&) = delete;
  stderr_silenced& operator=(const stderr_silenced&) = delete;

 private:
  int saved_ = -1;
};

// The logger switched to the server's settings (information level to standard error and
// syslog) for its lifetime; the benchmark otherwise keeps only errors and warnings.
class server_logging {
 public:
  explicit server_logging(bool on) : on_(on) {
    if (on_) set(true, true, 7);
  }
  ~server_logging() {
    if (on_) set(true, false, kt::LOG_LEVEL_WARN);
  }
  server_logging(const server_logging&) = delete;
  server_logging& operator=(const server_logging&) = delete;

  static void set(bool to_stderr, bool to_syslog, int max_level) {
    kt::logger_to_stderr = to_stderr;
    kt::logger_to_syslog = to_syslog;
    kt::logger_max_level = max_level;
  }

 private:
  bool on_;
};

struct bench_env {
  size_t users = 100000;
  bench_root root;
  uint64_t domain_id = 0;
  // The context the latency benchmarks share, loaded on first use.
  std::unique_ptr<orvane::globals> g;
  std::string admin_token;
  uint64_t inserted = 0;
  std::vector<bool> flagged;  // users whose flags userEdit set to 2
  std::vector<uint64_t> user_ids;
  long base_rss_kb = 0;  // before anything was loaded
};

bench_env& env() {
  static bench_env e;
  return e;
}

std::string user_name(size_t i) {
  char name[32];
  std::snprintf(name, sizeof name, "benchuser%06zu", i);
  return name;
}

// A field of /proc/self/status in kB, or -1.
long proc_status_kb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const size_t n = std::strlen(field);
  while (std::getline(in, line)) {
    if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':') {
      return std::strtol(line.c_str() + n + 1, nullptr, 10);
    }
  }
  return -1;
}

double ms_since(clock_type::time_point start) {
  return std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
}

// Per-request latencies of one benchmark run.
class latencies {
 public:
  explicit latencies(size_t expected) { ms_.reserve(expected); }
  void add(double ms) { ms_.push_back(ms); }

  // Counters p50/p90/p99/max in milliseconds, or in microseconds when micro is set.
  void report(benchmark::State& state, bool micro = false) {
    if (ms_.empty()) return;
    std::sort(ms_.begin(), ms_.end());
    const double scale = micro ? 1000.0 : 1.0;
    const std::string unit = micro ? "_us" : "_ms";
    state.counters["p50" + unit] = at(0.50) * scale;
    state.counters["p90" + unit] = at(0.90) * scale;
    state.counters["p99" + unit] = at(0.99) * scale;
    state.counters["max" + unit] = ms_.back() * scale;
  }

 private:
  // Nearest rank.
  double at(double q) const {
    size_t rank = static_cast<size_t>(q * static_cast<double>(ms_.size()) + 0.999999);
    rank = std::clamp<size_t>(rank, 1, ms_.size());
    return ms_[rank - 1];
  }

  std::vector<double> ms_;
};

// Runs a request document through the dispatcher as a connection from 127.0.0.1 would; only
// parsing, dispatch and serialisation are timed.
class dispatcher {
 public:
  explicit dispatcher(orvane::globals& g) : g_(g) {}

  // The result code of the "res" element (kNoResult when there is none); *ms gets the time.
  uint32_t run(const std::string& document, double* ms) {
    client_ = std::make_unique<orvane::client>(g_);
    orvane::client& c = *client_;
    c.peer_text = "127.0.0.1";
    kt::ipv4_parse_addr(std::string_view(c.peer_text), c.peer);
    out_.clear();

    const auto start = clock_type::now();
    c.response = kt::xmldoc::create_def("orvane");
    if (c.request.parse(document) != 0 || c.request.root() == nullptr) return kNoResult;
    orvane::client_process(c);
    c.response.save(c.response.root(), out_);
    if (ms != nullptr) *ms = ms_since(start);

    for (const auto& child : c.response.root()->children()) {
      if (child->name() == "res") {
        return static_cast<uint32_t>(
            std::strtoul(std::string(child->attr_get_value("code")).c_str(), nullptr, 10));
      }
    }
    return kNoResult;
  }

  const kt::xmldoc_node* answer(std::string_view name) const {
    return client_ ? client_->response.root()->get(name) : nullptr;
  }
  std::string_view text() const { return out_.view(); }

 private:
  orvane::globals& g_;
  std::unique_ptr<orvane::client> client_;
  kt::buffer out_;
};

// Writes the users file of the domain: env().users records after those already present.
int write_users(uint64_t domain_id, size_t count) {
  uint8_t digest[orvane::USER_DIGEST_SIZE];
  if (orvane::_user_password2hash(kPassword, orvane::USER_PASSWORD_SHA512, digest, sizeof digest) !=
      0) {
    return -1;
  }
  // One crypt string for everyone: computing 100,000 of them would take minutes.
  char nss[orvane::USER_NSS_PASSWORD_SIZE];
  if (orvane::_user_password2nsspassword(kPassword, nss, sizeof nss) != 0) return -1;

  std::ofstream out(orvane::path_domain_file(domain_id, "users"), std::ios::binary | std::ios::app);
  if (!out) return -1;
  const auto now = static_cast<uint32_t>(::time(nullptr));
  orvane::record rec(orvane::USER_RECORD_SIZE);
  for (size_t i = 0; i < count; ++i) {
    env().user_ids.push_back(kt::uid_time_seq());
    rec.put_u64(orvane::USER_REC_ID, env().user_ids.back());
    rec.put_u32(orvane::USER_REC_FLAGS, 0);
    rec.put_u32(orvane::USER_REC_CREATED, now);
    rec.put_u32(orvane::USER_REC_PWD_CHANGED, now);
    rec.put_u32(orvane::USER_REC_RESERVED, 0);
    rec.put_str(orvane::USER_REC_UNAME, orvane::USER_REC_UNAME_SIZE, user_name(i));
    rec.put_bytes(orvane::USER_REC_DIGEST, digest, sizeof digest);
    rec.put_str(orvane::USER_REC_NSS_PASSWORD, orvane::USER_NSS_PASSWORD_SIZE, nss);
    out.write(reinterpret_cast<const char*>(rec.data()), rec.size());
  }
  out.flush();
  return out ? 0 : -1;
}

// Adds the groups (ten users each) and the resources through the record functions of the
// loaded root domain.
int write_groups_and_resources(orvane::domain& d, const std::vector<uint64_t>& users) {
  const size_t count = users.size() / 10;
  for (size_t i = 0; i < count; ++i) {
    kt::ref_ptr<orvane::group> gr = orvane::group_create();
    char name[32];
    std::snprintf(name, sizeof name, "benchgroup%05zu", i);
    gr->name = name;
    if (orvane::group_db_add(d, *gr) != 0) return -1;
    for (size_t m = 0; m < 10; ++m) {
      if (orvane::group_member_db_add(d, *gr, orvane::MEMBER_USER, users[i * 10 + m]) != 0) {
        return -1;
      }
    }
  }
  kt::ref_ptr<orvane::resource> top = d.resources_by_id.get_rw(d.sys_res[orvane::SYS_RES_ORVANE]);
  if (!top) return -1;
  kt::ref_ptr<orvane::resource> branch;
  for (size_t i = 0; i < count; ++i) {
    kt::ref_ptr<orvane::resource> r = orvane::resource_create();
    char name[32];
    std::snprintf(name, sizeof name, "benchres%05zu", i);
    r->name = name;
    r->parent = i % 100 == 0 ? top : branch;
    if (orvane::resource_db_add(d, *r) != 0) return -1;
    if (i % 100 == 0) branch = r;
  }
  return 0;
}

// Prepares the root: certificate authority, an initialised database (root domain and its
// Administrator), then the users written into the root domain's file, then the groups and
// resources.
bool prepare() {
  bench_env& e = env();
  if (e.root.path().empty()) return false;
  setenv("ORVANE_ROOT", e.root.path().c_str(), 1);
  setenv("ORVANE_MACHINE_ID_FILE", (e.root.path() + "/this").c_str(), 1);
  std::string error;
  if (orvane::config_load(&error) != 0) {
    std::fprintf(stderr, "config: %s\n", error.c_str());
    return false;
  }
  fs::create_directories(orvane::path_current());
  if (!kt::openssl_ca_create(orvane::path_ca_dir(), kCaKeyBits)) {
    std::fprintf(stderr, "cannot create the certificate authority\n");
    return false;
  }
  {
    std::unique_ptr<orvane::globals> g;
    if (orvane::globals::open(&g, &error, kCaKeyBits) != 0) {
      std::fprintf(stderr, "server context: %s\n", error.c_str());
      return false;
    }
    e.domain_id = g->root_domain ? g->root_domain->id : 0;
  }
  if (e.domain_id == 0) return false;
  const auto start = clock_type::now();
  e.flagged.assign(e.users, false);
  if (write_users(e.domain_id, e.users) != 0) {
    std::fprintf(stderr, "cannot write the users file\n");
    return false;
  }
  std::fprintf(stderr, "%zu users written in %.0f ms\n", e.users, ms_since(start));
  {
    std::unique_ptr<orvane::globals> g;
    if (orvane::globals::open(&g, &error, kCaKeyBits) != 0 || !g->root_domain) {
      std::fprintf(stderr, "server context: %s\n", error.c_str());
      return false;
    }
    const auto begin = clock_type::now();
    const int rc = write_groups_and_resources(*g->root_domain, e.user_ids);
    g.reset();
    if (rc != 0) {
      std::fprintf(stderr, "cannot write the groups and resources\n");
      return false;
    }
    std::fprintf(stderr, "%zu groups and resources written in %.0f ms\n", e.users / 10,
                 ms_since(begin));
  }
  return true;
}

// The shared loaded context with an Administrator token; nullptr on failure.
orvane::globals* shared_context(benchmark::State& state) {
  bench_env& e = env();
  if (!e.g) {
    std::unique_ptr<orvane::globals> g;
    std::string error;
    if (orvane::globals::open(&g, &error, kCaKeyBits) != 0) {
      state.SkipWithError(("server context: " + error).c_str());
      return nullptr;
    }
    dispatcher d(*g);
    const uint32_t code = d.run(std::string("<orvane><getToken domain=\"") +
                                    orvane::ROOT_DOMAIN_NAME + "\"><u>Administrator</u><p>" +
                                    orvane::ROOT_ADMIN_PASSWORD + "</p></getToken></orvane>",
                                nullptr);
    const kt::xmldoc_node* t = d.answer("token");
    if (code != 0 || t == nullptr) {
      state.SkipWithError("getToken failed");
      return nullptr;
    }
    e.admin_token = t->value();
    e.g = std::move(g);
  }
  return e.g.get();
}

void free_shared_context() {
  bench_env& e = env();
  e.g.reset();
}

std::string with_root_domain(const char* command, const std::string& attrs,
                             const std::string& inner) {
  return std::string("<orvane><") + command + " domain=\"" + orvane::ROOT_DOMAIN_NAME + "\"" +
         attrs + ">" + inner + "</" + command + "></orvane>";
}

// Start-up: globals::open on the filled root; wall time and resident memory after it.
// Argument 1 runs with the server's logging (information level, one line per loaded user) sent
// to /dev/null and to syslog; 0 keeps only errors.
void BM_StartupLoad(benchmark::State& state) {
  free_shared_context();
  const bool logging = state.range(0) != 0;
  long rss_kb = 0;
  uint64_t loaded = 0, groups = 0, resources = 0;
  for (auto _ : state) {
    std::unique_ptr<orvane::globals> g;
    std::string error;
    int rc = 0;
    double ms = 0;
    {
      std::unique_ptr<stderr_silenced> quiet;
      if (logging) quiet = std::make_unique<stderr_silenced>();
      server_logging log(logging);
      const auto start = clock_type::now();
      rc = orvane::globals::open(&g, &error, kCaKeyBits);
      ms = ms_since(start);
    }
    if (rc != 0) {
      state.SkipWithError(("server context: " + error).c_str());
      break;
    }
    rss_kb = proc_status_kb("VmRSS");
    loaded = g->root_domain ? g->root_domain->users_by_id.count() : 0;
    groups = g->root_domain ? g->root_domain->groups_by_id.count() : 0;
    resources = g->root_domain ? g->root_domain->resources_by_id.count() : 0;
    state.SetIterationTime(ms / 1000.0);
    g.reset();
  }
  state.counters["users"] = static_cast<double>(loaded);
  state.counters["groups"] = static_cast<double>(groups);
  state.counters["resources"] = static_cast<double>(resources);
  state.counters["rss_mb"] = static_cast<double>(rss_kb) / 1024.0;
  state.counters["base_rss_mb"] = static_cast<double>(env().base_rss_kb) / 1024.0;
  state.counters["hwm_mb"] = static_cast<double>(proc_status_kb("VmHWM")) / 1024.0;
}
BENCHMARK(BM_StartupLoad)
    ->ArgName("log")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// userInsert of a new name each time: the duplicate check scans the whole users file and the
// password is hashed twice (SHA-512 digest, SHA-512 crypt).
void BM_UserInsert(benchmark::State& state) {
  orvane::globals* g = shared_context(state);
  if (g == nullptr) return;
  bench_env& e = env();
  dispatcher d(*g);
  latencies lat(kInsertRequests);
  for (auto _ : state) {
    char name[32];
    std::snprintf(name, sizeof name, "benchins%06lu", static_cast<unsigned long>(e.inserted++));
    const std::string doc =
        with_root_domain("userInsert", " token=\"" + e.admin_token + "\"",
                         std::string("<u uname=\"") + name + "\"><p>" + kPassword + "</p></u>");
    double ms = 0;
    const uint32_t code = d.run(doc, &ms);
    if (code != 0) {
      state.SkipWithError(("userInsert: " + std::string(d.text())).c_str());
      break;
    }
    lat.add(ms);
    state.SetIterationTime(ms / 1000.0);
  }
  lat.report(state);
}
BENCHMARK(BM_UserInsert)
    ->Iterations(kInsertRequests)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// userEdit of a random existing user, flipping its flags between 0 and 2 so that every request
// rewrites the record (no password): the record is found by a scan of the users file up to its
// position.
void BM_UserEdit(benchmark::State& state) {
  orvane::globals* g = shared_context(state);
  if (g == nullptr) return;
  bench_env& e = env();
  dispatcher d(*g);
  latencies lat(kEditRequests);
  std::mt19937_64 rng(7);
  std::uniform_int_distribution<size_t> pick(0, e.users - 1);
  for (auto _ : state) {
    const size_t i = pick(rng);
    e.flagged[i] = !e.flagged[i];
    const uint32_t flags = e.flagged[i] ? orvane::USER_FLAG_PWD_NEVER_EXPIRES : 0;
    const std::string doc = with_root_domain(
        "userEdit", " token=\"" + e.admin_token + "\"",
        "<u uname=\"" + user_name(i) + "\" flags=\"" + std::to_string(flags) + "\"/>");
    double ms = 0;
    const uint32_t code = d.run(doc, &ms);
    if (code != 0) {
      state.SkipWithError(("userEdit: " + std::string(d.text())).c_str());
      break;
    }
    lat.add(ms);
    state.SetIterationTime(ms / 1000.0);
  }
  lat.report(state);
}
BENCHMARK(BM_UserEdit)->Iterations(kEditRequests)->UseManualTime()->Unit(benchmark::kMillisecond);

// authenticate of a random existing user with the right password.
void BM_Authenticate(benchmark::State& state) {
  orvane::globals* g = shared_context(state);
  if (g == nullptr) return;
  bench_env& e = env();
  dispatcher d(*g);
  latencies lat(kAuthRequests);
  std::mt19937_64 rng(11);
  std::uniform_int_distribution<size_t> pick(0, e.users - 1);
  for (auto _ : state) {
    const std::string doc = with_root_domain(
        "authenticate", "", "<u>" + user_name(pick(rng)) + "</u><p>" + kPassword + "</p>");
    double ms = 0;
    const uint32_t code = d.run(doc, &ms);
    if (code != 0) {
      state.SkipWithError(("authenticate: " + std::string(d.text())).c_str());
      break;
    }
    lat.add(ms);
    state.SetIterationTime(ms / 1000.0);
  }
  lat.report(state, true);
}
BENCHMARK(BM_Authenticate)
    ->Iterations(kAuthRequests)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// userSearch for one exact name (^name$): the pattern is matched against every user name.
void BM_UserSearchOne(benchmark::State& state) {
  orvane::globals* g = shared_context(state);
  if (g == nullptr) return;
  bench_env& e = env();
  dispatcher d(*g);
  latencies lat(kSearchRequests);
  std::mt19937_64 rng(13);
  std::uniform_int_distribution<size_t> pick(0, e.users - 1);
  for (auto _ : state) {
    const std::string doc = with_root_domain("userSearch", " token=\"" + e.admin_token + "\"",
                                             "<s>^" + user_name(pick(rng)) + "$</s>");
    double ms = 0;
    const uint32_t code = d.run(doc, &ms);
    const kt::xmldoc_node* users = d.answer("users");
    if (code != 0 || users == nullptr || users->child_count() != 1) {
      state.SkipWithError(("userSearch: " + std::string(d.text())).c_str());
      break;
    }
    lat.add(ms);
    state.SetIterationTime(ms / 1000.0);
  }
  lat.report(state);
}
BENCHMARK(BM_UserSearchOne)
    ->Iterations(kSearchRequests)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// The NSS password form alone (SHA-512 crypt, default rounds): part of every password set.
void BM_NssPassword(benchmark::State& state) {
  char out[orvane::USER_NSS_PASSWORD_SIZE];
  for (auto _ : state) {
    if (orvane::_user_password2nsspassword(kPassword, out, sizeof out) != 0) {
      state.SkipWithError("crypt failed");
      break;
    }
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_NssPassword)->Iterations(50)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  // Our own flags first; the rest go to the benchmark library.
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    const std::string_view a(argv[i]);
    if (i > 0 && a.starts_with("--users=")) {
      env().users = std::strtoull(argv[i] + 8, nullptr, 10);
      if (env().users == 0) {
        std::fprintf(stderr, "--users must be a positive number\n");
        return 2;
      }
    } else {
      args.push_back(argv[i]);
    }
  }
  int n = static_cast<int>(args.size());
  args.push_back(nullptr);
  benchmark::Initialize(&n, args.data());
  if (benchmark::ReportUnrecognizedArguments(n, args.data())) return 1;

  server_logging::set(true, false, kt::LOG_LEVEL_WARN);
  env().base_rss_kb = proc_status_kb("VmRSS");
  if (!prepare()) return 1;
  benchmark::RunSpecifiedBenchmarks();
  free_shared_context();
  benchmark::Shutdown();
  return 0;
}
