// orvane-host-bench: the client host's figures against a running orvaned.
//
//  1. Provisions the server over HTTPS as its administrator: a net client and its bundle, N users
//     (spread over M groups) and an NSS profile holding them all (skipped when DIR holds the
//     bundle of an earlier run against the same server).
//  2. fetch: orvane-hostd's fetch of the profile with the net client's certificate, its owner-only
//     cache file and the published cache, timed end to end (several runs).
//  3. getpwnam through libnss_orvane.so.2 from that published cache on one thread: the module's
//     own entry point, and the C library's getpwnam_r with the module as the only source.
//  4. getpwnam through the module when it has no cache file, so that every lookup asks the
//     daemon's socket (the daemon's socket server runs in this process, on another thread).
//
// usage: orvane-host-bench --port P --ca FILE --dir DIR [--users N] [--groups M]
//                          [--seconds S] [--module PATH]
// Prints one JSON object; progress goes to standard error.
#include <dlfcn.h>
#include <nss.h>
#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "hostd/checks.h"
#include "hostd/config.h"
#include "hostd/entries.h"
#include "hostd/remote.h"
#include "hostd/sock_server.h"
#include "hostd/state.h"
#include "hostd/tls.h"
#include "utils/base64.h"
#include "utils/files.h"
#include "utils/logger.h"
#include "xmldoc/xmldoc.h"

extern "C" int __nss_configure_lookup(const char* db, const char* service_line);

namespace {

using namespace orvane_hostd;
using clock_type = std::chrono::steady_clock;
using getpwnam_fn = nss_status (*)(const char*, passwd*, char*, size_t, int*);

constexpr int kBatch = 100;
constexpr int kFetchRuns = 5;

struct options {
  uint16_t port = 0;
  std::string ca;
  std::string dir;
  int users = 10000;
  int groups = 1000;
  double seconds = 2;
  std::string module;
};

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "orvane-host-bench: %s\n", what.c_str());
  std::exit(1);
}

void note(const std::string& what) {
  std::fprintf(stderr, "orvane-host-bench: %s\n", what.c_str());
}

std::string name_of(const char* prefix, int i) {
  char text[32];
  std::snprintf(text, sizeof text, "%s%05d", prefix, i);
  return text;
}

// Runs the commands; fails the program unless the last one answered 0.
void must(const remote& r, const std::string& commands, kt::xmldoc* doc = nullptr) {
  std::string error;
  kt::xmldoc local;
  const long code = r.post(commands, doc != nullptr ? doc : &local, &error);
  if (code != 0) fail("command failed (" + std::to_string(code) + "): " + error);
}

// name -> id of every element of an answer list.
std::vector<std::pair<std::string, std::string>> ids(const kt::xmldoc& doc, const char* list,
                                                     const char* name_attr) {
  std::vector<std::pair<std::string, std::string>> out;
  const kt::xmldoc_node* l = doc.root()->get(list);
  if (l == nullptr) return out;
  for (const auto& e : l->children()) {
    out.emplace_back(std::string(e->attr_get_value(name_attr)),
                     std::string(e->attr_get_value("id")));
  }
  return out;
}

void provision(const options& o, config& c) {
  tls_context plain;
  plain.ctx.reset(SSL_CTX_new(TLS_client_method()));
  SSL_CTX_load_verify_locations(plain.ctx.get(), o.ca.c_str(), nullptr);
  SSL_CTX_set_verify(plain.ctx.get(), SSL_VERIFY_PEER, nullptr);
  plain.host = c.server;
  plain.port = c.port;
  plain.timeout_ms = 120000;
  const remote admin_remote(c, plain);
  kt::xmldoc doc;
  must(admin_remote, "<getToken domain=\"ORVANE\"><u>Administrator</u><p>tolbrine</p></getToken>",
       &doc);
  const std::string t = " domain=\"ORVANE\" token=\"" + doc.root()->get("token")->value() + "\"";

  must(admin_remote,
       "<netClientInsert" + t + "><netc name=\"benchhost\"><v4>127.0.0.1</v4></netc>" +
           "</netClientInsert>",
       &doc);
  const std::string nc = doc.root()->get("insertedId")->value();
  must(admin_remote, "<netClientGetPfx" + t + "><netc id=\"" + nc + "\"/></netClientGetPfx>", &doc);
  std::string bundle;
  kt::base64decode_(doc.root()->get("netc")->get("pfx")->value(), bundle);
  kt::write_file(c.bundle.c_str(), bundle, 0600);

  note("inserting " + std::to_string(o.groups) + " groups");
  for (int i = 0; i < o.groups; i += kBatch) {
    std::string batch;
    for (int j = i; j < std::min(i + kBatch, o.groups); ++j) {
      batch += "<groupInsert" + t + "><g name=\"" + name_of("bg", j) + "\"/></groupInsert>";
    }
    must(admin_remote, batch);
  }
  must(admin_remote, "<groupSearch" + t + "><s>^bg</s></groupSearch>", &doc);
  auto groups = ids(doc, "groups", "name");
  std::sort(groups.begin(), groups.end());
  if (static_cast<int>(groups.size()) != o.groups) fail("groups missing");

  note("inserting " + std::to_string(o.users) + " users");
  for (int i = 0; i < o.users; i += kBatch) {
    std::string batch;
    for (int j = i; j < std::min(i + kBatch, o.users); ++j) {
      batch += "<userInsert" + t + "><u uname=\"" + name_of("bu", j) +
               "\"><p>Bench0passw0rd</p><memberof><g id=\"" + groups[j % o.groups].second +
               "\"/></memberof></u></userInsert>";
    }
    must(admin_remote, batch);
  }
  must(admin_remote, "<userSearch" + t + "><s>^bu</s></userSearch>", &doc);
  auto users = ids(doc, "users", "uname");
  std::sort(users.begin(), users.end());
  if (static_cast<int>(users.size()) != o.users) fail("users missing");

  must(admin_remote,
       "<nssProfileInsert" + t + "><nssp name=\"" + c.profile +
           "\" descr=\"bench\"/></nssProfileInsert>",
       &doc);
  std::string edit =
      "<nssProfileEdit" + t + "><nssp id=\"" + doc.root()->get("insertedId")->value() + "\">";
  for (size_t i = 0; i < users.size(); ++i) {
    edit += "<u id=\"" + users[i].second + "\" uid=\"" + std::to_string(100000 + i) +
            "\" shell=\"/bin/bash\" home=\"/home/" + users[i].first + "\"/>";
  }
  for (size_t i = 0; i < groups.size(); ++i) {
    edit += "<g id=\"" + groups[i].second + "\" gid=\"" + std::to_string(200000 + i) + "\"/>";
  }
  must(admin_remote, edit + "</nssp></nssProfileEdit>");
}

// Calls lookup(name) over the names for the given time; lookups per second.
template <typename Lookup>
double rate(const std::vector<std::string>& names, double seconds, Lookup lookup) {
  const auto end = clock_type::now() + std::chrono::duration<double>(seconds);
  const auto start = clock_type::now();
  size_t done = 0;
  while (clock_type::now() < end) {
    for (int k = 0; k < 256; ++k, ++done) {
      if (!lookup(names[done % names.size()].c_str()))
        fail("lookup of " + names[done % names.size()]);
    }
  }
  return static_cast<double>(done) /
         std::chrono::duration<double>(clock_type::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string k = argv[i];
    const std::string v = argv[i + 1];
    if (k == "--port") {
      o.port = static_cast<uint16_t>(std::stoi(v));
    } else if (k == "--ca") {
      o.ca = v;
    } else if (k == "--dir") {
      o.dir = v;
    } else if (k == "--users") {
      o.users = std::stoi(v);
    } else if (k == "--groups") {
      o.groups = std::max(1, std::stoi(v));
    } else if (k == "--seconds") {
      o.seconds = std::stod(v);
    } else if (k == "--module") {
      o.module = v;
    } else {
      fail("unknown option " + k);
    }
  }
  if (o.port == 0 || o.ca.empty() || o.dir.empty()) {
    fail("usage: orvane-host-bench --port P --ca FILE --dir DIR [--users N] [--groups M]");
  }
  if (o.module.empty()) {
    o.module = std::filesystem::read_symlink("/proc/self/exe").parent_path() / "libnss_orvane.so.2";
  }
  kt::logger_to_syslog = false;
  kt::logger_to_stderr = true;
  kt::logger_max_level = kt::LOG_LEVEL_WARN;

  config c;
  c.server = "127.0.0.1";
  c.port = o.port;
  c.domain = "ORVANE";
  c.profile = "benchhosts";
  c.bundle = o.dir + "/bench.p12";
  c.ca = o.ca;
  c.cache = o.dir + "/hostd.cache";
  c.nss_cache = o.dir + "/nss.cache";
  c.socket = o.dir + "/hostd.sock";
  c.timeout = 120;
  // A directory that holds the bundle of an earlier run against the same server is reused.
  if (!std::filesystem::exists(c.bundle)) provision(o, c);

  std::unique_ptr<tls_context> tls;
  std::string error;
  if (tls_context_create(c, &tls, &error) != 0) fail(error);
  const remote r(c, *tls);
  state st(&c);
  std::vector<double> fetch_ms;
  size_t users = 0;
  size_t groups = 0;
  for (int run = 0; run < kFetchRuns; ++run) {
    const auto start = clock_type::now();
    snapshot s;
    if (r.fetch("", &s, &error) != 0) fail("fetch: " + error);
    s.fetched = epoch_seconds();
    users = s.users.size();
    groups = s.groups.size();
    if (st.install(std::move(s)) != 0) fail("install");
    fetch_ms.push_back(
        std::chrono::duration<double, std::milli>(clock_type::now() - start).count());
  }
  std::vector<double> sorted_ms = fetch_ms;
  std::sort(sorted_ms.begin(), sorted_ms.end());

  std::vector<std::string> names;
  for (int i = 0; i < o.users; ++i) names.push_back(name_of("bu", (i * 7919) % o.users));

  setenv("ORVANE_NSS_CACHE", c.nss_cache.c_str(), 1);
  setenv("ORVANE_HOSTD_SOCKET", c.socket.c_str(), 1);
  void* module = dlopen(o.module.c_str(), RTLD_NOW | RTLD_GLOBAL);
  if (module == nullptr) fail(dlerror());
  const auto getpwnam = reinterpret_cast<getpwnam_fn>(dlsym(module, "_nss_orvane_getpwnam_r"));
  if (getpwnam == nullptr) fail("no _nss_orvane_getpwnam_r");
  char buf[1024];
  passwd pw{};
  int err = 0;
  const auto through_module = [&](const char* name) {
    return getpwnam(name, &pw, buf, sizeof buf, &err) == NSS_STATUS_SUCCESS;
  };
  note("getpwnam through the module");
  const double module_rate = rate(names, o.seconds, through_module);
  __nss_configure_lookup("passwd", "orvane");
  note("getpwnam_r of the C library");
  const double libc_rate = rate(names, o.seconds, [&](const char* name) {
    passwd* found = nullptr;
    return ::getpwnam_r(name, &pw, buf, sizeof buf, &found) == 0 && found != nullptr;
  });

  // Without the cache file, through the daemon's socket.
  checks k(c, r, st);
  sock_server server(c, st, k);
  if (server.start(&error) != 0) fail(error);
  setenv("ORVANE_NSS_CACHE", (o.dir + "/missing").c_str(), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // the module looks again
  note("getpwnam through the daemon's socket");
  const double socket_rate = rate(names, o.seconds, through_module);
  server.stop();

  std::printf(
      "{\"users\": %zu, \"groups\": %zu, \"fetch_ms_median\": %.1f, \"fetch_ms_max\": %.1f, "
      "\"module_per_s\": %.0f, \"libc_per_s\": %.0f, \"socket_per_s\": %.0f}\n",
      users, groups, sorted_ms[sorted_ms.size() / 2], sorted_ms.back(), module_rate, libc_rate,
      socket_rate);
  return 0;
}
